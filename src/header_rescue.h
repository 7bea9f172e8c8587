// The stream of the last header update after a failed write in safe mode.
//
// Once a write of the file has failed, the safe-mode stream takes nothing
// more. The header pages, though, are already on the disk: rewriting them in
// place needs no new space, so one more update can make the header describe
// exactly the media data that reached the disk. This stream lets the usual
// staged update (CHeaderUpdate::Apply) run against the cache file's header
// region alone: writes land in the header pages in memory, and leaving the
// header region writes the changed pages, as the safe-mode stream does.
#pragma once

#include <cstdint>

#include "BaseIO.h"
#include "dio_cache_file.h"

namespace bv {

class CHeaderRescueIO : public IBaseIO {
 public:
  // `cache` must have accepted begin_rescue().
  explicit CHeaderRescueIO(dio_cache_file& cache);

  bool Close() override;
  int64_t Ftell() override { return static_cast<int64_t>(m_pos); }
  // Origin 0 only. A position at or past the header's end writes the
  // changed pages.
  int32_t Seek(int64_t offset, int32_t origin) override;
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return true; }
  int32_t Read(void* dst, uint32_t n) override;  // not supported: fails
  // Inside the header region only: anything else fails the stream.
  int32_t Write(const void* src, uint32_t n) override;

 private:
  dio_cache_file& m_cache;
  uint64_t m_pos;  // starts outside the header region
};

}  // namespace bv
