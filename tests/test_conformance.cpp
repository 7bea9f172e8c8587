// End to end through the exports: real streams recorded into MP4 files and
// QuickTime movies, then checked by ffprobe (silent, expected streams, frame
// counts and durations, tags) and by a full decode with ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;

namespace {

struct Plan {
  std::string file;
  uint8_t flags = 0;
  int video = -1;  // codec number, or -1 for none
  bool audio = false;
  bool rawAac = false;  // frames without ADTS headers, configuration from the host
  uint32_t captions = 0;
  bool timecode = false;
  std::vector<std::pair<std::string, std::string>> meta = {};
};

struct Recorded {
  std::string path;
  size_t videoFrames = 0, audioFrames = 0, captionFrames = 0;
  double videoSeconds = 0, audioSeconds = 0;
  std::string log;
};

constexpr uint32_t kVideoScale = 90000;
constexpr uint32_t kFrameDuration = 3600;  // 25 fps

std::vector<uint8_t> CaptionFrame(uint32_t codec, size_t i) {
  if (codec == MP4_SUBTITLE_CEA608) {
    // 'a', 2, count, then (type, data, data) triplets for fields 1 and 2.
    return {0x61, 0x02, 0x02, 0x00, 0x94, static_cast<uint8_t>(0x20 + i % 16), 0x01, 0x80, 0x80};
  }
  // 'a', 1, length, then a cc_data packet.
  return {0x61, 0x01, 0x06, 0x96, 0x69, 0x03, 0x43, 0xFC, static_cast<uint8_t>(0x80 + i % 16)};
}

Recorded Record(const TempDir& dir, const Plan& plan) {
  Recorded r;
  r.path = dir.File(plan.file);
  StdoutCapture cap;
  mp4_handle h = nullptr;
  EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(r.path.c_str(), plan.flags, &h));
  if (!h) return r;

  std::vector<MediaFrame> video, audio;
  if (plan.video == MP4_VIDEO_H264) video = LoadAccessUnits("video_h264.h264");
  if (plan.video == MP4_VIDEO_HEVC) video = LoadAccessUnits("video_hevc.h265");
  if (plan.video == MP4_VIDEO_PRORES) video = LoadProResFrames("video_prores.mov");
  if (plan.audio) audio = LoadAdtsFrames("audio_48000_2.aac");
  EXPECT_TRUE(plan.video < 0 || !video.empty());
  EXPECT_TRUE(!plan.audio || !audio.empty());

  if (plan.video >= 0) {
    const bool prores = plan.video == MP4_VIDEO_PRORES;
    mp4_video_track_info_t v = VideoTrack(static_cast<uint32_t>(plan.video), kVideoScale, kFrameDuration,
                                          prores ? 64 : 320, prores ? 48 : 240);
    if (plan.video == MP4_VIDEO_PRORES) v.prores_profile = MP4_PRORES_4444XQ;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
  }
  if (plan.audio) {
    // ADTS: rate, channels and profile from the first header.
    mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC_ADTS, 0, 0, 0};
    if (plan.rawAac) {
      a = AacTrack(MP4_AUDIO_AAC);
      for (auto& f : audio) f.bytes.erase(f.bytes.begin(), f.bytes.begin() + 7);
    }
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h, &a));
  }
  if (plan.captions) {
    mp4_subtitle_track_info_t s{plan.captions, 1000};
    EXPECT_EQ(MP4_SUCCESS, mp4_set_subtitle_track(h, &s));
  }
  if (plan.timecode) {
    mp4_time_code_track_info_t t{};
    t.timescale = 25;
    t.frame_duration = 1;
    t.number_of_frames = 25;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_time_code_track(h, &t));
    EXPECT_EQ(MP4_SUCCESS, mp4_write_time_code(h, 0));
  }
  for (const auto& [k, v] : plan.meta) EXPECT_EQ(MP4_SUCCESS, mp4_set_metadata(h, k.c_str(), v.c_str())) << k;

  // Interleave by time, as a capture program would.
  size_t vi = 0, ai = 0;
  while (vi < video.size() || ai < audio.size()) {
    const double vt = vi < video.size() ? double(vi) * kFrameDuration / kVideoScale : 1e9;
    const double at = ai < audio.size() ? double(ai) * 1024 / 48000 : 1e9;
    if (vt <= at) {
      const auto& f = video[vi];
      EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, f.bytes.data(), static_cast<uint32_t>(f.bytes.size()),
                                                   uint64_t{vi} * kFrameDuration))
          << "video frame " << vi;
      if (plan.captions) {
        const auto cc = CaptionFrame(plan.captions, vi);
        EXPECT_EQ(MP4_SUCCESS, mp4_write_subtitle_frame(h, cc.data(), static_cast<uint32_t>(cc.size()), vi * 40));
        ++r.captionFrames;
      }
      ++vi;
    } else {
      const auto& f = audio[ai];
      EXPECT_EQ(MP4_SUCCESS,
                mp4_write_audio_frame(h, f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), uint64_t{ai} * 1024))
          << "audio frame " << ai;
      ++ai;
    }
  }
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
  r.log = cap.Take();
  r.videoFrames = video.size();
  r.audioFrames = audio.size();
  r.videoSeconds = double(video.size()) * kFrameDuration / kVideoScale;
  r.audioSeconds = double(audio.size()) * 1024 / 48000;
  return r;
}

// What every recorded file must satisfy.
void ExpectConforms(const Recorded& r, const Plan& plan) {
  EXPECT_EQ(std::string::npos, r.log.find("not equal to moov real size")) << r.log;
  const BoxTree tree(ReadFile(r.path));
  EXPECT_TRUE(tree.Errors().empty()) << tree.Errors().front();
  ASSERT_NE(nullptr, tree.Find("moov/mvhd"));
  EXPECT_NE(nullptr, tree.Find("mdat"));

  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const ProbeResult probe = Probe(r.path);
  EXPECT_EQ("", probe.errors) << r.path;
  if (plan.video >= 0) {
    const ProbedStream* v = probe.Stream("video");
    ASSERT_NE(nullptr, v);
    const char* names[] = {"h264", "hevc", "prores"};
    EXPECT_EQ(names[plan.video], v->Get("codec_name"));
    EXPECT_EQ(static_cast<long long>(r.videoFrames), v->Int("nb_read_frames"));
    EXPECT_NEAR(r.videoSeconds, v->Real("duration"), 0.041);
  }
  if (plan.audio) {
    const ProbedStream* a = probe.Stream("audio");
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("aac", a->Get("codec_name"));
    EXPECT_EQ(48000, a->Int("sample_rate"));
    EXPECT_EQ(2, a->Int("channels"));
    EXPECT_EQ(static_cast<long long>(r.audioFrames), a->Int("nb_read_frames"));
    EXPECT_NEAR(r.audioSeconds, a->Real("duration"), 0.022);
  }
  if (plan.captions) {
    const ProbedStream* c = probe.Stream("subtitle");
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(plan.captions == MP4_SUBTITLE_CEA608 ? "c608" : "c708", c->Get("codec_tag_string"));
    if (plan.captions == MP4_SUBTITLE_CEA608) {
      EXPECT_EQ("eia_608", c->Get("codec_name"));
    }
  }
  if (plan.timecode) {
    const ProbedStream* t = probe.Stream("data");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("tmcd", t->Get("codec_tag_string"));
    EXPECT_EQ("00:00:00:00", t->Get("TAG:timecode"));
  }
  for (const auto& [k, v] : plan.meta) {
    const std::string tag = probe.format.count("TAG:" + k) ? probe.format.at("TAG:" + k) : "";
    EXPECT_EQ(v, tag) << k;
  }
  EXPECT_EQ("", DecodeErrors(r.path)) << r.path;
}

class Conformance : public ::testing::TestWithParam<Plan> {};

// Every file plays and decodes every frame; mp4box.js, the strict ISO reader
// of web pages, reads it without an error and counts the tracks and samples
// ffprobe counts.
TEST_P(Conformance, FilePlaysAndDecodesEveryFrame) {
  TempDir dir;
  const Plan plan = GetParam();
  const Recorded r = Record(dir, plan);
  ExpectConforms(r, plan);
  if (!ConformanceToolsAvailable()) return;
  const StrictIsoView strict = ReadWithMp4Box(r.path);
  if (!strict.available) {
    std::printf("[   NOTE   ] mp4box.js not installed (node and npm install mp4box@0.5.3): strict ISO check not run\n");
    return;
  }
  EXPECT_EQ("", strict.errors) << r.path;
  std::vector<long long> probed;
  for (const ProbedStream& s : Probe(r.path).streams) probed.push_back(s.Int("nb_frames"));
  EXPECT_EQ(probed, strict.samples) << r.path;
}

std::vector<Plan> Plans() {
  using Meta = std::vector<std::pair<std::string, std::string>>;
  const int h264 = MP4_VIDEO_H264, hevc = MP4_VIDEO_HEVC;
  const uint8_t large = MP4_FLAG_LARGE_FILE, time64 = MP4_FLAG_TIME64;
  return {
      {"h264_aac.mp4", 0, h264, true},
      {"h264_aac.mov", 0, h264, true},
      {"hevc_aac.mp4", 0, hevc, true},
      {"hevc.mov", 0, hevc, false},
      {"prores.mov", 0, MP4_VIDEO_PRORES, false},
      {"audio_only.mp4", 0, -1, true},
      {"video_only.mp4", 0, h264, false},
      {"time64.mp4", time64, h264, true},
      {"large.mp4", large, h264, true},
      {"large_time64.mov", large | time64, hevc, true},
      {"raw_aac.mov", 0, h264, true, true},
      {"metadata.mp4", 0, h264, true, false, 0, false,
       Meta{{"title", "A title"}, {"artist", "Somebody"}, {"comment", "recorded by a test"}}},
      {"free_keys.mp4", 0, h264, true, false, 0, false, Meta{{"title", "A title"}, {"com.example.take", "3"}}},
      {"cea608.mov", 0, h264, true, false, MP4_SUBTITLE_CEA608},
      {"cea708.mp4", 0, h264, true, false, MP4_SUBTITLE_CEA708},
      {"timecode.mov", 0, h264, true, false, 0, true},
      {"timecode.mp4", 0, h264, false, false, 0, true},
  };
}

std::string PlanName(const ::testing::TestParamInfo<Plan>& info) {
  std::string n = info.param.file;
  for (char& c : n) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return n;
}

INSTANTIATE_TEST_SUITE_P(Files, Conformance, ::testing::ValuesIn(Plans()), PlanName);

}  // namespace
