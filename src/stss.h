// Sync samples ("stss"): the 1-based numbers of the samples a decoder can
// start from.
#pragma once

#include "sample_table.h"

namespace bv {

class CMp4StssAtom : public CMp4EntryTableAtom {
 public:
  explicit CMp4StssAtom(IBaseIO* io);

  // Records sample `sampleNumber` as a sync sample; false when the table is
  // full.
  bool AddSyncSample(uint32_t sampleNumber);
  // Safe mode: room for `syncFrames` sync samples; 0 leaves the table
  // growing (a track whose samples are all sync samples reserves none).
  void SetMaxFrame(uint32_t syncFrames) { ReserveEntries(syncFrames); }
  // Reserved tables: keeps the sync samples among the first `samples`
  // (sample_trim.cpp).
  void KeepSamples(uint32_t samples);
};

}  // namespace bv
