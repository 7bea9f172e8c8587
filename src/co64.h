// Chunk offsets with 64 bits ("co64"), for files whose media data passes
// 4 GiB.
#pragma once

#include "sample_table.h"

namespace bv {

class CMp4Co64Atom : public CMp4EntryTableAtom {
 public:
  explicit CMp4Co64Atom(IBaseIO* io);

  // Records the offset of a new chunk; false when the table is full.
  bool AddChunk(uint64_t offset);
  void SetMaxFrame(uint32_t frames);
  bool IsFull() const { return CheckRoom() != Room::kFree; }
};

}  // namespace bv
