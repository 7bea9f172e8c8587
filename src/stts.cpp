#include "stts.h"

#include <cstring>

#include "byte_order.h"
#include "log.h"
#include "sample_table.h"

namespace bv {

namespace {
void StoreEntry(uint8_t* p, uint32_t count, uint32_t delta) {
  StoreBE32(p, count);
  StoreBE32(p + 4, delta);
}
}  // namespace

CMp4SttsAtom::CMp4SttsAtom(IBaseIO* io) : CMp4Atom(io) {}

uint64_t CMp4SttsAtom::BoxSize() const {
  return 16 + 8 * uint64_t{IsReserved() ? m_maxEntries : EntryCount()};
}

bool CMp4SttsAtom::CanCloseRun() const {
  // The closed runs plus the final entry must fit.
  if (IsReserved()) return m_closedEntries + 1 < m_maxEntries;
  return 16 + 8 * (uint64_t{m_closedEntries} + 2) <= kMaxBoxSize;
}

bool CMp4SttsAtom::Accepts(uint64_t timestamp) const {
  if (m_runCount == 0) return true;
  const uint32_t delta = static_cast<uint32_t>(timestamp) - static_cast<uint32_t>(m_lastTimestamp);
  return RunContinues(delta) || CanCloseRun();
}

bool CMp4SttsAtom::AddEntry(uint64_t timestamp) {
  // Durations have 32 bits in the file; a difference is taken modulo 2^32.
  const uint32_t delta = static_cast<uint32_t>(timestamp) - static_cast<uint32_t>(m_lastTimestamp);
  if (m_runCount > 0) {
    if (RunContinues(delta)) {
      ++m_runCount;
      m_lastTimestamp = timestamp;
      return true;
    }
    if (!CanCloseRun()) {
      if (IsReserved()) {
        LOGE("reach the max frame num %u", m_maxEntries);
      } else {
        LOGE("stts table holds %u entries, one more would pass the 4 GiB box limit", m_closedEntries);
      }
      return false;
    }
    // The buffer position stays at the end of the closed runs, so this
    // overwrites a final entry placed by an earlier write.
    uint8_t entry[8];
    StoreEntry(entry, m_runCount, m_runDelta);
    PutBytes(m_buffer, entry, 8);
    ++m_closedEntries;
    m_closedBytes += 8;
  } else if (m_bFirst) {
    // The first sample only sets the reference time.
    m_bFirst = false;
    m_lastTimestamp = timestamp;
    return true;
  }
  m_runDelta = delta;
  m_runCount = 1;
  m_lastTimestamp = timestamp;
  return true;
}

void CMp4SttsAtom::PlaceFinalEntry() {
  if (m_bFirst) return;
  const uint32_t delta = m_runCount == 0 ? m_defaultDelta : m_runDelta;
  uint8_t entry[8];
  StoreEntry(entry, m_runCount + 1, delta);
  PutBytes(m_buffer, entry, 8);
  m_buffer.Seek(static_cast<int64_t>(m_closedBytes), 0);
}

void CMp4SttsAtom::Write() {
  PlaceFinalEntry();
  const uint32_t count = EntryCount();
  const uint64_t used = 8 * uint64_t{count};
  uint8_t header[16];
  StoreBE32(header, static_cast<uint32_t>(BoxSize()));
  std::memcpy(header + 4, "stts", 4);
  StoreBE32(header + 8, 0);
  StoreBE32(header + 12, count);
  if (IsReserved()) m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  PutBytes(*m_pIO, header, sizeof(header));
  PutBytes(*m_pIO, m_buffer.Data(), static_cast<uint32_t>(used));
  if (IsReserved()) {
    PutZeroBlock(*m_pIO, 8 * uint64_t{m_maxEntries} - used);
    // The final entry may still change; the next update rewrites it.
    m_flushedBytes = m_closedBytes;
  }
}

void CMp4SttsAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    LOGE("not in safe mode, logic error");
    return;
  }
  PlaceFinalEntry();
  const uint64_t used = 8 * uint64_t{EntryCount()};
  if (used > m_flushedBytes) {
    plan.AddBytes(CHeaderUpdate::kEntries, m_startPos + 16 + m_flushedBytes, m_buffer.Data() + m_flushedBytes,
                  used - m_flushedBytes);
  }
  plan.AddU32(CHeaderUpdate::kCounts, m_startPos + 12, EntryCount());
  m_flushedBytes = m_closedBytes;
}

void CMp4SttsAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

}  // namespace bv
