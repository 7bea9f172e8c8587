// The byte-stream interface every byte of the library passes through, the
// plain file streams, the in-memory buffer stream and the two lock classes.
//
// Failure convention: a failed transfer (seek, flush, read, write) sets
// `state` to 1, keeps the error number, prints one line to standard output
// and throws bv_mp4_exception. Opening returns a result code instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>

#include "bv_exception.h"


namespace bv {

class IBaseIO {
 public:
  static constexpr int32_t kClosed = 0;
  static constexpr int32_t kOpen = -1;
  static constexpr int32_t kFailed = 1;

  IBaseIO() = default;
  IBaseIO(const IBaseIO&) = delete;
  IBaseIO& operator=(const IBaseIO&) = delete;
  virtual ~IBaseIO() = default;

  virtual bool Close() = 0;
  virtual int64_t Ftell() = 0;
  // origin: 0 from the start, 1 from the current position, 2 from the end.
  virtual int32_t Seek(int64_t offset, int32_t origin) = 0;
  virtual int32_t Flush() = 0;
  virtual bool Control(uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual uint64_t GetFileSize() { return 0; }
  // Both transfer every byte (result 1) or throw.
  virtual int32_t Read(void* dst, uint32_t n) = 0;
  virtual int32_t Write(const void* src, uint32_t n) = 0;
  // Writes `n` as 32 bits big-endian, then the `n` bytes (a NAL unit in a
  // sample): a buffering stream takes both in one step.
  virtual int32_t WriteLengthPrefixed(const void* src, uint32_t n);
  // A buffering stream lends the free end of its buffer, so that a caller
  // can build its next bytes in place: at least `need` bytes (what was
  // collected before is handed over first when fewer are free), their
  // number in *capacity; nullptr when the stream does not lend. The bytes
  // become part of the stream only through Commit.
  virtual uint8_t* Lend(uint32_t /*need*/, uint32_t* /*capacity*/) { return nullptr; }
  // Appends the first `n` bytes of the space lent last; false (nothing
  // appended) when the stream was used in between or `n` passes the space.
  virtual bool Commit(uint32_t /*n*/) { return false; }

  bool IsOpen() const { return state == kOpen; }

  int32_t state = kClosed;
  int32_t lastError = 0;

 protected:
  // Marks the stream failed with `err`, prints `msg` (a format holding the
  // source line as %d and, when `withText`, the error text as %s) and throws.
  [[noreturn]] void Fail(int err, const char* msg, int line, bool withText = true);
};

// Messages of the failure lines, shared by every stream.
extern const char* const kSeekErrorMsg;   // "BaseIO : Error - [line %d] Seek error %s !\n\n"
extern const char* const kWriteErrorMsg;  // "BaseIO : Error - [line %d] Write error %s !\n\n"
extern const char* const kReadEofMsg;     // "[line %d] Read EOF !\n"

class IFileIO : public IBaseIO {
 public:
  // Opens the stream; 0 or a result code.
  virtual int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) = 0;
};

// Stream over the C runtime's file I/O.
//
// The writers collect what they are given in one block of kBlockSize bytes
// and hand the runtime (unbuffered) a full block at a time, so that a
// recording costs one system call per block however small its frames are. A
// payload of kDirectSize bytes or more is not copied: it goes to the file
// straight from the caller's memory, after the bytes collected before it
// (topped up with the payload's first bytes so that the direct part starts
// on a page boundary of the file, where the kernel copies whole pages).
// A write that fails throws from the call that handed the block over (a
// write, seek, flush or read); Close() returns false when its last block
// fails and leaves the stream failed.
class IFileIOBase : public IFileIO {
 public:
  static constexpr uint32_t kBlockSize = 1u << 20;
  static constexpr uint32_t kDirectSize = 1u << 19;

  ~IFileIOBase() override;
  bool Close() override;
  int64_t Ftell() override;
  int32_t Seek(int64_t offset, int32_t origin) override;
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return true; }
  int32_t Read(void* dst, uint32_t n) override;
  int32_t Write(const void* src, uint32_t n) override;
  int32_t WriteLengthPrefixed(const void* src, uint32_t n) override;
  uint8_t* Lend(uint32_t need, uint32_t* capacity) override;
  bool Commit(uint32_t n) override;

 protected:
  // `blockWrites`: collect writes in the block (the runtime's own buffer is
  // then switched off); otherwise the runtime buffers as usual.
  int32_t OpenWithMode(const wchar_t* path, const char* mode, bool blockWrites = false);

  FILE* m_file = nullptr;

 private:
  // Hands the collected bytes to the runtime.
  void DrainBlock();
  void WriteThrough(const void* src, uint32_t n);
  // A large payload behind `head` (0 to 4 bytes, e.g. its length prefix).
  void WriteDirect(const uint8_t* head, uint32_t headSize, const uint8_t* src, uint32_t n);

  bool m_blockWrites = false;
  // An update stream must be positioned between a read and a write.
  bool m_afterRead = false;
  std::unique_ptr<uint8_t[]> m_block;  // allocated at the first write
  uint32_t m_used = 0;
  // Counts the calls that change the block, so that Commit knows whether the
  // space it appends is still the space lent.
  uint64_t m_changes = 0;
  uint64_t m_lentAt = ~uint64_t{0};
  // The file position the block starts at, -1 when not known (after a read).
  int64_t m_blockStart = -1;
};

// Creates or truncates ("wb").
class CFileWriter : public IFileIOBase {
 public:
  int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) override;
};

// Opens an existing file for reading and writing, no truncation ("rb+").
class CAppendFileWriter : public IFileIOBase {
 public:
  int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) override;
};

// Opens an existing file for reading ("rb").
class CFileReader : public IFileIOBase {
 public:
  int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) override;
};

// Growable in-memory stream with a target stream behind it: the staging
// buffer of every box and the storage of every sample table.
class CBufferIO : public IBaseIO {
 public:
  CBufferIO() = default;
  ~CBufferIO() override;

  // Frees the buffer and opens the stream empty towards `target`.
  void SetTarget(IBaseIO* target);
  // Frees the buffer and allocates exactly `capacity` bytes, empty.
  void Attach(IBaseIO* target, uint64_t capacity);
  // Makes room for `n` more bytes at the position. Grows geometrically (at
  // least x1.5, rounded up to 1 KiB) so that appending N entries costs O(N)
  // copying. Throws (stream failure) when the buffer cannot grow or would pass
  // 4 GiB, the limit of a box.
  virtual void Reserve(uint64_t n);

  bool Close() override;
  int64_t Ftell() override { return static_cast<int64_t>(m_pos); }
  int32_t Seek(int64_t offset, int32_t origin) override;
  // Writes the whole content to the target (only while the target is open)
  // in one write, then empties the buffer; the capacity is kept.
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return true; }
  int32_t Read(void* dst, uint32_t n) override;
  int32_t Write(const void* src, uint32_t n) override;

  const uint8_t* Data() const { return m_data; }
  uint8_t* MutableData() { return m_data; }
  uint64_t Size() const { return m_size; }
  uint64_t Capacity() const { return m_capacity; }
  uint64_t Position() const { return m_pos; }
  IBaseIO* Target() const { return m_target; }
  // Sets the size without touching the bytes (used to account for reserved,
  // zero-filled table areas). `size` must not exceed the capacity.
  void SetSize(uint64_t size);

  // The largest buffer a box may hold: every box size field has 32 bits.
  static constexpr uint64_t kMaxSize = 0xFFFFFFFFull;

 private:
  void FreeBuffer();

  uint8_t* m_data = nullptr;
  uint64_t m_capacity = 0;
  uint64_t m_size = 0;
  uint64_t m_pos = 0;
  IBaseIO* m_target = nullptr;
};

// A plain, non-recursive lock: a critical section on Windows, a std::mutex
// elsewhere.
class CMLock {
 public:
  CMLock();
  virtual ~CMLock();
  CMLock(const CMLock&) = delete;
  CMLock& operator=(const CMLock&) = delete;
  void Lock();
  void Unlock();

 private:
#if defined(_WIN32)
  // Storage for a CRITICAL_SECTION, kept opaque so that <windows.h> stays
  // out of every translation unit (its size is checked where it is used).
  alignas(void*) unsigned char m_cs[64];
#else
  std::mutex m_mutex;
#endif
};

class CMAutoLock {
 public:
  explicit CMAutoLock(CMLock* lock) : m_lock(lock) { m_lock->Lock(); }
  virtual ~CMAutoLock() { m_lock->Unlock(); }
  CMAutoLock(const CMAutoLock&) = delete;
  CMAutoLock& operator=(const CMAutoLock&) = delete;

 private:
  CMLock* m_lock;
};

// Field writers for boxes: each writes only while the stream is open, so a
// box written to a failed stream produces nothing and no second error.
void PutU8(IBaseIO& io, uint8_t v);
void PutU16(IBaseIO& io, uint16_t v);
void PutU24(IBaseIO& io, uint32_t v);
void PutU32(IBaseIO& io, uint32_t v);
void PutU64(IBaseIO& io, uint64_t v);
void PutFourCC(IBaseIO& io, const char* code);  // exactly four bytes
void PutBytes(IBaseIO& io, const void* data, uint32_t n);
void PutLengthPrefixed(IBaseIO& io, const void* data, uint32_t n);  // 32-bit length, then the bytes
void PutZeros(IBaseIO& io, uint32_t n);

}  // namespace bv
