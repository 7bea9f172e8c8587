// External I/O: a recording routed through the host's callbacks. The oracle
// is the plain-mode file of the same frames; failures are injected by the
// host's write callback at every position of a short recording.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::LoadAccessUnits;
using bvtest::LoadAdtsFrames;
using bvtest::MediaFrame;
using bvtest::ReadFile;
using bvtest::StdoutCapture;
using bvtest::TempDir;

namespace {

// A host that keeps the file in memory. The callbacks carry no user data
// besides the handle the host's open hands out, so open finds the host here.
struct MemoryHost {
  std::vector<uint8_t> bytes;
  uint64_t pos = 0;
  bool refuseOpen = false;
  int opens = 0, closes = 0;
  uint32_t writes = 0;
  uint32_t failAt = 0;     // 1-based write call that fails; 0 never
  int failErrno = 0;       // errno the failing call leaves
  int32_t failResult = 0;  // what the failing call returns
  int activeCall = -1;     // the host's own call counter, set by the recorder
  int failedDuringCall = -1;
};
MemoryHost* g_host = nullptr;

MemoryHost* Host(void* h) { return static_cast<MemoryHost*>(h); }

uint8_t HostOpen(void** handle, const wchar_t*, uint32_t, uint32_t) {
  if (g_host->refuseOpen) return 0;
  ++g_host->opens;
  *handle = g_host;
  return 1;
}
int32_t HostClose(void* h) {
  ++Host(h)->closes;
  return 0;
}
int64_t HostTell(void* h) { return static_cast<int64_t>(Host(h)->pos); }
int32_t HostSeek(void* h, int64_t offset, int32_t origin) {
  MemoryHost* m = Host(h);
  const int64_t base = origin == 0 ? 0 : origin == 1 ? static_cast<int64_t>(m->pos) : static_cast<int64_t>(m->bytes.size());
  if (base + offset < 0) return -1;
  m->pos = static_cast<uint64_t>(base + offset);
  return 0;
}
int32_t HostFlush(void*) { return 0; }
int32_t HostRead(void*, void*, uint32_t) { return 0; }
int32_t HostWrite(void* h, const void* src, uint32_t n) {
  MemoryHost* m = Host(h);
  if (++m->writes == m->failAt) {
    m->failedDuringCall = m->activeCall;
    errno = m->failErrno;
    return m->failResult;
  }
  if (m->bytes.size() < m->pos + n) m->bytes.resize(m->pos + n);
  std::memcpy(m->bytes.data() + m->pos, src, n);
  m->pos += n;
  return 1;
}
ExternalIoFuncs g_funcs{HostOpen, HostClose, HostTell, HostSeek, HostFlush, HostRead, HostWrite};

// A short H.264 + AAC recording; results[i] is the result of the i-th call
// after create (the last one is close).
std::vector<int> Record(const std::string& path, uint32_t ioMode, MemoryHost* host) {
  static const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
  static const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  std::vector<int> results;
  mp4_config_t config{};
  config.io_mode = ioMode;
  config.pFunc = &g_funcs;
  g_host = host;
  mp4_handle h = nullptr;
  if (mp4_create_file_full_ex(path.c_str(), &config, &h) != MP4_SUCCESS) return results;
  auto call = [&](int rc) {
    results.push_back(rc);
    if (host) host->activeCall = static_cast<int>(results.size());
  };
  call(0);
  mp4_video_track_info_t v{};
  v.timescale = 90000;
  v.frame_duration = 3600;
  v.codec_type = MP4_VIDEO_H264;
  v.width = 320;
  v.height = 240;
  call(mp4_set_video_track(h, &v));
  mp4_audio_track_info_t a{};
  a.timescale = 48000;
  a.frame_duration = 1024;
  a.codec_type = MP4_AUDIO_AAC_ADTS;
  call(mp4_set_audio_track(h, &a));
  for (size_t i = 0; i < 6; ++i) {
    const auto& f = video.at(i);
    call(mp4_write_video_frame(h, f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), i * 3600));
    for (size_t k = 2 * i; k < 2 * i + 2; ++k) {
      const auto& af = audio.at(k);
      call(mp4_write_audio_frame(h, af.bytes.data(), static_cast<uint32_t>(af.bytes.size()), k * 1024));
    }
  }
  call(mp4_close_file(h));
  results.erase(results.begin());  // the placeholder that armed the counter
  g_host = nullptr;
  return results;
}

TEST(ExternalIo, CallbacksReceiveExactlyThePlainFileBytes) {
  TempDir dir;
  const std::string plain = dir.File("plain.mp4");
  StdoutCapture cap;
  const std::vector<int> plainResults = Record(plain, MP4_IO_FILE, nullptr);
  MemoryHost host;
  const std::vector<int> hostResults = Record(dir.File("host.mp4"), MP4_IO_EXTERNAL, &host);
  cap.Take();
  ASSERT_FALSE(plainResults.empty());
  EXPECT_EQ(std::vector<int>(plainResults.size(), 0), plainResults);
  EXPECT_EQ(plainResults, hostResults);
  EXPECT_EQ(ReadFile(plain), host.bytes);
  EXPECT_EQ(1, host.opens);
  EXPECT_EQ(1, host.closes);
  EXPECT_FALSE(bvtest::FileExists(dir.File("host.mp4")));  // every byte went to the host
  if (bvtest::ConformanceToolsAvailable()) {
    EXPECT_EQ("", bvtest::Probe(plain).errors);
    EXPECT_EQ("", bvtest::DecodeErrors(plain));
  }
}

TEST(ExternalIo, RefusedOpenGivesFourAndNoHandle) {
  TempDir dir;
  MemoryHost host;
  host.refuseOpen = true;
  g_host = &host;
  mp4_config_t config{};
  config.io_mode = MP4_IO_EXTERNAL;
  config.pFunc = &g_funcs;
  mp4_handle h = nullptr;
  StdoutCapture cap;
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_create_file_full_ex(dir.File("x.mp4").c_str(), &config, &h));
  EXPECT_NE(std::string::npos, cap.Take().find("init external writer failed"));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(0, host.closes);
  g_host = nullptr;
}

// Whatever write fails, the call during which it failed reports it, every
// call before succeeded, the failing write is not retried and nothing is
// written after it, and close still hands the handle back to the host.
TEST(ExternalIo, AFailedWriteReachesTheCallThatMadeIt) {
  TempDir dir;
  MemoryHost clean;
  StdoutCapture cap;
  Record(dir.File("clean.mp4"), MP4_IO_EXTERNAL, &clean);
  ASSERT_GT(clean.writes, 10u);
  const struct {
    int err;
    int32_t result;  // what the host's write returns
    int code;        // what the call must report
  } kinds[] = {{ENOSPC, 0, MP4_ERR_NO_SPACE}, {0, 0, MP4_ERR_FAILED}, {0, -1, MP4_ERR_FAILED}, {EACCES, 7, MP4_ERR_ACCESS}};
  for (const auto& kind : kinds) {
    for (uint32_t n = 1; n <= clean.writes; ++n) {
      SCOPED_TRACE(testing::Message() << "write " << n << " errno " << kind.err << " result " << kind.result);
      MemoryHost host;
      host.failAt = n;
      host.failErrno = kind.err;
      host.failResult = kind.result;
      const std::vector<int> results = Record(dir.File("f.mp4"), MP4_IO_EXTERNAL, &host);
      ASSERT_GE(host.failedDuringCall, 1);
      const size_t failed = static_cast<size_t>(host.failedDuringCall - 1);
      ASSERT_LT(failed, results.size());
      for (size_t i = 0; i < failed; ++i) EXPECT_EQ(0, results[i]) << "call " << i;
      EXPECT_EQ(kind.code, results[failed]) << "call " << failed;
      EXPECT_EQ(n, host.writes);  // no retry, nothing behind the failure
      EXPECT_EQ(1, host.closes);
      if (testing::Test::HasFailure()) return;
    }
  }
  cap.Take();
}

}  // namespace
