#include "sample_table.h"

#include <cerrno>
#include <cstring>

#include "byte_order.h"
#include "log.h"

namespace bv {

void PutZeroBlock(IBaseIO& io, uint64_t n) {
  static const uint8_t kZeros[64 * 1024] = {};
  while (n > 0 && io.state == IBaseIO::kOpen) {
    const uint32_t k = n < sizeof(kZeros) ? static_cast<uint32_t>(n) : static_cast<uint32_t>(sizeof(kZeros));
    io.Write(kZeros, k);
    n -= k;
  }
}

void ReserveCleared(CBufferIO& buf, uint64_t bytes) {
  const uint64_t used = buf.Size();
  if (bytes <= used) return;
  buf.Seek(0, 2);
  buf.Reserve(bytes - used);
  std::memset(buf.MutableData() + used, 0, static_cast<size_t>(bytes - used));
}

CMp4EntryTableAtom::CMp4EntryTableAtom(IBaseIO* io, const char* type, uint32_t entryWidth, bool hasSampleSizeField,
                                       const char* source)
    : CMp4Atom(io), m_entryWidth(entryWidth), m_hasSampleSizeField(hasSampleSizeField), m_source(source) {
  std::memcpy(m_type, type, 4);
  m_type[4] = '\0';
}

uint64_t CMp4EntryTableAtom::BoxSize() const {
  if (IsReserved()) return HeaderSize() + uint64_t{m_entryWidth} * m_maxEntries;
  uint32_t value = 0;
  if (CompactValue(&value)) return HeaderSize();
  return HeaderSize() + uint64_t{m_entryWidth} * m_count;
}

CMp4EntryTableAtom::Room CMp4EntryTableAtom::CheckRoom() const {
  if (IsReserved()) return m_count >= m_maxEntries ? Room::kReservedFull : Room::kFree;
  // The general form must fit even when the table is currently compact.
  const uint64_t grown = HeaderSize() + uint64_t{m_entryWidth} * (uint64_t{m_count} + 1);
  return grown > kMaxBoxSize ? Room::kTooLarge : Room::kFree;
}

void CMp4EntryTableAtom::LogRefusal(Room room, const char* func) const {
  if (room == Room::kReservedFull) {
    mm_log_error("reach the max frame num %u", m_source, __LINE__, func, m_maxEntries);
  } else if (room == Room::kTooLarge) {
    mm_log_error("%s table holds %u entries, one more would pass the 4 GiB box limit", m_source, __LINE__, func,
                 m_type, m_count);
  }
}

void CMp4EntryTableAtom::ReserveEntries(uint32_t maxEntries) {
  const uint64_t bytes = uint64_t{m_entryWidth} * maxEntries;
  if (HeaderSize() + bytes > kMaxBoxSize) {
    mm_log_error("%s table for %u entries would pass the 4 GiB box limit", m_source, __LINE__, "SetMaxFrame", m_type,
                 maxEntries);
    throw bv_mp4_exception(EFBIG);
  }
  m_maxEntries = maxEntries;
  // Entries already present keep their place; the reserved area behind them
  // is cleared so that the header write is a single block copy.
  ReserveCleared(m_buffer, bytes);
}

void CMp4EntryTableAtom::Write() {
  uint8_t header[20];
  const uint64_t size = BoxSize();
  StoreBE32(header, static_cast<uint32_t>(size));
  std::memcpy(header + 4, m_type, 4);
  StoreBE32(header + 8, 0);  // version 0, flags 0
  uint32_t value = 0;
  const bool compact = CompactValue(&value);
  if (m_hasSampleSizeField) StoreBE32(header + 12, compact ? value : 0);
  const uint32_t count = IsReserved() && m_count > m_maxEntries ? m_maxEntries : m_count;
  StoreBE32(header + CountOffset(), count);

  if (IsReserved()) m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  PutBytes(*m_pIO, header, HeaderSize());
  if (compact) return;
  const uint64_t body = size - HeaderSize();
  if (IsReserved() && m_buffer.Capacity() < body) {
    // Not reached: ReserveEntries sized the buffer. Kept so that a reserved
    // write never reads outside the buffer.
    PutBytes(*m_pIO, m_buffer.Data(), static_cast<uint32_t>(m_buffer.Size()));
    PutZeroBlock(*m_pIO, body - m_buffer.Size());
  } else {
    PutBytes(*m_pIO, m_buffer.Data(), static_cast<uint32_t>(body));
  }
  if (IsReserved()) m_flushedBytes = m_buffer.Size();
}

void CMp4EntryTableAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    mm_log_error("not in safe mode, logic error", m_source, __LINE__, "Update");
    return;
  }
  const uint64_t used = m_buffer.Size();
  if (m_flushedBytes == used && !m_countStale) return;
  m_countStale = false;
  plan.AddBytes(CHeaderUpdate::kEntries, m_startPos + HeaderSize() + m_flushedBytes, m_buffer.Data() + m_flushedBytes,
                used - m_flushedBytes);
  plan.AddU32(CountStage(), m_startPos + CountOffset(), m_count);
  m_flushedBytes = used;
}

void CMp4EntryTableAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

}  // namespace bv
