// Movie, track and media-information boxes checked against layouts computed
// by hand from ISO/IEC 14496-12 and the QuickTime file format.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_walk.h"
#include "mdhd.h"
#include "minf_headers.h"
#include "mvhd.h"
#include "test_support.h"
#include "tkhd.h"

namespace {

using bv::CBufferIO;
using bvtest::BoxSpan;
using bvtest::ReadBE32;
using bvtest::SplitBoxes;
using bvtest::Types;
using Bytes = std::vector<uint8_t>;

// An in-memory output stream with no target.
struct Out {
  CBufferIO io;
  Out() { io.SetTarget(nullptr); }
  Bytes Data() const { return Bytes(io.Data(), io.Data() + io.Size()); }
};

void Append(Bytes& b, std::initializer_list<uint32_t> words) {
  for (uint32_t w : words) {
    b.push_back(static_cast<uint8_t>(w >> 24));
    b.push_back(static_cast<uint8_t>(w >> 16));
    b.push_back(static_cast<uint8_t>(w >> 8));
    b.push_back(static_cast<uint8_t>(w));
  }
}
void AppendText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
uint32_t FourCCWord(const char* c) {
  return (uint32_t{static_cast<uint8_t>(c[0])} << 24) | (uint32_t{static_cast<uint8_t>(c[1])} << 16) |
         (uint32_t{static_cast<uint8_t>(c[2])} << 8) | static_cast<uint8_t>(c[3]);
}
const std::initializer_list<uint32_t> kUnity = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// ---------------------------------------------------------------------------
// Every box, both versions: the bytes written, the size field and GetSize
// agree with the size worked out by hand.

struct SizeCase {
  std::string name;
  std::function<std::unique_ptr<bv::CMp4Atom>(bv::IBaseIO*)> make;
  uint32_t expected;
  const char* type;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

template <class Box>
std::function<std::unique_ptr<bv::CMp4Atom>(bv::IBaseIO*)> Make(std::function<void(Box&)> setup = nullptr) {
  return [setup](bv::IBaseIO* io) {
    auto box = std::make_unique<Box>(io);
    if (setup) setup(*box);
    return std::unique_ptr<bv::CMp4Atom>(std::move(box));
  };
}

std::vector<SizeCase> SizeCases() {
  using namespace bv;
  auto v1 = [](auto& b) { b.m_bVersion1 = true; };
  auto refs = [](uint32_t n) {
    return Make<CMp4RefTrakAtom>([n](CMp4RefTrakAtom& t) {
      if (n == 0) return;
      auto ref = std::make_shared<CMp4RefTrackTypeAtom>(t.Stream(), CMp4RefTrackTypeAtom::kTimeCode);
      for (uint32_t i = 0; i < n; ++i) ref->AddTrackId(i + 2);
      t.Add(ref);
    });
  };
  return {
      {"mvhd_v0", Make<CMp4MvhdAtom>(), 108, "mvhd"},
      {"mvhd_v1", Make<CMp4MvhdAtom>(v1), 120, "mvhd"},
      {"tkhd_v0", Make<CMp4TkhdAtom>(), 92, "tkhd"},
      {"tkhd_v1", Make<CMp4TkhdAtom>(v1), 104, "tkhd"},
      {"mdhd_v0", Make<CMp4MdhdAtom>(), 32, "mdhd"},
      {"mdhd_v1", Make<CMp4MdhdAtom>(v1), 44, "mdhd"},
      {"elst_v0", Make<CMp4ElstAtom>(), 28, "elst"},
      {"elst_v1", Make<CMp4ElstAtom>(v1), 36, "elst"},
      {"edts_v0", Make<CMp4EdtsAtom>(), 36, "edts"},
      {"edts_v1", Make<CMp4EdtsAtom>([](CMp4EdtsAtom& e) { e.m_elst.m_bVersion1 = true; }), 44, "edts"},
      {"tref_empty", refs(0), 8, "tref"},
      {"tref_one_id", refs(1), 20, "tref"},
      {"tref_three_ids", refs(3), 28, "tref"},
      {"hdlr_video", Make<CMp4VideoHdlrAtom>(), 45, "hdlr"},
      {"hdlr_audio", Make<CMp4AudioHdlrAtom>(), 45, "hdlr"},
      {"hdlr_timecode", Make<CMp4SubtHdlrAtom>(), 48, "hdlr"},
      {"hdlr_captions", Make<CMp4SubtitleHdlrAtom>(), 48, "hdlr"},
      {"hdlr_data", Make<CMp4UrlHdlrAtom>(), 44, "hdlr"},
      {"vmhd", Make<CMp4VmhdAtom>(), 20, "vmhd"},
      {"smhd", Make<CMp4SmhdAtom>(), 16, "smhd"},
      {"dref", Make<CMp4DrefAtom>(), 28, "dref"},
      {"dinf", Make<CMp4DinfAtom>(), 36, "dinf"},
      {"gmin", Make<CMp4GminAtom>(), 24, "gmin"},
      {"text", Make<CMp4TextAtom>(), 44, "text"},
      {"tmcd_tcmi", Make<CMp4TcmiAtom>(), 54, "tmcd"},
      {"gmhd", Make<CMp4GmhdAtom>(), 130, "gmhd"},
      {"nmhd", Make<CMp4NmhdAtom>(), 76, "nmhd"},
      {"tmcd_udta", Make<CMp4TMCDUdatAtom>(), 28, "udta"},
  };
}

class BoxSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(BoxSize, GetSizeEqualsBytesWrittenAndSizeField) {
  const SizeCase& c = GetParam();
  Out out;
  auto box = c.make(&out.io);
  EXPECT_EQ(c.expected, box->GetSize());
  box->Write();
  const Bytes b = out.Data();
  ASSERT_EQ(c.expected, b.size());
  EXPECT_EQ(c.expected, ReadBE32(b, 0));
  EXPECT_EQ(c.type, bvtest::FourCC(b, 4));
  // Writing again produces the same bytes: staging buffers are left empty.
  box->Write();
  const Bytes twice = out.Data();
  ASSERT_EQ(2 * b.size(), twice.size());
  EXPECT_EQ(b, Bytes(twice.begin() + static_cast<long>(b.size()), twice.end()));
}

TEST_P(BoxSize, FailedStreamReceivesNothing) {
  Out out;
  auto box = GetParam().make(&out.io);
  out.io.state = bv::IBaseIO::kFailed;
  EXPECT_NO_THROW(box->Write());
  EXPECT_EQ(0u, out.io.Size());
  // Nothing stays behind in a staging buffer once the stream is back.
  out.io.state = bv::IBaseIO::kOpen;
  box->Write();
  EXPECT_EQ(GetParam().expected, out.io.Size());
}

INSTANTIATE_TEST_SUITE_P(AllBoxes, BoxSize, ::testing::ValuesIn(SizeCases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------

TEST(Mvhd, LayoutMatchesHandComputedBytesInBothVersions) {
  {
    Out out;
    bv::CMp4MvhdAtom mvhd(&out.io);
    mvhd.m_duration = 0x1234567890ull;  // only the low 32 bits fit version 0
    mvhd.m_nextTrackId = 3;
    mvhd.Write();
    Bytes e;
    Append(e, {108, FourCCWord("mvhd"), 0, 0, 0, 1000, 0x34567890, 0x00010000});
    Append(e, {0x01000000, 0, 0});  // volume 1.0 then 10 reserved bytes
    Append(e, kUnity);
    Append(e, {0, 0, 0, 0, 0, 0, 4});
    EXPECT_EQ(e, out.Data());
  }
  {
    Out out;
    bv::CMp4MvhdAtom mvhd(&out.io);
    mvhd.m_bVersion1 = true;
    mvhd.m_duration = 0x1234567890ull;
    mvhd.Write();  // no track declared: next track ID 2
    const Bytes b = out.Data();
    EXPECT_EQ(0x01000000u, ReadBE32(b, 8));
    EXPECT_EQ(1000u, ReadBE32(b, 28));
    EXPECT_EQ(0x1234567890ull, bvtest::BE64(b, 32));
    EXPECT_EQ(0x00010000u, ReadBE32(b, 40));
    EXPECT_EQ(0x00010000u, ReadBE32(b, 56));  // matrix a
    EXPECT_EQ(0x40000000u, ReadBE32(b, 88));  // matrix w
    EXPECT_EQ(2u, ReadBE32(b, 116));
  }
}

TEST(Tkhd, FlagsVolumeAndDimensionsFollowTrackKind) {
  struct Kind {
    const char* name;
    uint32_t width, height;
    uint16_t group;
    bool disabled;
    uint32_t flags;
    uint16_t volume;
  };
  const Kind kinds[] = {
      {"video", 1920, 1080, 0, false, 3, 0},
      {"audio", 0, 0, 1, false, 3, 0x0100},
      {"timecode", 0, 0, 0, true, 2, 0x0100},
      {"captions", 720, 480, 0, false, 3, 0},
  };
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.name);
    Out out;
    bv::CMp4TkhdAtom tkhd(&out.io);
    tkhd.m_trackId = 7;
    tkhd.m_duration = 10000;
    tkhd.m_width = k.width;
    tkhd.m_height = k.height;
    tkhd.m_alternateGroup = k.group;
    tkhd.m_bDisabled = k.disabled;
    tkhd.Write();
    Bytes e;
    Append(e, {92, FourCCWord("tkhd"), k.flags, 0, 0, 7, 0, 10000, 0, 0});
    Append(e, {k.group, uint32_t{k.volume} << 16});
    Append(e, kUnity);
    Append(e, {k.width << 16, k.height << 16});
    EXPECT_EQ(e, out.Data());
  }
  Out out;
  bv::CMp4TkhdAtom tkhd(&out.io);
  tkhd.m_bVersion1 = true;
  tkhd.m_trackId = 2;
  tkhd.m_duration = 0x100000002ull;
  tkhd.Write();
  const Bytes b = out.Data();
  EXPECT_EQ(0x01000003u, ReadBE32(b, 8));
  EXPECT_EQ(2u, ReadBE32(b, 28));
  EXPECT_EQ(0x100000002ull, bvtest::BE64(b, 36));
  EXPECT_EQ(0x0100u, ReadBE32(b, 56) >> 16);  // no width: audible
}

TEST(Elst, OneEditOverTheWholeMediaAtRateOne) {
  Out out;
  bv::CMp4EdtsAtom edts(&out.io);
  edts.m_elst.m_segmentDuration = 10000;
  edts.Write();
  Bytes e;
  Append(e, {36, FourCCWord("edts"), 28, FourCCWord("elst"), 0, 1, 10000, 0, 0x00010000});
  EXPECT_EQ(e, out.Data());

  Out out1;
  bv::CMp4ElstAtom elst(&out1.io);
  elst.m_bVersion1 = true;
  elst.m_segmentDuration = 0x200000001ull;
  elst.Write();
  Bytes e1;
  Append(e1, {36, FourCCWord("elst"), 0x01000000, 1, 2, 1, 0, 0, 0x00010000});
  EXPECT_EQ(e1, out1.Data());
}

TEST(Mdhd, TimeScaleDurationAndLanguageUnd) {
  Out out;
  bv::CMp4MdhdAtom mdhd(&out.io);
  mdhd.m_timeScale = 90000;
  mdhd.m_duration = 900000;
  mdhd.Write();
  Bytes e;
  Append(e, {32, FourCCWord("mdhd"), 0, 0, 0, 90000, 900000, 0x55C40000});
  EXPECT_EQ(e, out.Data());

  Out out1;
  bv::CMp4MdhdAtom mdhd1(&out1.io);
  mdhd1.m_bVersion1 = true;
  mdhd1.m_duration = 0x300000004ull;
  mdhd1.Write();
  Bytes e1;
  Append(e1, {44, FourCCWord("mdhd"), 0x01000000, 0, 0, 0, 0, 1000, 3, 4, 0x55C40000});
  EXPECT_EQ(e1, out1.Data());
}

TEST(Hdlr, ComponentTypesAndCountedNames) {
  using namespace bv;
  struct Case {
    std::function<std::unique_ptr<CMp4Atom>(IBaseIO*)> make;
    const char* type;
    const char* subtype;
    std::string name;
  };
  const Case cases[] = {
      {Make<CMp4VideoHdlrAtom>(), "mhlr", "vide", "VideoHandler"},
      {Make<CMp4AudioHdlrAtom>(), "mhlr", "soun", "SoundHandler"},
      {Make<CMp4SubtHdlrAtom>(), "mhlr", "tmcd", "TimeCodeHandler"},
      {Make<CMp4SubtitleHdlrAtom>(), "mhlr", "clcp", "brelvane stream"},
      {Make<CMp4UrlHdlrAtom>(), "dhlr", "url ", "DataHandler"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Out out;
    auto hdlr = c.make(&out.io);
    hdlr->Write();
    Bytes e;
    Append(e, {static_cast<uint32_t>(33 + c.name.size()), FourCCWord("hdlr"), 0, FourCCWord(c.type),
               FourCCWord(c.subtype), 0, 0, 0});
    e.push_back(static_cast<uint8_t>(c.name.size()));
    AppendText(e, c.name);
    EXPECT_EQ(e, out.Data());
  }
}

TEST(Tref, ListsEachReferencedTrackOnceUpToEight) {
  Out out;
  bv::CMp4RefTrakAtom tref(&out.io);
  auto tc = std::make_shared<bv::CMp4RefTrackTypeAtom>(&out.io, bv::CMp4RefTrackTypeAtom::kTimeCode);
  EXPECT_TRUE(tc->AddTrackId(3));
  EXPECT_FALSE(tc->AddTrackId(3));
  tref.Add(tc);
  EXPECT_EQ(20u, tref.GetSize());
  tref.Write();
  Bytes e;
  Append(e, {20, FourCCWord("tref"), 12, FourCCWord("tmcd"), 3});
  EXPECT_EQ(e, out.Data());

  for (uint32_t id = 4; id < 20; ++id) tc->AddTrackId(id);
  EXPECT_EQ(8u, tc->m_count);
  EXPECT_EQ(8u + 8 + 32, tref.GetSize());

  // A kind other than time code has no type code of its own.
  Out other;
  bv::CMp4RefTrackTypeAtom hint(&other.io, 1);
  hint.AddTrackId(9);
  hint.Write();
  Bytes eo;
  Append(eo, {12, 0, 9});
  EXPECT_EQ(eo, other.Data());
}

TEST(MediaHeaders, ConstantBoxesMatchHandComputedBytes) {
  Out out;
  bv::CMp4VmhdAtom(&out.io).Write();
  bv::CMp4SmhdAtom(&out.io).Write();
  bv::CMp4DinfAtom(&out.io).Write();
  Bytes e;
  Append(e, {20, FourCCWord("vmhd"), 1, 0, 0});
  Append(e, {16, FourCCWord("smhd"), 0, 0});
  Append(e, {36, FourCCWord("dinf"), 28, FourCCWord("dref"), 0, 1, 12, FourCCWord("url "), 1});
  EXPECT_EQ(e, out.Data());
}

TEST(GenericMediaHeaders, GmhdHoldsGminTextAndTimeCodeInfo) {
  Out out;
  bv::CMp4GmhdAtom gmhd(&out.io);
  gmhd.Write();
  const Bytes b = out.Data();
  ASSERT_EQ(130u, b.size());
  const auto top = SplitBoxes(b, 0, b.size());
  ASSERT_EQ(1u, top.size());
  const auto kids = SplitBoxes(b, top[0].Body(), top[0].End());
  ASSERT_EQ((std::vector<std::string>{"gmin", "text", "tmcd"}), Types(kids));

  Bytes gmin;
  Append(gmin, {24, FourCCWord("gmin"), 0, 0x00408000, 0x80008000, 0});
  EXPECT_EQ(gmin, bvtest::Slice(b, kids[0].offset, kids[0].size));

  Bytes text;
  Append(text, {44, FourCCWord("text")});
  Append(text, kUnity);
  EXPECT_EQ(text, bvtest::Slice(b, kids[1].offset, kids[1].size));

  const auto tcmi = SplitBoxes(b, kids[2].Body(), kids[2].End());
  ASSERT_EQ(1u, tcmi.size());
  Bytes t;
  Append(t, {46, FourCCWord("tcmi"), 0, 0x00000001, 0x000C0000, 0xFFFFFFFF, 0xFFFF0000, 0});
  t.push_back(13);
  AppendText(t, "Lucida Grande");
  EXPECT_EQ(t, bvtest::Slice(b, tcmi[0].offset, tcmi[0].size));

  // The MP4 time-code header: gmin and text without the QuickTime part.
  Out nout;
  bv::CMp4NmhdAtom nmhd(&nout.io);
  nmhd.Write();
  const Bytes n = nout.Data();
  ASSERT_EQ(76u, n.size());
  const auto nk = SplitBoxes(n, 8, n.size());
  EXPECT_EQ((std::vector<std::string>{"gmin", "text"}), Types(nk));
  EXPECT_EQ(gmin, bvtest::Slice(n, nk[0].offset, nk[0].size));
  EXPECT_EQ(text, bvtest::Slice(n, nk[1].offset, nk[1].size));
}

TEST(TimeCodeUserData, NameBoxCarriesBrelvane) {
  Out out;
  bv::CMp4TMCDUdatAtom udta(&out.io);
  udta.Write();
  Bytes e;
  Append(e, {28, FourCCWord("udta"), 20, FourCCWord("name")});
  AppendText(e, "Brelvane");
  Append(e, {0});
  EXPECT_EQ(e, out.Data());
}

// ---------------------------------------------------------------------------
// In-place updates: the box is written behind other data, more data follows,
// and the update must change exactly the duration bytes.

struct UpdateCase {
  std::string name;
  std::function<std::unique_ptr<bv::CMp4Atom>(bv::IBaseIO*)> make;
  std::function<void(bv::CMp4Atom&, uint64_t)> setDuration;
  std::function<void(bv::CMp4Atom&)> update;
  uint32_t offset;
  uint32_t width;
  const char* neverWrittenMessage;
};

void PrintTo(const UpdateCase& c, std::ostream* os) { *os << c.name; }

template <class Box>
UpdateCase Upd(std::string name, bool v1, uint32_t offset, const char* msg, uint64_t Box::*field) {
  return {name,
          Make<Box>([v1](Box& b) { b.m_bVersion1 = v1; }),
          [field](bv::CMp4Atom& a, uint64_t d) { static_cast<Box&>(a).*field = d; },
          [](bv::CMp4Atom& a) { static_cast<Box&>(a).Update(); },
          offset,
          v1 ? 8u : 4u,
          msg};
}

std::vector<UpdateCase> UpdateCases() {
  using namespace bv;
  return {
      Upd<CMp4MvhdAtom>("mvhd_v0", false, 24, "logic error", &CMp4MvhdAtom::m_duration),
      Upd<CMp4MvhdAtom>("mvhd_v1", true, 32, "logic error", &CMp4MvhdAtom::m_duration),
      Upd<CMp4TkhdAtom>("tkhd_v0", false, 28, "logic error", &CMp4TkhdAtom::m_duration),
      Upd<CMp4TkhdAtom>("tkhd_v1", true, 36, "logic error", &CMp4TkhdAtom::m_duration),
      Upd<CMp4MdhdAtom>("mdhd_v0", false, 24, "logic error", &CMp4MdhdAtom::m_duration),
      Upd<CMp4MdhdAtom>("mdhd_v1", true, 32, "logic error", &CMp4MdhdAtom::m_duration),
      Upd<CMp4ElstAtom>("elst_v0", false, 16, "logic error, start position is 0", &CMp4ElstAtom::m_segmentDuration),
      Upd<CMp4ElstAtom>("elst_v1", true, 16, "logic error, start position is 0", &CMp4ElstAtom::m_segmentDuration),
  };
}

class InPlaceUpdate : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(InPlaceUpdate, RewritesOnlyTheDurationBytes) {
  const UpdateCase& c = GetParam();
  Out out;
  const Bytes before(100, 0xEE);
  out.io.Write(before.data(), static_cast<uint32_t>(before.size()));
  auto box = c.make(&out.io);
  c.setDuration(*box, 0x0101010101010101ull);
  box->Write();
  const Bytes after(50, 0xDD);
  out.io.Write(after.data(), static_cast<uint32_t>(after.size()));
  const Bytes written = out.Data();
  const int64_t end = out.io.Ftell();

  const uint64_t value = 0xA1B2C3D4E5F60718ull;
  c.setDuration(*box, value);
  c.update(*box);
  const Bytes patched = out.Data();
  EXPECT_EQ(end, out.io.Ftell());
  ASSERT_EQ(written.size(), patched.size());

  const size_t at = before.size() + c.offset;
  Bytes expected = written;
  for (uint32_t i = 0; i < c.width; ++i) {
    expected[at + i] = static_cast<uint8_t>(value >> (8 * (c.width - 1 - i)));
  }
  EXPECT_EQ(expected, patched);
}

TEST_P(InPlaceUpdate, NeverWrittenBoxLogsLogicErrorAndWritesNothing) {
  const UpdateCase& c = GetParam();
  Out out;
  auto box = c.make(&out.io);
  c.setDuration(*box, 5);
  bvtest::StdoutCapture cap;
  c.update(*box);
  const std::string log = cap.Take();
  EXPECT_NE(std::string::npos, log.find(std::string("[error]")));
  EXPECT_NE(std::string::npos, log.find(c.neverWrittenMessage)) << log;
  EXPECT_EQ(0u, out.io.Size());
}

INSTANTIATE_TEST_SUITE_P(DurationFields, InPlaceUpdate, ::testing::ValuesIn(UpdateCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
