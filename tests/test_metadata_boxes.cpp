// Metadata boxes: the known-key item list, free keys with typed values, and
// the user-data box, checked against hand-computed bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_walk.h"
#include "ilst.h"
#include "test_support.h"

namespace {

using bv::CBufferIO;
using bv::CMp4MetaAtom;
using bvtest::BoxSpan;
using bvtest::ReadBE32;
using bvtest::Slice;
using bvtest::SplitBoxes;
using bvtest::Types;
using Bytes = std::vector<uint8_t>;

struct Out {
  CBufferIO io;
  Out() { io.SetTarget(nullptr); }
  Bytes Data() const { return Bytes(io.Data(), io.Data() + io.Size()); }
};

void Append(Bytes& b, std::initializer_list<uint32_t> words) {
  for (uint32_t w : words) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(w >> s));
  }
}
void AppendText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
uint32_t Word(const char* c) {
  return (uint32_t{static_cast<uint8_t>(c[0])} << 24) | (uint32_t{static_cast<uint8_t>(c[1])} << 16) |
         (uint32_t{static_cast<uint8_t>(c[2])} << 8) | static_cast<uint8_t>(c[3]);
}

// One item of an item list carrying text: item box, "data" box, type 1.
Bytes TextItem(uint32_t itemType, const std::string& value) {
  Bytes b;
  const uint32_t n = static_cast<uint32_t>(value.size());
  Append(b, {24 + n, itemType, 16 + n, Word("data"), 1, 0});
  AppendText(b, value);
  return b;
}

// Writes `box` and returns its bytes, after checking GetSize against them.
template <class Box>
Bytes WriteChecked(Box& box, Out& out) {
  const uint32_t predicted = box.GetSize();
  box.Write();
  Bytes b = out.Data();
  EXPECT_EQ(predicted, b.size());
  return b;
}

// The item list inside a meta box written at offset 0.
struct MetaView {
  std::vector<BoxSpan> children;  // hdlr, [keys], ilst
  std::vector<BoxSpan> items;
};
MetaView ViewMeta(const Bytes& b, bool mdta) {
  MetaView v;
  const auto top = SplitBoxes(b, 0, b.size());
  if (top.size() != 1 || top[0].type != "meta") {
    ADD_FAILURE() << "not a single meta box";
    return v;
  }
  v.children = SplitBoxes(b, top[0].Body(mdta ? 0 : 4), top[0].End());
  if (!v.children.empty() && v.children.back().type == "ilst") {
    v.items = SplitBoxes(b, v.children.back().Body(), v.children.back().End());
  }
  return v;
}

bool HostIsLittleEndian() {
  const uint16_t one = 1;
  uint8_t first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// ---------------------------------------------------------------------------
// Known keys (the item-list form under "udta")

TEST(KnownKeys, KeyNameAndItemCodeAddressOneEntryAndLaterValueWins) {
  struct Case {
    const char* first;
    const char* second;
  };
  const Case cases[] = {{"title", "\xA9nam"}, {"\xA9nam", "title"}, {"title", "title"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " then " + c.second);
    Out out;
    CMp4MetaAtom meta(&out.io);
    EXPECT_TRUE(meta.SetMeta(c.first, "first", 0, 1, nullptr));
    EXPECT_TRUE(meta.SetMeta(c.second, "later", 0, 1, nullptr));
    const Bytes b = WriteChecked(meta, out);
    const MetaView v = ViewMeta(b, false);
    ASSERT_EQ(1u, v.items.size());
    EXPECT_EQ(TextItem(0xA96E616D, "later"), Slice(b, v.items[0].offset, v.items[0].size));
  }
}

TEST(KnownKeys, EachKeyNameMapsToItsItemCodeInTableOrder) {
  // Set in reverse order: the list is written in table order regardless.
  const std::pair<const char*, uint32_t> table[] = {
      {"title", 0xA96E616D},     {"artist", 0xA9415254},   {"album_artist", Word("aART")},
      {"composer", 0xA9777274},  {"album", 0xA9616C62},    {"date", 0xA9646179},
      {"encoding_tool", 0xA9746F6F}, {"comment", 0xA9636D74}, {"genre", 0xA967656E},
      {"copyright", 0xA9637079}, {"grouping", 0xA9677270}, {"lyrics", 0xA96C7972},
      {"description", Word("desc")}, {"synopsis", Word("ldes")}, {"show", Word("tvsh")},
      {"episode_id", Word("tven")}, {"network", Word("tvnn")},
  };
  Out out;
  CMp4MetaAtom meta(&out.io);
  for (size_t i = std::size(table); i-- > 0;) EXPECT_TRUE(meta.SetMeta(table[i].first, table[i].first, 0, 1, nullptr));
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, false);
  ASSERT_EQ(std::size(table), v.items.size());
  for (size_t i = 0; i < std::size(table); ++i) {
    SCOPED_TRACE(table[i].first);
    EXPECT_EQ(TextItem(table[i].second, table[i].first), Slice(b, v.items[i].offset, v.items[i].size));
  }
}

TEST(KnownKeys, OtherKeysDeclinedAndMissingValueClears) {
  Out out;
  CMp4MetaAtom meta(&out.io);
  EXPECT_FALSE(meta.SetMeta("location", "+48.8+002.3/", 0, 1, nullptr));
  EXPECT_FALSE(meta.SetMeta("Title", "x", 0, 1, nullptr));  // names are case-sensitive
  EXPECT_FALSE(meta.SetMeta("\xC2\xA9nam", "x", 0, 1, nullptr));  // © in UTF-8 is not the code byte
  EXPECT_TRUE(meta.SetMeta("genre", "jazz", 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("album_artist", "A", 0, 1, nullptr));
  EXPECT_FALSE(meta.SetMeta("genre", nullptr, 0, 1, nullptr));
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, false);
  ASSERT_EQ(1u, v.items.size());
  EXPECT_EQ("aART", v.items[0].type);
  EXPECT_FALSE(meta.m_bHasKeys);
}

TEST(KnownKeys, TextIsBoundedByTheDeclaredLength) {
  // A value buffer of exactly its bytes, without a terminator: a caller
  // that states the length is never read past it.
  auto raw = std::make_unique<char[]>(5);
  std::memcpy(raw.get(), "Album", 5);
  Out out;
  CMp4MetaAtom meta(&out.io);
  EXPECT_TRUE(meta.SetMeta("album", raw.get(), 5, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("date", "2024\0junk", 9, 1, nullptr));  // ends at the zero byte
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, false);
  ASSERT_EQ(2u, v.items.size());
  EXPECT_EQ(TextItem(0xA9616C62, "Album"), Slice(b, v.items[0].offset, v.items[0].size));
  EXPECT_EQ(TextItem(0xA9646179, "2024"), Slice(b, v.items[1].offset, v.items[1].size));
}

// ---------------------------------------------------------------------------
// Free keys (the keys form in "moov")

TEST(FreeKeys, LocationBecomesKeyOneUnderMdta) {
  Out out;
  CMp4MetaAtom meta(&out.io, true);
  EXPECT_TRUE(meta.SetMeta("location", "+48.8+002.3/", 0, 1, nullptr));
  const Bytes b = WriteChecked(meta, out);

  Bytes e;
  Append(e, {8 + 33 + 32 + 8 + 24 + 12, Word("meta")});
  Append(e, {33, Word("hdlr"), 0, 0, Word("mdta"), Word("appl"), 0, 0});
  e.push_back(0);
  Append(e, {32, Word("keys"), 0, 1, 16, Word("mdta")});
  AppendText(e, "location");
  Append(e, {8 + 24 + 12, Word("ilst")});
  const Bytes item = TextItem(1, "+48.8+002.3/");
  e.insert(e.end(), item.begin(), item.end());
  EXPECT_EQ(e, b);
}

TEST(FreeKeys, Int32ValueIsWrittenBigEndianInA28ByteItem) {
  const int32_t values[] = {42, -2, 0x01020304};
  Out out;
  CMp4MetaAtom meta(&out.io, true);
  for (int32_t v : values) EXPECT_TRUE(meta.SetMeta("rating", &v, 4, 21, "com."));
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, true);
  ASSERT_EQ(3u, v.items.size());
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes e;
    Append(e, {28, i + 1, 20, Word("data"), 21, 0, static_cast<uint32_t>(values[i])});
    EXPECT_EQ(e, Slice(b, v.items[i].offset, v.items[i].size));
  }
  EXPECT_EQ(0x0000002Au, ReadBE32(b, v.items[0].offset + 24));
}

TEST(FreeKeys, ShortValuesAndNamespacesAreZeroPadded) {
  // Heap buffers of exactly the declared sizes, so that a read past them is
  // caught by the address sanitizer.
  auto one = std::make_unique<uint8_t[]>(1);
  one[0] = 0x2A;
  auto two = std::make_unique<uint8_t[]>(2);
  two[0] = 0x01;
  two[1] = 0x02;
  auto ns = std::make_unique<char[]>(3);
  std::memcpy(ns.get(), "ab", 3);
  auto blob = std::make_unique<uint8_t[]>(3);
  blob[0] = 0xFF;
  blob[1] = 0x00;
  blob[2] = 0x7F;

  Out out;
  CMp4MetaAtom meta(&out.io, true);
  EXPECT_TRUE(meta.SetMeta("one", one.get(), 1, 21, ns.get()));
  EXPECT_TRUE(meta.SetMeta("two", two.get(), 2, 21, ""));
  EXPECT_TRUE(meta.SetMeta("blob", blob.get(), 3, 0, "abcdefgh"));
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, true);
  ASSERT_EQ(3u, v.children.size());
  ASSERT_EQ(3u, v.items.size());

  // The integer is the four value bytes (missing ones zero) in host order.
  const bool le = HostIsLittleEndian();
  EXPECT_EQ(le ? 0x0000002Au : 0x2A000000u, ReadBE32(b, v.items[0].offset + 24));
  EXPECT_EQ(le ? 0x00000201u : 0x01020000u, ReadBE32(b, v.items[1].offset + 24));
  Bytes blobItem;
  Append(blobItem, {27, 3, 19, Word("data"), 1, 0});
  blobItem.insert(blobItem.end(), {0xFF, 0x00, 0x7F});
  EXPECT_EQ(blobItem, Slice(b, v.items[2].offset, v.items[2].size));

  Bytes keys;
  Append(keys, {16 + 11 + 11 + 12, Word("keys"), 0, 3});
  Append(keys, {11, Word("ab\0\0")});
  AppendText(keys, "one");
  Append(keys, {11, 0});
  AppendText(keys, "two");
  Append(keys, {12, Word("abcd")});
  AppendText(keys, "blob");
  EXPECT_EQ(keys, Slice(b, v.children[1].offset, v.children[1].size));
}

TEST(FreeKeys, UnknownTypeIsDroppedButItsKeyStays) {
  Out out;
  CMp4MetaAtom meta(&out.io, true);
  EXPECT_TRUE(meta.SetMeta("odd", "zz", 0, 7, nullptr));
  EXPECT_TRUE(meta.SetMeta("name", "N", 0, 1, nullptr));
  bvtest::StdoutCapture cap;
  const Bytes b = WriteChecked(meta, out);
  const std::string log = cap.Take();
  EXPECT_NE(std::string::npos, log.find("unknown meta data type:7")) << log;
  const MetaView v = ViewMeta(b, true);
  ASSERT_EQ(1u, v.items.size());
  EXPECT_EQ(TextItem(2, "N"), Slice(b, v.items[0].offset, v.items[0].size));
  EXPECT_EQ(2u, ReadBE32(b, v.children[1].offset + 12));  // both keys listed
}

TEST(FreeKeys, KeyWithoutValueIsListedButDeclined) {
  Out out;
  CMp4MetaAtom meta(&out.io, true);
  EXPECT_FALSE(meta.SetMeta("empty", nullptr, 0, 1, nullptr));
  EXPECT_TRUE(meta.SetMeta("full", "v", 0, 1, nullptr));
  const Bytes b = WriteChecked(meta, out);
  const MetaView v = ViewMeta(b, true);
  ASSERT_EQ(1u, v.items.size());
  EXPECT_EQ(TextItem(2, "v"), Slice(b, v.items[0].offset, v.items[0].size));
}

// ---------------------------------------------------------------------------

TEST(Udta, EmptyHoldsMetaWithHandlerAndEmptyItemList) {
  Out out;
  bv::CMp4UdtaAtom udta(&out.io);
  const Bytes b = WriteChecked(udta, out);
  Bytes e;
  Append(e, {61, Word("udta"), 53, Word("meta"), 0});
  Append(e, {33, Word("hdlr"), 0, 0, Word("mdir"), Word("appl"), 0, 0});
  e.push_back(0);
  Append(e, {8, Word("ilst")});
  EXPECT_EQ(e, b);
}

// GetSize agrees with the bytes written in every state a metadata box can be in.
struct MetaState {
  std::string name;
  bool mdta;
  std::function<void(CMp4MetaAtom&)> fill;
};
void PrintTo(const MetaState& s, std::ostream* os) { *os << s.name; }

class MetaSize : public ::testing::TestWithParam<MetaState> {};

TEST_P(MetaSize, GetSizeEqualsBytesWritten) {
  const MetaState& s = GetParam();
  {
    Out out;
    CMp4MetaAtom meta(&out.io, s.mdta);
    s.fill(meta);
    const Bytes b = WriteChecked(meta, out);
    EXPECT_EQ(b.size(), ReadBE32(b, 0));
    ViewMeta(b, s.mdta);  // every nested size field must tile its parent
  }
  if (!s.mdta) {
    Out out;
    bv::CMp4UdtaAtom udta(&out.io);
    s.fill(udta.m_meta);
    const Bytes b = WriteChecked(udta, out);
    EXPECT_EQ(b.size(), ReadBE32(b, 0));
  }
}

const int32_t kAnswer = 42;

INSTANTIATE_TEST_SUITE_P(
    States, MetaSize,
    ::testing::Values(
        MetaState{"mdir_empty", false, [](CMp4MetaAtom&) {}},
        MetaState{"mdir_one", false, [](CMp4MetaAtom& m) { m.SetMeta("title", "T", 0, 1, nullptr); }},
        MetaState{"mdir_cleared", false,
                  [](CMp4MetaAtom& m) {
                    m.SetMeta("title", "T", 0, 1, nullptr);
                    m.SetMeta("title", nullptr, 0, 1, nullptr);
                  }},
        MetaState{"mdir_many", false,
                  [](CMp4MetaAtom& m) {
                    m.SetMeta("artist", "An artist", 0, 1, nullptr);
                    m.SetMeta("\xA9" "cmt", "", 0, 1, nullptr);
                    m.SetMeta("network", "net", 0, 1, nullptr);
                  }},
        MetaState{"mdta_empty", true, [](CMp4MetaAtom&) {}},
        MetaState{"mdta_keys_only", true, [](CMp4MetaAtom& m) { m.SetMeta("k", nullptr, 0, 1, nullptr); }},
        MetaState{"mdta_mixed", true,
                  [](CMp4MetaAtom& m) {
                    m.SetMeta("text", "hello", 0, 1, "udta");
                    m.SetMeta("bytes", "\x01\x00\x02", 3, 0, nullptr);
                    m.SetMeta("int", &kAnswer, 4, 21, nullptr);
                    m.SetMeta("weird", "w", 0, 99, nullptr);
                    m.SetMeta("negative", "n", 0, -1, nullptr);
                  }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
