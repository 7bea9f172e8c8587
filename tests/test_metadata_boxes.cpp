// Metadata boxes: the known-key item list, free keys with typed values, and
// the user-data box, checked against hand-computed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_bytes.h"
#include "box_reader.h"
#include "ilst.h"
#include "test_support.h"

namespace {

using bv::CMp4MetaAtom;
using namespace bvtest;

// One item of an item list carrying text: item box, "data" box, type 1.
Bytes TextItem(uint32_t itemType, const std::string& value) {
  const uint32_t n = static_cast<uint32_t>(value.size());
  return Words({24 + n, itemType, 16 + n, Code("data"), 1, 0}) + value;
}

// Writes `box` and reads it back; every nested size must tile its parent.
bvtest::BoxTree WrittenTree(bv::CMp4Atom& box, MemoryStream& out) {
  bvtest::BoxTree t(WriteChecked(box, out));
  EXPECT_TRUE(t.Errors().empty());
  EXPECT_EQ(1u, t.Top().size());
  return t;
}
Bytes Of(const bvtest::BoxTree& t, const bvtest::Box& b) {
  return Bytes(t.Bytes().begin() + static_cast<long>(b.offset), t.Bytes().begin() + static_cast<long>(b.offset + b.size));
}
std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes) {
  auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return copy;
}
std::vector<Bytes> Items(const bvtest::BoxTree& t) {
  std::vector<Bytes> out;
  if (const bvtest::Box* ilst = t.Find("meta/ilst"))
    for (const bvtest::Box& item : ilst->children) out.push_back(Of(t, item));
  else
    ADD_FAILURE() << "no item list";
  return out;
}

}  // namespace

TEST(KnownKeys, EachKeyNameMapsToItsItemCodeInTableOrder) {
  const std::pair<const char*, const char*> table[] = {
      {"title", "\xA9nam"}, {"artist", "\xA9" "ART"}, {"album_artist", "aART"}, {"composer", "\xA9wrt"},
      {"album", "\xA9" "alb"}, {"date", "\xA9" "day"}, {"encoding_tool", "\xA9too"}, {"comment", "\xA9" "cmt"},
      {"genre", "\xA9gen"}, {"copyright", "\xA9" "cpy"}, {"grouping", "\xA9grp"}, {"lyrics", "\xA9lyr"},
      {"description", "desc"}, {"synopsis", "ldes"}, {"show", "tvsh"}, {"episode_id", "tven"}, {"network", "tvnn"},
  };
  // Set in reverse order: the list is written in table order regardless.
  MemoryStream out;
  CMp4MetaAtom meta(&out);
  for (size_t i = std::size(table); i-- > 0;) EXPECT_TRUE(meta.SetMeta(table[i].first, table[i].first, 0, 1, nullptr));
  std::vector<Bytes> want;
  for (const auto& row : table) want.push_back(TextItem(Code(row.second), row.first));
  EXPECT_EQ(want, Items(WrittenTree(meta, out)));
}

// Other names are declined; key name and item code address one entry, the
// later value wins and a missing value clears; text ends at its declared
// length or first zero byte (the value buffer has no terminator: ASan); an
// empty text is sized and written like any other.
TEST(KnownKeys, OtherKeysDeclinedOneEntryPerItemAndBoundedText) {
  const auto raw = Exact({'A', 'l', 'b', 'u', 'm'});
  MemoryStream out;
  CMp4MetaAtom meta(&out);
  EXPECT_FALSE(meta.SetMeta("location", "+48.8+002.3/", 0, 1, nullptr));
  EXPECT_FALSE(meta.SetMeta("Title", "x", 0, 1, nullptr));         // names are case-sensitive
  EXPECT_FALSE(meta.SetMeta("\xC2\xA9nam", "x", 0, 1, nullptr));  // (c) in UTF-8 is not the code byte
  EXPECT_TRUE(meta.SetMeta("title", "first", 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("\xA9nam", "later", 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("genre", "jazz", 0, 1, nullptr));
  EXPECT_FALSE(meta.SetMeta("genre", nullptr, 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("album", raw.get(), 5, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("date", "2024\0junk", 9, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("comment", "", 0, 1, nullptr));  // an empty text is still an item
  EXPECT_EQ((std::vector<Bytes>{TextItem(0xA96E616D, "later"), TextItem(0xA9616C62, "Album"), TextItem(0xA9646179, "2024"),
                                TextItem(0xA9636D74, "")}),
            Items(WrittenTree(meta, out)));
  EXPECT_FALSE(meta.m_bHasKeys);
}

// QuickTime's keys-form meta has no version word; the ISO one has it, as
// strict ISO readers require of every meta box.
TEST(FreeKeys, LocationBecomesKeyOneUnderMdta) {
  for (const bool iso : {false, true}) {
    MemoryStream out;
    CMp4MetaAtom meta(&out, true);
    meta.m_bFullBox = iso;
    EXPECT_TRUE(meta.SetMeta("location", "+48.8+002.3/", 0, 1, nullptr));
    const uint32_t version = iso ? 4 : 0;
    const Bytes head = iso ? Words({version + 8 + 33 + 32 + 8 + 24 + 12, Code("meta"), 0})
                           : Words({8 + 33 + 32 + 8 + 24 + 12, Code("meta")});
    const Bytes want = head + Words({33, Code("hdlr"), 0, 0, Code("mdta"), Code("appl"), 0, 0}) + Bytes{0} +
                       Words({32, Code("keys"), 0, 1, 16, Code("mdta")}) + "location" +
                       Words({8 + 24 + 12, Code("ilst")}) + TextItem(1, "+48.8+002.3/");
    EXPECT_EQ(want, WrittenTree(meta, out).Bytes()) << (iso ? "ISO" : "QuickTime");
  }
}

TEST(FreeKeys, IntegersAreBigEndianAndShortValuesAndNamespacesZeroPadded) {
  // Heap buffers of exactly the declared sizes, so that a read past them is
  // caught by the address sanitizer.
  const auto one = Exact({0x2A}), two = Exact({0x01, 0x02});
  const auto ns = Exact({'a', 'b', 0}), blob = Exact({0xFF, 0x00, 0x7F});
  const int32_t full = 0x01020304, negative = -2;

  MemoryStream out;
  CMp4MetaAtom meta(&out, true);
  EXPECT_TRUE(meta.SetMeta("full", &full, 4, 21, "com."));
  EXPECT_TRUE(meta.SetMeta("neg", &negative, 4, 21, nullptr));
  EXPECT_TRUE(meta.SetMeta("one", one.get(), 1, 21, reinterpret_cast<const char*>(ns.get())));
  EXPECT_TRUE(meta.SetMeta("two", two.get(), 2, 21, ""));
  EXPECT_TRUE(meta.SetMeta("blob", blob.get(), 3, 0, "abcdefgh"));
  const bvtest::BoxTree t = WrittenTree(meta, out);
  // A short integer is its value bytes (missing ones zero) in host order.
  uint32_t oneValue = 0, twoValue = 0;
  std::memcpy(&oneValue, one.get(), 1);
  std::memcpy(&twoValue, two.get(), 2);
  const std::vector<Bytes> want = {
      Words({28, 1, 20, Code("data"), 21, 0, 0x01020304}), Words({28, 2, 20, Code("data"), 21, 0, 0xFFFFFFFE}),
      Words({28, 3, 20, Code("data"), 21, 0, oneValue}), Words({28, 4, 20, Code("data"), 21, 0, twoValue}),
      Words({27, 5, 19, Code("data"), 1, 0}) + Bytes{0xFF, 0x00, 0x7F}};
  EXPECT_EQ(want, Items(t));
  const Bytes keys = Words({16 + 12 + 11 + 11 + 11 + 12, Code("keys"), 0, 5, 12, Code("com.")}) + "full" +
                     Words({11, Code("mdta")}) + "neg" + Words({11, Code("ab\0\0")}) + "one" + Words({11, 0}) + "two" +
                     Words({12, Code("abcd")}) + "blob";
  EXPECT_EQ(keys, Of(t, *t.Find("meta/keys")));
}

TEST(FreeKeys, KeysWithoutAWrittenValueStayListed) {
  MemoryStream out;
  CMp4MetaAtom meta(&out, true);
  EXPECT_FALSE(meta.SetMeta("empty", nullptr, 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("odd", "zz", 0, 7, nullptr));
  EXPECT_TRUE(meta.SetMeta("name", "N", 0, 1, nullptr));
  bvtest::StdoutCapture cap;
  const bvtest::BoxTree t = WrittenTree(meta, out);
  EXPECT_NE(std::string::npos, cap.Take().find("unknown meta data type:7"));
  EXPECT_EQ(std::vector<Bytes>{TextItem(3, "N")}, Items(t));
  EXPECT_EQ(3u, t.U32(t.Find("meta/keys")->offset + 12));
}

TEST(Udta, EmptyHoldsMetaWithHandlerAndEmptyItemList) {
  MemoryStream out;
  bv::CMp4UdtaAtom udta(&out);
  EXPECT_EQ(Words({61, Code("udta"), 53, Code("meta"), 0, 33, Code("hdlr"), 0, 0, Code("mdir"), Code("appl"), 0, 0}) +
                Bytes{0} + Words({8, Code("ilst")}),
            WrittenTree(udta, out).Bytes());
}
