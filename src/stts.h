// Decoding time to sample ("stts"): runs of samples sharing one duration.
//
// A sample's duration is known only when the next sample arrives, so the
// table keeps one open run in its fields and appends a run to the buffer when
// it is closed by a different duration. The last run is placed behind the
// closed ones as the "final entry" when the table is written or updated, and
// the next closed run overwrites it.
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4SttsAtom : public CMp4Atom {
 public:
  explicit CMp4SttsAtom(IBaseIO* io);

  void Write() override;
  uint32_t GetSize() override { return static_cast<uint32_t>(BoxSize()); }
  uint64_t BoxSize() const;

  // Records a sample with decoding time `timestamp`; false when a reserved
  // table cannot hold another run, or the box would pass 4 GiB.
  bool AddEntry(uint64_t timestamp);
  // Whether AddEntry(timestamp) would succeed; changes nothing.
  bool Accepts(uint64_t timestamp) const;

  // The duration of a sample that is alone in the table.
  void SetDefaultDelta(uint32_t delta) { m_defaultDelta = delta; }
  uint32_t DefaultDelta() const { return m_defaultDelta; }
  // Safe mode: at most `maxEntries` entries, the final one included.
  void SetMaxFrame(uint32_t maxEntries) { m_maxEntries = maxEntries; }
  // Plans the in-place rewrite of the count and of the entries changed
  // since the last rewrite; only after a reserved Write.
  void Update(CHeaderUpdate& plan);
  // The same, written at once.
  void Update();

  // Keeps the first `n` samples, as if the recording had stopped there
  // (sample_trim.cpp). Returns the decoding time the dropped samples added;
  // *lastDelta receives the duration that led to the last kept sample (0
  // when fewer than two are kept).
  uint64_t KeepFirst(uint32_t n, uint32_t* lastDelta);

  // Entries a write produces now (closed runs and the final entry).
  uint32_t EntryCount() const { return m_closedEntries + (m_bFirst ? 0u : 1u); }
  uint32_t MaxEntries() const { return m_maxEntries; }
  bool IsReserved() const { return m_maxEntries != 0; }
  uint64_t StartPosition() const { return m_startPos; }
  uint64_t MemoryBytes() const { return m_buffer.Capacity(); }

 private:
  // A run never grows beyond this, so that the final entry's count (run + 1)
  // still fits in 32 bits.
  static constexpr uint32_t kMaxRunCount = 0xFFFFFFFEu;

  bool RunContinues(uint32_t delta) const { return delta == m_runDelta && m_runCount < kMaxRunCount; }
  bool CanCloseRun() const;
  void PlaceFinalEntry();

  uint32_t m_runCount = 0;
  uint32_t m_runDelta = 0;
  bool m_bFirst = true;
  uint64_t m_lastTimestamp = 0;
  uint32_t m_defaultDelta = 1;
  uint32_t m_maxEntries = 0;
  uint64_t m_startPos = 0;
  uint32_t m_closedEntries = 0;
  uint64_t m_flushedBytes = 0;
  uint64_t m_closedBytes = 0;
};

}  // namespace bv
