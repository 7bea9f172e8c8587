// End to end through the exports: real streams recorded into MP4 files and
// QuickTime movies, then checked by ffprobe (silent, expected streams, frame
// counts and durations, tags) and by a full decode with ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
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
  std::vector<std::pair<std::string, std::string>> meta;
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
    mp4_video_track_info_t v{};
    v.timescale = kVideoScale;
    v.frame_duration = kFrameDuration;
    v.codec_type = static_cast<uint32_t>(plan.video);
    v.width = plan.video == MP4_VIDEO_PRORES ? 64 : 320;
    v.height = plan.video == MP4_VIDEO_PRORES ? 48 : 240;
    if (plan.video == MP4_VIDEO_PRORES) v.prores_profile = MP4_PRORES_4444XQ;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
  }
  if (plan.audio) {
    mp4_audio_track_info_t a{};
    a.timescale = 48000;
    a.frame_duration = 1024;
    a.codec_type = MP4_AUDIO_AAC_ADTS;
    if (plan.rawAac) {
      a.codec_type = MP4_AUDIO_AAC;
      a.sample_rate = 48000;
      a.channels = 2;
      a.profile = 2;
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

TEST_P(Conformance, FilePlaysAndDecodesEveryFrame) {
  TempDir dir;
  const Plan plan = GetParam();
  const Recorded r = Record(dir, plan);
  ExpectConforms(r, plan);
}

// mp4box.js, the strict ISO reader of web pages, reads every file without an
// error and counts the tracks and samples ffprobe counts.
TEST_P(Conformance, StrictIsoReaderCountsWhatFfprobeCounts) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const Recorded r = Record(dir, GetParam());
  const StrictIsoView strict = ReadWithMp4Box(r.path);
  if (!strict.available) GTEST_SKIP() << "mp4box.js not installed (node and npm install mp4box@0.5.3)";
  EXPECT_EQ("", strict.errors) << r.path;
  std::vector<long long> probed;
  for (const ProbedStream& s : Probe(r.path).streams) probed.push_back(s.Int("nb_frames"));
  EXPECT_EQ(probed, strict.samples) << r.path;
}

Plan Make(std::string file, int video, bool audio, uint8_t flags = 0) {
  Plan p;
  p.file = std::move(file);
  p.video = video;
  p.audio = audio;
  p.flags = flags;
  return p;
}

std::vector<Plan> Plans() {
  std::vector<Plan> plans = {
      Make("h264_aac.mp4", MP4_VIDEO_H264, true),
      Make("h264_aac.mov", MP4_VIDEO_H264, true),
      Make("hevc_aac.mp4", MP4_VIDEO_HEVC, true),
      Make("hevc.mov", MP4_VIDEO_HEVC, false),
      Make("prores.mov", MP4_VIDEO_PRORES, false),
      Make("audio_only.mp4", -1, true),
      Make("video_only.mp4", MP4_VIDEO_H264, false),
      Make("time64.mp4", MP4_VIDEO_H264, true, MP4_FLAG_TIME64),
      Make("large.mp4", MP4_VIDEO_H264, true, MP4_FLAG_LARGE_FILE),
      Make("large_time64.mov", MP4_VIDEO_HEVC, true, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64),
  };
  Plan raw = Make("raw_aac.mov", MP4_VIDEO_H264, true);
  raw.rawAac = true;
  plans.push_back(raw);
  Plan meta = Make("metadata.mp4", MP4_VIDEO_H264, true);
  meta.meta = {{"title", "A title"}, {"artist", "Somebody"}, {"comment", "recorded by a test"}};
  plans.push_back(meta);
  Plan keys = Make("free_keys.mp4", MP4_VIDEO_H264, true);
  keys.meta = {{"title", "A title"}, {"com.example.take", "3"}};
  plans.push_back(keys);
  Plan cc608 = Make("cea608.mov", MP4_VIDEO_H264, true);
  cc608.captions = MP4_SUBTITLE_CEA608;
  plans.push_back(cc608);
  Plan cc708 = Make("cea708.mp4", MP4_VIDEO_H264, true);
  cc708.captions = MP4_SUBTITLE_CEA708;
  plans.push_back(cc708);
  Plan tc = Make("timecode.mov", MP4_VIDEO_H264, true);
  tc.timecode = true;
  plans.push_back(tc);
  Plan tcMp4 = Make("timecode.mp4", MP4_VIDEO_H264, false);
  tcMp4.timecode = true;
  plans.push_back(tcMp4);
  return plans;
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
