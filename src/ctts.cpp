#include "ctts.h"

#include <cstring>

#include "byte_order.h"
#include "log.h"
#include "sample_table.h"

namespace bv {

namespace {
constexpr uint32_t kMaxRunCount = 0xFFFFFFFFu;

void StoreEntry(uint8_t* p, uint32_t count, int32_t offset) {
  StoreBE32(p, count);
  StoreBE32(p + 4, static_cast<uint32_t>(offset));
}
}  // namespace

CMp4CttsAtom::CMp4CttsAtom(IBaseIO* io) : CMp4Atom(io) {}

uint64_t CMp4CttsAtom::BoxSize() const {
  if (IsReserved()) return 16 + 8 * uint64_t{m_maxEntries};
  return m_bHasOffsets ? 16 + 8 * uint64_t{EntryCount()} : 0;
}

bool CMp4CttsAtom::CanCloseRun() const {
  // The closed runs, the one being closed and the new final entry must fit.
  if (IsReserved()) return m_closedEntries + 1 < m_maxEntries;
  return 16 + 8 * (uint64_t{m_closedEntries} + 2) <= kMaxBoxSize;
}

bool CMp4CttsAtom::Accepts(int64_t offset) const {
  if (!FitsOffset(offset)) return false;
  if (m_runCount == 0) return true;
  if (offset == m_runOffset && m_runCount < kMaxRunCount) return true;
  return CanCloseRun();
}

bool CMp4CttsAtom::AddEntry(int64_t offset) {
  if (!FitsOffset(offset)) {
    LOGE("composition offset %lld does not fit 32 bits, sample refused", static_cast<long long>(offset));
    return false;
  }
  const int32_t value = static_cast<int32_t>(offset);
  if (m_runCount > 0 && value == m_runOffset && m_runCount < kMaxRunCount) {
    ++m_runCount;
  } else {
    if (m_runCount > 0) {
      if (!CanCloseRun()) {
        LOGE("ctts table holds %u entries, no room for another", m_closedEntries + 1);
        return false;
      }
      // The buffer position stays at the end of the closed runs, so this
      // overwrites a final entry placed by an earlier write.
      uint8_t entry[8];
      StoreEntry(entry, m_runCount, m_runOffset);
      PutBytes(m_buffer, entry, 8);
      ++m_closedEntries;
      m_closedBytes += 8;
    } else {
      m_firstOffset = offset;
    }
    m_runOffset = value;
    m_runCount = 1;
  }
  if (value != 0) m_bHasOffsets = true;
  if (value < 0) m_bNegative = true;
  return true;
}

void CMp4CttsAtom::PlaceFinalEntry() {
  if (m_runCount == 0) return;
  uint8_t entry[8];
  StoreEntry(entry, m_runCount, m_runOffset);
  PutBytes(m_buffer, entry, 8);
  m_buffer.Seek(static_cast<int64_t>(m_closedBytes), 0);
}

void CMp4CttsAtom::Write() {
  const uint64_t size = BoxSize();
  if (size == 0) return;
  PlaceFinalEntry();
  const uint64_t used = 8 * uint64_t{EntryCount()};
  m_bHidden = IsReserved() && !m_bHasOffsets;
  uint8_t header[16];
  StoreBE32(header, static_cast<uint32_t>(size));
  std::memcpy(header + 4, m_bHidden ? "free" : "ctts", 4);
  StoreBE32(header + 8, uint32_t{Version()} << 24);
  StoreBE32(header + 12, EntryCount());
  if (IsReserved()) m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  PutBytes(*m_pIO, header, sizeof(header));
  PutBytes(*m_pIO, m_buffer.Data(), static_cast<uint32_t>(used));
  if (IsReserved()) {
    PutZeroBlock(*m_pIO, size - 16 - used);
    // The final entry may still change; the next update rewrites it.
    m_flushedBytes = m_closedBytes;
  }
}

void CMp4CttsAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    LOGE("not in safe mode, logic error");
    return;
  }
  // Hidden and without offsets, nothing in it is read.
  if (!m_bHasOffsets) return;
  PlaceFinalEntry();
  const uint64_t used = 8 * uint64_t{EntryCount()};
  if (used > m_flushedBytes) {
    plan.AddBytes(CHeaderUpdate::kEntries, m_startPos + 16 + m_flushedBytes, m_buffer.Data() + m_flushedBytes,
                  used - m_flushedBytes);
  }
  // Readers take the offsets as signed whatever the version says; the
  // version goes with the counts.
  plan.AddU32(CHeaderUpdate::kCounts, m_startPos + 8, uint32_t{Version()} << 24);
  plan.AddU32(CHeaderUpdate::kCounts, m_startPos + 12, EntryCount());
  m_flushedBytes = m_closedBytes;
  if (m_bHidden && m_bHasOffsets) {
    static const uint8_t kCtts[4] = {'c', 't', 't', 's'};
    plan.AddBytes(CHeaderUpdate::kTracks, m_startPos + 4, kCtts, 4);
    m_bHidden = false;
  }
}

}  // namespace bv
