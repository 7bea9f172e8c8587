#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform.h"

namespace fs = std::filesystem;

namespace bvtest {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path p = fs::temp_directory_path() /
               ("bv_mp4_test_" + std::to_string(stamp) + "_" + std::to_string(counter++));
  fs::create_directories(p);
  path_ = p.generic_string();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(fs::u8path(path_), ec);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) { return fs::exists(fs::u8path(path)); }

std::wstring Widen(const std::string& utf8) {
  const long n = bv::plat::Utf8ToWide(utf8.c_str(), nullptr, 0);
  if (n < 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n) + 1, L'\0');
  bv::plat::Utf8ToWide(utf8.c_str(), &w[0], static_cast<size_t>(n));
  w.resize(static_cast<size_t>(n));
  return w;
}

std::string DataPath(const std::string& name) { return std::string(BV_TEST_DATA_DIR) + "/" + name; }

StdoutCapture::StdoutCapture() : active_(true) {
  fflush(stdout);
  testing::internal::CaptureStdout();
}

std::string StdoutCapture::Take() {
  if (!active_) return std::string();
  active_ = false;
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

uint32_t BE32(const std::vector<uint8_t>& b, size_t off) {
  return (uint32_t{b.at(off)} << 24) | (uint32_t{b.at(off + 1)} << 16) | (uint32_t{b.at(off + 2)} << 8) |
         b.at(off + 3);
}
uint64_t BE64(const std::vector<uint8_t>& b, size_t off) { return (uint64_t{BE32(b, off)} << 32) | BE32(b, off + 4); }
std::string FourCC(const std::vector<uint8_t>& b, size_t off) {
  return std::string(reinterpret_cast<const char*>(&b.at(off)), 4);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  // An empty vector may have no data pointer, which fwrite must not be handed.
  if (!bytes.empty()) {
    EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f)) << path;
  }
  std::fclose(f);
}

void CopyFile(const std::string& from, const std::string& to) { WriteFile(to, ReadFile(from)); }

mp4_config_t RecordingConfig(uint32_t ioMode, uint8_t flags, uint32_t blockNum, uint32_t maxDuration) {
  mp4_config_t c{};
  c.flags = flags;
  c.io_mode = ioMode;
  c.block_size = 4096;
  c.block_num = blockNum;
  c.max_duration = maxDuration;
  c.update_interval = 1;
  return c;
}

}  // namespace bvtest

// ---- Recordings of the committed clip and the checks made on them ----
#include "conformance.h"
#include "media_source.h"

namespace bvtest {

void ExpectPlayable(const std::string& path) {
  if (!ConformanceToolsAvailable()) return;
  EXPECT_EQ("", Probe(path).errors) << path;
  EXPECT_EQ("", DecodeErrors(path)) << path;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

void CopyWithSideFile(const std::string& from, const std::string& to) {
  CopyFile(from, to);
  CopyFile(from + ".info", to + ".info");
}

void RecordClip(mp4_handle h, bool safeWrite, size_t frames, const std::function<void(int)>& result,
                uint64_t frameDuration) {
  static const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
  static const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  mp4_video_track_info_t v = H264TrackWithParameterSets();
  mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
  v.frame_duration = frameDuration;
  a.frame_duration = frameDuration ? 1024 : 0;
  const mp4_subtitle_track_info_t s{MP4_SUBTITLE_CEA608, 1000};
  const mp4_time_code_track_info_t t{25, 1, 25, 0};
  result(mp4_set_video_track(h, &v));
  result(mp4_set_audio_track(h, &a));
  if (!safeWrite) result(mp4_set_subtitle_track(h, &s));
  result(mp4_set_time_code_track(h, &t));
  result(mp4_set_metadata(h, "title", "clip"));
  result(mp4_set_metadata(h, "com.brelvane.take", "7"));
  result(mp4_write_time_code(h, 0));
  uint64_t vt = 0;
  for (size_t i = 0; i < frames; ++i) {
    for (size_t k = 2 * i; k < 2 * i + 2; ++k) {
      const std::vector<uint8_t>& f = audio.at(k).bytes;
      result(mp4_write_audio_frame(h, f.data(), static_cast<uint32_t>(f.size()), k * 1024));
    }
    const uint8_t cc[] = {0x61, 0x02, 0x02, 0x00, 0x94, static_cast<uint8_t>(0x20 + i % 16)};
    if (!safeWrite) result(mp4_write_subtitle_frame(h, cc, sizeof(cc), vt / 90));
    const std::vector<uint8_t>& f = video.at(i).bytes;
    result(mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), vt));
    vt += i == 7 ? 7200 : i + 2 == frames ? 1800 : 3600;
  }
}

}  // namespace bvtest
