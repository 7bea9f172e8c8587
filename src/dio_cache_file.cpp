#include "dio_cache_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bv_exception.h"
#include "bv_mp4.h"
#include "log.h"

namespace bv {

// ---------------------------------------------------------------------------
// dio_buffer

dio_buffer::dio_buffer(std::shared_ptr<bv_direct_io> io, uint32_t size, uint32_t alignment, uint64_t start)
    : m_io(std::move(io)), m_size(size), m_start(start), m_end(start + size), m_alignment(alignment) {
  // Zero-filled, so the tail of a partly filled last window reaches the
  // file as zeros.
  m_raw = std::make_unique<uint8_t[]>(static_cast<size_t>(size) + alignment);
  const uintptr_t base = reinterpret_cast<uintptr_t>(m_raw.get());
  m_data = m_raw.get() + (alignment - base % alignment) % alignment;
  m_clean = size;
}

void dio_buffer::put(uint64_t offset, const uint8_t* from, uint32_t length, uint32_t content, bool deferred) {
  if (length == 0) return;
  if (m_io->tell() != static_cast<int64_t>(offset) && m_io->seek(offset) < 0) throw bv_mp4_exception(m_io->last_error());
  const uint32_t done = deferred ? m_io->write_deferred(from, length, content) : m_io->write(from, length, content);
  if (done != length) throw bv_mp4_exception(m_io->last_error());
}

void dio_buffer::load(bool withSeek) {
  if (withSeek) LOGI("seek to %llu", static_cast<unsigned long long>(m_start));
  if (m_io->tell() != static_cast<int64_t>(m_start) && m_io->seek(m_start) < 0) {
    throw bv_mp4_exception(m_io->last_error());
  }
  const uint32_t got = m_io->read(m_data, m_size);
  // A read that failed (rather than ended) must not be papered over with
  // zeros: the next flush would write them over the data on disk.
  if (m_io->last_error() != 0) throw bv_mp4_exception(m_io->last_error());
  if (got < m_size) {
    LOGI("read length(%u) not enough(%u), set left to 0", got, m_size);
    std::memset(m_data + got, 0, m_size - got);
  }
  m_clean = m_size;
  m_dirty = false;
}

void dio_buffer::zero_gap() {
  if (m_pos <= m_clean) return;
  std::memset(m_data + m_clean, 0, m_pos - m_clean);
  m_clean = m_pos;
}

void dio_buffer::move_to(uint64_t start, bool withSeek) {
  m_start = start;
  m_end = start + m_size;
  m_pos = 0;
  // Fresh ground holds the previous window's bytes: they are zeroed only
  // where they would reach the file (see m_clean).
  m_clean = 0;
  if (m_start < m_onDisk) load(withSeek);
}

bool dio_buffer::seek(uint64_t p) {
  // The end of a full window is still its own: the window goes out with
  // the next write, not with a return from a header update (a media write
  // failing there would leave that update half applied).
  if (p >= m_start && p <= m_end) {
    m_pos = static_cast<uint32_t>(p - m_start);
    zero_gap();
    return true;
  }
  if (m_dirty) flush();
  move_to(p - p % m_alignment, true);
  m_pos = static_cast<uint32_t>(p - m_start);
  zero_gap();
  return true;
}

uint32_t dio_buffer::write(const void* src, uint32_t n) {
  if (n == 0 || src == nullptr) {
    LOGE("invalid buffer size or null pointer");
    return 0;
  }
  const uint8_t* p = static_cast<const uint8_t*>(src);
  uint32_t left = n;
  for (;;) {
    const uint32_t k = std::min(left, m_size - m_pos);
    std::memcpy(m_data + m_pos, p, k);
    advance(k);
    p += k;
    left -= k;
    if (left == 0) return n;
    flush();
    move_to(m_end, false);
  }
}

uint8_t* dio_buffer::lend(uint32_t need, uint32_t* capacity) {
  if (m_start + m_pos != m_filled || need > m_size - m_pos) return nullptr;
  m_clean = m_pos;  // nothing behind the end of the content is kept
  *capacity = m_size - m_pos;
  return m_data + m_pos;
}

bool dio_buffer::commit(uint32_t n) {
  if (n > m_size - m_pos) return false;
  if (n > 0) advance(n);
  return true;
}

void dio_buffer::advance(uint32_t n) {
  m_dirty = true;
  m_pos += n;
  m_hwm = std::max(m_hwm, m_pos);
  m_clean = std::max(m_clean, m_pos);
  m_filled = std::max(m_filled, m_start + m_pos);
}

void dio_buffer::flush() {
  if (!m_dirty) {
    LOGI("there's no need to update buffer start from %llu", static_cast<unsigned long long>(m_start));
    return;
  }
  const uint32_t length = m_hwm % m_alignment == 0 ? m_hwm : m_size;
  if (length > m_clean) {
    std::memset(m_data + m_clean, 0, length - m_clean);
    m_clean = length;
  }
  put(m_start, m_data, length, m_hwm);
  m_onDisk = std::max(m_onDisk, m_start + m_hwm);
  m_hwm = 0;
  m_dirty = false;
}

// ---------------------------------------------------------------------------
// dio_page_buffer

dio_page_buffer::dio_page_buffer(std::shared_ptr<bv_direct_io> io, uint32_t size, uint32_t page_size,
                                 uint32_t alignment)
    : dio_buffer(std::move(io), size, alignment, 0),
      m_pageCount(size / page_size),
      m_pageSize(page_size),
      m_pageFlags(m_pageCount, 0) {
  m_dirtyPages.reserve(m_pageCount);
}

bool dio_page_buffer::seek(uint64_t p) {
  if (p < m_size) {
    m_pos = static_cast<uint32_t>(p);
    return true;
  }
  LOGE("seek out of header range, please check it");
  return false;
}

uint32_t dio_page_buffer::write(const void* src, uint32_t n) {
  const uint32_t k = std::min(n, m_size - m_pos);
  if (k == 0 || src == nullptr) {
    LOGE("invalid buffer size or null pointer");
    return 0;
  }
  std::memcpy(m_data + m_pos, src, k);
  m_dirty = true;
  if (m_writtenOnce) add_dirty_range(m_pos / m_pageSize, (m_pos + k - 1) / m_pageSize);
  m_pos += k;
  m_hwm = std::max(m_hwm, m_pos);
  m_filled = std::max<uint64_t>(m_filled, m_pos);
  return k;
}

void dio_page_buffer::forget_dirty(uint64_t from) {
  if (from < m_size) std::memset(m_data + from, 0, static_cast<size_t>(m_size - from));
  for (uint32_t page : m_dirtyPages) m_pageFlags[page] = 0;
  m_dirtyPages.clear();
  m_dirty = false;
}

void dio_page_buffer::add_dirty_range(uint32_t first, uint32_t last) {
  for (uint32_t page = first; page <= last; ++page) {
    if (page >= m_pageCount) {
      LOGE("logic error, page index %u too large", page);
      throw bv_mp4_exception(EINVAL);
    }
    if (m_pageFlags[page] == 0) {
      m_pageFlags[page] = 1;
      m_dirtyPages.push_back(page);
    }
  }
}

void dio_page_buffer::flush() {
  if (!m_writtenOnce) {
    dio_buffer::flush();
    m_writtenOnce = true;
    return;
  }
  if (m_dirtyPages.empty()) {
    LOGI("no need to update header buffer");
    return;
  }
  std::sort(m_dirtyPages.begin(), m_dirtyPages.end());
  size_t i = 0;
  while (i < m_dirtyPages.size()) {
    size_t j = i + 1;
    while (j < m_dirtyPages.size() && m_dirtyPages[j] == m_dirtyPages[j - 1] + 1) ++j;
    const uint32_t offset = m_dirtyPages[i] * m_pageSize;
    const uint32_t length = static_cast<uint32_t>(j - i) * m_pageSize;
    LOGI("update %u, size:%u", offset, length);
    // Pages past everything written hold zeros, not content.
    const uint64_t content = m_filled > offset ? std::min<uint64_t>(length, m_filled - offset) : 0;
    // The ranges of one flush may reach the device in any order: they share
    // one barrier below.
    put(offset, m_data + offset, length, static_cast<uint32_t>(content), true);
    m_onDisk = std::max<uint64_t>(m_onDisk, uint64_t{offset} + length);
    i = j;
  }
  if (!m_io->barrier()) throw bv_mp4_exception(m_io->last_error());
  for (uint32_t page : m_dirtyPages) m_pageFlags[page] = 0;
  m_dirtyPages.clear();
  m_dirty = false;
}

// ---------------------------------------------------------------------------
// dio_cache_file

dio_cache_file::dio_cache_file(const char* path, const dio_cache_config& config) {
  if (path == nullptr) {
    LOGE("path is null");
    throw bv_mp4_exception(MP4_ERR_INVALID_PARAM);
  }
  // The window and the rounded header must stay addressable in 32 bits.
  const uint64_t unit = uint64_t{config.page_multiple} * config.block_size;
  const uint64_t window = uint64_t{config.block_num} * config.block_size;
  const uint64_t header = unit == 0 ? 0 : (config.header_size + unit - 1) / unit * unit;
  if (config.block_size == 0 || config.block_num == 0 || config.header_size == 0 || config.page_multiple == 0 ||
      window > UINT32_MAX || header > UINT32_MAX) {
    LOGE("invalid dio cache config");
    throw bv_mp4_exception(MP4_ERR_INVALID_PARAM);
  }
  m_path = path;
  m_io = std::make_shared<bv_direct_io>(path);

  m_headerSize = static_cast<uint32_t>(header);
  if (m_headerSize != config.header_size) {
    LOGI("adjust header size from %d to %u", static_cast<int>(config.header_size), m_headerSize);
  }
  m_header = std::make_shared<dio_page_buffer>(m_io, m_headerSize, static_cast<uint32_t>(unit), config.block_size);
  m_data = std::make_shared<dio_buffer>(m_io, static_cast<uint32_t>(window), config.block_size, m_headerSize);
  LOGI("open file %s in safe mode, block size:%u, block num:%u, header size:%u", path, config.block_size,
       config.block_num, config.header_size);
}

dio_cache_file::~dio_cache_file() { close(); }

uint32_t dio_cache_file::write(const void* src, uint32_t n) {
  ++m_changes;
  if (n == 0 || src == nullptr) {
    LOGE("invalid buffer size or null pointer");
    return 0;
  }
  uint32_t w;
  if (!m_inHeader) {
    w = m_data->write(src, n);
  } else {
    w = m_header->write(src, n);
    if (w < n) {
      m_header->flush();
      m_inHeader = false;
      m_data->seek(m_header->tell());
      w += m_data->write(static_cast<const uint8_t*>(src) + w, n - w);
    }
  }
  m_end = std::max(m_end, static_cast<uint64_t>(tell()));
  return w;
}

uint8_t* dio_cache_file::lend(uint32_t need, uint32_t* capacity) {
  if (m_closed || m_inHeader || m_io->write_error() != 0) return nullptr;
  uint8_t* space = m_data->lend(need, capacity);
  if (space != nullptr) m_lentAt = m_changes;
  return space;
}

bool dio_cache_file::commit(uint32_t n) {
  if (m_closed || m_inHeader || m_lentAt != m_changes || m_io->write_error() != 0 || !m_data->commit(n)) return false;
  ++m_changes;
  m_end = std::max(m_end, static_cast<uint64_t>(tell()));
  return true;
}

int64_t dio_cache_file::tell() const {
  return static_cast<int64_t>(m_inHeader ? m_header->tell() : m_data->tell());
}

bool dio_cache_file::seek(int64_t offset, int origin) {
  ++m_changes;
  int64_t p;
  switch (origin) {
    case 0: p = offset; break;
    case 1:
      if (offset > INT64_MAX - tell()) return false;
      p = tell() + offset;
      break;
    case 2:
      LOGE("seek with origin SEEK_END not supported");
      throw bv_mp4_exception(MP4_ERR_NOT_SUPPORTED);
    default:
      LOGE("seek with origin %d not supported", origin);
      throw bv_mp4_exception(MP4_ERR_NOT_SUPPORTED);
  }
  if (p < 0) return false;
  const bool toHeader = static_cast<uint64_t>(p) < m_headerSize;
  if (m_inHeader) {
    if (toHeader) return m_header->seek(static_cast<uint64_t>(p));
    // Leaving the header region writes its changed pages.
    m_header->flush();
    m_inHeader = false;
    return m_data->seek(static_cast<uint64_t>(p));
  }
  if (toHeader) {
    m_inHeader = true;
    return m_header->seek(static_cast<uint64_t>(p));
  }
  return m_data->seek(static_cast<uint64_t>(p));
}

void dio_cache_file::flush() {
  ++m_changes;
  LOGI("flush dio cache file");
  m_data->flush();
  m_header->flush();
}

uint64_t dio_cache_file::on_disk_size() const {
  const uint64_t data = m_data->on_disk_size();
  return data != 0 ? data : m_header->on_disk_size();
}

bool dio_cache_file::begin_rescue() {
  ++m_changes;
  if (m_closed || m_io->write_error() == 0 || !m_header->written_once()) return false;
  m_header->forget_dirty(durable_size());
  m_io->allow_in_place();
  return true;
}

bool dio_cache_file::rescue_write(uint64_t offset, const void* src, uint32_t n) {
  ++m_changes;
  if (offset > m_headerSize || n > m_headerSize - offset || !m_header->seek(offset)) return false;
  return m_header->write(src, n) == n;
}

void dio_cache_file::rescue_flush() { m_header->flush(); }

int dio_cache_file::close() {
  ++m_changes;
  if (m_closed) return 0;
  m_closed = true;
  int err = m_io->write_error();
  if (err == 0) {
    LOGI("flush buffer and header to dio file");
    try {
      m_data->flush();
      m_header->flush();
    } catch (const bv_mp4_exception& e) {
      err = e.code();
    }
  } else {
    // Header pages written now could describe media data that never
    // reached the disk; the file keeps its last consistent state instead.
    LOGE("write error %d before close, pending data and header pages dropped", err);
  }
  LOGI("close dio cache file");
  m_io->close();
  return err;
}

}  // namespace bv
