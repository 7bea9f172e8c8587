// End to end through the exports: real streams recorded into MP4 files and
// QuickTime movies, then checked by ffprobe (silent, expected streams, frame
// counts and durations, tags), by a full decode with ffmpeg and by the
// strict ISO reader of web pages.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "box_bytes.h"
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

// Declares the plan's tracks, then writes the frames interleaved by time as a
// capture program would. Returns the log.
std::string Record(const std::string& path, const Plan& plan, const std::vector<MediaFrame>& video,
                   const std::vector<MediaFrame>& audio) {
  StdoutCapture cap;
  mp4_handle h = nullptr;
  EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(path.c_str(), plan.flags, &h));
  if (!h) return cap.Take();
  if (plan.video >= 0) {
    const bool prores = plan.video == MP4_VIDEO_PRORES;
    mp4_video_track_info_t v = VideoTrack(static_cast<uint32_t>(plan.video), kVideoScale, kFrameDuration,
                                          prores ? 64 : 320, prores ? 48 : 240);
    if (prores) v.prores_profile = MP4_PRORES_4444XQ;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
  }
  if (plan.audio) {
    // ADTS: rate, channels and profile from the first header.
    const mp4_audio_track_info_t a =
        plan.rawAac ? AacTrack(MP4_AUDIO_AAC) : mp4_audio_track_info_t{48000, 1024, MP4_AUDIO_AAC_ADTS, 0, 0, 0};
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h, &a));
  }
  if (plan.captions) {
    const mp4_subtitle_track_info_t s{plan.captions, 1000};
    EXPECT_EQ(MP4_SUCCESS, mp4_set_subtitle_track(h, &s));
  }
  if (plan.timecode) {
    const mp4_time_code_track_info_t t{25, 1, 25, 0};
    EXPECT_EQ(MP4_SUCCESS, mp4_set_time_code_track(h, &t));
    EXPECT_EQ(MP4_SUCCESS, mp4_write_time_code(h, 0));
  }
  for (const auto& [k, v] : plan.meta) EXPECT_EQ(MP4_SUCCESS, mp4_set_metadata(h, k.c_str(), v.c_str())) << k;
  for (size_t vi = 0, ai = 0; vi < video.size() || ai < audio.size();) {
    const double vt = vi < video.size() ? double(vi) * kFrameDuration / kVideoScale : 1e9;
    if (ai >= audio.size() || vt <= double(ai) * 1024 / 48000) {
      const auto& f = video[vi].bytes;
      EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, f.data(), uint32_t(f.size()), vi * kFrameDuration)) << vi;
      const auto cc = CaptionFrame(plan.captions, vi);
      if (plan.captions) {
        EXPECT_EQ(MP4_SUCCESS, mp4_write_subtitle_frame(h, cc.data(), uint32_t(cc.size()), vi * 40));
      }
      ++vi;
    } else {
      const auto& f = audio[ai].bytes;
      EXPECT_EQ(MP4_SUCCESS, mp4_write_audio_frame(h, f.data(), uint32_t(f.size()), ai * 1024)) << "audio " << ai;
      ++ai;
    }
  }
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
  return cap.Take();
}

// The head: ftyp of the flavour, free (MP4 only), mdat in the size form
// asked for whose patched size reaches exactly to moov, and moov last.
void ExpectHead(const BoxTree& t, bool quickTime, bool large) {
  const Bytes mp4Ftyp = Words({28, Code("ftyp"), Code("isom"), 0x200, Code("isom"), Code("iso2"), Code("mp41")});
  const Bytes movFtyp = Words({20, Code("ftyp"), Code("qt  "), 0x20050300, Code("qt  ")});
  const Bytes head = (quickTime ? movFtyp : mp4Ftyp + Words({8, Code("free")})) +
                     (large ? Words({1, Code("mdat")}) : Bytes{});
  const Bytes& b = t.Bytes();
  ASSERT_GT(b.size(), head.size());
  EXPECT_EQ(head, Bytes(b.begin(), b.begin() + static_cast<long>(head.size())));
  ASSERT_EQ(quickTime ? 3u : 4u, t.Top().size());
  const Box& data = t.Top()[t.Top().size() - 2];
  EXPECT_EQ(large ? 16u : 8u, data.header);
  EXPECT_EQ(data.offset + data.size, t.Top().back().offset);
  EXPECT_EQ("moov", t.Top().back().type);
}

// Tracks in declaration order. 64-bit times widen the headers of video and
// audio only, large files their chunk offsets; captions take the video's
// size; the time-code track is disabled, referenced from the video track
// between edts and mdia, and has the media header of its flavour.
void ExpectTracks(const BoxTree& t, const Plan& plan, bool quickTime) {
  const bool time64 = plan.flags & MP4_FLAG_TIME64, large = plan.flags & MP4_FLAG_LARGE_FILE;
  EXPECT_EQ(time64 ? 120u : 108u, t.Find("moov/mvhd")->size);
  std::vector<bool> media;  // video or audio, per track
  if (plan.video >= 0) media.push_back(true);
  if (plan.audio) media.push_back(true);
  if (plan.captions) media.push_back(false);
  if (plan.timecode) media.push_back(false);
  ASSERT_EQ(media.size(), t.Count("moov", "trak"));
  for (size_t i = 0; i < media.size(); ++i) {
    SCOPED_TRACE("track " + std::to_string(i));
    const std::string trak = "moov/trak[" + std::to_string(i) + "]";
    const bool wide = time64 && media[i];
    EXPECT_EQ(wide ? 104u : 92u, t.Find(trak + "/tkhd")->size);
    EXPECT_EQ(wide ? 44u : 32u, t.Find(trak + "/mdia/mdhd")->size);
    if (media[i]) {
      EXPECT_EQ(wide ? 36u : 28u, t.Find(trak + "/edts/elst")->size);
    }
    if (plan.timecode && i + 1 == media.size()) continue;  // time code: 32-bit offsets in any file
    EXPECT_NE(nullptr, t.Find(trak + (large && media[i] ? "/mdia/minf/stbl/co64" : "/mdia/minf/stbl/stco")));
  }
  if (plan.captions) {
    const Box* video = t.Find("moov/trak[0]/tkhd");
    const Box* captions = t.Find("moov/trak[" + std::to_string(media.size() - 1) + "]/tkhd");
    EXPECT_EQ(320u << 16, t.U32(video->offset + video->size - 8));
    EXPECT_EQ(320u << 16, t.U32(captions->offset + captions->size - 8));
  }
  if (!plan.timecode) return;
  const Box* video = t.Find("moov/trak[0]");
  ASSERT_GE(video->children.size(), 4u);
  EXPECT_EQ("edts", video->children[1].type);
  EXPECT_EQ("tref", video->children[2].type);
  EXPECT_EQ(20u, video->children[2].size);
  const std::string trak = "moov/trak[" + std::to_string(media.size() - 1) + "]";
  const uint64_t tkhd = t.Find(trak + "/tkhd")->PayloadOffset();
  EXPECT_EQ(2u, t.U32(tkhd));  // version 0, disabled
  EXPECT_EQ(t.U32(tkhd + 12), t.U32(t.Find("moov/trak[0]/tref/tmcd")->PayloadOffset()));
  const Box* header = t.Find(trak + (quickTime ? "/mdia/minf/gmhd" : "/mdia/minf/nmhd"));
  ASSERT_NE(nullptr, header);
  EXPECT_EQ(quickTime ? 130u : 76u, header->size);
}

class Conformance : public ::testing::TestWithParam<Plan> {};

// Every file plays and decodes every frame with the streams, counts,
// durations and tags recorded; mp4box.js, the strict ISO reader of web
// pages, reads it without an error and counts the samples ffprobe counts.
TEST_P(Conformance, FilePlaysAndDecodesEveryFrame) {
  TempDir dir;
  const Plan plan = GetParam();
  const std::string path = dir.File(plan.file);
  std::vector<MediaFrame> video, audio;
  if (plan.video == MP4_VIDEO_H264) video = LoadAccessUnits("video_h264.h264");
  if (plan.video == MP4_VIDEO_HEVC) video = LoadAccessUnits("video_hevc.h265");
  if (plan.video == MP4_VIDEO_PRORES) video = LoadProResFrames("video_prores.mov");
  if (plan.audio) audio = LoadAdtsFrames("audio_48000_2.aac");
  ASSERT_EQ(plan.video >= 0, !video.empty());
  ASSERT_EQ(plan.audio, !audio.empty());
  if (plan.rawAac)
    for (auto& f : audio) f.bytes.erase(f.bytes.begin(), f.bytes.begin() + 7);
  const std::string log = Record(path, plan, video, audio);
  EXPECT_EQ(std::string::npos, log.find("not equal to moov real size")) << log;
  const BoxTree tree(ReadFile(path));
  EXPECT_TRUE(tree.Errors().empty()) << tree.Errors().front();
  ASSERT_NE(nullptr, tree.Find("moov/mvhd"));
  // QuickTime where "mov" appears anywhere in the path, case-sensitive.
  const bool quickTime = path.find("mov") != std::string::npos;
  ExpectHead(tree, quickTime, plan.flags & MP4_FLAG_LARGE_FILE);
  ExpectTracks(tree, plan, quickTime);
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";

  const ProbeResult probe = Probe(path);
  EXPECT_EQ("", probe.errors);
  // Type, then the codec name (or tag), frames and seconds where they apply.
  const struct {
    bool present;
    const char* type;
    std::string key, name;
    size_t frames;
    double seconds, tolerance;
  } streams[] = {
      {plan.video >= 0, "video", "codec_name", plan.video == MP4_VIDEO_HEVC ? "hevc" : plan.video ? "prores" : "h264",
       video.size(), double(video.size()) * kFrameDuration / kVideoScale, 0.041},
      {plan.audio, "audio", "codec_name", "aac", audio.size(), double(audio.size()) * 1024 / 48000, 0.022},
      {plan.captions != 0, "subtitle", "codec_tag_string", plan.captions == MP4_SUBTITLE_CEA608 ? "c608" : "c708",
       0, 0, 0},
      {plan.timecode, "data", "codec_tag_string", "tmcd", 0, 0, 0},
  };
  for (const auto& want : streams) {
    if (!want.present) continue;
    SCOPED_TRACE(want.type);
    const ProbedStream* s = probe.Stream(want.type);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(want.name, s->Get(want.key));
    if (want.frames == 0) continue;
    EXPECT_EQ(static_cast<long long>(want.frames), s->Int("nb_read_frames"));
    EXPECT_NEAR(want.seconds, s->Real("duration"), want.tolerance);
  }
  if (plan.audio) {
    EXPECT_EQ(48000, probe.Stream("audio")->Int("sample_rate"));
    EXPECT_EQ(2, probe.Stream("audio")->Int("channels"));
  }
  if (plan.captions == MP4_SUBTITLE_CEA608) {
    EXPECT_EQ("eia_608", probe.Stream("subtitle")->Get("codec_name"));
  }
  if (plan.timecode) {
    EXPECT_EQ("00:00:00:00", probe.Stream("data")->Get("TAG:timecode"));
  }
  for (const auto& [k, v] : plan.meta) {
    const auto tag = probe.format.find("TAG:" + k);
    EXPECT_EQ(v, tag == probe.format.end() ? "" : tag->second) << k;
  }
  EXPECT_EQ("", DecodeErrors(path));

  const StrictIsoView strict = ReadWithMp4Box(path);
  if (!strict.available) {
    std::printf("[   NOTE   ] mp4box.js not installed (node and npm install mp4box@0.5.3): strict ISO check not run\n");
    return;
  }
  EXPECT_EQ("", strict.errors);
  std::vector<long long> probed;
  for (const ProbedStream& s : probe.streams) probed.push_back(s.Int("nb_frames"));
  EXPECT_EQ(probed, strict.samples);
}

// Each track kind, flavour and header form appears in at least one file.
std::vector<Plan> Plans() {
  using Meta = std::vector<std::pair<std::string, std::string>>;
  const int h264 = MP4_VIDEO_H264, hevc = MP4_VIDEO_HEVC, prores = MP4_VIDEO_PRORES;
  const uint8_t large = MP4_FLAG_LARGE_FILE, time64 = MP4_FLAG_TIME64;
  return {
      {"h264_aac_meta.mp4", 0, h264, true, false, 0, false,
       Meta{{"title", "A title"}, {"artist", "Somebody"}, {"comment", "recorded by a test"}}},
      {"h264_aac_cea608.mov", 0, h264, true, false, MP4_SUBTITLE_CEA608},
      {"hevc_aac.mp4", 0, hevc, true},
      {"hevc_movie.mp4", 0, hevc, false},
      {"prores.mov", 0, prores, false},
      {"audio_only.MOV", 0, -1, true},
      {"video_timecode.mp4", 0, h264, false, false, 0, true},
      {"time64_free_keys.mp4", time64, h264, true, false, MP4_SUBTITLE_CEA608, false,
       Meta{{"title", "A title"}, {"com.example.take", "3"}}},
      {"large_cea708.mp4", large, h264, true, false, MP4_SUBTITLE_CEA708},
      {"large_time64.mov", large | time64, hevc, true},
      {"raw_aac_timecode.mov", 0, h264, true, true, 0, true},
  };
}

std::string PlanName(const ::testing::TestParamInfo<Plan>& info) {
  std::string n = info.param.file;
  for (char& c : n) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Files, Conformance, ::testing::ValuesIn(Plans()), PlanName);

}  // namespace
