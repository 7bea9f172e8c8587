// ProRes colour: the frame header reader's refusals, and the colr box a ProRes sample
// entry takes from the first frame, compared byte for byte with the boxes
// FFmpeg wrote into the QuickTime files the frames come from
// (tests/data/make_test_media.sh).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "prores_header.h"
#include "safe_recording.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Bytes = std::vector<uint8_t>;

struct Clip {
  const char* file;
  uint32_t profile;
  bool tagged;  // prores_ks was given colour code points
};

const Clip kClips[] = {
    {"video_prores.mov", MP4_PRORES_4444XQ, false},
    {"colour_prores_bt709.mov", MP4_PRORES_422, true},
    {"colour_prores_pq.mov", MP4_PRORES_4444XQ, true},
};

// The fiel, colr and pasp boxes of the first sample entry, in entry order;
// with `nclx`, FFmpeg's "nclc" box as the "nclx" form of an MP4 file: four
// bytes longer, the same code points, and no full-range flag (the frame
// header has none).
Bytes EntryBoxes(const std::string& path, bool nclx = false) {
  const BoxTree tree(ReadFile(path));
  const Box* stsd = tree.Find("moov/trak/mdia/minf/stbl/stsd");
  if (stsd == nullptr || stsd->children.empty()) return {};
  Bytes out;
  for (const Box& b : stsd->children.front().children) {
    const auto from = tree.Bytes().begin() + static_cast<long>(b.offset);
    if (b.type == "colr" && nclx) {
      const Bytes head = {0, 0, 0, 19, 'c', 'o', 'l', 'r', 'n', 'c', 'l', 'x'};
      out.insert(out.end(), head.begin(), head.end());
      out.insert(out.end(), from + 12, from + 18);
      out.push_back(0);
    } else if (b.type == "fiel" || b.type == "colr" || b.type == "pasp") {
      out.insert(out.end(), from, from + static_cast<long>(b.size));
    }
  }
  return out;
}

// A header cut anywhere, or with a field that makes its bytes untrustworthy,
// reads as nothing at all. (What a sound header holds is the colour test's:
// only its colour reaches the file.)
TEST(ProResFrameHeader, RefusesDamage) {
  for (const Clip& c : kClips) {
    const std::vector<MediaFrame> frames = LoadProResFrames(c.file);
    ASSERT_FALSE(frames.empty()) << c.file;
    const Bytes& first = frames.front().bytes;
    const size_t headerEnd = 8u + (first[8] << 8 | first[9]);
    for (size_t n = 0; n < headerEnd; ++n) {
      const Bytes cut(first.begin(), first.begin() + static_cast<long>(n));  // exact size: ASan sees an overrun
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

// Records the clip's frames looped to 20 (so that a side file flushed every
// 10 frames is complete after the last) into `path`; for kRepair, repairs a
// copy taken before the close into `path`.crashed.mov.
void Record(const Clip& c, Mode mode, const std::string& path) {
  const std::vector<MediaFrame> frames = LoadProResFrames(c.file);
  StdoutCapture quiet;
  mp4_handle h = nullptr;
  const bool safe = mode == Mode::kSafe || mode == Mode::kSafeAudioFirst;
  const mp4_config_t cfg = RecordingConfig(safe ? MP4_IO_SAFE_WRITE : MP4_IO_FILE,
                                           mode == Mode::kRepair ? MP4_FLAG_REPAIR : 0, 4, 60);
  EXPECT_EQ(MP4_SUCCESS, mp4_create_file_full_ex(path.c_str(), &cfg, &h));
  mp4_video_track_info_t v = VideoTrack(MP4_VIDEO_PRORES, 25000, 1000, 64, 48);
  v.prores_profile = c.profile;
  EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
  if (mode == Mode::kSafeAudioFirst) {
    const mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
    const Bytes first = LoadAdtsFrames("audio_48000_2.aac").front().bytes;
    EXPECT_EQ(MP4_SUCCESS, mp4_set_audio_track(h, &a));
    EXPECT_EQ(MP4_SUCCESS, mp4_write_audio_frame(h, first.data(), static_cast<uint32_t>(first.size()), 0));
  }
  if (mode == Mode::kRepair) {
    EXPECT_EQ(MP4_SUCCESS, mp4_repair_set_flush_interval(h, 10));
  }
  for (size_t i = 0; i < 20; ++i) {
    const Bytes& f = frames[i % frames.size()].bytes;
    EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 1000));
  }
  if (mode == Mode::kRepair) CopyWithSideFile(path, path + ".crashed.mov");
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
  if (mode == Mode::kRepair) {
    EXPECT_EQ(MP4_SUCCESS, mp4_repair_file_ex((path + ".crashed.mov").c_str(), 1));
  }
}

// The sample entry holds FFmpeg's fiel, colr and pasp for the same frames:
// colr between fiel and pasp when the header names all three code points,
// none for the untagged clip (whose entry stays as it always was). Safe
// write fixes the entry with the head of the file, so a recording whose
// first frame is audio keeps the entry without colour. A repair rebuilds the
// closed file byte for byte.
TEST(ProResColr, EqualsFfmpegsForTheSameFramesInEveryMode) {
  const struct {
    Mode mode;
    const char* file;
  } rows[] = {{Mode::kPlain, "plain.mov"},
              {Mode::kPlain, "plain.mp4"},
              {Mode::kSafe, "safe.mov"},
              {Mode::kSafeAudioFirst, "safe_audio_first.mov"},
              {Mode::kRepair, "repair.mov"}};
  for (const Clip& c : kClips) {
    const Bytes ffmpeg = EntryBoxes(DataPath(c.file));
    ASSERT_FALSE(ffmpeg.empty()) << c.file;
    EXPECT_EQ(c.tagged ? 44u : 26u, ffmpeg.size()) << c.file << ": FFmpeg's entry has colr exactly when tagged";
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(c.file) + ", " + row.file);
      TempDir dir;
      const std::string path = dir.File(row.file);
      Record(c, row.mode, path);
      Bytes expected = EntryBoxes(DataPath(c.file), std::string(row.file).find(".mp4") != std::string::npos);
      if (row.mode == Mode::kSafeAudioFirst && c.tagged) expected = EntryBoxes(DataPath(kClips[0].file));
      EXPECT_EQ(expected, EntryBoxes(path));
      EXPECT_TRUE(BoxTree(ReadFile(path)).Errors().empty());
      if (row.mode == Mode::kRepair) {
        EXPECT_TRUE(ReadFile(path) == ReadFile(path + ".crashed.mov"));
      }
      if (!ConformanceToolsAvailable()) continue;
      ExpectPlayable(path);
      EXPECT_EQ(20u, PacketsByKind(path)["video"].size());
      const StrictIsoView strict = ReadWithMp4Box(path);
      if (strict.available) {
        EXPECT_EQ("", strict.errors);
      }
    }
  }
}

}  // namespace
