// Eight threads: four record their own files in every output mode, one runs
// repairs of crash copies the recorders leave, one queries open handles and
// two call every export with null, never-issued and stale handles. Oracles:
// every call the recorders and the repairer make succeeds, the misused
// handles are refused, and ffprobe/ffmpeg read every file produced.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "test_support.h"

using bvtest::TempDir;

namespace {

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
  for (const std::string& f : sh.finished) bvtest::ExpectPlayable(f);
  for (const std::string& f : repaired) EXPECT_EQ("", bvtest::Probe(f).errors) << f;
}

}  // namespace
