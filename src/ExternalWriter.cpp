#include "ExternalWriter.h"

#include <cerrno>

namespace bv {

namespace {

// The error number a failed host call leaves behind, or EIO when the host
// set none (a plain false result or a short count).
int HostError() { return errno != 0 ? errno : EIO; }

}  // namespace

int32_t ExternalWriter::Init(const wchar_t* path, uint32_t a, uint32_t b) {
  // Every entry the muxer calls must be there: a null entry would be called
  // in the middle of a recording.
  if (m_funcs == nullptr || m_funcs->open == nullptr || m_funcs->close == nullptr || m_funcs->tell == nullptr ||
      m_funcs->seek == nullptr || m_funcs->flush == nullptr || m_funcs->write == nullptr) {
    return MP4_ERR_INVALID_PARAM;
  }
  if (m_funcs->open(&m_handle, path, a, b) == 0) return MP4_ERR_EXTERNAL_OPEN;
  state = kOpen;
  return 0;
}

bool ExternalWriter::Close() {
  state = kClosed;
  if (m_funcs == nullptr) return false;
  m_funcs->close(m_handle);
  m_handle = nullptr;
  m_funcs = nullptr;
  return true;
}

int64_t ExternalWriter::Ftell() { return m_funcs ? m_funcs->tell(m_handle) : 0; }

// A negative seek or flush result is a failure under both conventions hosts
// use (fseek/fflush give 0 or -1, lseek the new position or -1): the box
// writers would otherwise patch sizes at the wrong place and report success.
int32_t ExternalWriter::Seek(int64_t offset, int32_t origin) {
  if (m_funcs == nullptr) return 0;
  errno = 0;
  const int32_t rc = m_funcs->seek(m_handle, offset, origin);
  if (rc < 0) Fail(HostError(), kSeekErrorMsg, __LINE__);
  return rc;
}

int32_t ExternalWriter::Flush() {
  if (m_funcs == nullptr) return 0;
  errno = 0;
  const int32_t rc = m_funcs->flush(m_handle);
  if (rc < 0) Fail(HostError(), kWriteErrorMsg, __LINE__);
  return rc;
}

int32_t ExternalWriter::Read(void* dst, uint32_t n) {
  if (m_funcs == nullptr) return 0;
  errno = 0;
  if (m_funcs->read == nullptr || m_funcs->read(m_handle, dst, n) != 1) Fail(HostError(), kReadEofMsg, __LINE__, false);
  return 1;
}

int32_t ExternalWriter::Write(const void* src, uint32_t n) {
  if (m_funcs == nullptr) return 0;
  if (n == 0) return 1;
  errno = 0;
  if (m_funcs->write(m_handle, src, n) != 1) Fail(HostError(), kWriteErrorMsg, __LINE__);
  return 1;
}

}  // namespace bv
