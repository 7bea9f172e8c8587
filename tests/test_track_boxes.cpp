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
         Bytes{uint8_t(name.size())} + name;
}
const Bytes kGmin = Words({24, Code("gmin"), 0, 0x00408000, 0x80008000, 0});
const Bytes kText = Words({44, Code("text")}) + kUnity;

// Every box in both versions, with the bytes worked out by hand. Boxes with
// a duration rewritten in place name where it lies and a function that sets
// it and updates the written box.
using Retime = std::function<void(CMp4Atom&, uint64_t)>;
struct Layout {
  const char* name;
  Maker make;
  Bytes expected;
  Retime retime = nullptr;
  uint32_t at = 0, width = 0;
};
template <class Box>
Retime Duration() {
  return [](CMp4Atom& a, uint64_t d) {
    static_cast<Box&>(a).m_duration = d;
    static_cast<Box&>(a).Update();
  };
}
std::vector<Layout> Layouts() {
  return {
      {"mvhd_v0", Make<CMp4MvhdAtom>([](CMp4MvhdAtom& m) {
         m.m_duration = 0x1234567890ull;  // only the low 32 bits fit version 0
         m.m_nextTrackId = 3;
       }),
       Words({108, Code("mvhd"), 0, 0, 0, 1000, 0x34567890, 0x00010000, 0x01000000, 0, 0}) + kUnity +
           Words({0, 0, 0, 0, 0, 0, 4}),
       Duration<CMp4MvhdAtom>(), 24, 4},
      {"mvhd_v1", Make<CMp4MvhdAtom>([](CMp4MvhdAtom& m) {
         m.m_bVersion1 = true;
         m.m_duration = 0x1234567890ull;  // no track declared: next track ID 2
       }),
       Words({120, Code("mvhd"), 0x01000000, 0, 0, 0, 0, 1000, 0x12, 0x34567890, 0x00010000, 0x01000000, 0, 0}) +
           kUnity + Words({0, 0, 0, 0, 0, 0, 2}),
       Duration<CMp4MvhdAtom>(), 32, 8},
      {"tkhd_video", Tkhd(1920, 1080, 0, false), TkhdBytes(3, 1920, 1080, 0, 0), Duration<CMp4TkhdAtom>(), 28, 4},
      {"tkhd_audio", Tkhd(0, 0, 1, false), TkhdBytes(3, 0, 0, 1, 0x0100)},
      {"tkhd_timecode", Tkhd(0, 0, 0, true), TkhdBytes(2, 0, 0, 0, 0x0100)},
      {"tkhd_v1", Make<CMp4TkhdAtom>([](CMp4TkhdAtom& t) {
         t.m_bVersion1 = true;
         t.m_trackId = 2;
         t.m_duration = 0x100000002ull;
       }),
       Words({104, Code("tkhd"), 0x01000003, 0, 0, 0, 0, 2, 0, 1, 2, 0, 0, 0, 0x01000000}) + kUnity + Words({0, 0}),
       Duration<CMp4TkhdAtom>(), 36, 8},
      {"mdhd_v0", Make<CMp4MdhdAtom>([](CMp4MdhdAtom& m) {
         m.m_timeScale = 90000;
         m.m_duration = 900000;
       }),
       Words({32, Code("mdhd"), 0, 0, 0, 90000, 900000, 0x55C40000})},
      {"mdhd_v1", Make<CMp4MdhdAtom>([](CMp4MdhdAtom& m) {
         m.m_bVersion1 = true;
         m.m_duration = 0x300000004ull;
       }),
       Words({44, Code("mdhd"), 0x01000000, 0, 0, 0, 0, 1000, 3, 4, 0x55C40000}), Duration<CMp4MdhdAtom>(), 32, 8},
      {"edts_v0", Make<CMp4EdtsAtom>([](CMp4EdtsAtom& e) { e.m_elst.m_segmentDuration = 10000; }),
       Words({36, Code("edts"), 28, Code("elst"), 0, 1, 10000, 0, 0x00010000})},
      {"edts_v1", Make<CMp4EdtsAtom>([](CMp4EdtsAtom& e) {
         e.m_elst.m_bVersion1 = true;
         e.m_elst.m_segmentDuration = 0x200000001ull;
       }),
       Words({44, Code("edts"), 36, Code("elst"), 0x01000000, 1, 2, 1, 0, 0, 0x00010000}),
       [](CMp4Atom& a, uint64_t d) {
         static_cast<CMp4EdtsAtom&>(a).m_elst.m_segmentDuration = d;
         static_cast<CMp4EdtsAtom&>(a).m_elst.Update();
       },
       8 + 16, 8},
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
           Words({54, Code("tmcd"), 46, Code("tcmi"), 0, 1, 0x000C0000, 0xFFFFFFFF, 0xFFFF0000, 0}) + Bytes{13} + "Lucida Grande"},
      {"nmhd", Make<CMp4NmhdAtom>(), Words({76, Code("nmhd")}) + kGmin + kText},  // without the QuickTime part
      {"tmcd_udta", Make<CMp4TMCDUdatAtom>(), Words({28, Code("udta"), 20, Code("name")}) + "Brelvane" + Words({0})},
  };
}

// The bytes written equal the hand-made ones, GetSize announced them, a
// second write repeats them (no staging buffer left full) and a failed
// stream receives nothing and keeps nothing staged for later. An in-place
// update of a box written behind other data, with more data after it,
// changes exactly the duration bytes; a box never written logs a logic
// error and writes nothing.
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
    if (!c.retime) continue;

    MemoryStream file;
    const Bytes before(100, 0xEE), after(50, 0xDD);
    file.Write(before.data(), 100);
    auto timed = c.make(&file);
    timed->Write();
    file.Write(after.data(), 50);
    Bytes expected = file.All();
    const uint64_t value = 0xA1B2C3D4E5F60718ull;
    c.retime(*timed, value);
    EXPECT_EQ(static_cast<int64_t>(expected.size()), file.Ftell());
    for (uint32_t i = 0; i < c.width; ++i)
      expected[100 + c.at + i] = static_cast<uint8_t>(value >> (8 * (c.width - 1 - i)));
    EXPECT_EQ(expected, file.All());

    MemoryStream never;
    auto unwritten = c.make(&never);
    bvtest::StdoutCapture cap;
    c.retime(*unwritten, value);
    const std::string log = cap.Take();
    EXPECT_NE(std::string::npos, log.find("[error]"));
    EXPECT_NE(std::string::npos, log.find("logic error")) << log;
    EXPECT_EQ(0u, never.Size());
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

}  // namespace
