// The safe-write stream over the direct-I/O cache: the layout of the header
// and data regions, page-wise header updates, the last window, refusals,
// failed writes and offsets past 4 GiB. Expected bytes are built
// independently as a plain image of everything written.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AlignFileWriter.h"
#include "bv_direct_io.h"
#include "bv_mp4.h"
#include "test_support.h"

using bv::bv_direct_io;
using bv::bv_mp4_exception;
using bv::CAlignFileWriterEx;
using bv::IBaseIO;
using bvtest::ReadFile;
using bvtest::StdoutCapture;
using bvtest::TempDir;
using bvtest::Widen;

namespace {

bool Contains(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

uint8_t PatternByte(uint64_t offset, uint8_t seed) { return static_cast<uint8_t>(offset * 7 + seed); }

// A writer and the image of what it should leave on disk.
struct Recorder {
  static constexpr uint64_t kImageLimit = 1u << 24;  // offsets beyond are checked by formula
  CAlignFileWriterEx w;
  std::vector<uint8_t> image;
  uint64_t pos = 0;

  Recorder(const std::string& path, uint32_t block, uint32_t count, uint32_t header) {
    w.Init(Widen(path).c_str(), block, count);
    w.SetHeaderSize(header);
    EXPECT_EQ(0, w.create());
  }
  // Writes n pattern bytes in uneven pieces.
  void Put(uint64_t n, uint8_t seed) {
    std::vector<uint8_t> chunk;
    while (n > 0) {
      const uint64_t k = std::min<uint64_t>(n, 7777);
      chunk.resize(k);
      for (uint64_t i = 0; i < k; ++i) chunk[i] = PatternByte(pos + i, seed);
      w.Write(chunk.data(), static_cast<uint32_t>(k));
      if (pos + k <= kImageLimit) {
        if (image.size() < pos + k) image.resize(pos + k);
        std::copy(chunk.begin(), chunk.end(), image.begin() + static_cast<long>(pos));
      }
      pos += k;
      n -= k;
    }
  }
  void SeekTo(uint64_t p) {
    w.Seek(static_cast<int64_t>(p), 0);
    pos = p;
  }
};

size_t CountOf(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(AlignedWriter, HeaderRoundsToBlocksAndDataFollowsInWholeWindows) {
  TempDir dir;
  const std::string path = dir.File("a.mp4");
  StdoutCapture cap;
  Recorder r(path, 4096, 32, 100000);
  r.Put(102400 + 131072, 1);
  EXPECT_EQ(102400u, r.w.GetFileSize());  // the header went out whole; the full window waits
  r.Put(1, 2);
  EXPECT_EQ(102400u + 131072u, r.w.GetFileSize());
  EXPECT_EQ(static_cast<int64_t>(r.pos), r.w.Ftell());
  // An update inside the header (last page) and back to the end.
  const uint64_t end = r.pos;
  r.SeekTo(100000);
  EXPECT_EQ(100000, r.w.Ftell());
  r.Put(4, 3);
  r.SeekTo(end);
  EXPECT_TRUE(r.w.Close());
  const std::string log = cap.Take();
  EXPECT_TRUE(Contains(log, "adjust header size from 100000 to 102400")) << log;
  EXPECT_TRUE(Contains(log, "block size:4096, block num:32, header size:100000")) << log;
  EXPECT_TRUE(Contains(log, "update 98304, size:4096")) << log;  // page 24 of 25

  // The last window held one byte: written whole, zeros behind the data.
  std::vector<uint8_t> want = r.image;
  want.resize(102400 + 2 * 131072, 0);
  EXPECT_EQ(want, ReadFile(path));

  // A header that is a whole number of blocks is left as it is.
  StdoutCapture cap2;
  Recorder exact(dir.File("b.mp4"), 4096, 32, 8192);
  exact.w.Close();
  EXPECT_FALSE(Contains(cap2.Take(), "adjust header size"));
}

TEST(AlignedWriter, ChangedHeaderPagesAreWrittenAsMergedRanges) {
  TempDir dir;
  const std::string path = dir.File("p.mp4");
  Recorder r(path, 4096, 4, 40960);
  r.Put(40960 + 100, 1);
  const uint64_t end = r.pos;
  StdoutCapture cap;
  r.SeekTo(9 * 4096 + 5);  // page 9 first: the ranges come out sorted
  r.Put(3, 2);
  r.SeekTo(3 * 4096 + 4000);  // pages 3 and 4
  r.Put(200, 3);
  r.SeekTo(end);
  std::string log = cap.Take();
  const size_t first = log.find("update 12288, size:8192");
  const size_t second = log.find("update 36864, size:4096");
  EXPECT_NE(std::string::npos, first) << log;
  EXPECT_NE(std::string::npos, second) << log;
  EXPECT_LT(first, second);
  EXPECT_EQ(2u, CountOf(log, "] update "));

  StdoutCapture again;
  r.w.Flush();
  log = again.Take();
  EXPECT_TRUE(Contains(log, "no need to update header buffer")) << log;
  EXPECT_EQ(0u, CountOf(log, "] update "));
  r.w.Close();
  std::vector<uint8_t> want = r.image;
  want.resize(40960 + 16384, 0);
  EXPECT_EQ(want, ReadFile(path));
}

TEST(AlignedWriter, LastWindowIsWrittenWholeUnlessItEndsOnABlock) {
  const struct {
    uint32_t inWindow;
    size_t fileSize;
  } cases[] = {{5000, 4096 + 131072}, {8192, 4096 + 8192}, {131072, 4096 + 131072}};
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.File("w.mp4");
    Recorder r(path, 4096, 32, 4096);
    r.Put(4096 + c.inWindow, 5);
    EXPECT_TRUE(r.w.Close());
    std::vector<uint8_t> want = r.image;
    want.resize(c.fileSize, 0);
    EXPECT_EQ(want, ReadFile(path)) << c.inWindow;
  }
}

TEST(AlignedWriter, RefusesWhatItCannotDo) {
  TempDir dir;
  {
    Recorder r(dir.File("r.mp4"), 4096, 4, 4096);
    StdoutCapture cap;
    const struct {
      int origin;
      const char* message;
    } seeks[] = {{2, "seek with origin SEEK_END not supported"}, {7, "seek with origin 7 not supported"}};
    for (const auto& s : seeks) {
      try {
        r.w.Seek(0, s.origin);
        ADD_FAILURE() << s.origin;
      } catch (const bv_mp4_exception& e) {
        EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, e.code());
      }
    }
    uint8_t b = 0;
    EXPECT_THROW(r.w.Read(&b, 1), bv_mp4_exception);
    const std::string log = cap.Take();
    for (const auto& s : seeks) EXPECT_TRUE(Contains(log, s.message)) << log;
    EXPECT_TRUE(Contains(log, "Read in CAlignFileWriterEx not implement")) << log;
    EXPECT_EQ(IBaseIO::kOpen, r.w.state);  // a refused call is not a failed stream
    // A position before the start fails the stream: the next write would land elsewhere.
    EXPECT_THROW(r.w.Seek(-5, 1), bv_mp4_exception);
    EXPECT_EQ(IBaseIO::kFailed, r.w.state);
    r.w.Close();
  }
  {
    // Written to before the header size is known: nothing is created, and
    // the write is a failure, not a silent loss.
    CAlignFileWriterEx w;
    w.Init(Widen(dir.File("n.mp4")).c_str(), 4096, 4);
    StdoutCapture cap;
    const uint8_t b = 1;
    EXPECT_THROW(w.Write(&b, 1), bv_mp4_exception);
    EXPECT_EQ(IBaseIO::kFailed, w.state);
    EXPECT_EQ(0u, w.GetFileSize());
    const std::string log = cap.Take();
    EXPECT_TRUE(Contains(log, "invalid dio cache config")) << log;
    EXPECT_TRUE(Contains(log, "file not open")) << log;
    EXPECT_FALSE(bvtest::FileExists(dir.File("n.mp4")));
  }
  {
    const std::string longPath = dir.File(std::string(1100, 'x'));
    CAlignFileWriterEx w;
    w.Init(Widen(longPath).c_str(), 4096, 4);
    w.SetHeaderSize(4096);
    StdoutCapture cap;
    EXPECT_EQ(MP4_ERR_FAILED, w.create());
    EXPECT_TRUE(Contains(cap.Take(), "file path reach the max path size 1024"));
  }
}

std::vector<uint8_t> ReadRange(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<uint8_t> out(n);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

// Disarms the write fault of bv_direct_io whatever the test's outcome.
struct FaultGuard {
  FaultGuard(uint32_t nth, int err) { bv_direct_io::FailWriteForTest(nth, err); }
  ~FaultGuard() { bv_direct_io::FailWriteForTest(0, 0); }
};

// A failed write of the file reaches the caller as a failed stream with the
// error number (so the muxer's call returns its mapped code), the log line
// stays, and nothing is written afterwards: the disk keeps what it had.
TEST(AlignedWriter, FailedWritesFailTheStreamAndLeaveTheDiskAsItWas) {
  const uint32_t kBlock = 4096, kCount = 2, kHeader = 8192;
  enum Stage { kHeaderFlush, kDataWindow, kPageUpdate, kClose };
  const struct {
    Stage stage;
    size_t fileSize;  // what the disk holds afterwards
  } cases[] = {{kHeaderFlush, 0}, {kDataWindow, 8192}, {kPageUpdate, 16384}, {kClose, 24576}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stage);
    TempDir dir;
    const std::string path = dir.File("f.mp4");
    StdoutCapture cap;
    Recorder r(path, kBlock, kCount, kHeader);
    std::vector<uint8_t> onDisk;
    bool thrown = false;
    try {
      if (c.stage == kHeaderFlush) {
        FaultGuard fault(1, ENOSPC);
        r.Put(kHeader + 10, 1);
      } else if (c.stage == kDataWindow) {
        FaultGuard fault(2, ENOSPC);
        r.Put(kHeader + 8192 + 10, 1);
      } else {
        r.Put(kHeader + 8192 + 10, 1);
        onDisk = r.image;
        const uint64_t end = r.pos;
        FaultGuard fault(c.stage == kPageUpdate ? 1 : 2, ENOSPC);
        if (c.stage == kPageUpdate) {
          r.SeekTo(100);
          r.Put(4, 2);  // lands in the header pages, in memory
          r.SeekTo(end);
        } else {
          r.w.Flush();  // writes the partial window whole; the header is unchanged
          r.Put(100, 3);  // the window fails again at close
          EXPECT_TRUE(r.w.IsOpen());
          EXPECT_FALSE(r.w.Close());
        }
      }
    } catch (const bv_mp4_exception& e) {
      thrown = true;
      EXPECT_EQ(ENOSPC, e.code());
    }
    EXPECT_EQ(c.stage != kClose, thrown);
    EXPECT_EQ(IBaseIO::kFailed, r.w.state);
    EXPECT_EQ(ENOSPC, r.w.lastError);
    EXPECT_FALSE(r.w.Close());
    const std::string log = cap.Take();
    EXPECT_TRUE(Contains(log, "written size not equal(")) << log;
    if (c.stage == kHeaderFlush || c.stage == kDataWindow) onDisk = r.image;
    onDisk.resize(c.fileSize);
    EXPECT_EQ(onDisk, ReadFile(path));
  }
}

// Offsets and the on-disk size are 64-bit: a window past 4 GiB is reloaded
// from the file before it is written again, and the size counts every byte.
// The file is sparse: only a few windows are written.
TEST(AlignedWriter, SizesAndReloadsAreRightPastFourGiB) {
  TempDir dir;
  const std::string path = dir.File("big.mp4");
  const uint64_t k4G = 1ull << 32;
  Recorder r(path, 4096, 4, 4096);
  r.Put(4096, 1);
  r.SeekTo(k4G - 4096);
  r.Put(8192, 2);  // straddles 4 GiB
  r.SeekTo(k4G + (1u << 20));
  r.Put(1, 3);
  EXPECT_EQ(k4G + 4096, r.w.GetFileSize());
  r.SeekTo(k4G + 100);  // back into written data: loaded, then patched
  r.Put(2, 4);
  EXPECT_EQ(k4G + (1u << 20) + 1, r.w.GetFileSize());
  EXPECT_EQ(static_cast<int64_t>(k4G + 102), r.w.Ftell());
  ASSERT_TRUE(r.w.Close());
  std::vector<uint8_t> want;
  for (uint64_t p = k4G - 4096; p < k4G + 4096; ++p) want.push_back(PatternByte(p, p - k4G - 100 < 2 ? 4 : 2));
  want.resize(8192 + 4096, 0);  // the rest of the reloaded window
  EXPECT_EQ(want, ReadRange(path, k4G - 4096, 8192 + 4096));
  EXPECT_EQ(std::vector<uint8_t>{PatternByte(k4G + (1u << 20), 3)}, ReadRange(path, k4G + (1u << 20), 1));
  EXPECT_EQ(k4G + (1u << 20) + 16384, std::filesystem::file_size(std::filesystem::u8path(path)));
}

// Safe mode's defaults at create: nothing is opened before the header size
// is known, so the file appears only with the first header.
TEST(SafeWriteCreate, DefaultsAreAppliedAndLogged) {
  TempDir dir;
  const std::string path = dir.File("s.mp4");
  const struct {
    uint32_t maxDuration, updateInterval;
    const char* message;
  } cases[] = {{0, 5, "set max duration to:1800000"},
               {604800, 5, "set max duration to:604800000"},
               {60, 0, "update interval is 0, use 30 seconds"}};
  for (const auto& c : cases) {
    mp4_config_t config{};
    config.io_mode = MP4_IO_SAFE_WRITE;
    config.block_size = 4096;
    config.block_num = 8;
    config.max_duration = c.maxDuration;
    config.update_interval = c.updateInterval;
    mp4_handle h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_full_ex(path.c_str(), &config, &h)) << c.message;
    EXPECT_FALSE(bvtest::FileExists(path));
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    EXPECT_TRUE(Contains(cap.Take(), c.message)) << c.message;
  }
}

}  // namespace
