// Chunk offsets with 64 bits ("co64"), for files whose media data passes
// 4 GiB.
#pragma once

#include "chunk_offsets.h"
#include "sample_table.h"

namespace bv {

class CMp4Co64Atom : public CMp4EntryTableAtom {
 public:
  explicit CMp4Co64Atom(IBaseIO* io);

  // Records the offset of a new chunk; false when the table is full.
  bool AddChunk(uint64_t offset);
  void SetMaxFrame(uint32_t frames);
  bool IsFull() const { return CheckRoom() != Room::kFree; }
  void Write() override;
  uint64_t MemoryBytes() const { return CMp4EntryTableAtom::MemoryBytes() + m_offsets.MemoryBytes(); }

 protected:
  CHeaderUpdate::Stage CountStage() const override { return CHeaderUpdate::kChunkCounts; }

 private:
  // Entries of a table written only at close: 4 bytes each in memory
  // instead of 8. A reserved table keeps the file layout, which its
  // in-place updates copy from.
  CChunkOffsetList m_offsets;
};

}  // namespace bv
