// The safe-write stream over the direct-I/O cache: the layout of the header
// and data regions, page-wise header updates, the last window, refusals,
// failed writes and offsets past 4 GiB. Expected bytes are built
// independently as a plain image of everything written.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
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

// A writer and the image of what it should leave on disk.
struct Recorder {
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
      for (uint64_t i = 0; i < k; ++i) chunk[i] = static_cast<uint8_t>((pos + i) * 7 + seed);
      w.Write(chunk.data(), static_cast<uint32_t>(k));
      if (image.size() < pos + k) image.resize(pos + k);
      std::copy(chunk.begin(), chunk.end(), image.begin() + static_cast<long>(pos));
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

}  // namespace
