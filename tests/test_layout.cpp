// The layout of recorded files, read back with the independent box reader:
// chunking, time and size tables, track ids, the movie without media, and
// the muxer's own handling of head, close and paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "media_source.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using namespace bvtest;

namespace {

// Records through the exports: H.264 with the parameter sets of a real
// 320x240 stream (40 ms per frame at 1 kHz) and tiny slices, raw AAC.
class Recorder {
 public:
  Recorder(const std::string& path, uint8_t flags) : path_(path) {
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(path.c_str(), flags, &h_));
  }
  ~Recorder() {
    if (h_) mp4_close_file(h_);
  }
  void Video() {
    mp4_video_track_info_t v = H264TrackWithParameterSets();
    v.timescale = 1000;
    v.frame_duration = 40;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h_, &v));
  }
  void Audio() {
    const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC);
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h_, &a));
  }
  int V(uint64_t t, bool idr = false, size_t payload = 10) {
    std::vector<uint8_t> f = {0, 0, 0, 1, static_cast<uint8_t>(idr ? 0x65 : 0x41)};
    f.insert(f.end(), payload, 0x5A);
    return mp4_write_video_frame(h_, f.data(), static_cast<uint32_t>(f.size()), t);
  }
  int A(uint64_t t) {
    const std::vector<uint8_t> f(6, 0x21);
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

using Ints = std::vector<uint64_t>;

// `n` 32-bit fields of the box at `path`, from `skip` bytes into its payload.
Ints Fields(const BoxTree& t, const std::string& path, uint64_t skip, size_t n) {
  const Box* box = t.Find(path);
  if (!box) {
    ADD_FAILURE() << "no " << path;
    return {};
  }
  Ints out;
  for (size_t i = 0; i < n; ++i) out.push_back(t.U32(box->PayloadOffset() + skip + 4 * i));
  return out;
}

// Chunks follow the order of the samples in the file; track ids follow the
// order of declaration, though video is written first.
TEST(Layout, ChunksAndTrackIds) {
  TempDir dir;
  Recorder r(dir.File("chunks.mp4"), 0);
  r.Audio();
  r.Video();
  ASSERT_EQ(0, r.V(0, true));
  ASSERT_EQ(0, r.V(40));
  ASSERT_EQ(0, r.A(0));
  ASSERT_EQ(0, r.V(80));
  const BoxTree t = r.Close();
  EXPECT_EQ(Ints{2}, Fields(t, "moov/trak[0]/tkhd", 12, 1));
  EXPECT_EQ(Ints{1}, Fields(t, "moov/trak[1]/tkhd", 12, 1));
  EXPECT_EQ(Ints{3}, Fields(t, "moov/mvhd", 96, 1));  // next track id
  // Video: chunk 1 holds 2 samples, chunk 2 one (count, then entries).
  EXPECT_EQ((Ints{2, 1, 2, 1, 2, 1, 1}), Fields(t, "moov/trak[0]/mdia/minf/stbl/stsc", 4, 7));
  // Chunk offsets are the file offsets of each run's first sample: every
  // video sample is a 4-byte length and an 11-byte NAL unit, the audio one 6.
  ASSERT_NE(nullptr, t.Find("mdat"));
  const uint64_t data = t.Find("mdat")->offset + 8;
  EXPECT_EQ((Ints{2, data, data + 2 * 15 + 6}), Fields(t, "moov/trak[0]/mdia/minf/stbl/stco", 4, 3));
  EXPECT_EQ((Ints{1, data + 2 * 15}), Fields(t, "moov/trak[1]/mdia/minf/stbl/stco", 4, 2));
}

// Time runs close where the step changes and the last sample takes its run's
// step; the track lasts from the first time to the last plus that step. The
// sizes table is compact only when every sample has the same size.
TEST(Layout, TimeAndSizeTablesOfARecording) {
  struct Case {
    std::vector<uint64_t> times;
    size_t bigFrame;  // index of a 99-byte slice, or past the end
    Ints stts;  // entry count, then (count, step) pairs
    uint64_t mdhdDuration;
  };
  const Case cases[] = {{{0, 40, 80, 120, 160}, 5, {1, 5, 40}, 200},
                        {{0, 40, 80, 160, 200, 240}, 3, {3, 2, 40, 1, 80, 3, 40}, 280}};
  TempDir dir;
  for (const Case& c : cases) {
    Recorder r(dir.File("tables.mp4"), 0);
    r.Video();
    for (size_t i = 0; i < c.times.size(); ++i) ASSERT_EQ(0, r.V(c.times[i], i == 0, i == c.bigFrame ? 99 : 10));
    const BoxTree t = r.Close();
    const std::string stbl = "moov/trak[0]/mdia/minf/stbl/";
    EXPECT_EQ(c.stts, Fields(t, stbl + "stts", 4, c.stts.size()));
    EXPECT_EQ(Ints{c.mdhdDuration}, Fields(t, "moov/trak[0]/mdia/mdhd", 16, 1));
    // Sample size (a 4-byte length and the 11-byte unit) and count; the
    // table follows only when a size differs.
    const uint64_t n = c.times.size();
    if (c.bigFrame >= n) {
      EXPECT_EQ((Ints{4 + 11, n}), Fields(t, stbl + "stsz", 4, 2));
      EXPECT_EQ(20u, t.Find(stbl + "stsz")->size);
    } else {
      EXPECT_EQ((Ints{0, n}), Fields(t, stbl + "stsz", 4, 2));
      EXPECT_EQ(20u + 4 * n, t.Find(stbl + "stsz")->size);
      EXPECT_EQ(Ints{4 + 100}, Fields(t, stbl + "stsz", 12 + 4 * c.bigFrame, 1));
    }
  }
}

TEST(Layout, EmptyMovieHoldsHeaderAndUserData) {
  TempDir dir;
  Recorder r(dir.File("empty.mp4"), 0);
  const mp4_time_code_track_info_t tc{30000, 1001, 0, 0};
  // Writing a time code writes the head of the file; no media track exists.
  ASSERT_EQ(0, mp4_set_time_code_track(r.h(), &tc));
  ASSERT_EQ(0, mp4_write_time_code(r.h(), 0));
  const BoxTree t = r.Close();
  ASSERT_NE(nullptr, t.Find("moov"));
  EXPECT_NE(nullptr, t.Find("moov/udta/meta/ilst"));
  EXPECT_EQ(nullptr, t.Find("moov/meta"));
}

// The muxer's own guards, which the exports never reach twice: a second
// head write changes nothing, a close without data leaves the file empty.
TEST(Layout, SecondHeadWriteAndCloseWithoutDataWriteNothing) {
  TempDir dir;
  mp4_config_t config{};
  config.dio_param1 = 4096;
  config.dio_param2 = 32;
  for (const bool head : {true, false}) {
    const std::string path = dir.File(head ? "h.mp4" : "e.mp4");
    bv::CMp4Muxer m;
    ASSERT_EQ(0, m.Create(Widen(path).c_str(), config));
    StdoutCapture cap;
    if (head) {
      ASSERT_EQ(0, m.WriteHeader());
      const uint64_t size = m.FileSize();
      EXPECT_EQ(0, m.WriteHeader());
      EXPECT_EQ(size, m.FileSize());
    }
    EXPECT_EQ(0, m.Close());
    const std::string log = cap.Take();
    EXPECT_NE(std::string::npos, log.find(head ? "header already write" : "no data, ignore finish call")) << log;
    std::string boxes;
    const BoxTree written(ReadFile(path));
    for (const Box& b : written.Top()) boxes += b.type + " ";
    EXPECT_EQ(head ? "ftyp free mdat moov " : "", boxes);
  }
}

// 1019 + 6 passes the 1024-character side-file path: refused before
// anything is opened.
TEST(Layout, RepairPathLengthLimit) {
  TempDir dir;
  std::wstring path = Widen(dir.path()) + L"/";
  path += std::wstring(1019 - path.size(), L'r');
  mp4_handle h = nullptr;
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_create_file(path.c_str(), MP4_FLAG_REPAIR, &h));
  EXPECT_EQ(nullptr, h);
  path.pop_back();  // now past the check (the name may still be too long to open)
  EXPECT_NE(MP4_ERR_INVALID_PARAM, mp4_create_file(path.c_str(), MP4_FLAG_REPAIR, &h));
  if (h) mp4_close_file(h);
}

#if !defined(_WIN32)
// The size patch of ftyp seeks, which pushes the buffered bytes to the full
// device: the header write reports 17, the stream stays failed and close
// reports the same error rather than success.
TEST(Layout, FullDiskIsReportedAsSeventeen) {
  bv::CMp4Muxer m;
  mp4_config_t config{};
  ASSERT_EQ(0, m.Create(L"/dev/full", config));
  StdoutCapture cap;
  EXPECT_EQ(MP4_ERR_NO_SPACE, m.WriteHeader());
  EXPECT_EQ(MP4_ERR_NO_SPACE, m.Close());
  EXPECT_NE(std::string::npos, cap.Take().find("No space left on device"));
}
#endif

}  // namespace
