// Composition offsets ("ctts"): each sample's presentation time minus its
// decoding time, in runs of samples sharing one offset.
//
// The table is written only once some sample has an offset other than 0, so
// a track presented in decode order keeps exactly the bytes it had without
// it. Offsets are kept within 32 signed bits: an entry then has the same
// bytes in version 0 (unsigned offsets) and version 1 (signed), and the first
// negative offset switches the box to version 1 by its version byte alone.
//
// Like stts, the open run is kept in fields and placed behind the closed runs
// as the final entry whenever the table is written or updated.
//
// Safe mode reserves the whole capacity when the header is written. Until
// the first offset other than 0 it is written as a "free" box, which readers
// skip; one 4-byte rewrite of its type reveals it once its entries and count
// are on disk.
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4CttsAtom : public CMp4Atom {
 public:
  explicit CMp4CttsAtom(IBaseIO* io);

  void Write() override;
  uint32_t GetSize() override { return static_cast<uint32_t>(BoxSize()); }
  // 0 while there is nothing to write (no offset other than 0, no reserve).
  uint64_t BoxSize() const;

  // Whether `offset` has a 32-bit signed form.
  static bool FitsOffset(int64_t offset) { return offset >= INT32_MIN && offset <= INT32_MAX; }
  // Whether AddEntry(offset) would succeed; changes nothing.
  bool Accepts(int64_t offset) const;
  // Records the next sample's offset; false (logged) when it does not fit 32
  // bits, a reserved table cannot hold another run, or the box would pass
  // 4 GiB.
  bool AddEntry(int64_t offset);

  // Whether some sample so far has an offset other than 0.
  bool HasOffsets() const { return m_bHasOffsets; }
  // The offset of the first sample; 0 before it.
  int64_t FirstOffset() const { return m_firstOffset; }

  // Safe mode: room for `maxEntries` runs, the final one included.
  void SetMaxFrame(uint32_t maxEntries) { m_maxEntries = maxEntries; }
  bool IsReserved() const { return m_maxEntries != 0; }
  // Plans the in-place rewrite of version, count, new entries and, once it
  // holds an offset other than 0, of the box type; only after a reserved
  // Write.
  void Update(CHeaderUpdate& plan);

  // Keeps the offsets of the first `n` samples (sample_trim.cpp).
  void KeepFirst(uint32_t n);

  uint32_t EntryCount() const { return m_closedEntries + (m_runCount != 0 ? 1u : 0u); }
  uint64_t MemoryBytes() const { return m_buffer.Capacity(); }

 private:
  bool CanCloseRun() const;
  void PlaceFinalEntry();
  uint8_t Version() const { return m_bNegative ? 1 : 0; }

  uint32_t m_runCount = 0;
  int32_t m_runOffset = 0;
  uint32_t m_closedEntries = 0;
  uint64_t m_closedBytes = 0;
  bool m_bHasOffsets = false;
  bool m_bNegative = false;
  int64_t m_firstOffset = 0;
  // Safe mode.
  uint32_t m_maxEntries = 0;
  uint64_t m_startPos = 0;
  uint64_t m_flushedBytes = 0;
  bool m_bHidden = false;
};

}  // namespace bv
