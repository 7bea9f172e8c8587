// Movie, track and media-information boxes checked against layouts computed
// by hand from the MP4 and QuickTime file formats.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_bytes.h"
#include "mdhd.h"
#include "minf_headers.h"
#include "mvhd.h"
#include "test_support.h"
#include "tkhd.h"

namespace {

using namespace bv;
using namespace bvtest;
using Maker = std::function<std::unique_ptr<CMp4Atom>(IBaseIO*)>;

Bytes T(const std::string& s) { return Bytes(s.begin(), s.end()); }
const Bytes kUnity = Words({0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000});

template <class Box>
Maker Make(std::function<void(Box&)> setup = nullptr) {
  return [setup](IBaseIO* io) {
    auto box = std::make_unique<Box>(io);
    if (setup) setup(*box);
    return std::unique_ptr<CMp4Atom>(std::move(box));
  };
}

Maker Tkhd(uint32_t width, uint32_t height, uint16_t group, bool disabled) {
  return Make<CMp4TkhdAtom>([=](CMp4TkhdAtom& t) {
    t.m_trackId = 7;
    t.m_duration = 10000;
    t.m_width = width;
    t.m_height = height;
    t.m_alternateGroup = group;
    t.m_bDisabled = disabled;
  });
}
Bytes TkhdBytes(uint32_t flags, uint32_t width, uint32_t height, uint32_t group, uint32_t volume) {
  return Words({92, Code("tkhd"), flags, 0, 0, 7, 0, 10000, 0, 0, group, volume << 16}) + kUnity +
         Words({width << 16, height << 16});
}
Maker Tref(uint32_t ids) {
  return Make<CMp4RefTrakAtom>([ids](CMp4RefTrakAtom& t) {
    if (ids == 0) return;
    auto ref = std::make_shared<CMp4RefTrackTypeAtom>(t.Stream(), CMp4RefTrackTypeAtom::kTimeCode);
    for (uint32_t i = 0; i < ids; ++i) ref->AddTrackId(i + 2);
    t.Add(ref);
  });
}
Bytes Hdlr(const char* type, const char* subtype, const std::string& name) {
  return Words({uint32_t(33 + name.size()), Code("hdlr"), 0, Code(type), Code(subtype), 0, 0, 0}) +
         Bytes{uint8_t(name.size())} + T(name);
}
const Bytes kGmin = Words({24, Code("gmin"), 0, 0x00408000, 0x80008000, 0});
const Bytes kText = Words({44, Code("text")}) + kUnity;

// Every box in both versions, with the bytes worked out by hand.
struct Layout {
  const char* name;
  Maker make;
  Bytes expected;
};
std::vector<Layout> Layouts() {
  return {
      {"mvhd_v0", Make<CMp4MvhdAtom>([](CMp4MvhdAtom& m) {
         m.m_duration = 0x1234567890ull;  // only the low 32 bits fit version 0
         m.m_nextTrackId = 3;
       }),
       Words({108, Code("mvhd"), 0, 0, 0, 1000, 0x34567890, 0x00010000, 0x01000000, 0, 0}) + kUnity +
           Words({0, 0, 0, 0, 0, 0, 4})},
      {"mvhd_v1", Make<CMp4MvhdAtom>([](CMp4MvhdAtom& m) {
         m.m_bVersion1 = true;
         m.m_duration = 0x1234567890ull;  // no track declared: next track ID 2
       }),
       Words({120, Code("mvhd"), 0x01000000, 0, 0, 0, 0, 1000, 0x12, 0x34567890, 0x00010000, 0x01000000, 0, 0}) +
           kUnity + Words({0, 0, 0, 0, 0, 0, 2})},
      {"tkhd_video", Tkhd(1920, 1080, 0, false), TkhdBytes(3, 1920, 1080, 0, 0)},
      {"tkhd_audio", Tkhd(0, 0, 1, false), TkhdBytes(3, 0, 0, 1, 0x0100)},
      {"tkhd_timecode", Tkhd(0, 0, 0, true), TkhdBytes(2, 0, 0, 0, 0x0100)},
      {"tkhd_v1", Make<CMp4TkhdAtom>([](CMp4TkhdAtom& t) {
         t.m_bVersion1 = true;
         t.m_trackId = 2;
         t.m_duration = 0x100000002ull;
       }),
       Words({104, Code("tkhd"), 0x01000003, 0, 0, 0, 0, 2, 0, 1, 2, 0, 0, 0, 0x01000000}) + kUnity + Words({0, 0})},
      {"mdhd_v0", Make<CMp4MdhdAtom>([](CMp4MdhdAtom& m) {
         m.m_timeScale = 90000;
         m.m_duration = 900000;
       }),
       Words({32, Code("mdhd"), 0, 0, 0, 90000, 900000, 0x55C40000})},
      {"mdhd_v1", Make<CMp4MdhdAtom>([](CMp4MdhdAtom& m) {
         m.m_bVersion1 = true;
         m.m_duration = 0x300000004ull;
       }),
       Words({44, Code("mdhd"), 0x01000000, 0, 0, 0, 0, 1000, 3, 4, 0x55C40000})},
      {"edts_v0", Make<CMp4EdtsAtom>([](CMp4EdtsAtom& e) { e.m_elst.m_segmentDuration = 10000; }),
       Words({36, Code("edts"), 28, Code("elst"), 0, 1, 10000, 0, 0x00010000})},
      {"edts_v1", Make<CMp4EdtsAtom>([](CMp4EdtsAtom& e) {
         e.m_elst.m_bVersion1 = true;
         e.m_elst.m_segmentDuration = 0x200000001ull;
       }),
       Words({44, Code("edts"), 36, Code("elst"), 0x01000000, 1, 2, 1, 0, 0, 0x00010000})},
      {"tref_empty", Tref(0), Words({8, Code("tref")})},
      {"tref_three_ids", Tref(3), Words({28, Code("tref"), 20, Code("tmcd"), 2, 3, 4})},
      {"hdlr_video", Make<CMp4VideoHdlrAtom>(), Hdlr("mhlr", "vide", "VideoHandler")},
      {"hdlr_timecode", Make<CMp4SubtHdlrAtom>(), Hdlr("mhlr", "tmcd", "TimeCodeHandler")},
      {"hdlr_captions", Make<CMp4SubtitleHdlrAtom>(), Hdlr("mhlr", "clcp", "brelvane stream")},
      {"hdlr_data", Make<CMp4UrlHdlrAtom>(), Hdlr("dhlr", "url ", "DataHandler")},
      {"vmhd", Make<CMp4VmhdAtom>(), Words({20, Code("vmhd"), 1, 0, 0})},
      {"smhd", Make<CMp4SmhdAtom>(), Words({16, Code("smhd"), 0, 0})},
      {"dinf", Make<CMp4DinfAtom>(), Words({36, Code("dinf"), 28, Code("dref"), 0, 1, 12, Code("url "), 1})},
      {"gmhd", Make<CMp4GmhdAtom>(),
       Words({130, Code("gmhd")}) + kGmin + kText +
           Words({54, Code("tmcd"), 46, Code("tcmi"), 0, 1, 0x000C0000, 0xFFFFFFFF, 0xFFFF0000, 0}) + Bytes{13} +
           T("Lucida Grande")},
      {"nmhd", Make<CMp4NmhdAtom>(), Words({76, Code("nmhd")}) + kGmin + kText},  // without the QuickTime part
      {"tmcd_udta", Make<CMp4TMCDUdatAtom>(), Words({28, Code("udta"), 20, Code("name")}) + T("Brelvane") + Words({0})},
  };
}

// The bytes written equal the hand-made ones, GetSize announced them, a
// second write repeats them (no staging buffer left full) and a failed
// stream receives nothing and keeps nothing staged for later.
TEST(BoxLayout, BytesAndGetSizeMatchTheHandComputedLayout) {
  for (const Layout& c : Layouts()) {
    SCOPED_TRACE(c.name);
    MemoryStream out;
    auto box = c.make(&out);
    EXPECT_EQ(c.expected, WriteChecked(*box, out));
    EXPECT_EQ(c.expected, WriteChecked(*box, out));
    EXPECT_EQ(c.expected + c.expected, out.All()) << "the second write leaves the first alone";

    MemoryStream failed;
    auto other = c.make(&failed);
    failed.state = IBaseIO::kFailed;
    EXPECT_NO_THROW(other->Write());
    EXPECT_EQ(0u, failed.Size());
    failed.state = IBaseIO::kOpen;
    other->Write();
    EXPECT_EQ(c.expected, failed.All());
  }
}

TEST(Tref, ListsEachReferencedTrackOnceUpToEight) {
  MemoryStream out;
  CMp4RefTrackTypeAtom tc(&out, CMp4RefTrackTypeAtom::kTimeCode);
  EXPECT_TRUE(tc.AddTrackId(3));
  EXPECT_FALSE(tc.AddTrackId(3));
  for (uint32_t id = 4; id < 20; ++id) tc.AddTrackId(id);
  EXPECT_EQ(8u + 32, tc.GetSize());
  // A kind other than time code has no type code of its own.
  MemoryStream other;
  CMp4RefTrackTypeAtom hint(&other, 1);
  hint.AddTrackId(9);
  hint.Write();
  EXPECT_EQ(Words({12, 0, 9}), other.All());
}

struct UpdateCase {
  const char* name;
  std::function<void(CMp4Atom&, uint64_t)> set;
  std::function<void(CMp4Atom&)> update;
  Maker make;
  uint32_t offset, width;
};
template <class Box, class Field>
UpdateCase Duration(const char* name, Field Box::*field, bool v1, uint32_t offset) {
  return {name, [field](CMp4Atom& a, uint64_t d) { static_cast<Box&>(a).*field = d; },
          [](CMp4Atom& a) { static_cast<Box&>(a).Update(); }, Make<Box>([v1](Box& b) { b.m_bVersion1 = v1; }),
          offset, v1 ? 8u : 4u};
}

// In-place updates: the box is written behind other data, more data follows,
// and the update changes exactly the duration bytes. A box never written
// logs a logic error and writes nothing.
TEST(InPlaceUpdate, RewritesOnlyTheDurationBytes) {
  const UpdateCase cases[] = {
      Duration("mvhd_v0", &CMp4MvhdAtom::m_duration, false, 24),
      Duration("mvhd_v1", &CMp4MvhdAtom::m_duration, true, 32),
      Duration("tkhd_v0", &CMp4TkhdAtom::m_duration, false, 28),
      Duration("tkhd_v1", &CMp4TkhdAtom::m_duration, true, 36),
      Duration("mdhd_v1", &CMp4MdhdAtom::m_duration, true, 32),
      Duration("elst_v1", &CMp4ElstAtom::m_segmentDuration, true, 16),
  };
  for (const UpdateCase& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStream out;
    const Bytes before(100, 0xEE), after(50, 0xDD);
    out.Write(before.data(), 100);
    auto box = c.make(&out);
    c.set(*box, 0x0101010101010101ull);
    box->Write();
    out.Write(after.data(), 50);
    Bytes expected = out.All();
    const int64_t end = out.Ftell();
    const uint64_t value = 0xA1B2C3D4E5F60718ull;
    c.set(*box, value);
    c.update(*box);
    EXPECT_EQ(end, out.Ftell());
    for (uint32_t i = 0; i < c.width; ++i)
      expected[100 + c.offset + i] = static_cast<uint8_t>(value >> (8 * (c.width - 1 - i)));
    EXPECT_EQ(expected, out.All());

    MemoryStream never;
    auto unwritten = c.make(&never);
    bvtest::StdoutCapture cap;
    c.update(*unwritten);
    const std::string log = cap.Take();
    EXPECT_NE(std::string::npos, log.find("[error]"));
    EXPECT_NE(std::string::npos, log.find("logic error")) << log;
    EXPECT_EQ(0u, never.Size());
  }
}

}  // namespace
