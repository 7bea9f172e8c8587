// The side-file reader's window, which a side file slides only past its
// capacity (24 MiB by default), so no recording of the suite reaches it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "FastFileReader.h"
#include "test_support.h"

using namespace bv;
using namespace bvtest;

namespace {

// Whatever the window, reads deliver the file's bytes in order, a read may end
// exactly at the last byte, and the next one fails with the end-of-data code.
TEST(FastFileReader, DeliversTheFileAcrossWindowSlides) {
  TempDir dir;
  const std::string path = dir.File("side.info");
  for (size_t size : {size_t{0}, size_t{1}, size_t{100}, size_t{5000}}) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    if (size) std::fwrite(bytes.data(), 1, size, f);
    std::fclose(f);
    for (uint32_t capacity : {7u, 64u, 25165824u}) {
      CFastFileReader reader;
      reader.SetCapacity(capacity);
      ASSERT_EQ(0, reader.Init(Widen(path).c_str(), 0, 0));
      EXPECT_EQ(capacity < size ? capacity : size, reader.Capacity());
      std::vector<uint8_t> got;
      for (uint32_t step = 1; got.size() < size; step = step % 7 + 1) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(step, size - got.size()));
        if (n > reader.Capacity()) break;
        uint8_t chunk[8];
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
        EXPECT_EQ(CFastFileReader::kEndOfData, e.code());
      }
    }
  }
}

}  // namespace
