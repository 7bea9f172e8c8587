// The layout of recorded files, read back with the independent box reader:
// chunking, time and size tables, track ids and references, the time-code
// media header per flavour, version-1 boxes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;

namespace {

// A minimal H.264 stream: SPS/PPS of a real 320x240 stream and tiny slices.
const std::vector<uint8_t> kSps = {0x67, 0x64, 0x00, 0x0D, 0xAC, 0xD9, 0x41, 0x41, 0xFB, 0x01, 0x10, 0x00,
                                   0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0x99, 0x60};
const std::vector<uint8_t> kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

std::vector<uint8_t> Frame(bool idr, size_t payload) {
  std::vector<uint8_t> f = {0, 0, 0, 1, static_cast<uint8_t>(idr ? 0x65 : 0x41)};
  f.insert(f.end(), payload, 0x5A);
  return f;
}

class Recorder {
 public:
  Recorder(const std::string& path, uint8_t flags) : path_(path) {
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(path.c_str(), flags, &h_));
  }
  ~Recorder() {
    if (h_) mp4_close_file(h_);
  }
  void Video(uint32_t timescale = 1000, uint64_t frameDuration = 40) {
    mp4_video_track_info_t v{};
    v.timescale = timescale;
    v.frame_duration = frameDuration;
    v.codec_type = MP4_VIDEO_H264;
    v.width = 320;
    v.height = 240;
    v.sps = kSps.data();
    v.sps_size = static_cast<uint16_t>(kSps.size());
    v.pps = kPps.data();
    v.pps_size = static_cast<uint16_t>(kPps.size());
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h_, &v));
  }
  void Audio() {
    const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC);
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h_, &a));
  }
  int V(uint64_t t, bool idr = false, size_t payload = 10) {
    const auto f = Frame(idr, payload);
    return mp4_write_video_frame(h_, f.data(), static_cast<uint32_t>(f.size()), t);
  }
  int A(uint64_t t, size_t size = 6) {
    const std::vector<uint8_t> f(size, 0x21);
    return mp4_write_audio_frame(h_, f.data(), static_cast<uint32_t>(f.size()), t);
  }
  mp4_handle h() const { return h_; }
  BoxTree Close() {
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h_));
    h_ = nullptr;
    return BoxTree(ReadFile(path_));
  }

 private:
  std::string path_;
  mp4_handle h_ = nullptr;
};

std::vector<std::pair<uint32_t, uint32_t>> Pairs(const BoxTree& t, const Box* box, uint32_t stride) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  const uint32_t n = t.U32(box->PayloadOffset() + 4);
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t at = box->PayloadOffset() + 8 + uint64_t{i} * stride;
    out.emplace_back(t.U32(at), t.U32(at + 4));
  }
  return out;
}

TEST(Layout, ChunksFollowTheOrderOfTracksInTheFile) {
  TempDir dir;
  Recorder r(dir.File("chunks.mp4"), 0);
  r.Video();
  r.Audio();
  ASSERT_EQ(0, r.V(0, true));
  ASSERT_EQ(0, r.V(40));
  ASSERT_EQ(0, r.A(0));
  ASSERT_EQ(0, r.V(80));
  const BoxTree t = r.Close();
  const Box* vstsc = t.Find("moov/trak[0]/mdia/minf/stbl/stsc");
  const Box* vstco = t.Find("moov/trak[0]/mdia/minf/stbl/stco");
  const Box* astco = t.Find("moov/trak[1]/mdia/minf/stbl/stco");
  ASSERT_TRUE(vstsc && vstco && astco);
  // Video: chunk 1 holds 2 samples, chunk 2 one.
  ASSERT_EQ(2u, t.U32(vstsc->PayloadOffset() + 4));
  EXPECT_EQ(1u, t.U32(vstsc->PayloadOffset() + 8));
  EXPECT_EQ(2u, t.U32(vstsc->PayloadOffset() + 12));
  EXPECT_EQ(2u, t.U32(vstsc->PayloadOffset() + 20));
  EXPECT_EQ(1u, t.U32(vstsc->PayloadOffset() + 24));
  // Chunk offsets are the file offsets of each run's first sample: every
  // video sample is a 4-byte length and an 11-byte NAL unit, the audio one 6.
  const Box* mdat = t.Find("mdat");
  const uint64_t data = mdat->offset + 8;
  ASSERT_EQ(2u, t.U32(vstco->PayloadOffset() + 4));
  EXPECT_EQ(data, t.U32(vstco->PayloadOffset() + 8));
  EXPECT_EQ(data + 2 * 15 + 6, t.U32(vstco->PayloadOffset() + 12));
  EXPECT_EQ(data + 2 * 15, t.U32(astco->PayloadOffset() + 8));
}

TEST(Layout, TimeToSampleRunsAndTheLastSampleTakesItsRunDelta) {
  TempDir dir;
  Recorder r(dir.File("stts.mp4"), 0);
  r.Video();
  for (uint64_t t : {0, 40, 80, 160, 200, 240}) ASSERT_EQ(0, r.V(t, t == 0));
  const BoxTree t = r.Close();
  const Box* stts = t.Find("moov/trak[0]/mdia/minf/stbl/stts");
  ASSERT_NE(nullptr, stts);
  const std::vector<std::pair<uint32_t, uint32_t>> want = {{2, 40}, {1, 80}, {3, 40}};
  EXPECT_EQ(want, Pairs(t, stts, 8));
  // mdhd duration: last - first + frame duration.
  const Box* mdhd = t.Find("moov/trak[0]/mdia/mdhd");
  EXPECT_EQ(280u, t.U32(mdhd->PayloadOffset() + 16));
}

TEST(Layout, SampleSizesUseTheCompactFormOnlyWhenAllAreEqual) {
  TempDir dir;
  {
    Recorder r(dir.File("equal.mp4"), 0);
    r.Video();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(0, r.V(i * 40, i == 0, 10));
    const BoxTree t = r.Close();
    const Box* stsz = t.Find("moov/trak[0]/mdia/minf/stbl/stsz");
    EXPECT_EQ(20u, stsz->size);
    EXPECT_EQ(4u + 11u, t.U32(stsz->PayloadOffset() + 4));
    EXPECT_EQ(5u, t.U32(stsz->PayloadOffset() + 8));
  }
  Recorder r(dir.File("differ.mp4"), 0);
  r.Video();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, r.V(i * 40, i == 0, i == 3 ? 99 : 10));
  const BoxTree t = r.Close();
  const Box* stsz = t.Find("moov/trak[0]/mdia/minf/stbl/stsz");
  EXPECT_EQ(20u + 5 * 4, stsz->size);
  EXPECT_EQ(0u, t.U32(stsz->PayloadOffset() + 4));
  EXPECT_EQ(4u + 100u, t.U32(stsz->PayloadOffset() + 12 + 3 * 4));
}

TEST(Layout, TrackIdsFollowDeclarationOrderAndNextTrackId) {
  TempDir dir;
  Recorder r(dir.File("ids.mp4"), 0);
  r.Audio();
  r.Video();
  ASSERT_EQ(0, r.A(0));
  ASSERT_EQ(0, r.V(0, true));
  const BoxTree t = r.Close();
  // Video is written first, with the id it got second.
  const Box* vtkhd = t.Find("moov/trak[0]/tkhd");
  const Box* atkhd = t.Find("moov/trak[1]/tkhd");
  EXPECT_EQ(2u, t.U32(vtkhd->PayloadOffset() + 12));
  EXPECT_EQ(1u, t.U32(atkhd->PayloadOffset() + 12));
  const Box* mvhd = t.Find("moov/mvhd");
  EXPECT_EQ(3u, t.U32(mvhd->PayloadOffset() + 96));
}

TEST(Layout, TimeCodeTrackIsReferencedAndItsHeaderFollowsTheFlavour) {
  TempDir dir;
  for (const char* name : {"tc.mp4", "tc.mov"}) {
    const bool mov = std::string(name) == "tc.mov";
    Recorder r(dir.File(name), 0);
    r.Video();
    mp4_time_code_track_info_t tc{};
    tc.timescale = 25;
    tc.frame_duration = 1;
    tc.number_of_frames = 25;
    ASSERT_EQ(0, mp4_set_time_code_track(r.h(), &tc));
    ASSERT_EQ(0, mp4_write_time_code(r.h(), 0));
    ASSERT_EQ(0, r.V(0, true));
    const BoxTree t = r.Close();
    const Box* trak = t.Find("moov/trak[0]");
    ASSERT_NE(nullptr, trak);
    ASSERT_GE(trak->children.size(), 4u);
    EXPECT_EQ("edts", trak->children[1].type);
    EXPECT_EQ("tref", trak->children[2].type);  // between edts and mdia
    EXPECT_EQ(20u, trak->children[2].size);
    const Box* ref = t.Find("moov/trak[0]/tref/tmcd");
    ASSERT_NE(nullptr, ref);
    EXPECT_EQ(2u, t.U32(ref->PayloadOffset()));
    const Box* tkhd = t.Find("moov/trak[1]/tkhd");
    EXPECT_EQ(2u, t.U32(tkhd->PayloadOffset()) & 0xFFFFFF);  // disabled
    const Box* header = t.Find(mov ? "moov/trak[1]/mdia/minf/gmhd" : "moov/trak[1]/mdia/minf/nmhd");
    ASSERT_NE(nullptr, header) << name;
    EXPECT_EQ(mov ? 130u : 76u, header->size);
  }
}

TEST(Layout, SixtyFourBitTimesWidenTheHeadersOfVideoAndAudioOnly) {
  TempDir dir;
  Recorder r(dir.File("v1.mp4"), MP4_FLAG_TIME64 | MP4_FLAG_LARGE_FILE);
  r.Video();
  r.Audio();
  mp4_subtitle_track_info_t cc{MP4_SUBTITLE_CEA608, 0};
  ASSERT_EQ(0, mp4_set_subtitle_track(r.h(), &cc));
  ASSERT_EQ(0, r.V(0, true));
  ASSERT_EQ(0, r.A(0));
  const std::vector<uint8_t> caption = {0x61, 0x02, 0x00, 0x00, 0x94, 0x20};
  ASSERT_EQ(0, mp4_write_subtitle_frame(r.h(), caption.data(), static_cast<uint32_t>(caption.size()), 0));
  const BoxTree t = r.Close();
  EXPECT_EQ(120u, t.Find("moov/mvhd")->size);
  for (int i = 0; i < 2; ++i) {
    const std::string trak = "moov/trak[" + std::to_string(i) + "]";
    EXPECT_EQ(104u, t.Find(trak + "/tkhd")->size);
    EXPECT_EQ(44u, t.Find(trak + "/mdia/mdhd")->size);
    EXPECT_EQ(36u, t.Find(trak + "/edts/elst")->size);
    EXPECT_NE(nullptr, t.Find(trak + "/mdia/minf/stbl/co64"));
  }
  // Captions keep version 0 and 32-bit offsets.
  EXPECT_EQ(92u, t.Find("moov/trak[2]/tkhd")->size);
  EXPECT_EQ(32u, t.Find("moov/trak[2]/mdia/mdhd")->size);
  EXPECT_NE(nullptr, t.Find("moov/trak[2]/mdia/minf/stbl/stco"));
  // The caption track carries the video's dimensions.
  EXPECT_EQ(320u << 16, t.U32(t.Find("moov/trak[2]/tkhd")->PayloadOffset() + 76));
}

TEST(Layout, MovieDurationIsTheLongerTrackAndAudioWinsTies) {
  TempDir dir;
  Recorder r(dir.File("dur.mp4"), 0);
  r.Video(90000, 3000);
  r.Audio();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, r.V(uint64_t(i) * 3000, i == 0));
  EXPECT_EQ(100u, mp4_get_duration_ms(r.h()));
  const BoxTree t = r.Close();
  const Box* vtkhd = t.Find("moov/trak[0]/tkhd");
  EXPECT_EQ(100u, t.U32(vtkhd->PayloadOffset() + 20));
  const Box* mvhd = t.Find("moov/mvhd");
  EXPECT_EQ(1000u, t.U32(mvhd->PayloadOffset() + 12));
  EXPECT_EQ(100u, t.U32(mvhd->PayloadOffset() + 16));
  // The declared audio track without samples is not written.
  EXPECT_EQ(1u, t.Count("moov", "trak"));
}

TEST(Layout, EmptyMovieHoldsHeaderAndUserData) {
  TempDir dir;
  Recorder r(dir.File("empty.mp4"), 0);
  mp4_time_code_track_info_t tc{};
  tc.timescale = 30000;
  tc.frame_duration = 1001;
  // Writing a time code writes the head of the file; no media track exists.
  ASSERT_EQ(0, mp4_set_time_code_track(r.h(), &tc));
  ASSERT_EQ(0, mp4_write_time_code(r.h(), 0));
  const BoxTree t = r.Close();
  const Box* moov = t.Find("moov");
  ASSERT_NE(nullptr, moov);
  EXPECT_NE(nullptr, t.Find("moov/udta/meta/ilst"));
  EXPECT_EQ(nullptr, t.Find("moov/meta"));
}

}  // namespace
