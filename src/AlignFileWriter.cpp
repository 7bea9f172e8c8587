#include "AlignFileWriter.h"

#include <cerrno>
#include <exception>

#include "bv_mp4.h"
#include "log.h"
#include "platform.h"

namespace bv {

CAlignFileWriterEx::~CAlignFileWriterEx() = default;

int32_t CAlignFileWriterEx::Init(const wchar_t* path, uint32_t blockSize, uint32_t blockCount) {
  m_path.clear();
  // A path that does not convert stays empty; create() then fails to open it.
  if (path == nullptr || !plat::WideToUtf8(path, m_path)) m_path.clear();
  m_config = dio_cache_config{};
  m_config.block_size = blockSize;
  m_config.block_num = blockCount;
  m_config.page_multiple = 1;
  state = kOpen;
  return 0;
}

int32_t CAlignFileWriterEx::SetHeaderSize(uint32_t size) {
  m_config.header_size = size;
  return 0;
}

int32_t CAlignFileWriterEx::create() {
  m_created = true;
  m_cache.reset();
  try {
    m_cache = std::make_unique<dio_cache_file>(m_path.c_str(), m_config);
    return 0;
  } catch (const bv_mp4_exception& e) {
    return MapErrorCode(e.code());
  } catch (const std::exception& e) {
    LOGE("exception:%s", e.what());
    return MP4_ERR_FILE_NOT_OPEN;
  }
}

bool CAlignFileWriterEx::Close() {
  if (!m_cache) {
    if (state == kOpen) state = kClosed;
    return state != kFailed;
  }
  const int err = m_cache->close();
  m_cache.reset();
  if (err != 0) {
    state = kFailed;
    lastError = err;
    return false;
  }
  state = kClosed;
  return true;
}

int64_t CAlignFileWriterEx::Ftell() {
  if (!m_cache) {
    LOGE("file not open");
    return 0;
  }
  return m_cache->tell();
}

int32_t CAlignFileWriterEx::Seek(int64_t offset, int32_t origin) {
  if (!m_cache) {
    LOGE("file not open");
    return -1;
  }
  if (origin != 0 && origin != 1) return m_cache->seek(offset, origin) ? 0 : -1;  // throws 11
  bool moved = false;
  try {
    moved = m_cache->seek(offset, origin);
  } catch (const bv_mp4_exception& e) {
    Fail(e.code(), kSeekErrorMsg, __LINE__);
  }
  // A position outside the file: the next write would land elsewhere.
  if (!moved) Fail(EINVAL, kSeekErrorMsg, __LINE__);
  return 0;
}

int32_t CAlignFileWriterEx::Flush() {
  if (!m_cache) {
    LOGE("file not open");
    return 0;
  }
  try {
    m_cache->flush();
  } catch (const bv_mp4_exception& e) {
    Fail(e.code(), kWriteErrorMsg, __LINE__);
  }
  return 0;
}

uint64_t CAlignFileWriterEx::GetFileSize() {
  if (!m_cache) {
    LOGE("file not open");
    return 0;
  }
  return m_cache->on_disk_size();
}

int32_t CAlignFileWriterEx::Read(void*, uint32_t) {
  LOGE("Read in CAlignFileWriterEx not implement");
  throw bv_mp4_exception(MP4_ERR_NOT_SUPPORTED);
}

int32_t CAlignFileWriterEx::Write(const void* src, uint32_t n) {
  if (!m_created) create();
  if (!m_cache) {
    // Bytes that go nowhere must not be reported as written.
    LOGE("file not open");
    Fail(EBADF, kWriteErrorMsg, __LINE__);
  }
  if (n == 0) return 1;
  try {
    m_cache->write(src, n);
  } catch (const bv_mp4_exception& e) {
    Fail(e.code(), kWriteErrorMsg, __LINE__);
  }
  return 1;
}

uint8_t* CAlignFileWriterEx::Lend(uint32_t need, uint32_t* capacity) {
  return state == kOpen && m_cache ? m_cache->lend(need, capacity) : nullptr;
}

bool CAlignFileWriterEx::Commit(uint32_t n) { return state == kOpen && m_cache && m_cache->commit(n); }

}  // namespace bv
