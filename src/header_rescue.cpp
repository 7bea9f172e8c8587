#include "header_rescue.h"

#include <cerrno>

#include "bv_mp4.h"

namespace bv {

CHeaderRescueIO::CHeaderRescueIO(dio_cache_file& cache) : m_cache(cache), m_pos(cache.header_size()) {
  state = kOpen;
}

bool CHeaderRescueIO::Close() {
  if (state == kOpen) Flush();
  state = kClosed;
  return true;
}

int32_t CHeaderRescueIO::Seek(int64_t offset, int32_t origin) {
  if (origin != 0 || offset < 0) Fail(EINVAL, kSeekErrorMsg, __LINE__);
  m_pos = static_cast<uint64_t>(offset);
  if (m_pos >= m_cache.header_size()) Flush();
  return 0;
}

int32_t CHeaderRescueIO::Flush() {
  try {
    m_cache.rescue_flush();
  } catch (const bv_mp4_exception& e) {
    Fail(e.code(), kWriteErrorMsg, __LINE__);
  }
  return 0;
}

int32_t CHeaderRescueIO::Read(void*, uint32_t) { Fail(MP4_ERR_NOT_SUPPORTED, kReadEofMsg, __LINE__, false); }

int32_t CHeaderRescueIO::Write(const void* src, uint32_t n) {
  if (!m_cache.rescue_write(m_pos, src, n)) Fail(EINVAL, kWriteErrorMsg, __LINE__);
  m_pos += n;
  return 1;
}

}  // namespace bv
