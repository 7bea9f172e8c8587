// The exports under misuse and under load from many threads. Oracles: the
// result codes the header documents, a log line for every refusal, and
// ffprobe/ffmpeg for every file a successful close (or repair) produced.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::MediaFrame;
using bvtest::ReadFile;
using bvtest::TempDir;

namespace {

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

// A handle never issued and a closed one: every export refuses with 2 and
// says why; an open file whose tracks come out of order, after frames or
// twice refuses with a code and a log line, and what it closes plays.
TEST(ApiMisuse, EveryExportWithEveryHandleStateAndOrder) {
  TempDir dir;
  int neverIssued = 0;
  mp4_handle closed = nullptr;
  ASSERT_EQ(0, mp4_create_file_ex(dir.File("closed.mp4").c_str(), 0, &closed));
  ASSERT_EQ(0, mp4_close_file(closed));
  for (const HandleCall& c : HandleCalls()) {
    for (mp4_handle h : {static_cast<mp4_handle>(&neverIssued), closed}) {
      bvtest::StdoutCapture log;
      EXPECT_EQ(MP4_ERR_INVALID_HANDLE, c.call(h)) << c.name;
      EXPECT_NE(std::string::npos, log.Take().find("invalid handle")) << c.name;
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

// ---------------------------------------------------------------------------
// Eight threads: four record their own files in every output mode, one runs
// repairs of crash copies the recorders leave, one queries open handles and
// two call every export with null, never-issued and stale handles.

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
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  static const std::vector<MediaFrame> audio = bvtest::LoadAdtsFrames("audio_48000_2.aac");
  auto check = [&](int rc) {
    ++sh.calls;
    if (rc != 0) ++sh.failures;
  };
  for (int round = 0; round < rounds; ++round) {
    const uint32_t mode = static_cast<uint32_t>(id + round) % 4;  // 0 plain, 1 repair, 2 external, 3 safe
    const std::string path = dir.File("t" + std::to_string(id) + "_" + std::to_string(round) + ".mp4");
    mp4_config_t c{};
    c.flags = mode == 1 ? MP4_FLAG_REPAIR : 0;
    c.io_mode = mode == 1 ? MP4_IO_FILE : mode;
    c.pFunc = &g_x;
    c.block_size = 4096;
    c.block_num = 4;
    c.max_duration = 60;
    mp4_handle h = nullptr;
    check(mp4_create_file_full_ex(path.c_str(), &c, &h));
    if (h == nullptr) continue;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      sh.open.push_back(h);
    }
    const mp4_video_track_info_t v = bvtest::H264TrackWithParameterSets();
    check(mp4_set_video_track(h, &v));
    const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC_ADTS);
    check(mp4_set_audio_track(h, &a));
    const mp4_subtitle_track_info_t s{MP4_SUBTITLE_CEA608, 1000};
    if (mode != 3) check(mp4_set_subtitle_track(h, &s));
    const mp4_time_code_track_info_t t{25, 1, 25, 0};
    check(mp4_set_time_code_track(h, &t));
    check(mp4_write_time_code(h, 0));
    if (mode == 1) check(mp4_repair_set_flush_interval(h, 10));
    for (size_t i = 0; i < 20; ++i) {
      for (size_t k = 2 * i; k < 2 * i + 2; ++k) {
        const auto& af = audio[k].bytes;
        check(mp4_write_audio_frame(h, af.data(), static_cast<uint32_t>(af.size()), k * 1024));
      }
      const uint8_t cc[] = {0x61, 0x02, 0x02, 0x00, 0x94, static_cast<uint8_t>(0x20 + i % 16)};
      if (mode != 3) check(mp4_write_subtitle_frame(h, cc, sizeof(cc), i * 40));
      const auto& f = video[i].bytes;
      check(mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 3600));
    }
    if (mode == 1) {
      // The tenth and twentieth video frames flushed the side file.
      bvtest::WriteFile(path + ".crash.mp4", ReadFile(path));
      bvtest::WriteFile(path + ".crash.mp4.info", ReadFile(path + ".info"));
    }
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

// Stale handles may have been reissued to another thread's file: only
// queries and calls that change nothing go to them.
void Abuser(Shared& sh, int seed) {
  int neverIssued = seed;
  long n = 0;
  while (sh.recordersLeft > 0 || n < 200) {
    mp4_handle stale = nullptr;
    {
      std::lock_guard<std::mutex> g(sh.lock);
      if (!sh.stale.empty()) stale = sh.stale[static_cast<size_t>(n) % sh.stale.size()];
    }
    for (mp4_handle h : {static_cast<mp4_handle>(nullptr), static_cast<mp4_handle>(&neverIssued), stale}) {
      Queries(h);
      mp4_write_video_frame(h, nullptr, 0, 0);
      if (h != stale && mp4_close_file(h) != MP4_ERR_INVALID_HANDLE) ++sh.failures;
      sh.calls += 7;
    }
    ++n;
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
  if (!bvtest::ConformanceToolsAvailable()) return;
  for (const std::string& f : sh.finished) {
    EXPECT_EQ("", bvtest::Probe(f).errors) << f;
    EXPECT_EQ("", bvtest::DecodeErrors(f)) << f;
  }
  for (const std::string& f : repaired) EXPECT_EQ("", bvtest::Probe(f).errors) << f;
}

}  // namespace
