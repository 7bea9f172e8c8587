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
#include "stream_seam.h"
#include "test_support.h"

using bvtest::ReadFile;
using bvtest::TempDir;

namespace {

// The bytes handed to a stream, placed where they were written.
using Shadow = std::vector<uint8_t>;
void Place(Shadow& shadow, int64_t pos, const void* src, uint32_t n) {
  if (pos < 0) return;
  if (shadow.size() < static_cast<size_t>(pos) + n) shadow.resize(static_cast<size_t>(pos) + n);
  std::memcpy(shadow.data() + pos, src, n);
}

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
  // Counts an I/O call of stream `index`; true when it is the one to fail.
  bool Tick(int index, const Shadow& shadow) {
    if (++calls != failAt) return false;
    failedDuringCall = static_cast<long>(activeCall);
    faulted = index;
    frozen = shadow;
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
    Place(shadow_, inner_->Ftell(), src, n);
    return Sync(inner_->Write(src, n));
  }

 private:
  void Tick(const char* msg) {
    if (g_inj.Tick(index_, shadow_)) Fail(g_inj.err, msg, __LINE__, msg != bv::kReadEofMsg);
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
  if (!g_inj.Tick(h->index, h->shadow)) return false;
  errno = g_inj.err == EIO ? 0 : g_inj.err;
  return true;
}
HostFile* HF(void* h) { return static_cast<HostFile*>(h); }
uint8_t HostOpen(void** handle, const wchar_t* path, uint32_t, uint32_t) {
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
  Place(HF(h)->shadow, std::ftell(HF(h)->f), src, n);
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

// Six steps of the clip with every kind of track the mode takes.
Outcome Record(const std::string& path, const Mode& m) {
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
  bvtest::RecordClip(h, m.ioMode == MP4_IO_SAFE_WRITE, 6, put);
  put(mp4_close_file(h));
  out.secondClose = mp4_close_file(h);
  return out;
}

bool StartsWith(const std::vector<uint8_t>& file, const std::vector<uint8_t>& prefix) {
  return file.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), file.begin());
}

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
    long injected = 0, repaired = 0;
    bvtest::StdoutCapture quiet;
    g_inj = Injector{};
    const Outcome clean = Record(path, m);
    quiet.Take();
    const long calls = g_inj.calls;
    ASSERT_EQ(std::vector<int>(clean.results.size(), 0), clean.results);
    const std::vector<uint8_t> cleanBytes = ReadFile(media);
    if (m.ioMode == MP4_IO_FILE && m.flags == 0) plainBytes = cleanBytes;
    if (external) {
      EXPECT_EQ(plainBytes, cleanBytes);
      EXPECT_FALSE(bvtest::FileExists(path)) << "every byte goes to the host";
    }
    ASSERT_GT(calls, 10);
    for (long n = 1; n <= calls; ++n) {
      const int err = kErrors[n % 3];
      SCOPED_TRACE(testing::Message() << "call " << n << " fails with errno " << err);
      std::remove(side.c_str());
      g_inj = Injector{};
      g_inj.failAt = n;
      g_inj.err = err;
      bvtest::StdoutCapture quietRun;
      const Outcome o = Record(path, m);
      quietRun.Take();
      ++injected;
      ASSERT_NE(-1, g_inj.faulted);
      const int code = err == ENOSPC ? MP4_ERR_NO_SPACE : err == EACCES ? MP4_ERR_ACCESS : MP4_ERR_FAILED;
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
        repaired += rc == 0;
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
    std::printf("[ figures ] %s: %ld I/O calls, %ld faults injected and survived, %ld repaired\n", m.name, calls,
                injected, repaired);
  }
  bv::SetStreamWrapperForTest(nullptr);
}

}  // namespace
