// The output stream of safe mode: a thin adapter in front of the direct-I/O
// cache file, which keeps the header region in memory pages (so the reserved
// movie box can be rewritten in place cheaply) and writes media data in
// large aligned blocks through a write-through file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BaseIO.h"
#include "dio_cache_file.h"

namespace bv {

class CAlignFileWriterEx : public IBaseIO {
 public:
  CAlignFileWriterEx() = default;
  ~CAlignFileWriterEx() override;

  // Keeps the path and the block settings; nothing is opened yet. Result 0.
  virtual int32_t Init(const wchar_t* path, uint32_t blockSize, uint32_t blockCount);
  // The size of the region kept in memory pages (rounded up to blocks).
  virtual int32_t SetHeaderSize(uint32_t size);
  // Creates the file: 0, the mapped code of the cache's refusal, or 20.
  virtual int32_t create();

  // Writes what is pending and closes. False when that last write failed
  // (state 1, lastError set) or an earlier one had.
  bool Close() override;
  int64_t Ftell() override;
  // Origin 0 or 1 only: the cache refuses the others with 11.
  int32_t Seek(int64_t offset, int32_t origin) override;
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return true; }
  // The end of what has reached the disk; grows only when a buffer is
  // written, which is what times the header updates.
  uint64_t GetFileSize() override;
  int32_t Read(void* dst, uint32_t n) override;  // not supported: throws 11
  int32_t Write(const void* src, uint32_t n) override;
  // The free end of the media data window, never across a window write:
  // nullptr while fewer than `need` bytes are free there (or in the header
  // region), so that the caller writes the usual way.
  uint8_t* Lend(uint32_t need, uint32_t* capacity) override;
  bool Commit(uint32_t n) override;

  dio_cache_file* Cache() const { return m_cache.get(); }

 private:
  std::unique_ptr<dio_cache_file> m_cache;
  std::string m_path;  // UTF-8
  bool m_created = false;
  dio_cache_config m_config;
};

}  // namespace bv
