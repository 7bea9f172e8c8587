// The reserved movie box of safe mode at box level: capacities derived from
// the maximum duration, and the in-place update, whose every intermediate
// state on disk must still describe only samples that are there.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "box_reader.h"
#include "header_update.h"
#include "mdat.h"
#include "moov.h"
#include "test_support.h"

using namespace bv;
using Bytes = std::vector<uint8_t>;

namespace {

// An in-memory file that remembers every write (offset, length).
struct RecordingFile : CBufferIO {
  struct Span {
    uint64_t offset, size;
  };
  RecordingFile() { SetTarget(nullptr); }
  int32_t Write(const void* src, uint32_t n) override {
    writes.push_back({Position(), n});
    return CBufferIO::Write(src, n);
  }
  Bytes All() const { return Bytes(Data(), Data() + Size()); }
  std::vector<Span> writes;
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
// parameter sets.
struct SafeMovie {
  explicit SafeMovie(const Timing& t) : moov(&file, false, &file), mdat(&file, t.large) {
    // The file is a whole avcC box: 8-byte header, 6 bytes, then the sets.
    const Bytes avcc = bvtest::ReadFile(bvtest::DataPath("ffmpeg_avcC.bin"));
    const size_t s = 16, p = s + (avcc[14] << 8 | avcc[15]) + 1;
    sps.assign(avcc.begin() + s, avcc.begin() + static_cast<long>(p - 1));
    pps.assign(avcc.begin() + static_cast<long>(p + 2), avcc.begin() + static_cast<long>(p + 2 + (avcc[p] << 8 | avcc[p + 1])));
    moov.m_trakVideo.Stbl().SetUse64BitOffsets(t.large);
    moov.m_trakAudio.Stbl().SetUse64BitOffsets(t.large);
    if (t.videoScale) {
      mp4_video_track_info_t v{};
      v.timescale = t.videoScale;
      v.frame_duration = t.videoFrame;
      v.codec_type = t.videoCodec;
      v.width = 320;
      v.height = 240;
      if (t.videoCodec == MP4_VIDEO_PRORES) {
        v.prores_profile = MP4_PRORES_422;
      } else {
        v.sps = sps.data();
        v.sps_size = static_cast<uint16_t>(sps.size());
        v.pps = pps.data();
        v.pps_size = static_cast<uint16_t>(pps.size());
      }
      moov.m_trakVideo.SetTrackId(moov.TakeTrackId());
      EXPECT_TRUE(moov.m_trakVideo.Configure(v));
    }
    if (t.audioScale) {
      mp4_audio_track_info_t a{};
      a.timescale = t.audioScale;
      a.frame_duration = t.audioFrame;
      a.codec_type = MP4_AUDIO_AAC;
      a.sample_rate = 48000;
      a.channels = 2;
      a.profile = 2;
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
  RecordingFile file;
  CMp4MoovAtom moov;
  CMp4MdatAtom mdat;
  Bytes sps, pps;
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
    if (r.videoFrames == 107892) {
      EXPECT_EQ(431584u, Find(tree, "moov/trak[0]/mdia/minf/stbl/stco").size);
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

// One update of a movie with video and audio, cut after each of its page-run
// writes (the test seam): the stages arrive in order (entries, counts,
// durations, mdat size), each run covers one range of consecutive pages, and
// every cut leaves tables whose counts cover only entries already in place,
// with no chunk beyond the samples the sizes cover.
TEST(ReservedHeader, EveryCutOfAnUpdateLeavesConsistentTables) {
  for (const bool large : {false, true}) {
    SCOPED_TRACE(large ? "co64" : "stco");
    SafeMovie m({90000, 3600, MP4_VIDEO_H264, 48000, 1024, large});
    bvtest::StdoutCapture quiet;
    ASSERT_TRUE(m.moov.SetMaxDuration(20000));
    m.WriteHead();
    uint64_t offset = m.file.Size();
    auto addSamples = [&](uint32_t from, uint32_t to) {
      for (uint32_t i = from; i < to; ++i) {
        const Bytes data(100 + i, 0xAB);
        PutBytes(m.file, data.data(), static_cast<uint32_t>(data.size()));
        m.moov.AddSample(m.moov.m_trakVideo, {offset, 100 + i, 3600ull * i, 3600ull * i, i % 10 == 0});
        offset += data.size();
        PutBytes(m.file, data.data(), 50);
        m.moov.AddSample(m.moov.m_trakAudio, {offset, 50, 1920ull * i, 1920ull * i, false});
        offset += 50;
      }
    };
    // Two updates, from no samples to 40 and from 40 to 100 per track.
    for (const uint32_t upTo : {40u, 100u}) {
      SCOPED_TRACE(upTo);
      const uint32_t from = upTo == 40 ? 0 : 40;
      addSamples(from, upTo);
      // The seam: the file and the number of writes after each page-run write.
      static std::vector<Bytes> cuts;
      static std::vector<size_t> writesAt;
      static RecordingFile* file;
      cuts.clear();
      writesAt.assign(1, m.file.writes.size());
      file = &m.file;
      CHeaderUpdate::SetWriteHookForTest([](uint32_t) {
        cuts.push_back(file->All());
        writesAt.push_back(file->writes.size());
      });
      CHeaderUpdate plan;
      m.moov.Update(plan);
      m.mdat.Update(plan);
      constexpr uint64_t kPage = 512;
      const uint32_t runs = plan.Apply(m.file, kPage);
      CHeaderUpdate::SetWriteHookForTest(nullptr);
      ASSERT_EQ(runs, cuts.size());
      EXPECT_GE(runs, 4u);  // at least one run per stage
      for (uint32_t k = 0; k < runs; ++k) {
        uint64_t last = 0;
        for (size_t w = writesAt[k]; w < writesAt[k + 1]; ++w) {
          const auto& wr = m.file.writes[w];
          if (w > writesAt[k]) {
            EXPECT_LE(wr.offset / kPage, last + 1) << "run " << k + 1 << " is not one page range";
          }
          last = std::max(last, (wr.offset + wr.size - 1) / kPage);
        }
      }

      const Bytes final = m.file.All();
      const bvtest::BoxTree done(final);
      ASSERT_EQ(2u, done.Count("moov", "trak"));
      const std::string video = "moov/trak[0]/mdia/minf/stbl/", audio = "moov/trak[1]/mdia/minf/stbl/";
      const char* chunks = large ? "co64" : "stco";
      bool mdatSeen = false;
      for (size_t k = 0; k < cuts.size(); ++k) {
        SCOPED_TRACE("cut after write " + std::to_string(k + 1));
        const bvtest::BoxTree t(cuts[k]);
        const size_t visible = t.Count("moov", "trak");
        // Hidden tracks (before their first update) say nothing; a visible
        // one has all its counts set.
        EXPECT_TRUE(visible == 2 || from == 0) << visible;
        for (size_t i = 0; i < visible; ++i) {
          const std::string stbl = "moov/trak[" + std::to_string(i) + "]/mdia/minf/stbl/";
          const uint64_t stts = Find(t, stbl + "stts").offset, stsz = Find(t, stbl + "stsz").offset,
                         co = Find(t, stbl + chunks).offset;
          const uint32_t samples = t.U32(stsz + 16), chunkCount = t.U32(co + 12);
          EXPECT_TRUE(samples == from || samples == upTo) << samples;
          EXPECT_LE(chunkCount, samples) << stbl;
          EXPECT_TRUE(samples > 0 && chunkCount > 0 && t.U32(stts + 12) > 0) << stbl;
          // Every entry a count covers is already the final one.
          for (uint32_t e = 0; e < samples; ++e) ASSERT_EQ(done.U32(stsz + 20 + 4 * e), t.U32(stsz + 20 + 4 * e));
          for (uint32_t e = 0; e < chunkCount * (large ? 2 : 1); ++e) {
            ASSERT_EQ(done.U32(co + 16 + 4 * e), t.U32(co + 16 + 4 * e));
          }
        }
        if (visible == 2) {
          const uint64_t stss = Find(t, video + "stss").offset;
          for (uint32_t e = 0; e < t.U32(stss + 12); ++e) {
            ASSERT_EQ(done.U32(stss + 16 + 4 * e), t.U32(stss + 16 + 4 * e));
          }
        }
        // The mdat size comes last and alone.
        const bool mdatNew = Find(t, "mdat").size == Find(done, "mdat").size;
        EXPECT_TRUE(!mdatSeen || mdatNew);
        EXPECT_EQ(mdatNew, k + 1 == cuts.size());
        mdatSeen = mdatNew;
      }
      EXPECT_EQ(upTo, done.U32(Find(done, video + "stsz").offset + 16));
      EXPECT_EQ(upTo, done.U32(Find(done, audio + "stsz").offset + 16));
      EXPECT_EQ(upTo / 10, done.U32(Find(done, video + "stss").offset + 12));
    }
    // An update with nothing new rewrites durations, time counts and the
    // final time entries with the same values, and nothing of the size and
    // chunk tables.
    const Bytes before = m.file.All();
    const size_t writesBefore = m.file.writes.size();
    CHeaderUpdate again;
    m.moov.Update(again);
    m.mdat.Update(again);
    again.Apply(m.file, 0);
    EXPECT_EQ(before, m.file.All());
    const bvtest::BoxTree t(before);
    for (size_t i = 0; i < 2; ++i) {
      const std::string stbl = "moov/trak[" + std::to_string(i) + "]/mdia/minf/stbl/";
      for (const char* table : {"stsz", large ? "co64" : "stco"}) {
        const bvtest::Box& box = Find(t, stbl + table);
        for (size_t w = writesBefore; w < m.file.writes.size(); ++w) {
          const auto& wr = m.file.writes[w];
          EXPECT_TRUE(wr.offset + wr.size <= box.offset || wr.offset >= box.offset + box.size) << table;
        }
      }
    }
  }
}
