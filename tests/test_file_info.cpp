// File inspection: the duration of a finished file (hand-built images, damaged
// ones included, also read by the tool's box-tree reader), and the queries of
// an open file checked against the file that close then writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../tools/box_tree.h"
#include "box_bytes.h"
#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;

namespace {

Bytes Be(uint64_t v, int n) {
  return n == 8 ? Words({static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)})
                : Words({static_cast<uint32_t>(v)});
}
// A box with the given size field (the real size when `size` is -1).
Bytes Box(const char* type, const Bytes& payload, int64_t size = -1) {
  return Words({static_cast<uint32_t>(size < 0 ? 8 + payload.size() : size), Code(type)}) + payload;
}
Bytes LargeBox(const char* type, const Bytes& payload, uint64_t size) {
  return Words({1, Code(type)}) + Be(size, 8) + payload;
}
// Creation and modification times are all ones and odd values: never read.
Bytes Mvhd(uint8_t version, uint32_t timescale, uint64_t duration) {
  const int w = version == 1 ? 8 : 4;
  return Box("mvhd", Words({uint32_t{version} << 24}) + Be(~0ull, w) + Be(123456789, w) + Words({timescale}) +
                         Be(duration, w) + Bytes(80, 0));
}
Bytes Cut(Bytes b, size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

std::string Tops(const std::vector<bvtool::BoxNode>& boxes) {
  std::string s;
  for (const auto& b : boxes) s += (s.empty() ? "" : " ") + b.type;
  return s;
}

TEST(FileDuration, FirstMovieHeaderAtTheTopOrInsideMoovGivesTheDuration) {
  const Bytes ftyp = Box("ftyp", Bytes{'i', 's', 'o', 'm'} + Be(512, 4));
  const Bytes mdat = Box("mdat", Bytes(100, 0xAB));
  const uint64_t kHole = (1ull << 32) + 16;  // media data past 4 GiB, written sparse
  struct Image {
    const char* name;
    Bytes bytes;
    uint64_t expectedMs;
    const char* tops;  // top-level types the tool's reader lists
    uint64_t hole = 0;  // zero bytes between `bytes` and `tail`
    Bytes tail{};
  };
  const std::vector<Image> images = {
      {"version 0", ftyp + Box("free", {}) + mdat + Box("moov", Mvhd(0, 600, 1800)), 3000, "ftyp free mdat moov"},
      {"version 1", Box("moov", Mvhd(1, 90000, 900000)), 10000, "moov"},
      {"mvhd at the top level", ftyp + Mvhd(0, 1000, 800), 800, "ftyp mvhd"},
      {"trak skipped, not searched", Box("moov", Box("trak", Mvhd(0, 1000, 7)) + Mvhd(0, 1000, 2500)), 2500,
       "moov"},
      {"64-bit mdat size", ftyp + LargeBox("mdat", Bytes(20, 1), 36) + Box("moov", Mvhd(0, 1000, 4321)), 4321,
       "ftyp mdat moov"},
      {"64-bit mdat past 4 GiB", ftyp + LargeBox("mdat", {}, 16 + kHole), 60000, "ftyp mdat moov", kHole,
       Box("moov", Mvhd(0, 1000, 60000))},
      {"largest version 0 duration", Box("moov", Mvhd(0, 1000, 0xFFFFFFFF)), 0xFFFFFFFF, "moov"},
      {"movie box cut after its header", Cut(Box("moov", Mvhd(0, 600, 1800) + Bytes(400, 0)), 300), 3000,
       "moov"},
      {"no moov (unfinished recording)", ftyp + Box("free", {}) + mdat, 0, "ftyp free mdat"},
      {"timescale 0", Box("moov", Mvhd(0, 0, 1800)), 0, "moov"},
      {"unknown version", Box("moov", Mvhd(2, 600, 1800)), 0, "moov"},
      {"milliseconds beyond 64 bits", Box("moov", Mvhd(1, 1, ~0ull)), 0, "moov"},
      {"empty file", {}, 0, ""},
      {"seven bytes", Bytes{0, 0, 0, 8, 'm', 'o', 'o'}, 0, ""},
      {"size 4", Box("free", {}, 4) + Box("moov", Mvhd(0, 600, 1800)), 0, ""},
      {"size 0 reaches the end", Box("mdat", {}, 0) + Box("moov", Mvhd(0, 600, 1800)), 0, "mdat"},
      {"64-bit size pointing backwards", LargeBox("moov", Mvhd(0, 600, 1800), 8), 0, ""},
      {"box larger than the file", ftyp + Box("mdat", Box("moov", Mvhd(0, 600, 1800)), 1 << 20), 0,
       "ftyp mdat"},
      {"mvhd cut in its fields", Cut(Box("moov", Mvhd(0, 600, 1800)), 84), 0, "moov"},
      {"mvhd size field too small",
       Box("moov", Box("mvhd", Be(0, 4)) + Box("free", Be(0, 8) + Be(600, 4) + Be(1800, 4))), 0, "moov"},
  };
  TempDir dir;
  for (const Image& image : images) {
    SCOPED_TRACE(image.name);
    const std::string path = dir.File("image.mp4");
    {
      // Not WriteFile: the empty image has no data pointer to hand fwrite.
      std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image.bytes.data()), static_cast<std::streamsize>(image.bytes.size()));
    }
    if (image.hole) {
      std::filesystem::resize_file(std::filesystem::u8path(path), image.bytes.size() + image.hole);
      std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::app);
      out.write(reinterpret_cast<const char*>(image.tail.data()), static_cast<std::streamsize>(image.tail.size()));
    }
    EXPECT_EQ(image.expectedMs, mp4_get_file_duration(Widen(path).c_str()));
    EXPECT_EQ(image.expectedMs, mp4_get_file_duration_ex(path.c_str()));

    bvtool::DiskFile file(path);
    const bvtool::BoxTree tree = bvtool::ReadBoxTree(file);
    EXPECT_EQ(image.tops, Tops(tree.top));
  }
  EXPECT_EQ(0u, mp4_get_file_duration_ex(dir.File("missing.mp4").c_str()));
}


// Average rate in 1024 bytes per second of the track with this handler, from
// its stsz and mdhd as written.
double RateInFile(const BoxTree& t, const std::string& handler) {
  for (size_t i = 0; i < t.Count("moov", "trak"); ++i) {
    const std::string mdia = "moov/trak[" + std::to_string(i) + "]/mdia";
    if (t.Code(t.Find(mdia + "/hdlr")->PayloadOffset() + 8) != handler) continue;
    const uint64_t stsz = t.Find(mdia + "/minf/stbl/stsz")->PayloadOffset();
    const uint32_t count = t.U32(stsz + 8), fixed = t.U32(stsz + 4);
    double bytes = double(fixed) * count;
    for (uint32_t k = 0; fixed == 0 && k < count; ++k) bytes += t.U32(stsz + 12 + 4 * k);
    const uint64_t mdhd = t.Find(mdia + "/mdhd")->PayloadOffset();
    const bool v1 = t.U8(mdhd) == 1;
    const double scale = t.U32(mdhd + (v1 ? 20 : 12)), duration = v1 ? t.U64(mdhd + 24) : t.U32(mdhd + 16);
    return duration == 0 ? 0.0 : bytes * scale / (duration * 1024);
  }
  return 0.0;
}

struct Answers {
  uint32_t moov = 0;
  uint64_t size = 0, ms = 0;
  double video = -1, audio = -1;
};
Answers Ask(mp4_handle h) {
  Answers a{mp4_get_moov_size(h), 0, mp4_get_duration_ms(h)};
  EXPECT_EQ(MP4_SUCCESS, mp4_get_file_size(h, &a.size));
  EXPECT_EQ(MP4_SUCCESS, mp4_get_video_bitrate(h, &a.video));
  EXPECT_EQ(MP4_SUCCESS, mp4_get_audio_bitrate(h, &a.audio));
  return a;
}

// At several points of a recording the answers equal what close then writes:
// the moov box's size, the media data's end, the movie duration, the rates.
// A recording asked after every call is byte-for-byte the one never asked.
// Before the first frame (-1: nothing written yet) close writes no movie.
TEST(OpenFileQueries, AnswersEqualWhatCloseThenWrites) {
  struct Variant {
    const char* file;
    uint8_t flags;
    uint64_t frameDuration;
  };
  const Variant variants[] = {{"q.mp4", 0, 3600},
                              {"q.mov", MP4_FLAG_TIME64 | MP4_FLAG_LARGE_FILE, 0},
                              {"q64.mp4", MP4_FLAG_TIME64, 0},
                              {"qlarge.mov", MP4_FLAG_LARGE_FILE, 3600}};
  TempDir dir;
  for (const Variant& v : variants) {
    for (int frames : {-1, 0, 1, 9, 12}) {
      SCOPED_TRACE(std::string(v.file) + " after " + std::to_string(frames) + " frames");
      const std::string path = dir.File(v.file), quiet = dir.File(std::string("quiet_") + v.file);
      mp4_handle h = nullptr, q = nullptr;
      ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(path.c_str(), v.flags, &h));
      ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(quiet.c_str(), v.flags, &q));
      if (frames >= 0) {
        RecordClip(h, false, size_t(frames), [h](int rc) {
          EXPECT_EQ(MP4_SUCCESS, rc);
          Ask(h);
        }, v.frameDuration);
        RecordClip(q, false, size_t(frames), [](int rc) { EXPECT_EQ(MP4_SUCCESS, rc); }, v.frameDuration);
      }
      const Answers a = Ask(h);
      EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
      EXPECT_EQ(MP4_SUCCESS, mp4_close_file(q));
      const Bytes bytes = ReadFile(path);
      EXPECT_TRUE(bytes == ReadFile(quiet));
      EXPECT_EQ(bytes.size(), a.size + a.moov);
      EXPECT_TRUE(frames > 0 || a.video == 0.0);
      if (frames < 0) {
        EXPECT_EQ(0u, a.moov);
        continue;
      }
      const BoxTree t(bytes);
      ASSERT_TRUE(t.Find("moov") && t.Find("mdat"));
      EXPECT_EQ(t.Find("moov")->size, a.moov);
      EXPECT_EQ(t.Find("mdat")->offset + t.Find("mdat")->size, a.size);
      const uint64_t mvhd = t.Find("moov/mvhd")->PayloadOffset();
      EXPECT_EQ(t.U8(mvhd) == 1 ? t.U64(mvhd + 24) : t.U32(mvhd + 16), a.ms);
      EXPECT_EQ(a.ms, mp4_get_file_duration(Widen(path).c_str()));
      EXPECT_DOUBLE_EQ(RateInFile(t, "vide"), a.video);
      EXPECT_DOUBLE_EQ(RateInFile(t, "soun"), a.audio);
      if (frames == 12) ExpectPlayable(path);
    }
  }
}

// Worked examples: video at 0, 3000 and 6000 in 90 kHz lasts 100 ms with the
// frame duration given or measured; the longer of video and audio counts, in
// the query and in the headers close writes.
TEST(OpenFileQueries, DurationIsTheLongerTrackWithOneStepAdded) {
  const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
  const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  struct Case {
    uint64_t frameDuration;
    size_t videoFrames, audioFrames;
    uint64_t ms;
  };
  TempDir dir;
  for (const Case& c : {Case{3000, 3, 0, 100}, Case{0, 3, 0, 100}, Case{0, 0, 3, 64}, Case{3000, 3, 6, 128}}) {
    mp4_handle h = nullptr;
    ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("d.mp4").c_str(), 0, &h));
    mp4_video_track_info_t v{90000, c.frameDuration, MP4_VIDEO_H264, 320, 240, {}, 0, nullptr, 0, nullptr, 0};
    mp4_audio_track_info_t a{48000, c.frameDuration ? 1024u : 0u, MP4_AUDIO_AAC_ADTS, 0, 0, 0};
    EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h, &a));
    for (size_t i = 0; i < c.videoFrames; ++i) {
      const Bytes& f = video[i].bytes;
      EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 3000));
    }
    for (size_t i = 0; i < c.audioFrames; ++i) {
      const Bytes& f = audio[i].bytes;
      EXPECT_EQ(MP4_SUCCESS, mp4_write_audio_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 1024));
    }
    EXPECT_EQ(c.ms, mp4_get_duration_ms(h)) << c.frameDuration << " " << c.audioFrames;
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    // The movie header in milliseconds, the longest track header the same;
    // a declared track without samples is not written.
    const BoxTree t(ReadFile(dir.File("d.mp4")));
    const uint64_t mvhd = t.Find("moov/mvhd")->PayloadOffset();
    EXPECT_EQ(1000u, t.U32(mvhd + 12));
    EXPECT_EQ(c.ms, t.U32(mvhd + 16));
    const size_t tracks = t.Count("moov", "trak");
    EXPECT_EQ(size_t{c.videoFrames > 0} + size_t{c.audioFrames > 0}, tracks);
    uint32_t longest = 0;
    for (size_t i = 0; i < tracks; ++i) {
      longest = std::max(longest, t.U32(t.Find("moov/trak[" + std::to_string(i) + "]/tkhd")->PayloadOffset() + 20));
    }
    EXPECT_EQ(c.ms, longest);
  }
}

}  // namespace
