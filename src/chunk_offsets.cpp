#include "chunk_offsets.h"

#include "byte_order.h"

namespace bv {

void CChunkOffsetList::Add(uint64_t offset) {
  const uint32_t high = static_cast<uint32_t>(offset >> 32);
  const uint32_t current = m_highs.empty() ? 0 : m_highs.back().second;
  if (high != current) m_highs.emplace_back(m_count, high);
  if (m_count % kBlockEntries == 0) m_blocks.emplace_back(new uint32_t[kBlockEntries]);
  m_blocks.back()[m_count % kBlockEntries] = static_cast<uint32_t>(offset);
  ++m_count;
}

void CChunkOffsetList::CopyBigEndian(uint32_t first, uint32_t n, uint8_t* out) const {
  // The last change of the high word at or before `first`.
  size_t h = 0;
  while (h < m_highs.size() && m_highs[h].first <= first) ++h;
  uint32_t high = h == 0 ? 0 : m_highs[h - 1].second;
  for (uint32_t i = first; i < first + n; ++i, out += 8) {
    if (h < m_highs.size() && m_highs[h].first == i) high = m_highs[h++].second;
    const uint32_t low = m_blocks[i / kBlockEntries][i % kBlockEntries];
    StoreBE64(out, (uint64_t{high} << 32) | low);
  }
}

uint64_t CChunkOffsetList::MemoryBytes() const {
  return uint64_t{m_blocks.size()} * kBlockEntries * sizeof(uint32_t) +
         m_highs.capacity() * sizeof(m_highs[0]) + m_blocks.capacity() * sizeof(m_blocks[0]);
}

}  // namespace bv
