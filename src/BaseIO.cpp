#include "BaseIO.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "byte_order.h"
#include "log.h"
#include "platform.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace bv {

const char* const kSeekErrorMsg = "BaseIO : Error - [line %d] Seek error %s !\n\n";
const char* const kWriteErrorMsg = "BaseIO : Error - [line %d] Write error %s !\n\n";
const char* const kReadEofMsg = "[line %d] Read EOF !\n";

int32_t IBaseIO::WriteLengthPrefixed(const void* src, uint32_t n) {
  uint8_t length[4];
  StoreBE32(length, n);
  Write(length, 4);
  return state == kOpen ? Write(src, n) : 1;
}

void IBaseIO::Fail(int err, const char* msg, int line, bool withText) {
  state = kFailed;
  lastError = err;
  if (withText) {
    const std::string text = plat::ErrorText(err);
    std::printf(msg, line, text.c_str());
  } else {
    std::printf(msg, line);
  }
  std::fflush(stdout);
  throw bv_mp4_exception(err);
}

// ---------------------------------------------------------------------------
// File streams

IFileIOBase::~IFileIOBase() { IFileIOBase::Close(); }

int32_t IFileIOBase::OpenWithMode(const wchar_t* path, const char* mode, bool blockWrites) {
  int err = 0;
  FILE* f = plat::OpenFile(path, mode, &err);
  if (f == nullptr) {
    const std::string text = plat::ErrorText(err);
    mm_log_error("open file failed, error:%s", __FILE__, __LINE__, "Init", text.c_str());
    return MapErrorCode(err);
  }
  // The block is the only buffer: a second one in the runtime would split
  // every block into several system calls and copy it once more.
  if (blockWrites) std::setvbuf(f, nullptr, _IONBF, 0);
  m_file = f;
  m_blockWrites = blockWrites;
  m_afterRead = false;
  m_used = 0;
  m_blockStart = 0;
  state = kOpen;
  return 0;
}

bool IFileIOBase::Close() {
  ++m_changes;
  bool ok = true;
  if (m_file != nullptr && state == kOpen) {
    try {
      DrainBlock();
    } catch (const bv_mp4_exception&) {
      ok = false;  // Fail() has marked the stream failed and printed the line
    }
  }
  m_used = 0;
  m_block.reset();
  if (ok) state = kClosed;
  if (m_file != nullptr) {
    std::fclose(m_file);
    m_file = nullptr;
  }
  return ok;
}

int64_t IFileIOBase::Ftell() { return m_file ? plat::Tell64(m_file) + m_used : 0; }

int32_t IFileIOBase::Seek(int64_t offset, int32_t origin) {
  ++m_changes;
  if (m_file == nullptr) Fail(EBADF, kSeekErrorMsg, __LINE__);
  DrainBlock();
  if (plat::Seek64(m_file, offset, origin) != 0) Fail(errno, kSeekErrorMsg, __LINE__);
  m_afterRead = false;
  m_blockStart = origin == 0 ? offset : -1;
  return 0;
}

int32_t IFileIOBase::Flush() {
  if (m_file == nullptr) Fail(EBADF, kWriteErrorMsg, __LINE__);
  DrainBlock();
  if (std::fflush(m_file) != 0) Fail(errno, kWriteErrorMsg, __LINE__);
  return 0;
}

int32_t IFileIOBase::Read(void* dst, uint32_t n) {
  if (n == 0) return 1;
  if (m_file == nullptr) Fail(errno, kReadEofMsg, __LINE__, false);
  if (m_used > 0) {
    DrainBlock();
    if (std::fflush(m_file) != 0) Fail(errno, kWriteErrorMsg, __LINE__);
  }
  m_afterRead = true;
  m_blockStart = -1;
  if (std::fread(dst, n, 1, m_file) != 1) Fail(errno, kReadEofMsg, __LINE__, false);
  return 1;
}

int32_t IFileIOBase::Write(const void* src, uint32_t n) {
  ++m_changes;
  if (n == 0) return 1;
  if (m_file == nullptr) Fail(EBADF, kWriteErrorMsg, __LINE__);
  if (!m_blockWrites) {
    WriteThrough(src, n);
    return 1;
  }
  if (n >= kDirectSize) {
    WriteDirect(nullptr, 0, static_cast<const uint8_t*>(src), n);
    return 1;
  }
  if (n > kBlockSize - m_used) DrainBlock();
  if (!m_block) m_block.reset(new uint8_t[kBlockSize]);
  std::memcpy(m_block.get() + m_used, src, n);
  m_used += n;
  return 1;
}

int32_t IFileIOBase::WriteLengthPrefixed(const void* src, uint32_t n) {
  ++m_changes;
  if (!m_blockWrites || m_file == nullptr) return IBaseIO::WriteLengthPrefixed(src, n);
  if (n >= kDirectSize) {
    uint8_t length[4];
    StoreBE32(length, n);
    WriteDirect(length, 4, static_cast<const uint8_t*>(src), n);
    return 1;
  }
  if (n + 4 > kBlockSize - m_used) DrainBlock();
  if (!m_block) m_block.reset(new uint8_t[kBlockSize]);
  StoreBE32(m_block.get() + m_used, n);
  if (n > 0) std::memcpy(m_block.get() + m_used + 4, src, n);
  m_used += n + 4;
  return 1;
}

uint8_t* IFileIOBase::Lend(uint32_t need, uint32_t* capacity) {
  if (!m_blockWrites || m_file == nullptr || state != kOpen || need > kBlockSize) return nullptr;
  if (need > kBlockSize - m_used) DrainBlock();
  if (!m_block) m_block.reset(new uint8_t[kBlockSize]);
  *capacity = kBlockSize - m_used;
  m_lentAt = m_changes;
  return m_block.get() + m_used;
}

bool IFileIOBase::Commit(uint32_t n) {
  if (state != kOpen || m_lentAt != m_changes || n > kBlockSize - m_used) return false;
  m_used += n;
  ++m_changes;
  return true;
}

void IFileIOBase::DrainBlock() {
  if (m_used == 0) return;
  ++m_changes;
  const uint32_t n = m_used;
  // Dropped whatever happens: after a failure the stream takes no more.
  m_used = 0;
  WriteThrough(m_block.get(), n);
}

void IFileIOBase::WriteDirect(const uint8_t* head, uint32_t headSize, const uint8_t* src, uint32_t n) {
  constexpr uint32_t kPage = 4096;
  if (kBlockSize - m_used < headSize + kPage) DrainBlock();
  if (!m_block) m_block.reset(new uint8_t[kBlockSize]);
  if (headSize > 0) std::memcpy(m_block.get() + m_used, head, headSize);
  m_used += headSize;
  uint32_t lead = 0;
  if (m_blockStart >= 0) {
    const uint32_t phase = static_cast<uint32_t>((static_cast<uint64_t>(m_blockStart) + m_used) % kPage);
    lead = phase == 0 ? 0 : kPage - phase;  // less than a page: n is far larger
  }
  std::memcpy(m_block.get() + m_used, src, lead);
  m_used += lead;
  DrainBlock();
  WriteThrough(src + lead, n - lead);
}

void IFileIOBase::WriteThrough(const void* src, uint32_t n) {
  if (m_afterRead) {
    if (plat::Seek64(m_file, 0, 1) != 0) Fail(errno, kSeekErrorMsg, __LINE__);
    m_afterRead = false;
  }
  errno = 0;
  if (std::fwrite(src, n, 1, m_file) != 1) {
    m_blockStart = -1;
    Fail(errno ? errno : EIO, kWriteErrorMsg, __LINE__);
  }
  if (m_blockStart >= 0) m_blockStart += n;
}

int32_t CFileWriter::Init(const wchar_t* path, uint32_t, uint32_t) { return OpenWithMode(path, "wb", true); }
int32_t CAppendFileWriter::Init(const wchar_t* path, uint32_t, uint32_t) { return OpenWithMode(path, "rb+", true); }
int32_t CFileReader::Init(const wchar_t* path, uint32_t, uint32_t) { return OpenWithMode(path, "rb"); }

// ---------------------------------------------------------------------------
// Buffer stream

CBufferIO::~CBufferIO() { FreeBuffer(); }

void CBufferIO::FreeBuffer() {
  std::free(m_data);
  m_data = nullptr;
  m_capacity = m_size = m_pos = 0;
}

void CBufferIO::SetTarget(IBaseIO* target) {
  FreeBuffer();
  m_target = target;
  state = kOpen;
}

void CBufferIO::Attach(IBaseIO* target, uint64_t capacity) {
  FreeBuffer();
  m_target = target;
  state = kOpen;
  if (capacity > 0) {
    m_data = static_cast<uint8_t*>(std::malloc(capacity));
    if (m_data == nullptr) Fail(ENOMEM, kWriteErrorMsg, __LINE__);
    m_capacity = capacity;
  }
}

void CBufferIO::Reserve(uint64_t n) {
  const uint64_t needed = m_pos + n;  // both below 2^33: no overflow
  if (needed <= m_capacity) return;
  if (needed > kMaxSize) Fail(EFBIG, kWriteErrorMsg, __LINE__);
  uint64_t grown = m_capacity + m_capacity / 2;
  if (grown < needed) grown = needed;
  grown = (grown + 1023) & ~uint64_t{1023};
  if (grown > kMaxSize + 1) grown = kMaxSize + 1;
  void* p = std::realloc(m_data, static_cast<size_t>(grown));
  if (p == nullptr) {
    FreeBuffer();
    Fail(ENOMEM, kWriteErrorMsg, __LINE__);
  }
  m_data = static_cast<uint8_t*>(p);
  m_capacity = grown;
}

void CBufferIO::SetSize(uint64_t size) {
  if (size > m_capacity) Fail(EINVAL, kWriteErrorMsg, __LINE__);
  m_size = size;
}

bool CBufferIO::Close() {
  state = kClosed;
  FreeBuffer();
  return true;
}

int32_t CBufferIO::Seek(int64_t offset, int32_t origin) {
  int64_t target;
  switch (origin) {
    case 0: target = offset; break;
    case 1: target = static_cast<int64_t>(m_pos) + offset; break;
    case 2:
      if (offset > 0) Fail(EINVAL, kSeekErrorMsg, __LINE__);
      target = static_cast<int64_t>(m_size) + offset;
      break;
    default: return static_cast<int32_t>(m_pos);
  }
  if (target < 0 || static_cast<uint64_t>(target) > m_size) Fail(EINVAL, kSeekErrorMsg, __LINE__);
  m_pos = static_cast<uint64_t>(target);
  return static_cast<int32_t>(m_pos);
}

int32_t CBufferIO::Flush() {
  if (m_target == nullptr) return 0;
  if (m_target->state == kOpen && m_size > 0) m_target->Write(m_data, static_cast<uint32_t>(m_size));
  m_pos = m_size = 0;
  return 0;
}

int32_t CBufferIO::Read(void* dst, uint32_t n) {
  if (m_pos + n > m_size) Fail(EIO, kReadEofMsg, __LINE__, false);
  if (n > 0) std::memcpy(dst, m_data + m_pos, n);
  m_pos += n;
  return 1;
}

int32_t CBufferIO::Write(const void* src, uint32_t n) {
  if (n == 0) return 1;
  Reserve(n);
  std::memcpy(m_data + m_pos, src, n);
  m_pos += n;
  if (m_pos > m_size) m_size = m_pos;
  return 1;
}

// ---------------------------------------------------------------------------
// Locks

#if defined(_WIN32)
static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section storage too small");
CMLock::CMLock() { InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_cs)); }
CMLock::~CMLock() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_cs)); }
void CMLock::Lock() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_cs)); }
void CMLock::Unlock() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(m_cs)); }
#else
CMLock::CMLock() = default;
CMLock::~CMLock() = default;
void CMLock::Lock() { m_mutex.lock(); }
void CMLock::Unlock() { m_mutex.unlock(); }
#endif

// ---------------------------------------------------------------------------
// Field writers

void PutBytes(IBaseIO& io, const void* data, uint32_t n) {
  if (io.state == IBaseIO::kOpen && n > 0) io.Write(data, n);
}
void PutLengthPrefixed(IBaseIO& io, const void* data, uint32_t n) {
  if (io.state == IBaseIO::kOpen) io.WriteLengthPrefixed(data, n);
}
void PutU8(IBaseIO& io, uint8_t v) { PutBytes(io, &v, 1); }
void PutU16(IBaseIO& io, uint16_t v) {
  uint8_t b[2];
  StoreBE16(b, v);
  PutBytes(io, b, 2);
}
void PutU24(IBaseIO& io, uint32_t v) {
  uint8_t b[3];
  StoreBE24(b, v);
  PutBytes(io, b, 3);
}
void PutU32(IBaseIO& io, uint32_t v) {
  uint8_t b[4];
  StoreBE32(b, v);
  PutBytes(io, b, 4);
}
void PutU64(IBaseIO& io, uint64_t v) {
  uint8_t b[8];
  StoreBE64(b, v);
  PutBytes(io, b, 8);
}
void PutFourCC(IBaseIO& io, const char* code) { PutBytes(io, code, 4); }
void PutZeros(IBaseIO& io, uint32_t n) {
  static const uint8_t kZeros[256] = {};
  while (n > 0 && io.state == IBaseIO::kOpen) {
    const uint32_t k = n < sizeof(kZeros) ? n : static_cast<uint32_t>(sizeof(kZeros));
    io.Write(kZeros, k);
    n -= k;
  }
}

}  // namespace bv
