#include "FastFileReader.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "log.h"
#include "platform.h"

namespace bv {

CFastFileReader::~CFastFileReader() {
  m_buffer.reset();
  CFastFileReader::Close();
}

int32_t CFastFileReader::Init(const wchar_t* path, uint32_t, uint32_t) {
  int err = 0;
  FILE* f = plat::OpenFile(path, "rb", &err);
  if (f == nullptr) {
    const std::string text = plat::ErrorText(err);
    mm_log_error("open file failed, error:%s", __FILE__, __LINE__, "Init", text.c_str());
    return MapErrorCode(err);
  }
  // The size is taken in 64 bits: a side file may pass 2 GiB.
  int64_t size = -1;
  if (plat::Seek64(f, 0, 2) == 0) size = plat::Tell64(f);
  if (size < 0 || plat::Seek64(f, 0, 0) != 0) {
    const int e = errno ? errno : EIO;
    std::fclose(f);
    mm_log_error("open file failed, error:%s", __FILE__, __LINE__, "Init", plat::ErrorText(e).c_str());
    return MapErrorCode(e);
  }
  m_fileSize = static_cast<uint64_t>(size);
  if (m_fileSize < m_capacity) m_capacity = static_cast<uint32_t>(m_fileSize);
  m_buffer.reset(static_cast<uint8_t*>(std::malloc(m_capacity ? m_capacity : 1)));
  if (!m_buffer) {
    std::fclose(f);
    mm_log_error("open file failed, error:%s", __FILE__, __LINE__, "Init", plat::ErrorText(ENOMEM).c_str());
    return MP4_ERR_FAILED;
  }
  m_file = f;
  m_windowStart = 0;
  m_windowEnd = m_capacity ? std::fread(m_buffer.get(), 1, m_capacity, f) : 0;
  m_position = 0;
  state = kOpen;
  return 0;
}

bool CFastFileReader::Close() {
  state = kClosed;
  if (m_file != nullptr) {
    std::fclose(m_file);
    m_file = nullptr;
  }
  return true;
}

int32_t CFastFileReader::Seek(int64_t, int32_t) { Fail(errno, kSeekErrorMsg, __LINE__); }
int32_t CFastFileReader::Flush() { Fail(errno, kWriteErrorMsg, __LINE__); }
int32_t CFastFileReader::Write(const void*, uint32_t) { Fail(errno, kWriteErrorMsg, __LINE__); }

void CFastFileReader::Slide() {
  const uint64_t keep = m_windowEnd - m_position;
  uint8_t* buf = m_buffer.get();
  if (keep > 0) std::memmove(buf, buf + (m_position - m_windowStart), static_cast<size_t>(keep));
  size_t got = 0;
  if (m_file != nullptr && keep < m_capacity) {
    got = std::fread(buf + keep, 1, static_cast<size_t>(m_capacity - keep), m_file);
  }
  m_windowStart = m_position;
  m_windowEnd = m_position + keep + got;
}

int32_t CFastFileReader::Read(void* dst, uint32_t n) {
  if (m_position + n > m_windowEnd) {
    if (m_windowEnd < m_fileSize && m_buffer) Slide();
    if (m_position + n > m_windowEnd) Fail(kEndOfData, kReadEofMsg, __LINE__, false);
  }
  if (n > 0) std::memcpy(dst, m_buffer.get() + (m_position - m_windowStart), n);
  m_position += n;
  return 1;
}

}  // namespace bv
