// Chunk offsets of a large-file table held in 4 bytes each: the low 32 bits
// of every offset, plus the rare points where the high 32 bits change (once
// per 4 GiB of media data for offsets that grow, as a recording's do). Any
// sequence is held exactly; only growing ones are this compact.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace bv {

class CChunkOffsetList {
 public:
  void Add(uint64_t offset);
  uint32_t Count() const { return m_count; }
  // Stores entries [first, first + n) as 64-bit big-endian values at `out`.
  void CopyBigEndian(uint32_t first, uint32_t n, uint8_t* out) const;
  // Heap bytes held.
  uint64_t MemoryBytes() const;

 private:
  // Fixed blocks: growing never copies what is held, so the peak stays at
  // the held size plus one block.
  static constexpr uint32_t kBlockEntries = 1u << 16;

  std::vector<std::unique_ptr<uint32_t[]>> m_blocks;
  // (first entry index, high 32 bits) at every change of the high word.
  std::vector<std::pair<uint32_t, uint32_t>> m_highs;
  uint32_t m_count = 0;
};

}  // namespace bv
