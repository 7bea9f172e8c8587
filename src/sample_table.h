// Common ground of the fixed-width sample tables (sizes, chunk offsets, sync
// samples): entries kept in file layout in the box's own buffer, an optional
// reserved capacity for the header written ahead of the media data, and the
// in-place rewrite of what was added since the last rewrite.
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"

namespace bv {

// Every box size field has 32 bits; no table may grow past it.
constexpr uint64_t kMaxBoxSize = 0xFFFFFFFFull;

// Writes `n` zero bytes in large blocks while the stream is open.
void PutZeroBlock(IBaseIO& io, uint64_t n);

// Grows `buf` to hold at least `bytes` and clears everything between its
// content and `bytes`, so that a reserved area can be written in one block.
void ReserveCleared(CBufferIO& buf, uint64_t bytes);

class CMp4EntryTableAtom : public CMp4Atom {
 public:
  void Write() override;
  uint32_t GetSize() override { return static_cast<uint32_t>(BoxSize()); }
  // The size in 64 bits; never above kMaxBoxSize because appends refuse first.
  uint64_t BoxSize() const;

  // Plans the in-place rewrite of the count and of the entries added since
  // the last rewrite; only for a table written reserved.
  void Update(CHeaderUpdate& plan);
  // The same, written at once.
  void Update();

  uint32_t Count() const { return m_count; }
  uint32_t MaxEntries() const { return m_maxEntries; }
  bool IsReserved() const { return m_maxEntries != 0; }
  uint64_t StartPosition() const { return m_startPos; }
  uint64_t FlushedBytes() const { return m_flushedBytes; }
  // Heap bytes held for the entries.
  uint64_t MemoryBytes() const { return m_buffer.Capacity(); }

  // Reserved tables only (sample_trim.cpp): entry i as stored, and the
  // cut back to the first `n` entries after a write fault; the next update
  // rewrites the count.
  uint64_t Entry(uint32_t i) const;
  void KeepFirst(uint32_t n);

 protected:
  // `source` is the file name reported by log lines of the shared code.
  CMp4EntryTableAtom(IBaseIO* io, const char* type, uint32_t entryWidth, bool hasSampleSizeField,
                     const char* source);

  enum class Room { kFree, kReservedFull, kTooLarge };
  Room CheckRoom() const;
  // Logs why an append is refused; `func` names the refusing operation.
  void LogRefusal(Room room, const char* func) const;

  void Append(const uint8_t* entry) {
    PutBytes(m_buffer, entry, m_entryWidth);
    ++m_count;
  }
  // Counts an entry a subclass keeps in its own form.
  void CountEntry() { ++m_count; }
  // Fixes the capacity; the whole reserved area is cleared.
  void ReserveEntries(uint32_t maxEntries);

  // A table that can be written without entries (all equal) says so here.
  virtual bool CompactValue(uint32_t* /*value*/) const { return false; }
  // The update stage of the count (chunk offsets have their own, after the
  // sample counts they point into).
  virtual CHeaderUpdate::Stage CountStage() const { return CHeaderUpdate::kCounts; }

 private:
  uint32_t HeaderSize() const { return m_hasSampleSizeField ? 20u : 16u; }
  uint32_t CountOffset() const { return HeaderSize() - 4u; }

  char m_type[5];
  const uint32_t m_entryWidth;
  const bool m_hasSampleSizeField;
  const char* const m_source;

  uint32_t m_maxEntries = 0;
  uint64_t m_startPos = 0;
  uint32_t m_count = 0;
  uint64_t m_flushedBytes = 0;
  bool m_countStale = false;  // cut below what the last update wrote
};

}  // namespace bv
