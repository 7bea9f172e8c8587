// Sample to chunk ("stsc"): runs of chunks holding the same number of
// samples.
//
// The per-chunk sample counts are kept as variable-length bytes (one byte for
// counts below 128), so a recording costs about one byte per chunk; the
// number of entries is tracked as chunks arrive so that the size of the box
// is known without walking the list.
#pragma once

#include <cstdint>

#include "atom.h"

namespace bv {

class CMp4StscAtom : public CMp4Atom {
 public:
  explicit CMp4StscAtom(IBaseIO* io);

  void Write() override;
  uint32_t GetSize() override { return static_cast<uint32_t>(BoxSize()); }
  uint64_t BoxSize() const;

  // Opens a chunk that holds one sample; false when the box would pass 4 GiB.
  bool NewChunk();
  // Adds a sample to the open chunk; false when no chunk is open.
  bool AddToLastChunk();
  bool CanOpenChunk() const;

  // Safe mode: every chunk holds one sample and the box is the fixed
  // one-entry form.
  void SetFixed() { m_bFixed = true; }
  bool IsFixed() const { return m_bFixed; }

  uint32_t ChunkCount() const { return m_chunks; }
  // Entries a plain write produces.
  uint32_t EntryCount() const {
    return m_chunks == 0 ? 0u : m_closedEntries + (m_lastCount != m_prevCount ? 1u : 0u);
  }
  uint64_t MemoryBytes() const { return m_counts.Capacity() + m_buffer.Capacity(); }

 private:
  static constexpr uint32_t kBlockBytes = 64 * 1024;

  CBufferIO m_counts;  // counts of the chunks before the open one
  uint32_t m_chunks = 0;
  uint32_t m_lastCount = 0;      // samples in the open chunk
  uint32_t m_prevCount = 0;      // samples in the chunk before it (0: none)
  uint32_t m_closedEntries = 0;  // entries among the chunks before the open one
  bool m_bFixed = false;
};

}  // namespace bv
