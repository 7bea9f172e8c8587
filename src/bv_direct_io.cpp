#include "bv_direct_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

#include "bv_exception.h"
#include "bv_mp4.h"
#include "log.h"

namespace bv {

namespace {

constexpr size_t kMaxPath = 1024;  // wide characters, terminator included
constexpr uint64_t kSlowWriteMs = 100;
constexpr int32_t kCreateFailed = 5;  // the cache's own code: the file could not be created

std::atomic<uint32_t> g_faultCountdown{0};
std::atomic<int> g_faultError{0};

// True when the armed fault hits this write.
bool TakeFault(int* err) {
  uint32_t left = g_faultCountdown.load();
  while (left > 0) {
    if (g_faultCountdown.compare_exchange_weak(left, left - 1)) {
      if (left != 1) return false;
      *err = g_faultError.load();
      return true;
    }
  }
  return false;
}

// The armed test fault, else what `op` on the file returns; a failure's
// text in *text.
template <typename Op>
int FaultOr(plat::RawFile& file, Op op, std::string* text) {
  int err = 0;
  if (TakeFault(&err)) {
    *text = plat::ErrorText(err);
  } else if ((err = op()) != 0) {
    *text = file.LastErrorText();
  }
  return err;
}

}  // namespace

void bv_direct_io::FailWriteForTest(uint32_t nth, int err) {
  g_faultError = err;
  g_faultCountdown = nth;
}

bv_direct_io::bv_direct_io(const char* path) {
  const long needed = plat::Utf8ToWide(path, nullptr, 0);
  if (needed < 0) {
    LOGE("wcstombs failed");
    throw bv_mp4_exception(MP4_ERR_INVALID_PARAM);
  }
  if (static_cast<size_t>(needed) >= kMaxPath - 1) {
    LOGE("file path reach the max path size 1024");
    throw bv_mp4_exception(MP4_ERR_INVALID_PARAM);
  }
  std::vector<wchar_t> wide(static_cast<size_t>(needed) + 1);
  plat::Utf8ToWide(path, wide.data(), wide.size());
  if (m_file.Create(wide.data()) != 0) {
    LOGE("open file %s fail, error:%s", path, m_file.LastErrorText().c_str());
    throw bv_mp4_exception(kCreateFailed);
  }
}

int64_t bv_direct_io::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    m_lastError = EINVAL;
    LOGE("seek to %lli failed, error:%s", static_cast<long long>(offset), plat::ErrorText(EINVAL).c_str());
    return -1;
  }
  m_pos = offset;
  return static_cast<int64_t>(m_pos);
}

uint32_t bv_direct_io::write(const void* src, uint32_t n, uint32_t content) {
  if (m_writeError != 0 && !(m_inPlace && m_pos + n <= m_extent)) return 0;
  const uint64_t start = plat::TickMs();
  uint32_t done = 0;
  std::string text;
  const int err = FaultOr(m_file, [&] { return m_file.WriteAt(m_pos, src, n, &done); }, &text);
  const uint64_t cost = plat::TickMs() - start;
  m_extent = std::max(m_extent, m_pos + done);
  // Only a write that continues the durable prefix extends it.
  if (m_pos <= m_durable) m_durable = std::max(m_durable, m_pos + std::min(done, content));
  m_pos += done;
  if (err != 0) {
    Fail(err);
    LOGE("written size not equal(%u, written:%u), error:%s", n, done, text.c_str());
    return done;
  }
  if (cost > kSlowWriteMs) LOGW("write %u size data cost %ums", n, static_cast<unsigned>(cost));
  return n;
}

uint32_t bv_direct_io::write_deferred(const void* src, uint32_t n, uint32_t content) {
  if (m_pos + n > m_extent) return write(src, n, content);
  if (m_writeError != 0 && !m_inPlace) return 0;
  uint32_t done = 0;
  std::string text;
  const int err = FaultOr(m_file, [&] { return m_file.WriteAtDeferred(m_pos, src, n, &done); }, &text);
  // Bytes of the header region that were first written as padding hold
  // content once rewritten: media data that begins in that region.
  if (m_pos <= m_durable) m_durableAtBarrier = std::max(m_durableAtBarrier, m_pos + std::min(done, content));
  m_pos += done;
  if (err == 0) return n;
  Fail(err);
  LOGE("written size not equal(%u, written:%u), error:%s", n, done, text.c_str());
  return done;
}

bool bv_direct_io::barrier() {
  if (m_writeError != 0 && !m_inPlace) return false;
  const uint64_t start = plat::TickMs();
  std::string text;
  const int err = FaultOr(m_file, [&] { return m_file.Sync(); }, &text);
  if (err == 0) {
    // The device's time for the deferred writes is spent here.
    const uint64_t cost = plat::TickMs() - start;
    if (cost > kSlowWriteMs) LOGW("sync of the deferred writes cost %ums", static_cast<unsigned>(cost));
    m_durable = std::max(m_durable, m_durableAtBarrier);
    return true;
  }
  m_durableAtBarrier = m_durable;
  Fail(err);
  LOGE("sync of the deferred writes failed, error:%s", text.c_str());
  return false;
}

void bv_direct_io::Fail(int err) {
  if (m_writeError == 0) m_writeError = err;
  m_lastError = err;
  m_inPlace = false;
}

uint32_t bv_direct_io::read(void* dst, uint32_t n) {
  uint32_t got = 0;
  const int err = m_file.ReadAt(m_pos, dst, n, &got);
  m_lastError = err;
  if (got != n) {
    LOGW("read size not equal(%u, read:%u), error:%s", n, got, err ? m_file.LastErrorText().c_str() : "end of file");
  }
  m_pos += got;
  return got;
}

void bv_direct_io::close() {
  const int err = m_file.Close();
  if (err != 0 && m_lastError == 0) m_lastError = err;
}

}  // namespace bv
