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
  EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f)) << path;
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
