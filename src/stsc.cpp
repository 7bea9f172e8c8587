#include "stsc.h"

#include <cstring>

#include "byte_order.h"
#include "log.h"
#include "sample_table.h"

namespace bv {

namespace {

uint32_t EncodeCount(uint8_t* out, uint32_t v) {
  uint32_t n = 0;
  while (v >= 0x80) {
    out[n++] = static_cast<uint8_t>(v | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<uint8_t>(v);
  return n;
}

uint32_t DecodeCount(const uint8_t*& p) {
  uint32_t v = 0;
  for (uint32_t shift = 0;; shift += 7) {
    const uint8_t b = *p++;
    v |= static_cast<uint32_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
}

void StoreEntry(uint8_t* p, uint32_t firstChunk, uint32_t samples) {
  StoreBE32(p, firstChunk);
  StoreBE32(p + 4, samples);
  StoreBE32(p + 8, 1);  // the one sample description
}

}  // namespace

CMp4StscAtom::CMp4StscAtom(IBaseIO* io) : CMp4Atom(io) { m_counts.SetTarget(nullptr); }

uint64_t CMp4StscAtom::BoxSize() const {
  if (m_bFixed) return 28;
  return 16 + 12 * uint64_t{EntryCount()};
}

bool CMp4StscAtom::CanOpenChunk() const {
  return m_chunks < 0xFFFFFFFFu && 16 + 12 * (uint64_t{EntryCount()} + 1) <= kMaxBoxSize;
}

bool CMp4StscAtom::NewChunk() {
  if (!CanOpenChunk()) {
    LOGE("stsc table holds %u entries, one more would pass the 4 GiB box limit", EntryCount());
    return false;
  }
  if (m_chunks > 0) {
    uint8_t bytes[5];
    PutBytes(m_counts, bytes, EncodeCount(bytes, m_lastCount));
    if (m_lastCount != m_prevCount) ++m_closedEntries;
    m_prevCount = m_lastCount;
  }
  ++m_chunks;
  m_lastCount = 1;
  return true;
}

bool CMp4StscAtom::AddToLastChunk() {
  if (m_chunks == 0 || m_lastCount == 0xFFFFFFFFu) return false;
  ++m_lastCount;
  return true;
}

void CMp4StscAtom::Write() {
  uint8_t header[28];
  std::memcpy(header + 4, "stsc", 4);
  StoreBE32(header + 8, 0);
  if (m_bFixed) {
    StoreBE32(header, 28);
    StoreBE32(header + 12, 1);
    StoreEntry(header + 16, 1, 1);
    PutBytes(*m_pIO, header, 28);
    return;
  }
  StoreBE32(header, static_cast<uint32_t>(BoxSize()));
  StoreBE32(header + 12, EntryCount());
  PutBytes(*m_pIO, header, 16);

  // Entries are assembled in blocks in the box's own buffer, so a long table
  // costs neither a second copy of itself nor one stream write per entry.
  m_buffer.Seek(0, 0);
  m_buffer.Reserve(kBlockBytes);
  uint8_t* const block = m_buffer.MutableData();
  uint32_t used = 0;
  uint32_t previous = 0;
  uint32_t chunk = 1;
  auto emit = [&](uint32_t count) {
    if (count != previous) {
      StoreEntry(block + used, chunk, count);
      used += 12;
      previous = count;
      if (used + 12 > kBlockBytes) {
        PutBytes(*m_pIO, block, used);
        used = 0;
      }
    }
    ++chunk;
  };
  const uint8_t* p = m_counts.Data();
  const uint8_t* const end = p + m_counts.Size();
  while (p < end) emit(DecodeCount(p));
  if (m_chunks > 0) emit(m_lastCount);
  PutBytes(*m_pIO, block, used);
}

}  // namespace bv
