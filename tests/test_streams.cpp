// Streams: the buffer stream's rules, the failure convention of the file
// streams and the mapping of error numbers to result codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "test_support.h"

using bv::CBufferIO;
using bv::CFileReader;
using bv::CFileWriter;
using bv::IBaseIO;
using bv::IFileIOBase;
using bv::bv_mp4_exception;
using bvtest::StdoutCapture;
using bvtest::TempDir;
using bvtest::Widen;

namespace {

TEST(ErrorMapping, SystemErrorNumbersMapToResultCodes) {
  const std::vector<std::pair<int, int>> table = {
      {1, MP4_ERR_PERMISSION}, {2, MP4_ERR_NO_ENTRY},        {13, MP4_ERR_ACCESS},
      {16, MP4_ERR_BUSY},      {24, MP4_ERR_TOO_MANY_FILES}, {28, MP4_ERR_NO_SPACE},
      {30, MP4_ERR_READ_ONLY}, {1000, MP4_SUCCESS},          {0, MP4_ERR_FAILED},
      {5, MP4_ERR_FAILED},     {27, MP4_ERR_FAILED},         {-1, MP4_ERR_FAILED}};
  for (const auto& [err, code] : table) EXPECT_EQ(code, bv::MapErrorCode(err)) << err;
  // The named errno values agree with the numbers on this platform.
  EXPECT_EQ(MP4_ERR_NO_SPACE, bv::MapErrorCode(ENOSPC));
  EXPECT_EQ(MP4_ERR_ACCESS, bv::MapErrorCode(EACCES));
}

// A write in the middle overwrites; a flush hands everything to an open
// target (skipping one not open) and empties the buffer.
TEST(BufferStream, WriteInTheMiddleOverwritesAndFlushEmpties) {
  for (const bool open : {true, false}) {
    CBufferIO target;  // never opened: state 0
    if (open) target.SetTarget(nullptr);
    CBufferIO b;
    b.SetTarget(&target);
    const uint8_t ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    b.Write(ten, 10);
    b.Seek(4, 0);
    const uint8_t two[2] = {0xAA, 0xBB};
    b.Write(two, 2);
    EXPECT_EQ(10u, b.Size());
    EXPECT_EQ(6u, b.Position());
    b.Flush();
    EXPECT_EQ(0u, b.Size());
    EXPECT_EQ(0u, b.Position());
    ASSERT_EQ(open ? 10u : 0u, target.Size());
    if (open) {
      EXPECT_EQ((std::vector<uint8_t>{0, 1, 2, 3, 0xAA, 0xBB, 6, 7, 8, 9}),
                std::vector<uint8_t>(target.Data(), target.Data() + 10));
    }
  }
}

// Seeks stay within the bytes held, from any origin; reads stop at the end.
// Both fail the stream and log why.
TEST(BufferStream, SeeksAndReadsOutsideTheBytesFail) {
  const struct {
    int64_t offset;
    int whence;
    int64_t position;  // -1: refused
  } seeks[] = {{1, 2, -1}, {-10, 2, 0}, {-11, 2, -1}, {11, 0, -1}, {10, 0, 10}, {2, 1, 5}, {-6, 1, -1}};
  for (const auto& k : seeks) {
    StdoutCapture cap;
    CBufferIO b;
    b.SetTarget(nullptr);
    b.Write("0123456789", 10);
    b.Seek(3, 0);
    if (k.position < 0) {
      EXPECT_THROW(b.Seek(k.offset, k.whence), bv_mp4_exception) << k.offset << " from " << k.whence;
      EXPECT_EQ(IBaseIO::kFailed, b.state);
      EXPECT_NE(std::string::npos, cap.Take().find("Seek error"));
    } else {
      b.Seek(k.offset, k.whence);
      EXPECT_EQ(static_cast<uint64_t>(k.position), b.Position()) << k.offset << " from " << k.whence;
    }
  }
  StdoutCapture cap;
  CBufferIO b;
  b.SetTarget(nullptr);
  b.Write("abcd", 4);
  b.Seek(0, 0);
  char got[4];
  b.Read(got, 4);
  EXPECT_EQ(0, std::memcmp(got, "abcd", 4));
  EXPECT_THROW(b.Read(got, 1), bv_mp4_exception);
  EXPECT_NE(std::string::npos, cap.Take().find("Read EOF !"));
}

TEST(BufferStream, GrowsInKibiStepsAndGeometrically) {
  CBufferIO b;
  b.SetTarget(nullptr);
  b.Reserve(1);
  EXPECT_EQ(1024u, b.Capacity());
  std::vector<uint8_t> data(1025, 7);
  b.Write(data.data(), 1025);
  EXPECT_EQ(2048u, b.Capacity());

  // Appending a table of 4-byte entries reallocates only logarithmically
  // often, and every capacity stays a multiple of 1 KiB.
  CBufferIO table;
  table.SetTarget(nullptr);
  uint64_t lastCapacity = 0;
  int growths = 0;
  for (uint32_t i = 0; i < 1000000; ++i) {
    table.Write(&i, 4);
    if (table.Capacity() != lastCapacity) {
      ++growths;
      EXPECT_EQ(0u, table.Capacity() % 1024);
      if (lastCapacity) {
        EXPECT_GE(table.Capacity() * 2, lastCapacity * 3);
      }
      lastCapacity = table.Capacity();
    }
  }
  EXPECT_LT(growths, 30);
  EXPECT_EQ(4000000u, table.Size());
}

TEST(BufferStream, ABufferThatWouldPassFourGibFailsCleanly) {
  StdoutCapture cap;
  CBufferIO b;
  b.SetTarget(nullptr);
  b.Write("x", 1);
  // Reserve is asked for more than a box can hold: refused before any
  // allocation or copy.
  EXPECT_THROW(b.Reserve(0xFFFFFFFFull), bv_mp4_exception);
  EXPECT_EQ(IBaseIO::kFailed, b.state);
  EXPECT_NE(std::string::npos, cap.Take().find("Write error"));
}

TEST(FileStreams, ReadPastTheEndThrowsAndCloseTwiceIsHarmless) {
  TempDir dir;
  const std::wstring path = Widen(dir.File("r.bin"));
  {
    CFileWriter w;
    ASSERT_EQ(0, w.Init(path.c_str(), 0, 0));
    w.Write("hello", 5);
    EXPECT_EQ(0u, w.GetFileSize());  // plain file streams report no size
    EXPECT_TRUE(w.Close());
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(IBaseIO::kClosed, w.state);
  }
  CFileReader r;
  ASSERT_EQ(0, r.Init(path.c_str(), 0, 0));
  char buf[8];
  EXPECT_EQ(1, r.Read(buf, 5));
  StdoutCapture cap;
  EXPECT_THROW(r.Read(buf, 1), bv_mp4_exception);
  EXPECT_EQ(IBaseIO::kFailed, r.state);
  const std::string out = cap.Take();
  EXPECT_NE(std::string::npos, out.find("Read EOF !")) << out;
}

// The writers collect bytes in blocks and pass large payloads straight
// through: whatever the mix of sizes, patches and read-backs, the file holds
// exactly the bytes in the order given and Ftell counts what is still held.
TEST(FileStreams, BlockWritesKeepEveryByteInOrder) {
  const uint32_t block = IFileIOBase::kBlockSize, direct = IFileIOBase::kDirectSize;
  const std::vector<std::vector<uint32_t>> cases = {
      {1, 3, 100},                                  // stays in the block until close
      {block - 8, 4, 8, 1},                         // fills the block exactly, then one past it
      {10, direct, 7, direct + 1, 3},               // payloads passed straight through
      {block - 2, block + 5, 2},                    // a large payload behind an almost full block
  };
  TempDir dir;
  const std::wstring path = Widen(dir.File("blocks.bin"));
  for (const auto& sizes : cases) {
    std::vector<uint8_t> oracle;
    {
      CFileWriter w;
      ASSERT_EQ(0, w.Init(path.c_str(), 0, 0));
      for (uint32_t n : sizes) {
        std::vector<uint8_t> chunk(n);
        for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(oracle.size() + i * 7);
        if (n % 2 == 0) {
          bv::PutLengthPrefixed(w, chunk.data(), n);
          const uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
          oracle.insert(oracle.end(), len, len + 4);
        } else {
          w.Write(chunk.data(), n);
        }
        oracle.insert(oracle.end(), chunk.begin(), chunk.end());
        ASSERT_EQ(static_cast<int64_t>(oracle.size()), w.Ftell());
      }
      // A patch at the start, then back to the end, as a box size update does.
      w.Seek(0, 0);
      w.Write("\xAB", 1);
      oracle[0] = 0xAB;
      w.Seek(0, 2);
      w.Write("Z", 1);
      oracle.push_back('Z');
      EXPECT_TRUE(w.Close());
    }
    {
      // The update stream reads back what it held a moment before.
      bv::CAppendFileWriter a;
      ASSERT_EQ(0, a.Init(path.c_str(), 0, 0));
      a.Seek(0, 2);
      a.Write("tail", 4);
      oracle.insert(oracle.end(), {'t', 'a', 'i', 'l'});
      a.Seek(-4, 2);
      char back[4] = {};
      a.Read(back, 4);
      EXPECT_EQ(0, std::memcmp(back, "tail", 4));
      EXPECT_TRUE(a.Close());
    }
    CFileReader r;
    ASSERT_EQ(0, r.Init(path.c_str(), 0, 0));
    std::vector<uint8_t> got(oracle.size());
    r.Read(got.data(), static_cast<uint32_t>(got.size()));
    EXPECT_TRUE(got == oracle) << "case with " << sizes.size() << " writes, first " << sizes[0];
  }
}

#if !defined(_WIN32)
// A full device fails the write that reaches it with ENOSPC, or Close()
// when the bytes were still held; the stream stays failed and box writes
// through it are skipped without a second error.
TEST(FileStreams, FailureOnAFullDiskIsReportedAndSticky) {
  for (const uint32_t size : {4u, 1u << 16}) {
    CFileWriter w;
    ASSERT_EQ(0, w.Init(L"/dev/full", 0, 0));
    std::vector<uint8_t> block(size, 1);
    StdoutCapture cap;
    int code = 0;
    try {
      w.Write(block.data(), size);
      if (size > 4) w.Flush();
    } catch (const bv_mp4_exception& e) {
      code = e.code();
    }
    if (size == 4) {
      EXPECT_EQ(0, code) << "held";
      EXPECT_FALSE(w.Close());
    } else {
      EXPECT_EQ(ENOSPC, code);
      EXPECT_EQ(MP4_ERR_NO_SPACE, bv::MapErrorCode(code));
    }
    EXPECT_EQ(IBaseIO::kFailed, w.state);
    EXPECT_EQ(ENOSPC, w.lastError);
    EXPECT_NO_THROW(bv::PutU32(w, 42));  // skipped silently
    EXPECT_NE(std::string::npos, cap.Take().find("Write error"));
  }
}
#endif

}  // namespace
