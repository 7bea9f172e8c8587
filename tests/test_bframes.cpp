// Presentation times: streams with B-frames recorded through
// mp4_write_video_frame_ex against the MP4 FFmpeg wrote while encoding them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// The reference's packet times as the media script listed them.
Times LoadTimes(const std::string& name) {
  Times t;
  std::ifstream in(DataPath(name + ".times.txt"));
  std::string line;
  if (std::getline(in, line)) t.timescale = static_cast<uint32_t>(std::stoul(line.substr(line.find('/') + 1)));
  while (std::getline(in, line)) {
    long long p = 0, d = 0, n = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &p, &d, &n) != 3) continue;
    t.pts.push_back(p);
    t.dts.push_back(d);
    t.duration.push_back(n);
  }
  return t;
}

// ffprobe's per-packet times of the video stream, in its own time base.
Times ProbeTimes(const std::string& path) {
  Times t;
  std::istringstream out(RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts,duration "
                                    "-of csv=p=0 '" + path + "'"));
  std::string line;
  while (std::getline(out, line)) {
    long long p = 0, d = 0, n = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld,%lld", &p, &d, &n) != 3) continue;
    t.pts.push_back(p);
    t.dts.push_back(d);
    t.duration.push_back(n);
  }
  return t;
}

// Decoded pictures, each with its times and checksum.
std::string FrameMd5(const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f framemd5 - | grep -v '^#'");
}

std::string Warnings(const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v warning -i '" + path + "' -f null - 2>&1");
}

// The parameter sets of a key frame, for a track info (safe mode wants them
// before the first frame).
struct ParameterSets {
  std::vector<uint8_t> vps, sps, pps;

  ParameterSets(const std::vector<uint8_t>& au, uint32_t codec) {
    size_t i = 0;
    while (i + 3 < au.size()) {
      if (!(au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1)) {
        ++i;
        continue;
      }
      const size_t start = i + 3;
      size_t end = start;
      while (end + 2 < au.size() && !(au[end] == 0 && au[end + 1] == 0 && (au[end + 2] == 1 || au[end + 2] == 0))) {
        ++end;
      }
      if (end + 2 >= au.size()) end = au.size();
      const std::vector<uint8_t> nal(au.begin() + static_cast<long>(start), au.begin() + static_cast<long>(end));
      const int type = nal.empty() ? -1 : codec == MP4_VIDEO_HEVC ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
      if (codec == MP4_VIDEO_HEVC ? type == 32 : false) vps = nal;
      if (type == (codec == MP4_VIDEO_HEVC ? 33 : 7)) sps = nal;
      if (type == (codec == MP4_VIDEO_HEVC ? 34 : 8)) pps = nal;
      i = end;
    }
  }
  void Fill(mp4_video_track_info_t& v) const {
    v.sps = sps.data();
    v.sps_size = static_cast<uint16_t>(sps.size());
    v.pps = pps.data();
    v.pps_size = static_cast<uint16_t>(pps.size());
    v.vps = vps.empty() ? nullptr : vps.data();
    v.vps_size = static_cast<uint16_t>(vps.size());
  }
};

struct Recording {
  std::string stream;  // tests/data name of the Annex-B stream
  uint32_t codec;
  uint32_t ioMode;
  uint8_t flags;
  const char* file;
};

struct Feed {
  long long dtsShift = 0;  // added to every decode time
  long long ptsShift = 0;  // added to every presentation time
};

// Records `r` from the stream and its times; the handle is closed unless
// `keepOpen`, in which case it is returned for the caller to end.
mp4_handle Record(const Recording& r, const std::string& path, const Times& t, const Feed& feed, bool keepOpen = false) {
  const std::vector<MediaFrame> frames = LoadAccessUnits(r.stream);
  EXPECT_EQ(frames.size(), t.dts.size()) << r.stream;
  mp4_config_t c{};
  c.flags = r.flags;
  c.io_mode = r.ioMode;
  c.block_size = 4096;
  c.block_num = 2;
  c.max_duration = 10;
  c.update_interval = 1;
  mp4_handle h = nullptr;
  EXPECT_EQ(0, mp4_create_file_full_ex(path.c_str(), &c, &h)) << path;
  if (h == nullptr) return nullptr;
  if (r.flags & MP4_FLAG_REPAIR) { EXPECT_EQ(0, mp4_repair_set_flush_interval(h, 10)); }
  mp4_video_track_info_t v{};
  v.timescale = t.timescale;
  v.frame_duration = static_cast<uint64_t>(t.duration[0]);
  v.codec_type = r.codec;
  v.width = 160;
  v.height = 120;
  const ParameterSets sets(frames[0].bytes, r.codec);
  sets.Fill(v);
  EXPECT_EQ(0, mp4_set_video_track(h, &v)) << path;
  for (size_t i = 0; i < frames.size() && i < t.dts.size(); ++i) {
    const uint64_t dts = static_cast<uint64_t>(t.dts[i] + feed.dtsShift);
    const uint64_t pts = static_cast<uint64_t>(t.pts[i] + feed.ptsShift);
    EXPECT_EQ(0, mp4_write_video_frame_ex(h, frames[i].bytes.data(), static_cast<uint32_t>(frames[i].bytes.size()),
                                          dts, pts))
        << path << " frame " << i;
  }
  if (keepOpen) return h;
  EXPECT_EQ(0, mp4_close_file(h));
  return nullptr;
}

// Per-packet pts and dts equal up to one shift of both, durations equal;
// `got` may be a prefix of `ref` (a file left by a kill).
void ExpectSameTimes(const Times& ref, const Times& got, const std::string& what, bool prefix = false) {
  if (prefix) {
    ASSERT_LE(got.pts.size(), ref.pts.size()) << what;
  } else {
    ASSERT_EQ(ref.pts.size(), got.pts.size()) << what;
  }
  ASSERT_FALSE(got.pts.empty()) << what;
  const long long shift = got.dts[0] - ref.dts[0];
  for (size_t i = 0; i < got.pts.size(); ++i) {
    // The last sample of a prefix has no successor to measure its own from.
    if (prefix && i + 1 == got.pts.size()) break;
    EXPECT_EQ(ref.dts[i] + shift, got.dts[i]) << what << " dts of packet " << i;
    EXPECT_EQ(ref.pts[i] + shift, got.pts[i]) << what << " pts of packet " << i;
    EXPECT_EQ(ref.duration[i], got.duration[i]) << what << " duration of packet " << i;
  }
}

void ExpectLikeReference(const std::string& refName, const std::string& path) {
  const std::string ref = DataPath(refName + ".mp4");
  ExpectSameTimes(ProbeTimes(ref), ProbeTimes(path), path);
  EXPECT_EQ(FrameMd5(ref), FrameMd5(path)) << path;
  EXPECT_EQ("", Warnings(path)) << path;
  EXPECT_EQ("", Probe(path).errors) << path;
}

const Box* Ctts(const BoxTree& tree) { return tree.Find("moov/trak/mdia/minf/stbl/ctts"); }

void Copy(const std::string& from, const std::string& to) {
  const std::vector<uint8_t> b = ReadFile(from);
  FILE* f = std::fopen(to.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

// The reference streams, every layout and output mode: the file plays as the
// encoder's own MP4 does, frame for frame.
TEST(BFrames, FilesPresentLikeTheEncodersOwnMp4) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const Recording recordings[] = {
      {"bf_h264_pyramid.h264", MP4_VIDEO_H264, MP4_IO_FILE, 0, "pyramid.mp4"},
      {"bf_h264_flat.h264", MP4_VIDEO_H264, MP4_IO_FILE, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "flat.mov"},
      {"bf_hevc.hevc", MP4_VIDEO_HEVC, MP4_IO_FILE, MP4_FLAG_TIME64, "hevc.mp4"},
      {"bf_h264_pyramid.h264", MP4_VIDEO_H264, MP4_IO_SAFE_WRITE, 0, "safe.mp4"},
      {"bf_hevc.hevc", MP4_VIDEO_HEVC, MP4_IO_SAFE_WRITE, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "safe_hevc.mov"},
  };
  for (const Recording& r : recordings) {
    TempDir dir;
    const std::string path = dir.File(r.file);
    const std::string name = r.stream.substr(0, r.stream.find('.'));
    const Times t = LoadTimes(name);
    ASSERT_FALSE(t.dts.empty()) << name;
    StdoutCapture quiet;
    // Hosts stamp from 0: the encoder's negative first decode time is shifted.
    const long long shift = -t.dts[0];
    Record(r, path, t, {shift, shift});
    quiet.Take();
    ExpectLikeReference(name, path);
    const BoxTree tree(ReadFile(path));
    const Box* ctts = Ctts(tree);
    ASSERT_NE(nullptr, ctts) << path;
    EXPECT_EQ(0, tree.U8(ctts->PayloadOffset())) << path << ": offsets are all positive, version 0";
  }
}

// A recording killed after its last side-file flush is repaired to the file
// a close writes, composition offsets and edit included; a safe-mode file
// copied while recording (as a kill leaves it) plays the frames of its last
// update as the reference does.
TEST(BFrames, KilledRecordingsKeepTheirPresentationTimes) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const Recording recordings[] = {
      {"bf_h264_pyramid.h264", MP4_VIDEO_H264, MP4_IO_FILE, MP4_FLAG_REPAIR, "repair.mp4"},
      {"bf_hevc.hevc", MP4_VIDEO_HEVC, MP4_IO_FILE, MP4_FLAG_REPAIR | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64,
       "repair.mov"},
      {"bf_h264_flat.h264", MP4_VIDEO_H264, MP4_IO_SAFE_WRITE, 0, "safe.mp4"},
      {"bf_hevc.hevc", MP4_VIDEO_HEVC, MP4_IO_SAFE_WRITE, MP4_FLAG_TIME64, "safe.mov"},
  };
  for (const Recording& r : recordings) {
    TempDir dir;
    const std::string path = dir.File(r.file), killed = dir.File(std::string("killed_") + r.file);
    const std::string name = r.stream.substr(0, r.stream.find('.'));
    const Times t = LoadTimes(name);
    StdoutCapture quiet;
    mp4_handle h = Record(r, path, t, {-t.dts[0], -t.dts[0]}, true);
    ASSERT_NE(nullptr, h);
    Copy(path, killed);
    const bool repair = (r.flags & MP4_FLAG_REPAIR) != 0;
    if (repair) Copy(path + ".info", killed + ".info");
    ASSERT_EQ(0, mp4_close_file(h));
    if (repair) { ASSERT_EQ(0, mp4_repair_file_ex(killed.c_str(), 1)) << killed; }
    quiet.Take();
    if (repair) {
      EXPECT_TRUE(ReadFile(path) == ReadFile(killed)) << killed;
      ExpectLikeReference(name, killed);
      continue;
    }
    const Times got = ProbeTimes(killed);
    EXPECT_GT(got.pts.size(), 10u) << killed << ": an update happened";
    EXPECT_LT(got.pts.size(), t.pts.size()) << killed;
    ExpectSameTimes(ProbeTimes(DataPath(name + ".mp4")), got, killed, true);
    EXPECT_EQ("", Probe(killed).errors) << killed;
    EXPECT_EQ("", DecodeErrors(killed)) << killed;
    ExpectLikeReference(name, path);
  }
}

// Presentation times earlier than decode times need signed offsets (version
// 1); the pictures and their order stay the reference's.
TEST(BFrames, NegativeOffsetsUseVersionOne) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const Recording r{"bf_h264_pyramid.h264", MP4_VIDEO_H264, MP4_IO_FILE, 0, "negative.mp4"};
  const Times t = LoadTimes("bf_h264_pyramid");
  TempDir dir;
  const std::string path = dir.File(r.file);
  StdoutCapture quiet;
  // Decode times run 2 frames later than the encoder's: the first frame is
  // presented as it is decoded, and the B-frames before they are decoded.
  Record(r, path, t, {-t.dts[0] + 2 * t.duration[0], -t.dts[0]});
  quiet.Take();
  const BoxTree tree(ReadFile(path));
  const Box* ctts = Ctts(tree);
  ASSERT_NE(nullptr, ctts);
  EXPECT_EQ(1, tree.U8(ctts->PayloadOffset()));
  EXPECT_EQ(FrameMd5(DataPath("bf_h264_pyramid.mp4")), FrameMd5(path));
  EXPECT_EQ("", Probe(path).errors);
  EXPECT_EQ("", DecodeErrors(path));
}

// Frames presented in decode order write no composition table: the bytes
// are those of the frame call without a presentation time, in every mode.
TEST(BFrames, EqualTimesWriteTheSameBytesAsTheSingleTimeCall) {
  const std::vector<MediaFrame> frames = LoadAccessUnits("video_h264.h264");
  const ParameterSets sets(frames[0].bytes, MP4_VIDEO_H264);
  for (const uint32_t ioMode : {MP4_IO_FILE, MP4_IO_SAFE_WRITE}) {
    TempDir dir;
    std::vector<uint8_t> files[2];
    for (int ex = 0; ex < 2; ++ex) {
      const std::string path = dir.File(ex ? "ex.mp4" : "plain.mp4");
      StdoutCapture quiet;
      mp4_config_t c{};
      c.io_mode = ioMode;
      c.block_size = 4096;
      c.block_num = 2;
      c.max_duration = 10;
      c.update_interval = 1;
      mp4_handle h = nullptr;
      ASSERT_EQ(0, mp4_create_file_full_ex(path.c_str(), &c, &h));
      mp4_video_track_info_t v{};
      v.timescale = 90000;
      v.frame_duration = 3600;
      v.codec_type = MP4_VIDEO_H264;
      v.width = 320;
      v.height = 240;
      sets.Fill(v);
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
    EXPECT_EQ(nullptr, Ctts(BoxTree(files[1]))) << "io mode " << ioMode;
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
    bool hasCtts;
  };
  const uint64_t big = 1ull << 31;
  const Case cases[] = {
      {"single frame", {{0, 1024}}, {0}, true},
      {"offset past 31 bits", {{0, 1024}, {512, 512 + big}, {1024, 1024 - big - 1}, {1024, 2048}},
       {0, MP4_ERR_INVALID_PARAM, MP4_ERR_INVALID_PARAM, 0}, true},
      {"largest offsets", {{big, big + big - 1}, {big + 512, 512}}, {0, 0}, true},
      {"decode time going back", {{1024, 2048}, {512, 1024}, {1536, 1536}}, {0, MP4_ERR_INVALID_PARAM, 0}, true},
  };
  for (const Case& k : cases) {
    TempDir dir;
    const std::string path = dir.File("edge.mp4");
    StdoutCapture quiet;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
    mp4_video_track_info_t v{};
    v.timescale = 12800;
    v.frame_duration = 512;
    v.codec_type = MP4_VIDEO_H264;
    v.width = 160;
    v.height = 120;
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
    EXPECT_EQ(k.hasCtts, Ctts(tree) != nullptr) << k.name;
    if (ConformanceToolsAvailable()) { EXPECT_EQ("", Probe(path).errors) << k.name; }
  }
}

}  // namespace
