// Dropping the samples whose bytes never reached the disk.
//
// In safe mode a write of media data can fail (a full disk, a file-size
// limit) after the tables already hold samples whose bytes were still in the
// cache. The last header update must describe only what is on the disk, so
// every reserved table is cut back to the samples that made it, and left in
// the state it would have had if the recording had stopped after them. Each
// sample of a reserved table is its own chunk, so sample i has chunk offset i.
//
// Counts never go below what an earlier update wrote (that update described
// samples already on the disk), but the tables do not rely on it: a count
// cut below the last update is rewritten by the next one.
#include <algorithm>

#include "byte_order.h"
#include "moov.h"
#include "stbl_kinds.h"
#include "trak.h"

namespace bv {

namespace {

// Samples [0, result) have all their bytes below `end`. Samples are appended
// in file order, so the search runs back from the last one.
uint32_t CountSamplesBelow(const CMp4EntryTableAtom& offsets, const CMp4StszAtom& sizes, uint64_t end) {
  uint32_t n = std::min(offsets.Count(), sizes.Count());
  while (n > 0 && offsets.Entry(n - 1) + sizes.Entry(n - 1) > end) --n;
  return n;
}

// The sample count of run entry i (count, value) of a run-length table.
uint32_t RunCount(const CBufferIO& buffer, uint32_t i) { return LoadBE32(buffer.Data() + 8 * uint64_t{i}); }
uint32_t RunValue(const CBufferIO& buffer, uint32_t i) { return LoadBE32(buffer.Data() + 8 * uint64_t{i} + 4); }

}  // namespace

uint64_t CMp4EntryTableAtom::Entry(uint32_t i) const {
  const uint64_t at = uint64_t{m_entryWidth} * i;
  if (i >= m_count || at + m_entryWidth > m_buffer.Size()) return 0;
  const uint8_t* p = m_buffer.Data() + at;
  return m_entryWidth == 8 ? LoadBE64(p) : LoadBE32(p);
}

void CMp4EntryTableAtom::KeepFirst(uint32_t n) {
  if (!IsReserved() || n >= m_count) return;
  const uint64_t bytes = uint64_t{m_entryWidth} * n;
  m_count = n;
  m_buffer.SetSize(bytes);
  m_buffer.Seek(static_cast<int64_t>(bytes), 0);
  if (m_flushedBytes > bytes) {
    m_flushedBytes = bytes;
    m_countStale = true;
  }
}

void CMp4StszAtom::KeepFirst(uint32_t n) {
  if (!IsReserved()) return;
  for (uint32_t i = n; i < Count(); ++i) m_total -= Entry(i);
  CMp4EntryTableAtom::KeepFirst(n);
}

void CMp4StssAtom::KeepSamples(uint32_t samples) {
  uint32_t k = Count();
  while (k > 0 && Entry(k - 1) > samples) --k;
  KeepFirst(k);
}

uint64_t CMp4SttsAtom::KeepFirst(uint32_t n, uint32_t* lastDelta) {
  *lastDelta = m_runCount != 0 ? m_runDelta : 0;
  if (m_bFirst) return 0;
  uint64_t closed = 0;
  for (uint32_t i = 0; i < m_closedEntries; ++i) closed += RunCount(m_buffer, i);
  // n samples are spaced by n - 1 durations; the last one always sits in
  // the open run, as it does while recording.
  const uint64_t keep = n == 0 ? 0 : n - 1;
  if (n != 0 && closed + m_runCount <= keep) return 0;
  uint64_t span = 0;
  if (closed < keep) {
    const uint32_t run = static_cast<uint32_t>(keep - closed);
    span = uint64_t{m_runCount - run} * m_runDelta;
    m_runCount = run;
  } else {
    span = uint64_t{m_runCount} * m_runDelta;
    m_runCount = 0;
    m_runDelta = 0;
    while (m_closedEntries > 0) {
      const uint32_t count = RunCount(m_buffer, m_closedEntries - 1);
      const uint32_t delta = RunValue(m_buffer, m_closedEntries - 1);
      --m_closedEntries;
      closed -= count;
      if (closed < keep) {
        m_runCount = static_cast<uint32_t>(keep - closed);
        m_runDelta = delta;
        span += uint64_t{count - m_runCount} * delta;
        break;
      }
      span += uint64_t{count} * delta;
    }
  }
  if (n == 0) m_bFirst = true;
  m_closedBytes = 8 * uint64_t{m_closedEntries};
  m_buffer.Seek(static_cast<int64_t>(m_closedBytes), 0);
  m_flushedBytes = std::min(m_flushedBytes, m_closedBytes);
  m_lastTimestamp -= span;
  *lastDelta = m_runCount != 0 ? m_runDelta : 0;
  return span;
}

void CMp4CttsAtom::KeepFirst(uint32_t n) {
  uint64_t closed = 0;
  for (uint32_t i = 0; i < m_closedEntries; ++i) closed += RunCount(m_buffer, i);
  if (closed + m_runCount <= n) return;
  if (closed < n) {
    m_runCount = static_cast<uint32_t>(n - closed);
  } else {
    m_runCount = 0;
    while (m_closedEntries > 0) {
      const uint32_t count = RunCount(m_buffer, m_closedEntries - 1);
      const int32_t offset = static_cast<int32_t>(RunValue(m_buffer, m_closedEntries - 1));
      --m_closedEntries;
      closed -= count;
      if (closed < n) {
        m_runCount = static_cast<uint32_t>(n - closed);
        m_runOffset = offset;
        break;
      }
    }
  }
  m_closedBytes = 8 * uint64_t{m_closedEntries};
  m_buffer.Seek(static_cast<int64_t>(m_closedBytes), 0);
  m_flushedBytes = std::min(m_flushedBytes, m_closedBytes);
}

uint32_t CMp4StblAtom::SamplesBelow(uint64_t end) const {
  if (!m_bSafe) return GetSampleCount();
  return CountSamplesBelow(m_bUse64BitOffsets ? static_cast<const CMp4EntryTableAtom&>(m_co64) : m_stco, m_stsz, end);
}

uint64_t CMp4StblAtom::KeepSamples(uint32_t n, uint32_t* lastDelta) {
  *lastDelta = 0;
  if (!m_bSafe || n >= GetSampleCount()) return 0;
  m_stsz.KeepFirst(n);
  m_stco.KeepFirst(n);
  m_co64.KeepFirst(n);
  m_ctts.KeepFirst(n);
  KeepSyncSamples(n);
  return m_stts.KeepFirst(n, lastDelta);
}

uint32_t CMp4TMCDStblAtom::SamplesBelow(uint64_t end) const {
  if (!m_bSafe) return GetSampleCount();
  return CountSamplesBelow(m_bUse64BitOffsets ? static_cast<const CMp4EntryTableAtom&>(m_co64) : m_stco, m_stsz, end);
}

void CMp4TMCDStblAtom::KeepSamples(uint32_t n) {
  if (!m_bSafe || n >= GetSampleCount()) return;
  uint32_t lastDelta = 0;
  m_stsz.KeepFirst(n);
  m_stco.KeepFirst(n);
  m_co64.KeepFirst(n);
  m_stts.KeepFirst(n, &lastDelta);
}

uint32_t CMp4TrakAtom::DropSamplesFrom(uint64_t end) {
  const uint32_t count = GetSampleCount();
  const uint32_t keep = SamplesBelow(end);
  if (keep >= count) return 0;
  uint32_t lastDelta = 0;
  const uint64_t span = KeepSamples(keep, &lastDelta);
  if (KeepsTime()) {
    if (keep == 0) {
      // As before the first sample.
      m_firstTime = m_lastTime = 0;
      m_lastDelta = 0;
      m_edts.m_elst.m_mediaTime = 0;
    } else {
      m_lastTime -= span;
      // A lone sample's delta was measured from time 0.
      m_lastDelta = keep == 1 ? static_cast<uint32_t>(m_firstTime) : lastDelta;
    }
  }
  return count - GetSampleCount();
}

uint32_t CMp4MoovAtom::DropSamplesFrom(uint64_t end) {
  return m_trakVideo.DropSamplesFrom(end) + m_trakAudio.DropSamplesFrom(end) + m_trackTC.DropSamplesFrom(end);
}

}  // namespace bv
