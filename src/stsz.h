// Sample sizes ("stsz"): one 32-bit size per sample, or the compact form with
// a single common size when every sample has the same size.
#pragma once

#include "sample_table.h"

namespace bv {

class CMp4StszAtom : public CMp4EntryTableAtom {
 public:
  explicit CMp4StszAtom(IBaseIO* io);

  // Records one sample size; false when the table is full.
  bool AddEntry(uint32_t size);
  // Safe mode: a fixed capacity of `frames` samples.
  void SetMaxFrame(uint32_t frames) { ReserveEntries(frames); }

  bool IsFull() const { return CheckRoom() != Room::kFree; }
  uint64_t TotalSize() const { return m_total; }
  // Reserved tables: keeps the first `n` sizes (sample_trim.cpp).
  void KeepFirst(uint32_t n);

 protected:
  bool CompactValue(uint32_t* value) const override;

 private:
  uint64_t m_total = 0;
  uint32_t m_firstSize = 0;
  // Kept as sizes arrive so that the size of the box is known at once.
  bool m_allEqual = true;
};

}  // namespace bv
