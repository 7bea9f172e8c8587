// Presentation times: streams with B-frames recorded through
// mp4_write_video_frame_ex against the MP4 FFmpeg wrote while encoding them,
// and the tool's presentation order at the edges of the picture order count:
// H.264 memory management operation 5 (no common encoder emits it, so the
// streams are built here bit by bit) and HEVC pictures that are not output.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/poc_order.h"
#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;
using bvtool::PictureOrder;
using bvtool::VideoCodec;
using Bytes = std::vector<uint8_t>;

namespace {

struct Times {
  uint32_t timescale = 0;
  std::vector<long long> pts, dts, duration;  // decode order
};

// "pts,dts,duration" lines, as the media script and ffprobe's csv list them.
Times ReadTimes(std::istream& in) {
  Times t;
  std::string line;
  while (std::getline(in, line)) {
    long long p = 0, d = 0, n = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &p, &d, &n) != 3) {
      if (line.find('/') != std::string::npos) t.timescale = static_cast<uint32_t>(std::stoul(line.substr(line.find('/') + 1)));
      continue;
    }
    t.pts.push_back(p);
    t.dts.push_back(d);
    t.duration.push_back(n);
  }
  return t;
}

Times ProbeTimes(const std::string& path) {
  std::istringstream out(RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,duration "
                                    "-of csv=p=0 '" + path + "'"));
  return ReadTimes(out);
}

// Decoded pictures, each with its times and checksum.
std::string FrameMd5(const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f framemd5 - | grep -v '^#'");
}

// Decoded pictures of the encoder's own MP4 of a stream, once per run.
const std::string& ReferenceMd5(const std::string& name) {
  static std::map<std::string, std::string> cache;
  std::string& md5 = cache[name];
  if (md5.empty()) md5 = FrameMd5(DataPath(name + ".mp4"));
  return md5;
}

mp4_config_t Config(uint32_t ioMode, uint8_t flags) { return bvtest::RecordingConfig(ioMode, flags, 2, 10); }

// Per-packet pts and dts equal up to one shift of both, durations equal;
// `got` may be a prefix of `ref` (a file left by a kill).
void ExpectSameTimes(const Times& ref, const Times& got, const std::string& what, bool prefix = false) {
  ASSERT_TRUE(prefix ? got.pts.size() <= ref.pts.size() : got.pts.size() == ref.pts.size()) << what;
  ASSERT_FALSE(got.pts.empty()) << what;
  const long long shift = got.dts[0] - ref.dts[0];
  // The last sample of a prefix has no successor to measure its own from.
  for (size_t i = 0; i + (prefix ? 1 : 0) < got.pts.size(); ++i) {
    EXPECT_EQ(ref.dts[i] + shift, got.dts[i]) << what << " dts of packet " << i;
    EXPECT_EQ(ref.pts[i] + shift, got.pts[i]) << what << " pts of packet " << i;
    EXPECT_EQ(ref.duration[i], got.duration[i]) << what << " duration of packet " << i;
  }
}

// The reference streams, every layout and output mode: the file plays as the
// encoder's own MP4 does, frame for frame. A recording killed after its last
// side-file flush is repaired to the file a close writes; a safe-mode file
// copied while recording (as a kill leaves it) plays the frames of its last
// update with the reference's times. Decode times run late by `delay` frames
// make presentation times earlier than decode times: signed offsets. With
// `toolOrder` the presentation times are the tool's reading of the picture
// order counts: a stream cut at a CRA keeps its RASL pictures, presented
// before the CRA and so outside the edit list, as in FFmpeg's MP4.
TEST(BFrames, FilesPresentLikeTheEncodersOwnMp4) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  enum Kill { kNone, kRepair, kCopy };
  const struct Case {
    const char* stream;
    uint32_t codec, ioMode;
    uint8_t flags;
    const char* file;
    Kill kill;
    int delay, cttsVersion;
    bool toolOrder = false;
  } cases[] = {
      {"bf_hevc_cra", MP4_VIDEO_HEVC, MP4_IO_FILE, 0, "cra.mp4", kNone, 0, 0, true},
      {"bf_h264_pyramid", MP4_VIDEO_H264, MP4_IO_FILE, 0, "pyramid.mp4", kNone, 0, 0},
      {"bf_h264_flat", MP4_VIDEO_H264, MP4_IO_FILE, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "flat.mov", kNone, 0, 0},
      {"bf_hevc", MP4_VIDEO_HEVC, MP4_IO_FILE, MP4_FLAG_TIME64, "hevc.mp4", kNone, 0, 0},
      {"bf_h264_pyramid", MP4_VIDEO_H264, MP4_IO_SAFE_WRITE, 0, "safe.mp4", kNone, 0, 0},
      {"bf_hevc", MP4_VIDEO_HEVC, MP4_IO_SAFE_WRITE, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "safe_hevc.mov", kNone, 0, 0},
      {"bf_h264_pyramid", MP4_VIDEO_H264, MP4_IO_FILE, MP4_FLAG_REPAIR, "repair.mp4", kRepair, 0, 0},
      {"bf_hevc", MP4_VIDEO_HEVC, MP4_IO_FILE, MP4_FLAG_REPAIR | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "repair.mov",
       kRepair, 0, 0},
      {"bf_h264_flat", MP4_VIDEO_H264, MP4_IO_SAFE_WRITE, 0, "killed_safe.mp4", kCopy, 0, 0},
      {"bf_hevc", MP4_VIDEO_HEVC, MP4_IO_SAFE_WRITE, MP4_FLAG_TIME64, "killed_safe.mov", kCopy, 0, 0},
      {"bf_h264_pyramid", MP4_VIDEO_H264, MP4_IO_FILE, 0, "negative.mp4", kNone, 2, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.file);
    TempDir dir;
    const std::string path = dir.File(k.file), killed = dir.File(std::string("killed_") + k.file);
    const std::string name = k.stream, stream = name + (k.codec == MP4_VIDEO_HEVC ? ".hevc" : ".h264");
    // The encoder's MP4's packet times as ffprobe lists them.
    std::ifstream timesFile(DataPath(name + ".times.txt"));
    const Times ref = ReadTimes(timesFile);
    Times t = ref;
    const std::vector<MediaFrame> frames = LoadAccessUnits(stream);
    ASSERT_EQ(frames.size(), t.dts.size());
    if (k.toolOrder) {
      uint64_t delay = 0;
      const bvtool::VideoCodec codec = k.codec == MP4_VIDEO_HEVC ? bvtool::VideoCodec::kHevc : bvtool::VideoCodec::kH264;
      const std::vector<uint64_t> slots = bvtool::PresentationSlots(DataPath(stream), codec, &delay);
      ASSERT_EQ(frames.size(), slots.size());
      ASSERT_GT(delay, 0u);
      for (size_t i = 0; i < frames.size(); ++i) {
        t.dts[i] = t.dts[0] + t.duration[0] * static_cast<long long>(i);
        t.pts[i] = t.dts[0] + t.duration[0] * static_cast<long long>(slots[i] + delay);
      }
    }
    const ParameterSets sets = FirstParameterSets(stream, k.codec == MP4_VIDEO_HEVC);
    StdoutCapture quiet;
    const mp4_config_t c = Config(k.ioMode, k.flags);
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_full_ex(path.c_str(), &c, &h));
    if (k.kill == kRepair) { ASSERT_EQ(0, mp4_repair_set_flush_interval(h, 10)); }
    mp4_video_track_info_t v = VideoTrack(k.codec, t.timescale, static_cast<uint64_t>(t.duration[0]), 160, 120);
    sets.Fill(v);
    ASSERT_EQ(0, mp4_set_video_track(h, &v));
    // Hosts stamp from 0: the encoder's negative first decode time is shifted.
    for (size_t i = 0; i < frames.size(); ++i) {
      const uint64_t dts = static_cast<uint64_t>(t.dts[i] - t.dts[0] + k.delay * t.duration[0]);
      const uint64_t pts = static_cast<uint64_t>(t.pts[i] - t.dts[0]);
      ASSERT_EQ(0, mp4_write_video_frame_ex(h, frames[i].bytes.data(), static_cast<uint32_t>(frames[i].bytes.size()),
                                            dts, pts)) << "frame " << i;
    }
    if (k.kill != kNone) CopyFile(path, killed);
    if (k.kill == kRepair) CopyFile(path + ".info", killed + ".info");
    ASSERT_EQ(0, mp4_close_file(h));
    if (k.kill == kRepair) {
      ASSERT_EQ(0, mp4_repair_file_ex(killed.c_str(), 1));
      EXPECT_TRUE(ReadFile(path) == ReadFile(killed));
    }
    quiet.Take();

    if (k.delay == 0) {
      ExpectSameTimes(ref, ProbeTimes(path), path);
      EXPECT_EQ("", RunCommand("ffmpeg -nostdin -v warning -i '" + path + "' -f null - 2>&1"));
    }
    EXPECT_EQ(ReferenceMd5(name), FrameMd5(path));
    EXPECT_EQ("", Probe(path).errors);
    EXPECT_EQ("", DecodeErrors(path));
    const BoxTree tree(ReadFile(path));
    const Box* ctts = tree.Find("moov/trak/mdia/minf/stbl/ctts");
    ASSERT_NE(nullptr, ctts);
    EXPECT_EQ(k.cttsVersion, tree.U8(ctts->PayloadOffset()));
    if (k.kill == kCopy) {
      const Times got = ProbeTimes(killed);
      EXPECT_GT(got.pts.size(), 10u) << "an update happened";
      EXPECT_LT(got.pts.size(), t.pts.size());
      ExpectSameTimes(ref, got, killed, true);
      EXPECT_EQ("", Probe(killed).errors);
      EXPECT_EQ("", DecodeErrors(killed));
    }
  }
}

// Input a host may get wrong, in both output modes: each case is refused
// with a result code, or recorded as a file that plays; the file always
// closes. Frames presented in decode order write no composition table (safe
// write keeps the one it reserved hidden). Every frame is the key frame, so
// that a refused one leaves nothing undecodable.
TEST(BFrames, PresentationTimesAreRefusedOrRecorded) {
  const std::vector<uint8_t> key = LoadAccessUnits("bf_h264_pyramid.h264").at(0).bytes;
  const ParameterSets sets = FirstParameterSets("bf_h264_pyramid.h264", false);  // safe write wants them
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> times;  // dts, pts
    std::vector<int> rc;
    bool ctts;
  };
  const uint64_t big = 1ull << 31;
  const Case cases[] = {
      {"decode order", {{0, 0}, {512, 512}, {1024, 1024}}, {0, 0, 0}, false},
      {"single frame", {{0, 1024}}, {0}, true},
      {"offset past 31 bits", {{0, 1024}, {512, 512 + big}, {1024, 1024 - big - 1}, {1024, 2048}},
       {0, MP4_ERR_INVALID_PARAM, MP4_ERR_INVALID_PARAM, 0}, true},
      {"largest offsets", {{big, big + big - 1}, {big + 512, 512}}, {0, 0}, true},
      {"decode time going back", {{1024, 2048}, {512, 1024}, {1536, 1536}}, {0, MP4_ERR_INVALID_PARAM, 0}, true},
  };
  for (const uint32_t ioMode : {MP4_IO_FILE, MP4_IO_SAFE_WRITE}) {
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(k.name) + ", io mode " + std::to_string(ioMode));
      TempDir dir;
      const std::string path = dir.File("edge.mp4");
      StdoutCapture quiet;
      const mp4_config_t c = Config(ioMode, 0);
      mp4_handle h = nullptr;
      ASSERT_EQ(0, mp4_create_file_full_ex(path.c_str(), &c, &h));
      mp4_video_track_info_t v = VideoTrack(MP4_VIDEO_H264, 12800, 512, 160, 120);
      sets.Fill(v);
      ASSERT_EQ(0, mp4_set_video_track(h, &v));
      for (size_t i = 0; i < k.times.size(); ++i) {
        EXPECT_EQ(k.rc[i], mp4_write_video_frame_ex(h, key.data(), static_cast<uint32_t>(key.size()),
                                                    k.times[i].first, k.times[i].second))
            << "frame " << i;
      }
      EXPECT_EQ(0, mp4_close_file(h));
      quiet.Take();
      const BoxTree tree(ReadFile(path));
      EXPECT_TRUE(tree.Errors().empty());
      EXPECT_EQ(k.ctts, tree.Find("moov/trak/mdia/minf/stbl/ctts") != nullptr);
      if (ConformanceToolsAvailable()) { EXPECT_EQ("", Probe(path).errors); }
    }
  }
}

// --- The tool's presentation order at the edges of the picture order count

enum class Kind { kIdr, kP, kB };
enum class Marking { kNone, kMmco5, kMmco1Then5, kMmco1 };

struct H264Picture {
  Kind kind;
  uint32_t lsb;
  Marking marking;
};

// Order count type 0 with 4-bit lsb, 4-bit frame_num; `weighted` sets
// weighted_pred_flag in the PPS.
Bytes H264Head(bool weighted) {
  // Main profile; SPS 0, both lengths 4 bits, type 0; 2 references, 10x8
  // macroblocks, frames only, direct 8x8, no cropping, no VUI.
  Bytes au = BitWriter().U(0x67, 8).U(77, 8).U(0, 16).Ue({0, 0, 0, 0, 2}).U(0, 1).Ue({9, 7}).U(0xC, 4).AnnexB();
  const Bytes pps =
      BitWriter().U(0x68, 8).Ue({0, 0}).U(0, 2).Ue({0, 0, 0}).U(weighted, 1).U(0, 2).Ue({0, 0, 0}).U(4, 3).AnnexB();
  au.insert(au.end(), pps.begin(), pps.end());
  return au;
}

// One slice; reference P slices also carry an override of the list size, a
// list modification and, with `weighted`, a weight table before the marking.
Bytes H264Slice(const H264Picture& p, uint32_t frameNum, bool weighted) {
  const bool idr = p.kind == Kind::kIdr, ref = p.kind == Kind::kP;
  BitWriter b;
  b.U(idr ? 0x65 : ref ? 0x41 : 0x01, 8).Ue({0, idr ? 7u : ref ? 5u : 6u, 0}).U(frameNum & 15, 4);
  if (idr) b.Ue({0});
  b.U(p.lsb, 4);
  if (idr) return b.U(0, 2).AnnexB();
  if (!ref) return b.U(8, 4).AnnexB();  // direct spatial; no override or modification; not a reference
  b.U(1, 1).Ue({1}).U(1, 1).Ue({0, 0, 3});
  if (weighted) {
    b.Ue({5, 5});
    for (int i = 0; i < 2; ++i) b.U(1, 1).Se(3).Se(-2).U(1, 1).Se(1).Se(0).Se(-1).Se(2);
  }
  switch (p.marking) {
    case Marking::kNone: b.U(0, 1); break;
    case Marking::kMmco5: b.U(1, 1).Ue({5, 0}); break;
    case Marking::kMmco1Then5: b.U(1, 1).Ue({1, 0, 5, 0}); break;
    case Marking::kMmco1: b.U(1, 1).Ue({1, 0, 0}); break;
  }
  return b.AnnexB();
}

// Operation 5 presents every earlier picture first and counts the pictures
// after it from 0; other operations leave the count alone. The P slices
// carry list sizes, modifications and weights that the reader must step over
// to reach the marking.
TEST(PocEdges, H264MemoryManagementOperation5RestartsTheCount) {
  struct Case {
    const char* name;
    bool weighted;
    Marking marking;
    std::vector<uint64_t> slots;
    uint64_t delay;  // the most a picture is presented before its decode slot
  };
  // Decode order: IDR 0, P 6, B 2, B 4, then P 12 with the marking, P 6, B 2, B 4.
  const Case cases[] = {
      {"operation 5", false, Marking::kMmco5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      {"operation 5 behind weights", true, Marking::kMmco5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      {"operation 1 then 5", true, Marking::kMmco1Then5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      // Without a restart P 12 comes last and the later 6, 2 and 4 count on
      // from the earlier ones.
      {"operation 1 only", true, Marking::kMmco1, {0, 5, 1, 3, 7, 6, 2, 4}, 4},
      {"no marking", false, Marking::kNone, {0, 5, 1, 3, 7, 6, 2, 4}, 4},
  };
  for (const Case& c : cases) {
    const H264Picture pictures[] = {
        {Kind::kIdr, 0, Marking::kNone}, {Kind::kP, 6, Marking::kNone}, {Kind::kB, 2, Marking::kNone},
        {Kind::kB, 4, Marking::kNone},   {Kind::kP, 12, c.marking},     {Kind::kP, 6, Marking::kNone},
        {Kind::kB, 2, Marking::kNone},   {Kind::kB, 4, Marking::kNone},
    };
    PictureOrder order(VideoCodec::kH264);
    uint32_t frameNum = 0;
    for (const H264Picture& p : pictures) {
      Bytes au = frameNum == 0 ? H264Head(c.weighted) : Bytes();
      const Bytes slice = H264Slice(p, frameNum, c.weighted);
      au.insert(au.end(), slice.begin(), slice.end());
      order.Add(au);
      frameNum += p.kind != Kind::kB;
    }
    uint64_t delay = 0;
    EXPECT_EQ(c.slots, order.Slots(&delay)) << c.name;
    EXPECT_EQ(c.delay, delay) << c.name;
  }
}

// A picture with pic_output_flag 0 keeps the slot its count gives it, and the
// flag's bit is stepped over to reach the count.
TEST(PocEdges, HevcPicturesNotOutputKeepTheirSlot) {
  PictureOrder order(VideoCodec::kHevc);
  // One layer, temporal nesting, a blank profile; 160x120 4:2:0, 8-bit lsb.
  Bytes head = BitWriter().U(0x4201, 16).U(1, 8).U(0, 96).Ue({0, 1, 160, 120}).U(0, 1).Ue({0, 0, 4}).AnnexB();
  const Bytes pps = BitWriter().U(0x4401, 16).Ue({0, 0}).U(0, 1).U(1, 1).U(0, 3).AnnexB();  // output flag present
  head.insert(head.end(), pps.begin(), pps.end());
  struct Picture {
    uint8_t type;
    uint32_t lsb;
    bool output;
  };
  const Picture pictures[] = {{19, 0, true}, {1, 4, true}, {0, 2, false}, {0, 1, true}, {0, 3, true}};
  for (const Picture& p : pictures) {
    BitWriter b;
    b.U(p.type << 9 | 1, 16).U(1, 1);
    if (p.type >= 16) b.U(0, 1);
    b.Ue({0, p.type >= 16 ? 2u : 1u}).U(p.output, 1);
    if (p.type != 19) b.U(p.lsb, 8);
    Bytes au = p.type == 19 ? head : Bytes();
    const Bytes slice = b.AnnexB();
    au.insert(au.end(), slice.begin(), slice.end());
    order.Add(au);
  }
  uint64_t delay = 0;
  EXPECT_EQ((std::vector<uint64_t>{0, 4, 2, 1, 3}), order.Slots(&delay));
  EXPECT_EQ(2u, delay);
}

}  // namespace
