// The exports under misuse: handles in every state, null pointers, paths,
// refused creates, calls out of order or with extreme values; the result
// texts, the banner and the deprecated calls; and eight threads that record,
// repair, query and misuse handles at once. Oracles: the result codes the
// header documents, a log line for every refusal, and ffprobe/ffmpeg for
// every file a successful close or repair produced.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::CountOf;
using bvtest::FileExists;
using bvtest::MediaFrame;
using bvtest::ReadFile;
using bvtest::StdoutCapture;
using bvtest::TempDir;
using bvtest::Widen;

namespace {

bool Contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// Every export that takes a handle, called with harmless valid arguments.
struct HandleCall {
  const char* name;
  std::function<long long(mp4_handle)> call;
  bool query;  // answers a value, not a code
};
std::vector<HandleCall> HandleCalls() {
  static const uint8_t frame[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
  static const uint8_t cc[] = {0x61, 0x02, 0x02, 0x00, 0x94, 0x20};
  // A real raw AAC frame: the first of the test stream without its header.
  static const std::vector<uint8_t> aac = bvtest::LoadAdtsFrames("audio_48000_2.aac").at(0).bytes;
  static const mp4_video_track_info_t v{90000, 0, MP4_VIDEO_H264, 16, 16, {}, 0, nullptr, 0, nullptr, 0};
  static const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC);
  static const mp4_subtitle_track_info_t s{MP4_SUBTITLE_CEA608, 1000};
  static const mp4_time_code_track_info_t t{25, 1, 25, 0};
  static uint64_t size;
  static double rate;
  return {
      {"close", [](mp4_handle h) { return mp4_close_file(h); }, false},
      {"video track", [](mp4_handle h) { return mp4_set_video_track(h, &v); }, false},
      {"audio track", [](mp4_handle h) { return mp4_set_audio_track(h, &a); }, false},
      {"subtitle track", [](mp4_handle h) { return mp4_set_subtitle_track(h, &s); }, false},
      {"time code track", [](mp4_handle h) { return mp4_set_time_code_track(h, &t); }, false},
      {"metadata", [](mp4_handle h) { return mp4_set_metadata(h, "title", "x"); }, false},
      {"metadata ex", [](mp4_handle h) { return mp4_set_metadata_ex(h, "k", "v", 1, MP4_META_UTF8, "mdta"); }, false},
      {"video frame", [](mp4_handle h) { return mp4_write_video_frame(h, frame, sizeof(frame), 0); }, false},
      {"audio frame", [](mp4_handle h) { return mp4_write_audio_frame(h, aac.data() + 7, uint32_t(aac.size() - 7), 0); },
       false},
      {"subtitle frame", [](mp4_handle h) { return mp4_write_subtitle_frame(h, cc, sizeof(cc), 0); }, false},
      {"time code", [](mp4_handle h) { return mp4_write_time_code(h, 1); }, false},
      {"flush interval", [](mp4_handle h) { return mp4_repair_set_flush_interval(h, 10); }, false},
      {"duration", [](mp4_handle h) { return static_cast<long long>(mp4_get_duration_ms(h)); }, true},
      {"file size", [](mp4_handle h) { return mp4_get_file_size(h, &size); }, true},
      {"moov size", [](mp4_handle h) { return static_cast<long long>(mp4_get_moov_size(h)); }, true},
      {"video bitrate", [](mp4_handle h) { return mp4_get_video_bitrate(h, &rate); }, false},
      {"audio bitrate", [](mp4_handle h) { return mp4_get_audio_bitrate(h, &rate); }, false},
  };
}

// A null handle, one never issued and a closed one: every export refuses
// with 2 and says why; an open file whose tracks come out of order, after frames or
// twice refuses with a code and a log line, and what it closes plays.
TEST(ApiMisuse, EveryExportWithEveryHandleStateAndOrder) {
  TempDir dir;
  int neverIssued = 0;
  mp4_handle closed = nullptr;
  ASSERT_EQ(0, mp4_create_file_ex(dir.File("closed.mp4").c_str(), 0, &closed));
  ASSERT_EQ(0, mp4_close_file(closed));
  const std::pair<mp4_handle, const char*> states[] = {
      {nullptr, "null handle"}, {&neverIssued, "invalid handle"}, {closed, "invalid handle"}};
  for (const HandleCall& c : HandleCalls()) {
    for (const auto& [h, message] : states) {
      bvtest::StdoutCapture log;
      EXPECT_EQ(MP4_ERR_INVALID_HANDLE, c.call(h)) << c.name << " with a " << message;
      EXPECT_TRUE(Contains(log.Take(), message)) << c.name << " with a " << message;
    }
  }
  // Open handles: every call in turn, starting from each one, on a fresh
  // file; each refusal is logged, a closed file plays.
  const auto calls = HandleCalls();
  for (size_t first = 1; first < calls.size(); ++first) {
    const std::string path = dir.File("order.mp4");
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
    for (size_t k = 0; k < calls.size() - 1; ++k) {
      const HandleCall& c = calls[1 + (first - 1 + k) % (calls.size() - 1)];
      bvtest::StdoutCapture log;
      const long long rc = c.call(h);
      const std::string text = log.Take();
      if (rc != 0 && !c.query) {
        EXPECT_NE(std::string::npos, text.find("[error]")) << c.name << " gave " << rc;
      }
    }
    bvtest::StdoutCapture quiet;
    const int rc = mp4_close_file(h);
    quiet.Take();
    EXPECT_EQ(0, rc) << "order from " << calls[first].name;
    if (bvtest::ConformanceToolsAvailable() && bvtest::FileExists(path) && ReadFile(path).size() > 8) {
      EXPECT_EQ("", bvtest::Probe(path).errors) << "order from " << calls[first].name;
    }
  }
}

// Extreme values: timestamps backwards, equal or near 2^64, timescale 1,
// frame durations 0 and 2^64-1. Each call gives a code (and a log line when
// it refuses); a successful close gives a file ffprobe reads silently.
TEST(ApiMisuse, ExtremeTimesAndDurations) {
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  struct Case {
    const char* name;
    uint32_t timescale;
    uint64_t frameDuration;
    std::vector<uint64_t> times;
  };
  const uint64_t top = ~uint64_t{0};
  const Case cases[] = {{"backwards", 90000, 3600, {7200, 3600, 0, 10800}},
                        {"equal", 90000, 3600, {3600, 3600, 3600, 3600}},
                        {"near 2^64", 90000, 3600, {top - 10800, top - 7200, top - 3600, top}},
                        {"timescale 1", 1, 1, {0, 1, 2, 3}},
                        {"duration 0", 90000, 0, {0, 3600, 7200, 10800}},
                        {"duration 2^64-1", 90000, top, {0, 3600, 7200, 10800}}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File("x.mp4");
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
    bvtest::StdoutCapture log;
    const mp4_video_track_info_t v{c.timescale, c.frameDuration, MP4_VIDEO_H264, 320, 240, {}, 0, nullptr, 0, nullptr, 0};
    const int trackRc = mp4_set_video_track(h, &v);
    int accepted = 0;
    for (size_t i = 0; i < c.times.size(); ++i) {
      const auto& f = video[i].bytes;
      accepted += mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), c.times[i]) == 0;
    }
    mp4_get_duration_ms(h);
    const int closeRc = mp4_close_file(h);
    const std::string text = log.Take();
    if (trackRc != 0 || accepted < 4 || closeRc != 0) {
      EXPECT_NE(std::string::npos, text.find("[error]"));
    }
    if (closeRc == 0 && trackRc == 0 && accepted > 0 && bvtest::ConformanceToolsAvailable()) {
      EXPECT_EQ("", bvtest::Probe(path).errors);
    }
  }
}

// Null pointers, and modes this build or configuration cannot take, are
// refused with their code and an error line saying why, leaving no handle
// and no file; a host whose open refuses is never closed.
TEST(Exports, RefusedPointersAndModesLeaveNoHandleAndNoFile) {
  TempDir dir;
  const std::string path = dir.File("n.mp4");
  const std::wstring wpath = Widen(path);
  mp4_handle h = nullptr;
  mp4_handle open = nullptr;
  ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("open.mp4").c_str(), 0, &open));
  const mp4_config_t config{};
  ExternalIoFuncs empty{};
  static int hostCloses = 0;
  ExternalIoFuncs refusing{[](void**, const wchar_t*, uint32_t, uint32_t) -> uint8_t { return 0; },
                           [](void*) -> int32_t { return ++hostCloses; },
                           [](void*) -> int64_t { return 0; },
                           [](void*, int64_t, int32_t) -> int32_t { return 0; },
                           [](void*) -> int32_t { return 0; },
                           nullptr,
                           [](void*, const void*, uint32_t) -> int32_t { return 1; }};
  ExternalIoFuncs noOpen = refusing;
  noOpen.open = nullptr;
  auto create = [&](uint32_t ioMode, uint8_t flags, uint32_t blockNum, uint32_t maxDuration, ExternalIoFuncs* f) {
    mp4_config_t c = bvtest::RecordingConfig(ioMode, flags, blockNum, maxDuration);
    c.pFunc = f;
    return [&h, &path, c] { return static_cast<long long>(mp4_create_file_full_ex(path.c_str(), &c, &h)); };
  };
  struct Case {
    std::function<long long()> call;
    int code;
    const char* message;
  };
  const int kParam = MP4_ERR_INVALID_PARAM, kUnsupported = MP4_ERR_NOT_SUPPORTED;
  const std::vector<Case> cases = {
      {[&] { return mp4_create_file(nullptr, 0, &h); }, kParam, "path is null"},
      {[&] { return mp4_create_file(wpath.c_str(), 0, nullptr); }, kParam, "handle is null"},
      {[&] { return mp4_create_file_ex(nullptr, 0, &h); }, kParam, "path is null"},
      {[&] { return mp4_create_file_ex(path.c_str(), 0, nullptr); }, kParam, "handle is null"},
      {[&] { return mp4_create_file_adv(nullptr, 0, 0, 0, 0, nullptr, &h); }, kParam, "path is null"},
      {[&] { return mp4_create_file_adv_ex(path.c_str(), 0, 0, 0, 0, nullptr, nullptr); }, kParam, "handle is null"},
      {[&] { return mp4_create_file_full(wpath.c_str(), nullptr, &h); }, kParam, "config is null"},
      {[&] { return mp4_create_file_full(wpath.c_str(), &config, nullptr); }, kParam, "handle is null"},
      {[&] { return mp4_create_file_full_ex(nullptr, &config, &h); }, kParam, "path is null"},
      {[&] { return mp4_create_file_full_ex(path.c_str(), nullptr, &h); }, kParam, "config is null"},
      // The file duration answers 4 in the duration's place.
      {[&] { return static_cast<long long>(mp4_get_file_duration(nullptr)); }, kParam, "path pointer is null"},
      {[&] { return static_cast<long long>(mp4_get_file_duration_ex(nullptr)); }, kParam, "path pointer is null"},
      {[&] { return mp4_get_file_size(open, nullptr); }, kParam, "size is null"},
      {[&] { return mp4_get_video_bitrate(open, nullptr); }, kParam, "bitrate pointer is null"},
      {[&] { return mp4_get_audio_bitrate(open, nullptr); }, kParam, "bitrate pointer is null"},
      {create(MP4_IO_DIRECT, 0, 8, 0, nullptr), kUnsupported, "windows platform do not support direct io"},
      {create(MP4_IO_EXTERNAL, 0, 8, 0, nullptr), kParam, "error: pFunc should not be null when use external io mode"},
      {create(MP4_IO_EXTERNAL, 0, 8, 0, &empty), kParam, "init external writer failed"},
      {create(MP4_IO_EXTERNAL, 0, 8, 0, &noOpen), kParam, "init external writer failed"},
      {create(MP4_IO_EXTERNAL, 0, 8, 0, &refusing), kParam, "init external writer failed"},
      {create(MP4_IO_SAFE_WRITE, MP4_FLAG_REPAIR, 8, 0, nullptr), kUnsupported, "can't set repair flag on safe mode"},
      {create(MP4_IO_SAFE_WRITE, 0, 0, 0, nullptr), kParam, "invalid block config in safe write mode"},
      {create(MP4_IO_SAFE_WRITE, 0, 8, 604801, nullptr), kParam, "max duration should less then 7 days in safe mode"},
      {create(4, 0, 8, 0, nullptr), kParam, "invalid io mode 4"},
  };
  for (const auto& c : cases) {
    StdoutCapture cap;
    EXPECT_EQ(c.code, c.call()) << c.message;
    const std::string log = cap.Take();
    EXPECT_TRUE(Contains(log, c.message) && Contains(log, "[error]")) << c.message;
    EXPECT_EQ(nullptr, h) << c.message;
    EXPECT_FALSE(FileExists(path)) << c.message;
  }
  EXPECT_EQ(0, hostCloses);
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

// The deprecated calls answer 0 with one warning each. The banner belongs to
// the first create or repair of the process: two creates print it at most
// once between them, and any later one never.
TEST(Exports, DeprecatedCallsWarnAndTheBannerComesOncePerProcess) {
  StdoutCapture cap;
  EXPECT_EQ(0, mp4_set_safe_param());
  EXPECT_EQ(0, mp4_get_safe_param());
  const std::string log = cap.Take();
  EXPECT_EQ(1u, CountOf(log, "function mp4_set_safe_param deprecated"));
  EXPECT_EQ(1u, CountOf(log, "function mp4_get_safe_param deprecated"));
  EXPECT_EQ(2u, CountOf(log, "[warn]"));
  TempDir dir;
  auto createAndCount = [&](int creates) {
    StdoutCapture banner;
    for (int i = 0; i < creates; ++i) {
      mp4_handle h = nullptr;
      EXPECT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("b.mp4").c_str(), 0, &h));
      EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    }
    return CountOf(banner.Take(), "brelvane mp4 library 1.0.1.0");
  };
  EXPECT_LE(createAndCount(2), 1u);
  EXPECT_EQ(0u, createAndCount(1));
}

// mp4_strerror: every result code has its own fixed text; any other value
// reads "unknown result code".
TEST(ResultText, EachCodeHasItsOwnTextAndOthersAreUnknown) {
  const int codes[] = {MP4_SUCCESS, MP4_ERR_FAILED, MP4_ERR_INVALID_HANDLE, MP4_ERR_INVALID_PARAM,
                       MP4_ERR_INVALID_CODEC, MP4_ERR_SUBTITLE_CODEC, MP4_ERR_INVALID_ADTS, MP4_ERR_PARSE_VIDEO,
                       MP4_ERR_INVALID_VIDEO_TRACK, MP4_ERR_NOT_SUPPORTED, MP4_ERR_PERMISSION, MP4_ERR_NO_ENTRY,
                       MP4_ERR_ACCESS, MP4_ERR_BUSY, MP4_ERR_TOO_MANY_FILES, MP4_ERR_NO_SPACE, MP4_ERR_READ_ONLY,
                       MP4_ERR_EXTERNAL_OPEN, MP4_ERR_FILE_NOT_OPEN, MP4_ERR_TABLE_FULL};
  const std::string unknown = "unknown result code";
  std::set<std::string> seen;
  for (int c : codes) {
    const char* text = mp4_strerror(c);
    ASSERT_NE(text, nullptr) << c;
    EXPECT_GT(std::strlen(text), 3u) << c;
    EXPECT_NE(text, unknown) << c;
    EXPECT_TRUE(seen.insert(text).second) << "text shared by code " << c << ": " << text;
  }
  EXPECT_STREQ(mp4_strerror(MP4_ERR_NO_SPACE), "no space left on device");
  for (int c : {-1, 3, 5, 22, 1000, INT32_MIN}) EXPECT_EQ(unknown, mp4_strerror(c)) << c;
}

// A closed handle stays refused even when the next recording's muxer takes
// the freed memory: closing it again must not close that recording.
TEST(Exports, ClosedHandlesAreNeverReissued) {
  TempDir dir;
  mp4_handle first = nullptr, second = nullptr;
  ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("a.mp4").c_str(), 0, &first));
  ASSERT_EQ(MP4_SUCCESS, mp4_close_file(first));
  ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(dir.File("b.mp4").c_str(), 0, &second));
  EXPECT_NE(first, second);
  EXPECT_EQ(MP4_ERR_INVALID_HANDLE, mp4_close_file(first));
  EXPECT_EQ(MP4_SUCCESS, mp4_close_file(second));
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
    std::sort(results.begin(), results.end());
    EXPECT_EQ((std::vector<int>{MP4_SUCCESS, MP4_ERR_INVALID_HANDLE, MP4_ERR_INVALID_HANDLE, MP4_ERR_INVALID_HANDLE}),
              results);
  }
}

struct Shared {
  std::mutex lock;
  std::vector<mp4_handle> open, stale;
  std::vector<std::string> finished, crashCopies;
  std::atomic<long> calls{0};
  std::atomic<int> recordersLeft{0};
  std::atomic<int> failures{0};
};

// The queries, whose answers only have to come back.
void Queries(mp4_handle h) {
  uint64_t size = 0;
  double rate = 0;
  mp4_get_duration_ms(h);
  mp4_get_moov_size(h);
  mp4_get_file_size(h, &size);
  mp4_get_video_bitrate(h, &rate);
  mp4_get_audio_bitrate(h, &rate);
}

// External I/O over a C file, one per handle.
uint8_t XOpen(void** h, const wchar_t* path, uint32_t, uint32_t) {
  std::string narrow;
  for (const wchar_t* p = path; *p; ++p) narrow += static_cast<char>(*p);
  *h = std::fopen(narrow.c_str(), "wb+");
  return *h != nullptr;
}
int32_t XClose(void* h) { return std::fclose(static_cast<FILE*>(h)); }
int64_t XTell(void* h) { return std::ftell(static_cast<FILE*>(h)); }
int32_t XSeek(void* h, int64_t o, int32_t w) { return std::fseek(static_cast<FILE*>(h), static_cast<long>(o), w); }
int32_t XFlush(void* h) { return std::fflush(static_cast<FILE*>(h)); }
int32_t XRead(void* h, void* d, uint32_t n) { return static_cast<int32_t>(std::fread(d, n, 1, static_cast<FILE*>(h))); }
int32_t XWrite(void* h, const void* s, uint32_t n) {
  return static_cast<int32_t>(std::fwrite(s, n, 1, static_cast<FILE*>(h)));
}
ExternalIoFuncs g_x{XOpen, XClose, XTell, XSeek, XFlush, XRead, XWrite};

void Recorder(Shared& sh, const TempDir& dir, int id, int rounds) {
  auto check = [&](int rc) {
    ++sh.calls;
    if (rc != 0) ++sh.failures;
  };
  for (int round = 0; round < rounds; ++round) {
    const uint32_t mode = static_cast<uint32_t>(id + round) % 4;  // 0 plain, 1 repair, 2 external, 3 safe
    const std::string path = dir.File("t" + std::to_string(id) + "_" + std::to_string(round) + ".mp4");
    mp4_config_t c = bvtest::RecordingConfig(mode == 1 ? MP4_IO_FILE : mode, mode == 1 ? MP4_FLAG_REPAIR : 0, 4, 60);
    c.pFunc = &g_x;
    mp4_handle h = nullptr;
    check(mp4_create_file_full_ex(path.c_str(), &c, &h));
    if (h == nullptr) continue;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      sh.open.push_back(h);
    }
    if (mode == 1) check(mp4_repair_set_flush_interval(h, 10));
    bvtest::RecordClip(h, mode == MP4_IO_SAFE_WRITE, 20, check);
    // The tenth and twentieth video frames flushed the side file.
    if (mode == 1) bvtest::CopyWithSideFile(path, path + ".crash.mp4");
    {
      std::lock_guard<std::mutex> g(sh.lock);
      sh.open.erase(std::find(sh.open.begin(), sh.open.end(), h));
    }
    check(mp4_close_file(h));
    std::lock_guard<std::mutex> g(sh.lock);
    sh.stale.push_back(h);
    sh.finished.push_back(path);
    if (mode == 1) sh.crashCopies.push_back(path + ".crash.mp4");
  }
  --sh.recordersLeft;
}

// Every export refuses null, never-issued and closed handles, whatever the
// other threads do.
void Abuser(Shared& sh, int seed) {
  int neverIssued = seed;
  const std::vector<HandleCall> calls = HandleCalls();
  for (long n = 0; sh.recordersLeft > 0 || n < 200; ++n) {
    mp4_handle stale = nullptr;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      if (!sh.stale.empty()) stale = sh.stale[static_cast<size_t>(n) % sh.stale.size()];
    }
    for (const HandleCall& c : calls) {
      if (c.call(nullptr) != MP4_ERR_INVALID_HANDLE) ++sh.failures;
      if (c.call(&neverIssued) != MP4_ERR_INVALID_HANDLE) ++sh.failures;
      if (stale && c.call(stale) != MP4_ERR_INVALID_HANDLE) ++sh.failures;
    }
    sh.calls += 3 * static_cast<long>(calls.size());
  }
}

void Querier(Shared& sh) {
  while (sh.recordersLeft > 0) {
    std::vector<mp4_handle> open;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      open = sh.open;
    }
    for (mp4_handle h : open) Queries(h);
    sh.calls += 5 * static_cast<long>(open.size());
    std::this_thread::yield();
  }
}

void Repairer(Shared& sh, std::vector<std::string>& repaired) {
  for (;;) {
    std::string next;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      if (!sh.crashCopies.empty()) {
        next = sh.crashCopies.back();
        sh.crashCopies.pop_back();
      }
    }
    if (next.empty()) {
      if (sh.recordersLeft == 0) return;
      std::this_thread::yield();
      continue;
    }
    ++sh.calls;
    if (mp4_repair_file_ex(next.c_str(), 1) != 0) ++sh.failures;
    repaired.push_back(next);
  }
}

// Eight threads: four record their own files in every output mode, one
// repairs the crash copies they leave, one queries open handles and two call
// every export with null, never-issued and stale handles. Every call the
// recorders and the repairer make succeeds, the misused handles are refused,
// every file plays, and each repair equals the file its recording closed.
TEST(ThreadStress, EightThreadsRecordQueryAbuseAndRepair) {
  constexpr int kRecorders = 4, kRounds = 4;
  TempDir dir;
  Shared sh;
  sh.recordersLeft = kRecorders;
  std::vector<std::string> repaired;
  bvtest::StdoutCapture quiet;
  std::vector<std::thread> threads;
  for (int id = 0; id < kRecorders; ++id) threads.emplace_back(Recorder, std::ref(sh), std::cref(dir), id, kRounds);
  threads.emplace_back(Abuser, std::ref(sh), 1);
  threads.emplace_back(Abuser, std::ref(sh), 2);
  threads.emplace_back(Querier, std::ref(sh));
  threads.emplace_back(Repairer, std::ref(sh), std::ref(repaired));
  for (auto& t : threads) t.join();
  quiet.Take();
  EXPECT_EQ(0, sh.failures.load());
  EXPECT_EQ(static_cast<size_t>(kRecorders * kRounds), sh.finished.size());
  EXPECT_EQ(static_cast<size_t>(kRecorders), repaired.size());  // one repair-mode round per recorder
  std::printf("[ figures ] %zu files recorded, %zu repaired, %ld calls\n", sh.finished.size(), repaired.size(),
              sh.calls.load());
  for (const std::string& f : repaired) {
    EXPECT_TRUE(ReadFile(f) == ReadFile(f.substr(0, f.size() - std::string(".crash.mp4").size()))) << f;
  }
  for (const std::string& f : sh.finished) bvtest::ExpectPlayable(f);
}

}  // namespace
