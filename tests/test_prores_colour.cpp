// ProRes colour: the frame header reader, and the colr box a ProRes sample
// entry takes from the first frame, compared byte for byte with the boxes
// FFmpeg wrote into the QuickTime files the frames come from
// (tests/data/make_test_media.sh).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "prores_header.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Bytes = std::vector<uint8_t>;

struct Clip {
  const char* file;
  uint32_t profile;
  uint8_t chroma;  // 2: 4:2:2, 3: 4:4:4
  uint8_t primaries, transfer, matrix;  // what prores_ks was given; 2 when nothing
};

const Clip kClips[] = {
    {"video_prores.mov", MP4_PRORES_4444XQ, 3, 2, 2, 2},
    {"colour_prores_bt709.mov", MP4_PRORES_422, 2, 1, 1, 1},
    {"colour_prores_pq.mov", MP4_PRORES_4444XQ, 3, 9, 16, 9},
};

// The fiel, colr and pasp boxes of the first sample entry, in entry order.
Bytes EntryBoxes(const std::string& path) {
  const BoxTree tree(ReadFile(path));
  const Box* stsd = tree.Find("moov/trak/mdia/minf/stbl/stsd");
  if (stsd == nullptr || stsd->children.empty()) return {};
  Bytes out;
  for (const Box& b : stsd->children.front().children) {
    if (b.type == "fiel" || b.type == "colr" || b.type == "pasp")
      out.insert(out.end(), tree.Bytes().begin() + static_cast<long>(b.offset),
                 tree.Bytes().begin() + static_cast<long>(b.offset + b.size));
  }
  return out;
}

// FFmpeg's "nclc" box as the "nclx" form of an MP4 file: four bytes longer,
// the same code points, and no full-range flag (the frame header has none).
Bytes AsNclx(const Bytes& entry) {
  Bytes out;
  for (size_t pos = 0; pos + 8 <= entry.size();) {
    const size_t size = BE32(entry, pos);
    if (size < 8 || pos + size > entry.size()) break;
    if (FourCC(entry, pos + 4) == "colr") {
      const Bytes nclx = {0, 0, 0, 19, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'x'};
      out.insert(out.end(), nclx.begin(), nclx.end());
      out.insert(out.end(), entry.begin() + static_cast<long>(pos + 12), entry.begin() + static_cast<long>(pos + 18));
      out.push_back(0);
    } else {
      out.insert(out.end(), entry.begin() + static_cast<long>(pos), entry.begin() + static_cast<long>(pos + size));
    }
    pos += size;
  }
  return out;
}

// Every frame of every clip reads as the encoder was told; a header cut
// anywhere, or with a field that makes its bytes untrustworthy, reads as
// nothing at all.
TEST(ProResFrameHeader, ReadsWhatTheEncoderWasToldAndRefusesDamage) {
  for (const Clip& c : kClips) {
    const std::vector<MediaFrame> frames = LoadProResFrames(c.file);
    ASSERT_EQ(3u, frames.size()) << c.file;
    for (const MediaFrame& f : frames) {
      bv::ProResFrameHeader h;
      ASSERT_TRUE(bv::ReadProResFrameHeader(f.bytes.data(), f.bytes.size(), &h)) << c.file;
      EXPECT_EQ(64, h.width) << c.file;
      EXPECT_EQ(48, h.height) << c.file;
      EXPECT_EQ(c.chroma, h.chromaFormat) << c.file;
      EXPECT_EQ(0, h.interlaceMode) << c.file;
      EXPECT_EQ(c.primaries, h.colourPrimaries) << c.file;
      EXPECT_EQ(c.transfer, h.transferCharacteristic) << c.file;
      EXPECT_EQ(c.matrix, h.matrixCoefficients) << c.file;
    }
    const Bytes& first = frames.front().bytes;
    const size_t headerEnd = 8u + (first[8] << 8 | first[9]);
    for (size_t n = 0; n < headerEnd; ++n) {
      const Bytes cut(first.begin(), first.begin() + static_cast<long>(n));
      bv::ProResFrameHeader h;
      EXPECT_FALSE(bv::ReadProResFrameHeader(cut.data(), cut.size(), &h)) << c.file << " cut at " << n;
      EXPECT_EQ(2, h.colourPrimaries) << c.file << " cut at " << n;
    }
    struct Damage {
      size_t offset;  // of a 16-bit field
      uint16_t value;
      const char* what;
    };
    const Damage damage[] = {{6, 0x6366, "identifier \"iccf\""},
                             {8, 19, "header shorter than its fixed fields"},
                             {8, static_cast<uint16_t>(first.size() - 7), "header longer than the frame"},
                             {10, 2, "unknown version"}};
    for (const Damage& d : damage) {
      Bytes bad = first;
      bad[d.offset] = static_cast<uint8_t>(d.value >> 8);
      bad[d.offset + 1] = static_cast<uint8_t>(d.value);
      bv::ProResFrameHeader h;
      EXPECT_FALSE(bv::ReadProResFrameHeader(bad.data(), bad.size(), &h)) << c.file << ": " << d.what;
    }
    bv::ProResFrameHeader none;
    EXPECT_FALSE(bv::ReadProResFrameHeader(nullptr, 100, &none));
  }
}

enum class Mode { kPlain, kSafe, kSafeAudioFirst, kRepair };

struct Recording {
  std::string path;
  std::string closed;  // repair: the same recording closed normally
};

mp4_video_track_info_t ProResTrack(uint32_t profile) {
  mp4_video_track_info_t v{};
  v.timescale = 25000;
  v.frame_duration = 1000;
  v.codec_type = MP4_VIDEO_PRORES;
  v.width = 64;
  v.height = 48;
  v.prores_profile = profile;
  return v;
}

void Copy(const std::string& from, const std::string& to) {
  const Bytes b = ReadFile(from);
  FILE* f = std::fopen(to.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(b.size(), std::fwrite(b.data(), 1, b.size(), f));
  std::fclose(f);
}

// Records the clip's frames (looped to 20, so that a side file flushed every
// 10 frames is complete after the last) and, for kRepair, repairs a copy taken
// before the close.
Recording Record(const TempDir& dir, const Clip& c, Mode mode, const char* flavour) {
  Recording r;
  r.path = dir.File(std::string("out.") + flavour);
  const std::vector<MediaFrame> frames = LoadProResFrames(c.file);
  const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  StdoutCapture quiet;
  mp4_handle h = nullptr;
  if (mode == Mode::kSafe || mode == Mode::kSafeAudioFirst) {
    mp4_config_t cfg{};
    cfg.io_mode = MP4_IO_SAFE_WRITE;
    cfg.block_size = 4096;
    cfg.block_num = 4;
    cfg.max_duration = 60;
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_full_ex(r.path.c_str(), &cfg, &h));
  } else {
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(r.path.c_str(), mode == Mode::kRepair ? MP4_FLAG_REPAIR : 0, &h));
  }
  if (h == nullptr) return r;
  const mp4_video_track_info_t v = ProResTrack(c.profile);
  EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
  if (mode == Mode::kSafeAudioFirst) {
    const mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h, &a));
    EXPECT_EQ(MP4_SUCCESS, mp4_write_audio_frame(h, audio[0].bytes.data(),
                                                 static_cast<uint32_t>(audio[0].bytes.size()), 0));
  }
  if (mode == Mode::kRepair) {
    EXPECT_EQ(MP4_SUCCESS, mp4_repair_set_flush_interval(h, 10));
  }
  for (size_t i = 0; i < 20; ++i) {
    const Bytes& f = frames[i % frames.size()].bytes;
    EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 1000));
  }
  if (mode == Mode::kRepair) {
    r.closed = r.path;
    r.path = dir.File(std::string("crashed.") + flavour);
    Copy(r.closed, r.path);
    Copy(r.closed + ".info", r.path + ".info");
  }
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
  if (mode == Mode::kRepair) {
    EXPECT_EQ(MP4_SUCCESS, mp4_repair_file_ex(r.path.c_str(), 1));
  }
  quiet.Take();
  return r;
}

// The sample entry holds FFmpeg's fiel, colr and pasp for the same frames:
// colr between fiel and pasp when the header names all three code points,
// none for the untagged clip (whose entry stays as it always was). Safe
// write fixes the entry with the head of the file, so a recording whose
// first frame is audio keeps the entry without colour. A repair rebuilds the
// closed file byte for byte.
TEST(ProResColr, EqualsFfmpegsForTheSameFramesInEveryMode) {
  struct Row {
    Mode mode;
    const char* flavour;
    const char* name;
  };
  const Row rows[] = {{Mode::kPlain, "mov", "plain movie"},
                      {Mode::kPlain, "mp4", "plain MP4 (nclx)"},
                      {Mode::kSafe, "mov", "safe write"},
                      {Mode::kSafeAudioFirst, "mov", "safe write, audio first"},
                      {Mode::kRepair, "mov", "repair after a kill"}};
  for (const Clip& c : kClips) {
    const Bytes ffmpeg = EntryBoxes(DataPath(c.file));
    ASSERT_FALSE(ffmpeg.empty()) << c.file;
    const bool tagged = c.primaries != 2;
    EXPECT_EQ(tagged ? 44u : 26u, ffmpeg.size()) << c.file << ": FFmpeg's entry has colr exactly when tagged";
    for (const Row& row : rows) {
      TempDir dir;
      const Recording r = Record(dir, c, row.mode, row.flavour);
      Bytes expected = std::string(row.flavour) == "mp4" ? AsNclx(ffmpeg) : ffmpeg;
      if (row.mode == Mode::kSafeAudioFirst && tagged) expected = EntryBoxes(DataPath(kClips[0].file));
      EXPECT_EQ(expected, EntryBoxes(r.path)) << c.file << ", " << row.name;
      const BoxTree tree(ReadFile(r.path));
      EXPECT_TRUE(tree.Errors().empty()) << c.file << ", " << row.name;
      if (row.mode == Mode::kRepair) {
        EXPECT_TRUE(ReadFile(r.closed) == ReadFile(r.path)) << c.file;
      }
      if (!ConformanceToolsAvailable()) continue;
      const ProbeResult p = Probe(r.path);
      EXPECT_EQ("", p.errors) << c.file << ", " << row.name;
      EXPECT_EQ("", DecodeErrors(r.path)) << c.file << ", " << row.name;
      ASSERT_NE(nullptr, p.Stream("video"));
      EXPECT_EQ("20", p.Stream("video")->Get("nb_read_frames")) << c.file << ", " << row.name;
      const StrictIsoView strict = ReadWithMp4Box(r.path);
      if (strict.available) {
        EXPECT_EQ("", strict.errors) << c.file << ", " << row.name;
      }
    }
  }
}

}  // namespace
