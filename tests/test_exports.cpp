// The exported frame: handle checks, argument checks, path conversion,
// create failures and close.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bv_mp4.h"
#include "test_support.h"

using bvtest::FileExists;
using bvtest::StdoutCapture;
using bvtest::TempDir;
using bvtest::Widen;

namespace {

bool Contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Null pointers are refused with 4 (a null handle with 2; the queries answer
// it in their result's place) and say which pointer it was. Handles never
// issued or closed are the misuse table's (test_thread_stress.cpp).
TEST(Exports, NullPointersAreRefusedWithTheirMessages) {
  TempDir dir;
  const std::string path = dir.File("n.mp4");
  const std::wstring wpath = Widen(path);
  mp4_handle h = nullptr;
  mp4_handle open = nullptr;
  ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("open.mp4").c_str(), 0, &open));
  mp4_config_t config{};
  uint64_t size = 0;
  double rate = 0;
  struct Case {
    std::function<long long()> call;
    const char* message;
    int code = MP4_ERR_INVALID_PARAM;
  };
  const int kHandle = MP4_ERR_INVALID_HANDLE;
  const std::vector<Case> cases = {
      {[&] { return mp4_close_file(nullptr); }, "null handle", kHandle},
      {[&] { return static_cast<long long>(mp4_get_duration_ms(nullptr)); }, "null handle", kHandle},
      {[&] { return static_cast<long long>(mp4_get_moov_size(nullptr)); }, "null handle", kHandle},
      {[&] { return mp4_get_file_size(nullptr, &size); }, "null handle", kHandle},
      {[&] { return mp4_get_video_bitrate(nullptr, &rate); }, "null handle", kHandle},
      {[&] { return mp4_get_audio_bitrate(nullptr, &rate); }, "null handle", kHandle},
      {[&] { return mp4_create_file(nullptr, 0, &h); }, "path is null"},
      {[&] { return mp4_create_file(wpath.c_str(), 0, nullptr); }, "handle is null"},
      {[&] { return mp4_create_file_ex(nullptr, 0, &h); }, "path is null"},
      {[&] { return mp4_create_file_ex(path.c_str(), 0, nullptr); }, "handle is null"},
      {[&] { return mp4_create_file_adv(nullptr, 0, 0, 0, 0, nullptr, &h); }, "path is null"},
      {[&] { return mp4_create_file_adv_ex(path.c_str(), 0, 0, 0, 0, nullptr, nullptr); }, "handle is null"},
      {[&] { return mp4_create_file_full(wpath.c_str(), nullptr, &h); }, "config is null"},
      {[&] { return mp4_create_file_full(wpath.c_str(), &config, nullptr); }, "handle is null"},
      {[&] { return mp4_create_file_full_ex(nullptr, &config, &h); }, "path is null"},
      {[&] { return mp4_create_file_full_ex(path.c_str(), nullptr, &h); }, "config is null"},
      // The file duration answers 4 in the duration's place.
      {[&] { return static_cast<long long>(mp4_get_file_duration(nullptr)); }, "path pointer is null"},
      {[&] { return static_cast<long long>(mp4_get_file_duration_ex(nullptr)); }, "path pointer is null"},
      {[&] { return mp4_get_file_size(open, nullptr); }, "size is null"},
      {[&] { return mp4_get_video_bitrate(open, nullptr); }, "bitrate pointer is null"},
      {[&] { return mp4_get_audio_bitrate(open, nullptr); }, "bitrate pointer is null"},
  };
  for (const auto& c : cases) {
    StdoutCapture cap;
    EXPECT_EQ(c.code, c.call()) << c.message;
    const std::string log = cap.Take();
    EXPECT_TRUE(Contains(log, c.message) && Contains(log, "[error]")) << c.message;
    EXPECT_EQ(nullptr, h);
  }
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(open));
}

// Paths reach the file system as UTF-8 (wide forms converted) below 1023
// characters; anything else is refused with its code and message, leaving
// no handle and no file.
TEST(Exports, PathsAreConvertedOrRefused) {
  TempDir dir;
  const std::string base = dir.path() + "/";
  ASSERT_LT(base.size() + 8, 1022u);
  // Most file systems refuse a single name over 255 bytes, so the long paths
  // are built from nested folders.
  auto nested = [&](size_t total) {
    std::string p = base;
    while (total - p.size() > 200) {
      p += std::string(150, 'd');
      std::error_code ec;
      std::filesystem::create_directories(std::filesystem::u8path(p), ec);
      p += "/";
    }
    return p + std::string(total - p.size() - 4, 'f') + ".mp4";
  };
  std::vector<std::string> good = {dir.File("r\xc3\xa9sum\xc3\xa9_\xe6\x98\xa0\xe5\x83\x8f_\xf0\x9f\x8e\xa5.mp4")};
  if (sizeof(wchar_t) == 4) good.push_back(nested(1022));
  for (const std::string& name : good) {
    mp4_handle h = nullptr;
    ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(name.c_str(), 0, &h));
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    EXPECT_TRUE(FileExists(name));
    std::filesystem::remove(std::filesystem::u8path(name));
    // The wide form with the same name reaches the same file.
    const std::wstring wide = Widen(name);
    ASSERT_EQ(MP4_SUCCESS, mp4_create_file(wide.c_str(), 0, &h));
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    EXPECT_TRUE(FileExists(name));
  }

  const struct {
    std::string path;
    int code;
    const char* message;
  } refused[] = {
      {nested(1023), MP4_ERR_FAILED, "file path reach the max path size 1024"},
      {base + "\xff.mp4", MP4_ERR_FAILED, "wcstombs failed"},          // never valid
      {base + "\xc3.mp4", MP4_ERR_FAILED, "wcstombs failed"},          // truncated sequence
      {base + "\xc0\xaf.mp4", MP4_ERR_FAILED, "wcstombs failed"},      // overlong '/'
      {base + "\xed\xa0\x80.mp4", MP4_ERR_FAILED, "wcstombs failed"},  // surrogate
      {base + "no/such/dir/x.mp4", MP4_ERR_NO_ENTRY, "open file failed, error:"},
  };
  for (const auto& r : refused) {
    mp4_handle h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(r.code, mp4_create_file_ex(r.path.c_str(), 0, &h)) << r.message;
    EXPECT_TRUE(Contains(cap.Take(), r.message)) << r.message;
    EXPECT_EQ(nullptr, h);
    // A name that is not UTF-8 cannot even be asked about everywhere.
    if (std::string(r.message) != "wcstombs failed") { EXPECT_FALSE(FileExists(r.path)) << r.message; }
  }
  // The wide forms refuse 1024 characters and more before copying.
  const std::wstring wideLong(1024, L'w');
  mp4_handle h = nullptr;
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_create_file(wideLong.c_str(), 0, &h));
  EXPECT_EQ(nullptr, h);
}

TEST(Exports, UnavailableModesAreRefusedWithoutAFile) {
  TempDir dir;
  const std::string path = dir.File("m.mp4");
  struct Case {
    mp4_config_t config;
    int code;
    const char* message;
  };
  ExternalIoFuncs funcs{};
  std::vector<Case> cases;
  mp4_config_t c{};
  c.io_mode = MP4_IO_DIRECT;
  cases.push_back({c, MP4_ERR_NOT_SUPPORTED, "windows platform do not support direct io"});
  c = {};
  c.io_mode = MP4_IO_EXTERNAL;
  cases.push_back({c, MP4_ERR_INVALID_PARAM, "error: pFunc should not be null when use external io mode"});
  c.pFunc = &funcs;  // a table without functions
  cases.push_back({c, MP4_ERR_INVALID_PARAM, "init external writer failed"});
  c = {};
  c.io_mode = MP4_IO_SAFE_WRITE;
  c.flags = MP4_FLAG_REPAIR;
  c.block_size = 4096;
  c.block_num = 8;
  cases.push_back({c, MP4_ERR_NOT_SUPPORTED, "can't set repair flag on safe mode"});
  c.flags = 0;
  c.block_num = 0;
  cases.push_back({c, MP4_ERR_INVALID_PARAM, "invalid block config in safe write mode"});
  c.block_num = 8;
  c.max_duration = 604801;
  cases.push_back({c, MP4_ERR_INVALID_PARAM, "max duration should less then 7 days in safe mode"});
  c = {};
  c.io_mode = 4;
  cases.push_back({c, MP4_ERR_INVALID_PARAM, "invalid io mode 4"});

  for (const auto& k : cases) {
    mp4_handle h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(k.code, mp4_create_file_full_ex(path.c_str(), &k.config, &h)) << k.message;
    const std::string log = cap.Take();
    EXPECT_TRUE(Contains(log, k.message)) << log;
    EXPECT_EQ(nullptr, h);
    EXPECT_FALSE(FileExists(path)) << k.message;
  }
}

TEST(Exports, DeprecatedFunctionsReturnZeroAndWarnOnceEach) {
  StdoutCapture cap;
  EXPECT_EQ(0, mp4_set_safe_param());
  EXPECT_EQ(0, mp4_get_safe_param());
  const std::string log = cap.Take();
  auto count = [&](const std::string& what) {
    size_t n = 0;
    for (size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
    return n;
  };
  EXPECT_EQ(1u, count("function mp4_set_safe_param deprecated"));
  EXPECT_EQ(1u, count("function mp4_get_safe_param deprecated"));
  EXPECT_EQ(2u, count("[warn]"));
}

// The banner belongs to the first create or repair of the process: two
// creates print it at most once between them, and any later one never.
TEST(Exports, BannerIsLoggedOncePerProcess) {
  TempDir dir;
  auto createAndCount = [&](int creates) {
    StdoutCapture cap;
    for (int i = 0; i < creates; ++i) {
      mp4_handle h = nullptr;
      EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("b.mp4").c_str(), 0, &h));
      EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    }
    const std::string log = cap.Take();
    size_t n = 0;
    for (size_t p = log.find("brelvane mp4 library 1.0.1.0"); p != std::string::npos;
         p = log.find("brelvane mp4 library", p + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_LE(createAndCount(2), 1u);
  EXPECT_EQ(0u, createAndCount(1));
}

TEST(Exports, ConcurrentClosesOfOneHandleCloseItOnce) {
  TempDir dir;
  for (int round = 0; round < 20; ++round) {
    mp4_handle h = nullptr;
    ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("c.mp4").c_str(), 0, &h));
    std::vector<int> results(4, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { results[t] = mp4_close_file(h); });
    for (auto& t : threads) t.join();
    int successes = 0;
    for (int r : results) {
      if (r == MP4_SUCCESS) {
        ++successes;
      } else {
        EXPECT_EQ(MP4_ERR_INVALID_HANDLE, r);
      }
    }
    EXPECT_EQ(1, successes);
  }
}

}  // namespace
