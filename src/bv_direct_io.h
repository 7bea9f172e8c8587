// The write-through file behind the direct-I/O cache: one unshared handle
// whose completed writes are on the device (FILE_FLAG_WRITE_THROUGH on
// Windows, O_DSYNC elsewhere), with a file position of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

namespace bv {

class bv_direct_io {
 public:
  // Creates or truncates the file at a UTF-8 path. Throws bv_mp4_exception:
  // 4 for a path that does not convert or is too long, 5 when the file
  // cannot be created.
  explicit bv_direct_io(const char* path);
  virtual ~bv_direct_io() = default;
  bv_direct_io(const bv_direct_io&) = delete;
  bv_direct_io& operator=(const bv_direct_io&) = delete;

  // The new position, or -1.
  virtual int64_t seek(uint64_t offset);
  // Bytes written at the position: n, or fewer after a failure (logged; the
  // error number is kept in last_error): those that landed before a full
  // device refused the rest. After one failed write the file takes no more
  // writes, so what reached the disk stays as it was (but see
  // allow_in_place). Only the first `content` bytes of src are the file's
  // content; the rest pads a block.
  virtual uint32_t write(const void* src, uint32_t n, uint32_t content);
  uint32_t write(const void* src, uint32_t n) { return write(src, n, n); }
  // write, except that a rewrite of bytes already in the file may wait for
  // the next barrier to reach the device (see
  // plat::RawFile::WriteAtDeferred), its `content` joining the durable
  // prefix with that barrier. Bytes that grow the file are written through
  // at once: only those keep the file's size and contents durable together.
  uint32_t write_deferred(const void* src, uint32_t n, uint32_t content);
  // Puts the deferred rewrites on the device. False after a failure, which
  // counts as a failed write (write_error); a barrier after a refused
  // rewrite does nothing and is false too.
  bool barrier();
  // Bytes read at the position; fewer than n at the end of the file.
  // last_error tells a failure (non-zero) from the end of the file (0).
  virtual uint32_t read(void* dst, uint32_t n);
  virtual int64_t tell() const { return static_cast<int64_t>(m_pos); }
  virtual void close();

  int last_error() const { return m_lastError; }
  int write_error() const { return m_writeError; }

  // The end of the file's leading bytes that are known to hold the content
  // written to them (padding excluded): what survives a fault.
  uint64_t durable_end() const { return m_durable; }
  // The end of the furthest byte that landed in the file.
  uint64_t extent() const { return m_extent; }
  // After a failed write: rewrites that stay inside the extent (they need
  // no new space) are taken again, until one of them fails.
  void allow_in_place() { m_inPlace = m_writeError != 0; }

  // Test seam: the nth write from now (1 = the next one), on any file, fails
  // with `err` without touching the disk; 0 disarms it.
  static void FailWriteForTest(uint32_t nth, int err);

 private:
  // Records a failed write or barrier: the first error sticks, and an
  // in-place rescue in progress ends.
  void Fail(int err);

  plat::RawFile m_file;
  uint64_t m_pos = 0;
  int m_lastError = 0;
  int m_writeError = 0;  // sticky: the first failed write
  uint64_t m_durable = 0;
  uint64_t m_durableAtBarrier = 0;  // what the deferred rewrites add to it
  uint64_t m_extent = 0;
  bool m_inPlace = false;
};

}  // namespace bv
