// The two file streams of safe write and repair where the recordings cannot
// see: the safe-write stream over the direct-I/O cache (the bytes behind the
// data in the last window, refusals, offsets past 4 GiB), against a plain
// image of everything written, and the side-file reader's window, which
// slides only past its capacity (24 MiB by default). Page updates and
// failing writes are the fault sweep's and the full-disk tests'.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AlignFileWriter.h"
#include "FastFileReader.h"
#include "bv_direct_io.h"
#include "bv_mp4.h"
#include "test_support.h"

using bv::bv_mp4_exception;
using bv::CAlignFileWriterEx;
using bv::IBaseIO;
using namespace bvtest;

namespace {

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

// The header goes out rounded up to whole blocks, data in whole windows; the
// last window is written whole (zeros behind the data) unless the data ends
// on a block, and a fresh window carries nothing of the one before. A patch
// of the header's last page lands in place.
TEST(AlignedWriter, LastWindowIsWrittenWholeUnlessItEndsOnABlock) {
  const struct {
    uint32_t header, rounded, data;
    size_t fileSize;
  } cases[] = {{4096, 4096, 5000, 4096 + 131072},
               {4096, 4096, 8192, 4096 + 8192},
               {4096, 4096, 131072, 4096 + 131072},
               {100000, 102400, 131073, 102400 + 2 * 131072}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header + c.data);
    TempDir dir;
    const std::string path = dir.File("w.mp4");
    StdoutCapture quiet;
    Recorder r(path, 4096, 32, c.header);
    r.Put(c.rounded + c.data, 5);
    const uint64_t end = r.pos;
    r.SeekTo(c.header - 4);
    r.Put(4, 6);
    r.SeekTo(end);
    EXPECT_EQ(static_cast<int64_t>(end), r.w.Ftell());
    EXPECT_TRUE(r.w.Close());
    std::vector<uint8_t> want = r.image;
    want.resize(c.fileSize, 0);
    EXPECT_EQ(want, ReadFile(path));
  }
}

TEST(AlignedWriter, RefusesWhatItCannotDo) {
  TempDir dir;
  {
    Recorder r(dir.File("r.mp4"), 4096, 4, 4096);
    StdoutCapture cap;
    for (int origin : {2, 7}) {
      try {
        r.w.Seek(0, origin);
        ADD_FAILURE() << origin;
      } catch (const bv_mp4_exception& e) {
        EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, e.code());
      }
    }
    uint8_t b = 0;
    EXPECT_THROW(r.w.Read(&b, 1), bv_mp4_exception);
    const std::string log = cap.Take();
    for (const char* message : {"seek with origin SEEK_END not supported", "seek with origin 7 not supported",
                                "Read in CAlignFileWriterEx not implement"}) {
      EXPECT_NE(std::string::npos, log.find(message)) << log;
    }
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
    EXPECT_NE(std::string::npos, log.find("invalid dio cache config")) << log;
    EXPECT_NE(std::string::npos, log.find("file not open")) << log;
    EXPECT_FALSE(FileExists(dir.File("n.mp4")));
  }
  {
    // A block write that failed earlier fails the close as well: the file
    // on disk is not what was written.
    Recorder r(dir.File("f.mp4"), 4096, 2, 4096);
    StdoutCapture quiet;
    bv::bv_direct_io::FailWriteForTest(1, ENOSPC);
    EXPECT_THROW(r.Put(4096 + 3 * 8192, 1), bv_mp4_exception);
    bv::bv_direct_io::FailWriteForTest(0, 0);
    EXPECT_FALSE(r.w.Close());
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
  EXPECT_EQ(k4G + 4096, r.w.GetFileSize());
  // Straight back into the window just written, in part: loaded, then patched.
  r.SeekTo(k4G + 100);
  r.Put(2, 4);
  EXPECT_EQ(static_cast<int64_t>(k4G + 102), r.w.Ftell());
  r.SeekTo(k4G + (1u << 20));
  r.Put(1, 3);
  r.w.Flush();
  EXPECT_EQ(k4G + (1u << 20) + 1, r.w.GetFileSize());
  ASSERT_TRUE(r.w.Close());
  // From 4 KiB below 4 GiB: the straddling write with its patch, the rest of
  // the reloaded window, and far behind it the last byte.
  std::vector<uint8_t> want;
  for (uint64_t p = k4G - 4096; p < k4G + 4096; ++p) want.push_back(PatternByte(p, p - k4G - 100 < 2 ? 4 : 2));
  want.resize(4096 + (1u << 20), 0);
  want.push_back(PatternByte(k4G + (1u << 20), 3));
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(k4G - 4096));
  std::vector<uint8_t> got(want.size());
  in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size()));
  EXPECT_TRUE(want == got);
  EXPECT_EQ(k4G + (1u << 20) + 16384, std::filesystem::file_size(std::filesystem::u8path(path)));
}

// Whatever the side-file reader's window, reads deliver the file's bytes in
// order, a read may end exactly at the last byte (8 bytes through a 7-byte
// window leave one for a last slide), and the next one fails with the
// end-of-data code.
TEST(FastFileReader, DeliversTheFileAcrossWindowSlides) {
  TempDir dir;
  const std::string path = dir.File("side.info");
  for (size_t size : {size_t{0}, size_t{1}, size_t{8}, size_t{100}, size_t{5000}}) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    WriteFile(path, bytes);
    for (uint32_t capacity : {7u, 64u, 25165824u}) {
      bv::CFastFileReader reader;
      reader.SetCapacity(capacity);
      ASSERT_EQ(0, reader.Init(Widen(path).c_str(), 0, 0));
      EXPECT_EQ(std::min<size_t>(capacity, size), reader.Capacity());
      std::vector<uint8_t> got;
      for (uint32_t step = 1; got.size() < size && step <= reader.Capacity(); step = step % 7 + 1) {
        uint8_t chunk[8];
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(step, size - got.size()));
        reader.Read(chunk, n);
        got.insert(got.end(), chunk, chunk + n);
      }
      EXPECT_TRUE(got == bytes) << size << " / " << capacity;
      StdoutCapture quiet;
      uint8_t one;
      try {
        reader.Read(&one, 1);
        ADD_FAILURE() << "read past the end";
      } catch (const bv_mp4_exception& e) {
        EXPECT_EQ(bv::CFastFileReader::kEndOfData, e.code());
      }
    }
  }
}

}  // namespace
