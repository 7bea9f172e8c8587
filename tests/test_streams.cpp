// Streams: the buffer stream's rules, the failure convention of the file
// streams and the mapping of error numbers to result codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <functional>
#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "test_support.h"

using bv::CBufferIO;
using bv::CFileReader;
using bv::CFileWriter;
using bv::IBaseIO;
using bv::bv_mp4_exception;
using bvtest::StdoutCapture;

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

// Seeks stay within the bytes held, from any origin; reads stop at the end;
// no buffer grows past what a box can hold. Each failure fails the stream
// and logs why; the seeks within the bytes land where asked.
TEST(BufferStream, OperationsOutsideTheBytesFailTheStreamAndLogWhy) {
  const struct {
    int64_t offset;
    int whence;
    int64_t position;  // -1: refused
  } seeks[] = {{1, 2, -1}, {-10, 2, 0}, {-11, 2, -1}, {11, 0, -1}, {10, 0, 10}, {2, 1, 5}, {-6, 1, -1}};
  struct Case {
    std::string name;
    std::function<void(CBufferIO&)> op;
    int64_t position;  // after a successful seek, or -1 when the operation must fail
    const char* message;
  };
  std::vector<Case> cases;
  for (const auto& k : seeks) {
    cases.push_back({std::to_string(k.offset) + " from " + std::to_string(k.whence),
                     [k](CBufferIO& b) { b.Seek(k.offset, k.whence); }, k.position, "Seek error"});
  }
  char got[8];
  cases.push_back({"read to the end", [&](CBufferIO& b) { b.Read(got, 7); }, 10, nullptr});
  cases.push_back({"read past the end", [&](CBufferIO& b) { b.Read(got, 8); }, -1, "Read EOF !"});
  cases.push_back({"reserve past 4 GiB", [](CBufferIO& b) { b.Reserve(0xFFFFFFFFull); }, -1, "Write error"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StdoutCapture cap;
    CBufferIO b;
    b.SetTarget(nullptr);
    b.Write("0123456789", 10);
    b.Seek(3, 0);
    if (c.position < 0) {
      EXPECT_THROW(c.op(b), bv_mp4_exception);
      EXPECT_EQ(IBaseIO::kFailed, b.state);
      EXPECT_NE(std::string::npos, cap.Take().find(c.message));
    } else {
      c.op(b);
      EXPECT_EQ(static_cast<uint64_t>(c.position), b.Position());
    }
  }
  EXPECT_EQ(0, std::memcmp(got, "3456789", 7));
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
    if (table.Capacity() == lastCapacity) continue;
    ++growths;
    EXPECT_EQ(0u, table.Capacity() % 1024);
    EXPECT_GE(table.Capacity() * 2, lastCapacity * 3);
    lastCapacity = table.Capacity();
  }
  EXPECT_LT(growths, 30);
  EXPECT_EQ(4000000u, table.Size());
}

TEST(FileStreams, ReadPastTheEndThrowsAndCloseTwiceIsHarmless) {
  bvtest::TempDir dir;
  const std::wstring path = bvtest::Widen(dir.File("r.bin"));
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

// A length-prefixed unit that ends 0 to 4 bytes past the free end of the
// block: the prefix counts against the space too, so the block is written
// out first and the file holds every byte in order.
TEST(FileStreams, LengthPrefixedUnitsAtTheEndOfTheBlock) {
  bvtest::TempDir dir;
  const std::string path = dir.File("w.bin");
  for (uint32_t over = 0; over <= 4; ++over) {
    SCOPED_TRACE(over);
    const uint32_t unit = 64;
    std::vector<uint8_t> fill(bv::IFileIOBase::kBlockSize - unit - 4 + over, 7), payload(unit, 9), want;
    {
      CFileWriter w;
      ASSERT_EQ(0, w.Init(bvtest::Widen(path).c_str(), 0, 0));
      for (size_t at = 0; at < fill.size(); at += 4096)  // small writes are gathered in the block
        w.Write(fill.data() + at, static_cast<uint32_t>(std::min<size_t>(4096, fill.size() - at)));
      want = fill;
      for (int k = 0; k < 2; ++k) {  // the second unit finds the block's count intact
        w.WriteLengthPrefixed(payload.data(), unit);
        want.insert(want.end(), {0, 0, 0, static_cast<uint8_t>(unit)});
        want.insert(want.end(), payload.begin(), payload.end());
      }
      ASSERT_TRUE(w.Close());
    }
    EXPECT_EQ(want, bvtest::ReadFile(path));
  }
}
