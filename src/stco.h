// Chunk offsets with 32 bits ("stco"): the low 32 bits of each chunk's file
// offset.
#pragma once

#include "sample_table.h"

namespace bv {

class CMp4StcoAtom : public CMp4EntryTableAtom {
 public:
  explicit CMp4StcoAtom(IBaseIO* io);

  // Records the offset of a new chunk; false when the table is full.
  bool AddChunk(uint64_t offset);
  void SetMaxFrame(uint32_t frames) { ReserveEntries(frames); }
  bool IsFull() const { return CheckRoom() != Room::kFree; }

 protected:
  CHeaderUpdate::Stage CountStage() const override { return CHeaderUpdate::kChunkCounts; }
};

}  // namespace bv
