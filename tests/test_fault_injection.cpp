// Disk faults at every I/O call of a short recording, in every output mode.
// The Nth write, seek, flush or read of the recording fails with a chosen
// error number: through the stream seam for the library's own streams (the
// media file and the side file), through the host's callbacks in external
// I/O mode (whose failing write also varies what it returns). Oracles: the
// result codes of the calls (the call that made the failing I/O reports it,
// every call before succeeded), a shadow of the bytes handed to each stream
// (what reached the file before the fault must be what the file holds
// afterwards), the plain file for the host's bytes, and for repair mode the
// repair and ffprobe/ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "stream_seam.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using bvtest::MediaFrame;
using bvtest::ReadFile;
using bvtest::TempDir;

namespace {

// The bytes handed to a stream, placed where they were written.
struct Shadow {
  std::vector<uint8_t> bytes;
  void Put(int64_t pos, const void* src, uint32_t n) {
    if (pos < 0) return;
    const size_t end = static_cast<size_t>(pos) + n;
    if (bytes.size() < end) bytes.resize(end);
    std::memcpy(bytes.data() + pos, src, n);
  }
};

// One injected fault: call number `failAt` (1-based, over every stream of
// the recording) fails with `err`.
struct Injector {
  long failAt = 0;
  int err = 0;
  long calls = 0;
  int streams = 0;          // streams opened so far (their index)
  int faulted = -1;         // index of the stream that failed
  std::vector<uint8_t> frozen;  // its shadow at the fault
  long writesAfterFault = 0;
  size_t activeCall = 0;      // index in Outcome::results of the call under way
  long failedDuringCall = -1;
  int hostOpens = 0, hostCloses = 0;
  bool refuseOpen = false;
  bool Tick() {
    if (++calls != failAt) return false;
    failedDuringCall = static_cast<long>(activeCall);
    return true;
  }
};
Injector g_inj;

class FaultStream : public bv::IBaseIO {
 public:
  explicit FaultStream(std::unique_ptr<IBaseIO> inner) : inner_(std::move(inner)), index_(g_inj.streams++) {
    state = inner_->state;
  }
  bool Close() override {
    const bool ok = inner_->Close();
    Sync(0);
    if (state != kFailed) state = inner_->state;
    return ok;
  }
  int64_t Ftell() override { return inner_->Ftell(); }
  uint64_t GetFileSize() override { return inner_->GetFileSize(); }
  bool Control(uint32_t a, uint32_t b, uint32_t c) override { return inner_->Control(a, b, c); }
  int32_t Seek(int64_t offset, int32_t origin) override {
    Tick(bv::kSeekErrorMsg);
    return Sync(inner_->Seek(offset, origin));
  }
  int32_t Flush() override {
    Tick(bv::kWriteErrorMsg);
    return Sync(inner_->Flush());
  }
  int32_t Read(void* dst, uint32_t n) override {
    Tick(bv::kReadEofMsg);
    return Sync(inner_->Read(dst, n));
  }
  int32_t Write(const void* src, uint32_t n) override {
    Tick(bv::kWriteErrorMsg);
    if (g_inj.faulted == index_) ++g_inj.writesAfterFault;
    shadow_.Put(inner_->Ftell(), src, n);
    return Sync(inner_->Write(src, n));
  }

 private:
  void Tick(const char* msg) {
    if (!g_inj.Tick()) return;
    g_inj.faulted = index_;
    g_inj.frozen = shadow_.bytes;
    Fail(g_inj.err, msg, __LINE__, msg != bv::kReadEofMsg);
  }
  int32_t Sync(int32_t rc) {
    if (inner_->state == kFailed) {
      state = kFailed;
      lastError = inner_->lastError;
    }
    return rc;
  }
  std::unique_ptr<IBaseIO> inner_;
  int index_;
  Shadow shadow_;
};

std::unique_ptr<bv::IBaseIO> WrapWithFaults(std::unique_ptr<bv::IBaseIO> opened) {
  return std::make_unique<FaultStream>(std::move(opened));
}

// External I/O: the host's callbacks over a C file beside the given path (so
// that a file the library made itself would show), failing the same way; an
// EIO fault leaves errno unset, as hosts that know no number do.
struct HostFile {
  FILE* f = nullptr;
  Shadow shadow;
  int index = 0;
};
bool HostFault(HostFile* h) {
  if (!g_inj.Tick()) return false;
  g_inj.faulted = h->index;
  g_inj.frozen = h->shadow.bytes;
  errno = g_inj.err == EIO ? 0 : g_inj.err;
  return true;
}
HostFile* HF(void* h) { return static_cast<HostFile*>(h); }
uint8_t HostOpen(void** handle, const wchar_t* path, uint32_t, uint32_t) {
  if (g_inj.refuseOpen) return 0;
  std::string narrow;
  for (const wchar_t* p = path; *p; ++p) narrow += static_cast<char>(*p);
  auto* h = new HostFile;  // owned by the library until HostClose
  h->f = std::fopen((narrow + ".host").c_str(), "wb+");
  ++g_inj.hostOpens;
  h->index = g_inj.streams++;
  *handle = h;
  return h->f != nullptr;
}
int32_t HostClose(void* h) {
  ++g_inj.hostCloses;
  std::fclose(HF(h)->f);
  delete HF(h);
  return 0;
}
int64_t HostTell(void* h) { return std::ftell(HF(h)->f); }
int32_t HostSeek(void* h, int64_t off, int32_t origin) {
  return HostFault(HF(h)) ? -1 : std::fseek(HF(h)->f, static_cast<long>(off), origin);
}
int32_t HostFlush(void* h) { return HostFault(HF(h)) ? EOF : std::fflush(HF(h)->f); }
int32_t HostRead(void* h, void* dst, uint32_t n) {
  return HostFault(HF(h)) ? 0 : static_cast<int32_t>(std::fread(dst, n, 1, HF(h)->f));
}
int32_t HostWrite(void* h, const void* src, uint32_t n) {
  // Anything but 1 is a failure: nothing, an error, or a count of bytes.
  static const int32_t kFailures[] = {0, -1, 7};
  if (HostFault(HF(h))) return kFailures[g_inj.failAt / 3 % 3];
  if (g_inj.faulted == HF(h)->index) ++g_inj.writesAfterFault;
  HF(h)->shadow.Put(std::ftell(HF(h)->f), src, n);
  return static_cast<int32_t>(std::fwrite(src, n, 1, HF(h)->f));
}
ExternalIoFuncs g_host{HostOpen, HostClose, HostTell, HostSeek, HostFlush, HostRead, HostWrite};

struct Mode {
  const char* name;
  uint8_t flags;
  uint32_t ioMode;
  int mediaStream;  // index of the media file's stream (the side file opens first)
};
const Mode kModes[] = {{"plain", 0, MP4_IO_FILE, 0},
                       {"repair", MP4_FLAG_REPAIR, MP4_IO_FILE, 1},
                       {"safe write", 0, MP4_IO_SAFE_WRITE, 0},
                       {"external", 0, MP4_IO_EXTERNAL, 0}};

struct Outcome {
  std::vector<int> results;  // every call, create first, close last
  int secondClose = 0;
};

// Six video frames with their audio, captions (not in safe write) and a time
// code per frame.
Outcome Record(const std::string& path, const Mode& m) {
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  static const std::vector<MediaFrame> audio = bvtest::LoadAdtsFrames("audio_48000_2.aac");
  Outcome out;
  g_inj.activeCall = 0;
  auto put = [&out](int rc) {  // and marks the next call as the one under way
    out.results.push_back(rc);
    g_inj.activeCall = out.results.size();
  };
  mp4_config_t c = bvtest::RecordingConfig(m.ioMode, m.flags, 4, 60);
  c.pFunc = &g_host;
  mp4_handle h = nullptr;
  put(mp4_create_file_full_ex(path.c_str(), &c, &h));
  if (h == nullptr) return out;
  const bool safe = m.ioMode == MP4_IO_SAFE_WRITE;
  // Safe write wants the parameter sets up front.
  const mp4_video_track_info_t v = bvtest::H264TrackWithParameterSets();
  put(mp4_set_video_track(h, &v));
  const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC_ADTS);
  put(mp4_set_audio_track(h, &a));
  mp4_subtitle_track_info_t s{MP4_SUBTITLE_CEA608, 1000};
  if (!safe) put(mp4_set_subtitle_track(h, &s));
  const mp4_time_code_track_info_t t{25, 1, 25, 0};
  put(mp4_set_time_code_track(h, &t));
  put(mp4_set_metadata(h, "title", "faults"));
  put(mp4_write_time_code(h, 0));
  for (size_t i = 0; i < 6; ++i) {
    const auto& f = video.at(i).bytes;
    put(mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 3600));
    for (size_t k = 2 * i; k < 2 * i + 2; ++k) {
      const auto& af = audio.at(k).bytes;
      put(mp4_write_audio_frame(h, af.data(), static_cast<uint32_t>(af.size()), k * 1024));
    }
    const uint8_t cc[] = {0x61, 0x02, 0x02, 0x00, 0x94, static_cast<uint8_t>(0x20 + i)};
    if (!safe) put(mp4_write_subtitle_frame(h, cc, sizeof(cc), i * 40));
  }
  put(mp4_close_file(h));
  out.secondClose = mp4_close_file(h);
  return out;
}

// The library's code for an injected error number.
int Mapped(int err) {
  switch (err) {
    case ENOSPC: return MP4_ERR_NO_SPACE;
    case EACCES: return MP4_ERR_ACCESS;
    default: return MP4_ERR_FAILED;
  }
}

bool StartsWith(const std::vector<uint8_t>& file, const std::vector<uint8_t>& prefix) {
  return file.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), file.begin());
}

struct ModeFigures {
  long calls = 0, injected = 0, repaired = 0;
};

// The call that made the failing I/O reports the injected error and every
// call before it succeeded; later calls succeed or report it too; close
// reports a fault of the media file and always releases the handle (and the
// host's); nothing is written to a stream after its fault and the bytes it
// had received stay as they were; with the repair flag the file is repaired
// into a clean file. Without faults the host receives the plain file's bytes.
TEST(FaultInjection, EveryFailedCallIsReportedAndLeavesEarlierBytesIntact) {
  const bool tools = bvtest::ConformanceToolsAvailable();
  const int kErrors[] = {ENOSPC, EACCES, EIO};
  std::vector<uint8_t> plainBytes;
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    const bool external = m.ioMode == MP4_IO_EXTERNAL;
    // External I/O fails in the host's callbacks instead.
    bv::SetStreamWrapperForTest(external ? nullptr : WrapWithFaults);
    TempDir dir;
    const std::string path = dir.File("f.mp4"), side = path + ".info";
    const std::string media = external ? path + ".host" : path;
    ModeFigures fig;
    bvtest::StdoutCapture quiet;
    g_inj = Injector{};
    const Outcome clean = Record(path, m);
    quiet.Take();
    fig.calls = g_inj.calls;
    ASSERT_EQ(std::vector<int>(clean.results.size(), 0), clean.results);
    const std::vector<uint8_t> cleanBytes = ReadFile(media);
    if (m.ioMode == MP4_IO_FILE && m.flags == 0) plainBytes = cleanBytes;
    if (external) {
      EXPECT_EQ(plainBytes, cleanBytes);
      EXPECT_FALSE(bvtest::FileExists(path)) << "every byte goes to the host";
    }
    ASSERT_GT(fig.calls, 10);
    for (long n = 1; n <= fig.calls; ++n) {
      const int err = kErrors[n % 3];
      SCOPED_TRACE(testing::Message() << "call " << n << " fails with errno " << err);
      std::remove(side.c_str());
      g_inj = Injector{};
      g_inj.failAt = n;
      g_inj.err = err;
      bvtest::StdoutCapture quietRun;
      const Outcome o = Record(path, m);
      quietRun.Take();
      ++fig.injected;
      ASSERT_NE(-1, g_inj.faulted);
      const int code = Mapped(err);
      const bool mediaFault = g_inj.faulted == m.mediaStream;
      const size_t failed = static_cast<size_t>(g_inj.failedDuringCall);
      ASSERT_LT(failed, o.results.size());
      for (size_t i = 0; i + 1 < o.results.size(); ++i) {
        const bool mustFail = o.results[i] != 0 || (i == failed && mediaFault);
        EXPECT_EQ(i < failed ? 0 : mustFail ? code : o.results[i], o.results[i]) << "call " << i;
      }
      EXPECT_EQ(mediaFault ? code : 0, o.results.back()) << "close";
      EXPECT_EQ(MP4_ERR_INVALID_HANDLE, o.secondClose);
      EXPECT_EQ(0, g_inj.writesAfterFault);
      EXPECT_EQ(g_inj.hostOpens, g_inj.hostCloses);
      const std::string faultedPath = mediaFault ? media : side;
      if (mediaFault || bvtest::FileExists(side)) {
        EXPECT_TRUE(StartsWith(ReadFile(faultedPath), g_inj.frozen)) << faultedPath;
      }
      if (!mediaFault) {
        EXPECT_EQ(cleanBytes, ReadFile(media)) << "a side-file fault changes the movie";
      }
      // Repairable once the side file's head (flags and media position) is complete.
      if (m.flags & MP4_FLAG_REPAIR && mediaFault && ReadFile(side).size() >= 5) {
        bvtest::StdoutCapture quietRepair;
        const int rc = mp4_repair_file_ex(path.c_str(), 1);
        quietRepair.Take();
        EXPECT_EQ(0, rc) << "repair, side file of " << ReadFile(side).size() << " bytes";
        fig.repaired += rc == 0;
        // Every 29th repaired file through the players' tooling; a fault
        // before the first frame leaves nothing to decode.
        if (tools && rc == 0 && n % 29 == 0) {
          const bvtest::ProbeResult probe = bvtest::Probe(path);
          EXPECT_EQ("", probe.errors);
          if (probe.Stream("video") || probe.Stream("audio")) {
            EXPECT_EQ("", bvtest::DecodeErrors(path));
          }
        }
      }
      if (testing::Test::HasFailure()) break;
    }
    std::printf("[ figures ] %s: %ld I/O calls, %ld faults injected and survived, %ld repaired\n", m.name,
                fig.calls, fig.injected, fig.repaired);
  }
  bv::SetStreamWrapperForTest(nullptr);
}

// A host that refuses to open: create fails with 4 and says why, no handle
// comes back and nothing is closed.
TEST(FaultInjection, RefusedHostOpenGivesFourAndNoHandle) {
  TempDir dir;
  g_inj = Injector{};
  g_inj.refuseOpen = true;
  mp4_config_t c{};
  c.io_mode = MP4_IO_EXTERNAL;
  c.pFunc = &g_host;
  mp4_handle h = nullptr;
  bvtest::StdoutCapture cap;
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_create_file_full_ex(dir.File("x.mp4").c_str(), &c, &h));
  EXPECT_NE(std::string::npos, cap.Take().find("init external writer failed"));
  EXPECT_EQ(nullptr, h);
  EXPECT_EQ(0, g_inj.hostCloses);
}

#if !defined(_WIN32)

// The bytes the muxer writes for an access unit: every start code becomes a
// 4-byte length, so a 3-byte start code adds one byte.
uint64_t WrittenSize(const std::vector<uint8_t>& au) {
  uint64_t n = au.size();
  for (size_t i = 0; i + 2 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (i == 0 || au[i - 1] != 0)) ++n;
  }
  return n;
}

// What a recording on a real, failing disk reported.
struct DiskRun {
  int accepted = 0;  // video frames accepted before the first refusal
  int refusal = 0;   // the first non-zero result
  int close = 0;
};

// A video-only H.264 recording of the looped test clip until the first
// refusal (at most `maxFrames`), then close.
DiskRun RecordUntilRefused(const std::string& path, const Mode& m, int maxFrames) {
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  DiskRun r;
  const mp4_config_t c = bvtest::RecordingConfig(m.ioMode, m.flags, 4, 120);
  mp4_handle h = nullptr;
  if ((r.refusal = mp4_create_file_full_ex(path.c_str(), &c, &h)) != 0) return r;
  const mp4_video_track_info_t v = bvtest::H264TrackWithParameterSets();
  r.refusal = mp4_set_video_track(h, &v);
  if (r.refusal == 0 && (m.flags & MP4_FLAG_REPAIR)) r.refusal = mp4_repair_set_flush_interval(h, 10);
  for (int i = 0; r.refusal == 0 && i < maxFrames; ++i) {
    const auto& f = video[static_cast<size_t>(i) % video.size()].bytes;
    r.refusal = mp4_write_video_frame(h, f.data(), static_cast<uint32_t>(f.size()), uint64_t(i) * 3600);
    if (r.refusal == 0) ++r.accepted;
  }
  r.close = mp4_close_file(h);
  return r;
}

// Runs a recording in a child process whose files may not grow past `limit`
// bytes (SIGXFSZ ignored, so writes fail with EFBIG instead of killing it).
DiskRun InChildUnderLimit(const std::string& path, const Mode& m, rlim_t limit) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{limit, limit};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::freopen("/dev/null", "w", stdout);
    const DiskRun r = RecordUntilRefused(path, m, 5000);
    const ssize_t put = write(fds[1], &r, sizeof(r));
    _exit(put == sizeof(r) ? 0 : 1);
  }
  close(fds[1]);
  DiskRun r{-1, -1, -1};
  const ssize_t got = read(fds[0], &r, sizeof(r));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == sizeof(r)) << "child status " << status;
  return r;
}

// The number of looped clip frames whose bytes lie wholly within `fileSize`
// when the media data starts at `dataStart`.
int FramesWithin(uint64_t dataStart, uint64_t fileSize, int accepted) {
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  uint64_t end = dataStart;
  int n = 0;
  while (n < accepted && (end += WrittenSize(video[static_cast<size_t>(n) % video.size()].bytes)) <= fileSize) ++n;
  return n;
}

// A file-size limit reached mid-recording: the refusing call and close
// report it; repair then recovers exactly the frames whose bytes reached the
// file, and a safe-write file plays as closed.
TEST(DiskFull, FileSizeLimitMidRecording) {
  if (!bvtest::ConformanceToolsAvailable()) GTEST_SKIP() << "needs ffprobe";
  constexpr rlim_t kLimit = 150000;
  TempDir dir;
  {
    const std::string path = dir.File("repair.mp4");
    const DiskRun r = InChildUnderLimit(path, kModes[1], kLimit);
    ASSERT_GT(r.accepted, 100);
    EXPECT_EQ(MP4_ERR_FAILED, r.refusal);  // EFBIG has no code of its own
    EXPECT_EQ(MP4_ERR_FAILED, r.close);
    const uint64_t size = ReadFile(path).size();
    EXPECT_LE(size, kLimit);
    bvtest::StdoutCapture quiet;
    EXPECT_EQ(0, mp4_repair_file_ex(path.c_str(), 1));
    quiet.Take();
    const bvtest::ProbeResult probe = bvtest::Probe(path);
    EXPECT_EQ("", probe.errors);
    EXPECT_EQ("", bvtest::DecodeErrors(path));
    ASSERT_NE(nullptr, probe.Stream("video"));
    // ftyp (28), free (8) and the mdat header (8) come first.
    EXPECT_EQ(FramesWithin(44, size, r.accepted), probe.Stream("video")->Int("nb_read_frames"));
  }
  {
    const std::string path = dir.File("safe.mp4");
    const DiskRun r = InChildUnderLimit(path, kModes[2], kLimit);
    ASSERT_GT(r.accepted, 50);
    EXPECT_EQ(MP4_ERR_FAILED, r.refusal);
    EXPECT_NE(0, r.close);
    const bvtest::ProbeResult probe = bvtest::Probe(path);
    EXPECT_EQ("", probe.errors);
    EXPECT_EQ("", bvtest::DecodeErrors(path));
    ASSERT_NE(nullptr, probe.Stream("video"));
    std::printf("[ figures ] safe write under a %lu-byte limit: %d frames accepted, %lld play\n",
                static_cast<unsigned long>(kLimit), r.accepted, probe.Stream("video")->Int("nb_read_frames"));
  }
}

#endif

}  // namespace
