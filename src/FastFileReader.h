// A forward-only reader that serves reads from one large memory window of a
// file: the repair reads a side file of small records, and every record field
// becomes a memory copy with one file read per window.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "BaseIO.h"

namespace bv {

class CFastFileReader : public IFileIO {
 public:
  // Thrown (as a bv_mp4_exception code) when a read runs past the data; it
  // maps to result 0, since the end of a side file is its normal end.
  static constexpr int kEndOfData = 1000;

  CFastFileReader() = default;
  ~CFastFileReader() override;

  // The window size; set before Init, lowered to the file size by it.
  void SetCapacity(uint32_t capacity) { m_capacity = capacity; }
  uint32_t Capacity() const { return m_capacity; }

  // Opens the file ("rb") and loads the first window; 0 or a result code.
  int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) override;
  bool Close() override;
  int64_t Ftell() override { return static_cast<int64_t>(m_position); }
  int32_t Seek(int64_t offset, int32_t origin) override;
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return true; }
  // Copies exactly `n` bytes or throws kEndOfData.
  int32_t Read(void* dst, uint32_t n) override;
  int32_t Write(const void* src, uint32_t n) override;

  uint64_t FileSize() const { return m_fileSize; }
  // Bytes between the position and the end of the file: a length field of a
  // record is checked against it before anything is allocated for it.
  uint64_t Remaining() const { return m_fileSize - m_position; }

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  // Moves the unread rest of the window to the front and refills behind it.
  void Slide();

  uint64_t m_position = 0;
  uint64_t m_windowStart = 0;
  uint64_t m_windowEnd = 0;
  uint64_t m_fileSize = 0;
  std::unique_ptr<uint8_t, FreeDeleter> m_buffer;
  uint32_t m_capacity = 0;
  FILE* m_file = nullptr;
};

}  // namespace bv
