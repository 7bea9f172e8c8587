// What the host says against what the stream and its times say, through the
// exports: the stream's own headers decide what the file says, and tracks
// that start at different times keep their offsets when asked to. Oracles:
// ffprobe's view and decode of the result, FFmpeg's own file of the same
// packets, and the repair of a crash copy, which must equal the closed file
// byte for byte.
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

// ADTS streams at several rates and channel counts, declared right, wrong or
// not at all: the file carries the header's rate, channels and object type
// (LC), one warning says so when the declaration disagreed, and a repair of
// the recording agrees with its close.
TEST(HostContradictions, AdtsHeaderDecidesRateChannelsAndObjectType) {
  struct Case {
    const char* file;
    uint16_t rate, channels;
    uint8_t profile;
    long long wantRate, wantChannels;
    bool warns;
  };
  const Case cases[] = {{"audio_44100_2.aac", 44100, 2, 2, 44100, 2, false},
                        {"audio_44100_2.aac", 44100, 2, 0, 44100, 2, false},
                        {"audio_48000_1.aac", 0, 0, 0, 48000, 1, false},
                        {"audio_96000_2.aac", 48000, 1, 1, 96000, 2, true},
                        {"audio_48000_2.aac", 48000, 2, 1, 48000, 2, true},
                        {"audio_44100_2.aac", 48000, 2, 2, 44100, 2, true},
                        {"audio_22050_6.aac", 22050, 2, 2, 22050, 6, true}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto frames = LoadAdtsFrames(c.file);
    ASSERT_GE(frames.size(), 20u);
    const std::string path = dir.File("a.mp4"), crashed = dir.File("crashed.mp4");
    StdoutCapture log;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), MP4_FLAG_REPAIR, &h));
    ASSERT_EQ(0, mp4_repair_set_flush_interval(h, 10));
    const mp4_audio_track_info_t a{static_cast<uint32_t>(c.wantRate), 1024, MP4_AUDIO_AAC_ADTS, c.rate, c.channels,
                                   c.profile};
    ASSERT_EQ(0, mp4_set_audio_track(h, &a));
    for (size_t i = 0; i < 20; ++i) {
      const auto& f = frames[i].bytes;
      ASSERT_EQ(0, mp4_write_audio_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 1024));
    }
    // Twenty records reached the side file at the last flush.
    CopyWithSideFile(path, crashed);
    ASSERT_EQ(0, mp4_close_file(h));
    ASSERT_EQ(0, mp4_repair_file_ex(crashed.c_str(), 1));
    EXPECT_EQ(c.warns ? 1u : 0u, CountOf(log.Take(), "[warn]"));
    EXPECT_EQ(ReadFile(path), ReadFile(crashed));
    if (!ConformanceToolsAvailable()) continue;
    const ProbeResult probe = Probe(path);
    EXPECT_EQ("", probe.errors);
    const ProbedStream* s = probe.Stream("audio");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.wantRate, s->Int("sample_rate"));
    EXPECT_EQ(c.wantChannels, s->Int("channels"));
    EXPECT_EQ("LC", s->Get("profile"));
    EXPECT_EQ(20, s->Int("nb_read_frames"));
    EXPECT_EQ("", DecodeErrors(path));
  }
}

// The NAL units of an access unit: where each starts (its start code
// included) and whether it is a coded slice.
struct Unit {
  size_t start;
  bool picture;
};
std::vector<Unit> Units(const std::vector<uint8_t>& au, uint32_t codec) {
  std::vector<Unit> units;
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] != 0 || au[i + 1] != 0 || au[i + 2] != 1) continue;
    const uint8_t header = au[i + 3];
    const bool picture = codec == MP4_VIDEO_HEVC ? ((header >> 1) & 0x3F) < 32 : (header & 0x1F) - 1u < 5u;
    units.push_back({i > 0 && au[i - 1] == 0 ? i - 1 : i, picture});
  }
  return units;
}

// Calls that carry no picture (delimiters, parameter sets, SEI handed over
// alone) are no samples: the stream fed with them split off, or with every
// unit in a call of its own, gives the very file the whole access units give.
TEST(HostContradictions, CallsWithoutAPictureGiveTheSameSamples) {
  enum Feed { kWhole, kSplitBeforePicture, kUnitByUnit };
  TempDir dir;
  for (const uint32_t codec : {MP4_VIDEO_H264, MP4_VIDEO_HEVC}) {
    const auto aus = LoadAccessUnits(codec == MP4_VIDEO_H264 ? "video_h264.h264" : "video_hevc.h265");
    ASSERT_GE(aus.size(), 10u);
    std::vector<uint8_t> reference;
    for (const Feed feed : {kWhole, kSplitBeforePicture, kUnitByUnit}) {
      SCOPED_TRACE(testing::Message() << "codec " << codec << " feed " << feed);
      const std::string path = dir.File("v" + std::to_string(feed) + ".mp4");
      StdoutCapture quiet;
      mp4_handle h = nullptr;
      ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
      const mp4_video_track_info_t v = VideoTrack(codec, 90000, 3600, 320, 240);
      ASSERT_EQ(0, mp4_set_video_track(h, &v));
      size_t calls = 0;
      for (size_t i = 0; i < aus.size(); ++i) {
        const std::vector<uint8_t>& au = aus[i].bytes;
        std::vector<size_t> cuts{0};
        const std::vector<Unit> units = Units(au, codec);
        bool pictureSeen = false;
        for (size_t k = 1; k < units.size(); ++k) {
          const bool firstPicture = units[k].picture && !pictureSeen && !units[0].picture;
          pictureSeen = pictureSeen || units[k].picture;
          if (feed == kUnitByUnit || (feed == kSplitBeforePicture && firstPicture)) cuts.push_back(units[k].start);
        }
        cuts.push_back(au.size());
        for (size_t c = 0; c + 1 < cuts.size(); ++c, ++calls) {
          ASSERT_EQ(0, mp4_write_video_frame(h, au.data() + cuts[c], static_cast<uint32_t>(cuts[c + 1] - cuts[c]),
                                             i * 3600));
        }
      }
      ASSERT_EQ(0, mp4_close_file(h));
      quiet.Take();
      if (feed == kWhole) {
        reference = ReadFile(path);
        if (ConformanceToolsAvailable()) {
          const ProbeResult probe = Probe(path);
          EXPECT_EQ("", probe.errors);
          ASSERT_NE(nullptr, probe.Stream("video"));
          EXPECT_EQ(static_cast<long long>(aus.size()), probe.Stream("video")->Int("nb_read_frames"));
          EXPECT_EQ("", DecodeErrors(path));
#ifdef BV_FFPROBE
          // The sync samples are the key frames FFmpeg found when the media was made.
          std::string want;
          for (const auto& au : aus) want += au.key ? "K\n" : "_\n";
          const std::string flags = RunCommand(std::string(BV_FFPROBE) +
                                                       " -v error -show_entries packet=flags -of csv=p=0 '" + path +
                                                       "' | cut -c1");
          EXPECT_EQ(want, flags);
#endif
        }
      } else {
        EXPECT_GT(calls, aus.size());
        EXPECT_EQ(reference, ReadFile(path));
      }
    }
  }
}

// ffprobe's start times of the video and the audio stream, in milliseconds.
std::vector<long long> StartsMs(const ProbeResult& probe) {
  std::vector<long long> ms;
  for (const char* type : {"video", "audio"}) {
    const ProbedStream* s = probe.Stream(type);
    ms.push_back(s ? std::llround(s->Real("start_time") * 1000) : -1);
  }
  return ms;
}

// Audio from 0 and video from 0.5 s on one clock: with
// MP4_FLAG_KEEP_TRACK_STARTS each track keeps its offset from the earliest
// (an empty edit), as FFmpeg's muxer does for the same packets; without it
// every track starts at 0. The repair case is killed after its last
// side-file flush and repaired.
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
