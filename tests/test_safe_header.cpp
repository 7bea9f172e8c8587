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

struct MemoryFile : CBufferIO {
  MemoryFile() { SetTarget(nullptr); }
  Bytes All() const { return Bytes(Data(), Data() + Size()); }
};

struct Timing {
  uint32_t videoScale = 0;  // 0: no video track
  uint64_t videoFrame = 0;
  uint32_t videoCodec = MP4_VIDEO_H264;
  uint32_t audioScale = 0;  // 0: no audio track
  uint64_t audioFrame = 0;
  bool large = false;
};

// A movie of the given timing, its video track holding FFmpeg's own H.264
// parameter sets (or ProRes).
struct SafeMovie {
  explicit SafeMovie(const Timing& t) : moov(&file, false, &file), mdat(&file, t.large) {
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
  // Header as WriteHeader lays it out: something before the movie box, the
  // reserved movie box, the mdat header.
  void WriteHead() {
    PutU32(file, 32);
    PutFourCC(file, "free");
    PutZeros(file, 24);
    moov.Write();
    mdat.Write();
    mdat.Update();
  }
  MemoryFile file;
  CMp4MoovAtom moov;
  CMp4MdatAtom mdat;
};

const bvtest::Box& Find(const bvtest::BoxTree& t, const std::string& path) {
  static const bvtest::Box kNone;
  const bvtest::Box* b = t.Find(path);
  EXPECT_TRUE(b) << path;
  return b ? *b : kNone;
}

}  // namespace

// Worked examples: capacities, and the reserved sizes the written movie box
// really has (read back by the independent box reader).
TEST(ReservedHeader, CapacitiesFollowTheMaximumDuration) {
  struct Row {
    const char* name;
    uint32_t maxMs;
    Timing t;
    uint32_t videoFrames, syncFrames, audioFrames;
  };
  const Row rows[] = {
      {"1 h at 29.97", 3600000, {30000, 1001}, 107892, 3601, 0},
      {"default 30 min at 25", 1800000, {90000, 3000}, 54000, 1801, 0},
      {"1 h audio 48 kHz", 3600000, {0, 0, 0, 48000, 1024}, 0, 0, 168750},
      {"ProRes reserves no sync table", 60000, {25, 1, MP4_VIDEO_PRORES}, 1500, 0, 0},
      {"large file, both tracks", 600000, {90000, 3600, MP4_VIDEO_H264, 48000, 1024, true}, 15000, 601, 28125},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SafeMovie m(r.t);
    bvtest::StdoutCapture cap;
    ASSERT_TRUE(m.moov.SetMaxDuration(r.maxMs));
    const uint32_t calc = m.moov.GetSize();
    m.WriteHead();
    // Tracks stay hidden until they hold samples: give each one.
    EXPECT_EQ(0u, bvtest::BoxTree(m.file.All()).Count("moov", "trak"));
    uint64_t at = m.file.Size();
    for (CMp4TrakAtom* track : {static_cast<CMp4TrakAtom*>(&m.moov.m_trakVideo), static_cast<CMp4TrakAtom*>(&m.moov.m_trakAudio)}) {
      if (!track->IsEnabled()) continue;
      PutZeros(m.file, 10);
      EXPECT_TRUE(m.moov.AddSample(*track, {at, 10, 0, 0, true}));
      at += 10;
    }
    CHeaderUpdate reveal;
    m.moov.Update(reveal);
    reveal.Apply(m.file, 0);
    const std::string log = cap.Take();
    EXPECT_EQ(std::string::npos, log.find("not equal")) << log;
    const bvtest::BoxTree tree(m.file.All());
    EXPECT_TRUE(tree.Errors().empty());
    EXPECT_EQ(calc, Find(tree, "moov").size);
    const char* chunks = r.t.large ? "co64" : "stco";
    const uint32_t width = r.t.large ? 8 : 4;
    struct Track {
      const char* path;
      uint32_t frames;
    };
    int index = 0;
    for (const Track tr : {Track{"video", r.videoFrames}, Track{"audio", r.audioFrames}}) {
      if (tr.frames == 0) continue;
      const std::string stbl = "moov/trak[" + std::to_string(index++) + "]/mdia/minf/stbl/";
      EXPECT_EQ(20u + 4u * tr.frames, Find(tree, stbl + "stsz").size) << tr.path;
      EXPECT_EQ(16u + width * tr.frames, Find(tree, stbl + chunks).size) << tr.path;
      // Audio keeps one duration; video may change its duration every frame.
      EXPECT_EQ(16u + 8u * (tr.path[0] == 'a' ? 1 : tr.frames), Find(tree, stbl + "stts").size) << tr.path;
      EXPECT_EQ(28u, Find(tree, stbl + "stsc").size);
      if (tr.path[0] == 'v') {
        EXPECT_EQ(16u + 4u * r.syncFrames, Find(tree, stbl + "stss").size);
      }
    }
  }
}

// Timing that gives no size is refused before anything is written, with the
// documented reason.
TEST(ReservedHeader, TimingWithoutASizeIsRefused) {
  struct Row {
    const char* name;
    uint32_t maxMs;
    Timing t;
    const char* message;
  };
  const Row rows[] = {
      {"no video frame duration", 60000, {90000, 0}, "video frame duration not set"},
      {"frame longer than the maximum", 1000, {1000, 5000}, "invalid frame num:0"},
      {"no audio frame duration", 60000, {90000, 3600, MP4_VIDEO_H264, 48000, 0}, "audio frame duration not set"},
      {"tables past a 32-bit movie box", 604800000, {90000, 25, MP4_VIDEO_H264}, "more than a movie box can hold"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SafeMovie m(r.t);
    bvtest::StdoutCapture cap;
    EXPECT_FALSE(m.moov.SetMaxDuration(r.maxMs));
    EXPECT_NE(std::string::npos, cap.Take().find(r.message));
    EXPECT_EQ(0u, m.file.Size());
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
      const Bytes before = m.file.All();
      CHeaderUpdate plan;
      m.moov.Update(plan);
      m.mdat.Update(plan);
      if (pass == 1) {
        // Per track: time count and final entry (12), tkhd, elst and mdhd
        // (12); mvhd (4); mdat size (4, or 8 in the 64-bit form).
        EXPECT_EQ(2u * 12 + 2 * 12 + 4 + (large ? 8 : 4), plan.PatchBytes());
      }
      plan.Apply(m.file, 0);
      if (pass == 1) {
        EXPECT_EQ(before, m.file.All());
      }
    }
    EXPECT_EQ(2u, bvtest::BoxTree(m.file.All()).Count("moov", "trak"));
  }
}
