// Presentation times: streams with B-frames recorded through
// mp4_write_video_frame_ex against the MP4 FFmpeg wrote while encoding them.
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

// Frames presented in decode order write no composition table: the bytes
// are those of the frame call without a presentation time, in every mode.
TEST(BFrames, EqualTimesWriteTheSameBytesAsTheSingleTimeCall) {
  const std::vector<MediaFrame> frames = LoadAccessUnits("video_h264.h264");
  for (const uint32_t ioMode : {MP4_IO_FILE, MP4_IO_SAFE_WRITE}) {
    TempDir dir;
    std::vector<uint8_t> files[2];
    for (int ex = 0; ex < 2; ++ex) {
      const std::string path = dir.File(ex ? "ex.mp4" : "plain.mp4");
      StdoutCapture quiet;
      const mp4_config_t c = Config(ioMode, 0);
      mp4_handle h = nullptr;
      ASSERT_EQ(0, mp4_create_file_full_ex(path.c_str(), &c, &h));
      const mp4_video_track_info_t v = H264TrackWithParameterSets();
      ASSERT_EQ(0, mp4_set_video_track(h, &v));
      for (size_t i = 0; i < frames.size(); ++i) {
        const uint32_t size = static_cast<uint32_t>(frames[i].bytes.size());
        const uint64_t time = 3600 * i;
        ASSERT_EQ(0, ex ? mp4_write_video_frame_ex(h, frames[i].bytes.data(), size, time, time)
                        : mp4_write_video_frame(h, frames[i].bytes.data(), size, time));
      }
      ASSERT_EQ(0, mp4_close_file(h));
      files[ex] = ReadFile(path);
    }
    EXPECT_TRUE(files[0] == files[1]) << "io mode " << ioMode;
    EXPECT_EQ(nullptr, BoxTree(files[1]).Find("moov/trak/mdia/minf/stbl/ctts")) << "io mode " << ioMode;
  }
}

// Input a host may get wrong: each case is refused with a result code, or
// recorded as a file that plays; the file always closes. Every frame is the
// key frame, so that a refused one leaves nothing undecodable.
TEST(BFrames, BadPresentationTimesAreRefusedOrRecorded) {
  const std::vector<uint8_t> key = LoadAccessUnits("bf_h264_pyramid.h264").at(0).bytes;
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> times;  // dts, pts
    std::vector<int> rc;
  };
  const uint64_t big = 1ull << 31;
  const Case cases[] = {
      {"single frame", {{0, 1024}}, {0}},
      {"offset past 31 bits", {{0, 1024}, {512, 512 + big}, {1024, 1024 - big - 1}, {1024, 2048}},
       {0, MP4_ERR_INVALID_PARAM, MP4_ERR_INVALID_PARAM, 0}},
      {"largest offsets", {{big, big + big - 1}, {big + 512, 512}}, {0, 0}},
      {"decode time going back", {{1024, 2048}, {512, 1024}, {1536, 1536}}, {0, MP4_ERR_INVALID_PARAM, 0}},
  };
  for (const Case& k : cases) {
    TempDir dir;
    const std::string path = dir.File("edge.mp4");
    StdoutCapture quiet;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
    mp4_video_track_info_t v = VideoTrack(MP4_VIDEO_H264, 12800, 512, 160, 120);
    ASSERT_EQ(0, mp4_set_video_track(h, &v));
    for (size_t i = 0; i < k.times.size(); ++i) {
      EXPECT_EQ(k.rc[i], mp4_write_video_frame_ex(h, key.data(), static_cast<uint32_t>(key.size()), k.times[i].first,
                                                  k.times[i].second))
          << k.name << " frame " << i;
    }
    EXPECT_EQ(0, mp4_close_file(h)) << k.name;
    quiet.Take();
    const BoxTree tree(ReadFile(path));
    EXPECT_TRUE(tree.Errors().empty()) << k.name;
    EXPECT_NE(nullptr, tree.Find("moov/trak/mdia/minf/stbl/ctts")) << k.name;
    if (ConformanceToolsAvailable()) { EXPECT_EQ("", Probe(path).errors) << k.name; }
  }
}

}  // namespace
