// Tracks that start at different times on one clock: with
// MP4_FLAG_KEEP_TRACK_STARTS each keeps its offset from the earliest (an
// empty edit), as FFmpeg's muxer does for the same packets; without it every
// track starts at 0.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;

namespace {

// ffprobe's start times of the video and the audio stream, in milliseconds.
std::vector<long long> StartsMs(const ProbeResult& probe) {
  std::vector<long long> ms;
  for (const char* type : {"video", "audio"}) {
    const ProbedStream* s = probe.Stream(type);
    ms.push_back(s ? std::llround(s->Real("start_time") * 1000) : -1);
  }
  return ms;
}

// Audio from 0 and video from 0.5 s on one clock; the repair case is killed
// after its last side-file flush and repaired.
TEST(TrackStarts, KeptStartsMatchFfmpegsFileOfTheSamePackets) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
  const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  TempDir dir;
  const std::string ref = dir.File("ffmpeg.mp4");
  // A raw stream has no times for -itsoffset to move: the video goes
  // through an MP4 of its own first.
  const std::string timed = dir.File("video.mp4");
  RunCommand("ffmpeg -nostdin -v error -framerate 25 -i '" + DataPath("video_h264.h264") + "' -c copy '" + timed + "'");
  RunCommand("ffmpeg -nostdin -v error -i '" + DataPath("audio_48000_2.aac") + "' -itsoffset 0.5 -i '" + timed +
             "' -map 0 -map 1 -c copy '" + ref + "'");
  const std::vector<long long> want = StartsMs(Probe(ref));
  ASSERT_EQ(500, want[0]) << "FFmpeg's file";
  ASSERT_EQ(0, want[1]) << "FFmpeg's file";
  struct Case {
    uint8_t flags;
    const char* file;
    std::vector<long long> starts;
  };
  const Case cases[] = {
      {MP4_FLAG_KEEP_TRACK_STARTS, "kept.mp4", want},
      {MP4_FLAG_KEEP_TRACK_STARTS | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, "kept.mov", want},
      {MP4_FLAG_KEEP_TRACK_STARTS | MP4_FLAG_REPAIR, "repaired.mp4", want},
      {0, "rebased.mp4", {0, 0}},
  };
  for (const Case& k : cases) {
    const std::string path = dir.File(k.file), killed = dir.File(std::string("killed_") + k.file);
    StdoutCapture quiet;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), k.flags, &h));
    if (k.flags & MP4_FLAG_REPAIR) {
      ASSERT_EQ(0, mp4_repair_set_flush_interval(h, 10));
    }
    const mp4_video_track_info_t v = H264TrackWithParameterSets();
    const mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
    ASSERT_EQ(0, mp4_set_video_track(h, &v));
    ASSERT_EQ(0, mp4_set_audio_track(h, &a));
    // In time order; video from 45000 ticks (0.5 s), ending on a video frame.
    size_t vi = 0, ai = 0;
    while (vi < video.size()) {
      const bool videoNext = ai >= audio.size() || 45000 + 3600 * vi <= ai * 1024 * 90000 / 48000;
      const MediaFrame& f = videoNext ? video[vi] : audio[ai];
      const uint32_t size = static_cast<uint32_t>(f.bytes.size());
      const int rc = videoNext ? mp4_write_video_frame(h, f.bytes.data(), size, 45000 + 3600 * vi++)
                               : mp4_write_audio_frame(h, f.bytes.data(), size, 1024 * ai++);
      ASSERT_EQ(0, rc) << k.file;
    }
    const bool repair = (k.flags & MP4_FLAG_REPAIR) != 0;
    if (repair) CopyWithSideFile(path, killed);
    ASSERT_EQ(0, mp4_close_file(h));
    if (repair) {
      ASSERT_EQ(0, mp4_repair_file_ex(killed.c_str(), 1));
      EXPECT_TRUE(ReadFile(path) == ReadFile(killed)) << k.file;
    }
    quiet.Take();
    EXPECT_EQ(k.starts, StartsMs(Probe(path))) << k.file;
    ExpectPlayable(path);
  }
}

}  // namespace
