// The reserved movie box of safe mode at box level: capacities derived from
// the maximum duration, and what an in-place update rewrites.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_reader.h"
#include "header_update.h"
#include "media_source.h"
#include "mdat.h"
#include "moov.h"
#include "test_support.h"

using namespace bv;
using Bytes = std::vector<uint8_t>;

namespace {

struct Timing {
  uint32_t videoScale = 0;  // 0: no video track
  uint64_t videoFrame = 0;
  uint32_t videoCodec = MP4_VIDEO_H264;
  uint32_t audioScale = 0;  // 0: no audio track
  uint64_t audioFrame = 0;
  bool large = false;
};

// A movie of the given timing, its video track holding FFmpeg's own H.264
// parameter sets (or ProRes), laid out as the muxer lays it out: something
// before the movie box, the reserved movie box, the mdat header.
struct SafeMovie {
  explicit SafeMovie(const Timing& t) : moov(&file, false, &file), mdat(&file, t.large) {
    file.SetTarget(nullptr);
    moov.m_trakVideo.Stbl().SetUse64BitOffsets(t.large);
    moov.m_trakAudio.Stbl().SetUse64BitOffsets(t.large);
    if (t.videoScale) {
      const bool prores = t.videoCodec == MP4_VIDEO_PRORES;
      mp4_video_track_info_t v = prores ? mp4_video_track_info_t{} : bvtest::H264TrackWithParameterSets();
      v.timescale = t.videoScale;
      v.frame_duration = t.videoFrame;
      v.codec_type = t.videoCodec;
      v.width = 320;
      v.height = 240;
      if (prores) v.prores_profile = MP4_PRORES_422;
      moov.m_trakVideo.SetTrackId(moov.TakeTrackId());
      EXPECT_TRUE(moov.m_trakVideo.Configure(v));
    }
    if (t.audioScale) {
      mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC);
      a.timescale = t.audioScale;
      a.frame_duration = t.audioFrame;
      moov.m_trakAudio.SetTrackId(moov.TakeTrackId());
      EXPECT_TRUE(moov.m_trakAudio.Configure(a, 48000));
    }
  }
  void WriteHead() {
    PutU32(file, 32);
    PutFourCC(file, "free");
    PutZeros(file, 24);
    moov.Write();
    mdat.Write();
    mdat.Update();
  }
  Bytes All() const { return Bytes(file.Data(), file.Data() + file.Size()); }
  CBufferIO file;
  CMp4MoovAtom moov;
  CMp4MdatAtom mdat;
};

}  // namespace

// Worked examples: capacities, and the reserved sizes the written movie box
// really has (read back by the independent box reader); timing that gives
// no size is refused before anything is written, with the documented reason.
TEST(ReservedHeader, CapacitiesFollowTheMaximumDuration) {
  struct Row {
    const char* name;
    uint32_t maxMs;
    Timing t;
    uint32_t videoFrames, syncFrames, audioFrames;
    const char* refusal = nullptr;
  };
  const Row rows[] = {
      {"1 h at 29.97", 3600000, {30000, 1001}, 107892, 3601, 0},
      {"default 30 min at 25", 1800000, {90000, 3000}, 54000, 1801, 0},
      {"1 h audio 48 kHz", 3600000, {0, 0, 0, 48000, 1024}, 0, 0, 168750},
      {"ProRes reserves no sync table", 60000, {25, 1, MP4_VIDEO_PRORES}, 1500, 0, 0},
      {"large file, both tracks", 600000, {90000, 3600, MP4_VIDEO_H264, 48000, 1024, true}, 15000, 601, 28125},
      {"no video frame duration", 60000, {90000, 0}, 0, 0, 0, "video frame duration not set"},
      {"frame longer than the maximum", 1000, {1000, 5000}, 0, 0, 0, "invalid frame num:0"},
      {"no audio frame duration", 60000, {90000, 3600, MP4_VIDEO_H264, 48000, 0}, 0, 0, 0,
       "audio frame duration not set"},
      {"tables past a 32-bit movie box", 604800000, {90000, 25, MP4_VIDEO_H264}, 0, 0, 0,
       "more than a movie box can hold"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SafeMovie m(r.t);
    bvtest::StdoutCapture cap;
    if (r.refusal != nullptr) {
      EXPECT_FALSE(m.moov.SetMaxDuration(r.maxMs));
      EXPECT_NE(std::string::npos, cap.Take().find(r.refusal));
      EXPECT_EQ(0u, m.file.Size());
      continue;
    }
    ASSERT_TRUE(m.moov.SetMaxDuration(r.maxMs));
    const uint32_t calc = m.moov.GetSize();
    m.WriteHead();
    // Tracks stay hidden until they hold samples: give each one.
    EXPECT_EQ(0u, bvtest::BoxTree(m.All()).Count("moov", "trak"));
    for (CMp4TrakAtom* track : {static_cast<CMp4TrakAtom*>(&m.moov.m_trakVideo),
                                static_cast<CMp4TrakAtom*>(&m.moov.m_trakAudio)}) {
      if (!track->IsEnabled()) continue;
      const uint64_t at = m.file.Size();
      PutZeros(m.file, 10);
      EXPECT_TRUE(m.moov.AddSample(*track, {at, 10, 0, 0, true}));
    }
    CHeaderUpdate reveal;
    m.moov.Update(reveal);
    reveal.Apply(m.file);
    const std::string log = cap.Take();
    EXPECT_EQ(std::string::npos, log.find("not equal")) << log;
    const bvtest::BoxTree tree(m.All());
    EXPECT_TRUE(tree.Errors().empty());
    ASSERT_TRUE(tree.Find("moov"));
    EXPECT_EQ(calc, tree.Find("moov")->size);
    const char* chunks = r.t.large ? "co64" : "stco";
    const uint32_t width = r.t.large ? 8 : 4;
    auto size = [&tree](const std::string& path) {
      const bvtest::Box* b = tree.Find(path);
      EXPECT_TRUE(b) << path;
      return b ? b->size : 0;
    };
    int index = 0;
    for (const bool video : {true, false}) {
      const uint32_t frames = video ? r.videoFrames : r.audioFrames;
      if (frames == 0) continue;
      SCOPED_TRACE(video ? "video" : "audio");
      const std::string stbl = "moov/trak[" + std::to_string(index++) + "]/mdia/minf/stbl/";
      EXPECT_EQ(20u + 4u * frames, size(stbl + "stsz"));
      EXPECT_EQ(16u + width * frames, size(stbl + chunks));
      // Audio keeps one duration; video may change its duration every frame.
      EXPECT_EQ(16u + 8u * (video ? frames : 1), size(stbl + "stts"));
      EXPECT_EQ(28u, size(stbl + "stsc"));
      if (video) {
        EXPECT_EQ(16u + 4u * r.syncFrames, size(stbl + "stss"));
      }
    }
  }
}

// Two updates with nothing new in between: the second plans only the time
// counts and final time entries, the durations and the mdat size (the
// every-write cuts of updates are the fuzz target's), and writes the same
// bytes again.
TEST(ReservedHeader, AnUpdateWithNothingNewRewritesOnlyTimes) {
  for (const bool large : {false, true}) {
    SCOPED_TRACE(large ? "co64" : "stco");
    SafeMovie m({90000, 3600, MP4_VIDEO_H264, 48000, 1024, large});
    bvtest::StdoutCapture quiet;
    ASSERT_TRUE(m.moov.SetMaxDuration(20000));
    m.WriteHead();
    for (uint32_t i = 0; i < 10; ++i) {
      const uint64_t at = m.file.Size();
      PutZeros(m.file, 150);
      m.moov.AddSample(m.moov.m_trakVideo, {at, 100, 3600ull * i, 3600ull * i, i == 0});
      m.moov.AddSample(m.moov.m_trakAudio, {at + 100, 50, 1920ull * i, 1920ull * i, false});
    }
    for (const int pass : {0, 1}) {
      const Bytes before = m.All();
      CHeaderUpdate plan;
      m.moov.Update(plan);
      m.mdat.Update(plan);
      if (pass == 1) {
        // Per track: time count and final entry (12), tkhd, elst and mdhd
        // (12); mvhd (4); mdat size (4, or 8 in the 64-bit form).
        EXPECT_EQ(2u * 12 + 2 * 12 + 4 + (large ? 8 : 4), plan.PatchBytes());
      }
      plan.Apply(m.file);
      if (pass == 1) {
        EXPECT_EQ(before, m.All());
      }
    }
    EXPECT_EQ(2u, bvtest::BoxTree(m.All()).Count("moov", "trak"));
  }
}
