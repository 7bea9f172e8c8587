#include "stbl.h"

#include "log.h"
#include "sample_table.h"

namespace bv {

namespace {
// The most one sample can add to the tables: a size, a time run, a
// composition run, a 64-bit chunk offset, a chunk run and a sync-sample
// number.
constexpr uint64_t kMaxBytesPerSample = 4 + 8 + 8 + 8 + 12 + 4;
// Room left for the headers and the sample description when the tables are
// far from the box size limit (a description is a few KiB).
constexpr uint64_t kHeadroom = 16ull << 20;
}  // namespace

CMp4StblAtom::CMp4StblAtom(IBaseIO* io)
    : CMp4Atom(io), m_stts(io), m_ctts(io), m_stsz(io), m_stsc(io), m_stco(io), m_co64(io) {}

uint64_t CMp4StblAtom::BoxSize() {
  return 8 + uint64_t{SampleDescriptionSize()} + m_stts.BoxSize() + m_stsz.BoxSize() + m_stsc.BoxSize() +
         (m_bUse64BitOffsets ? m_co64.BoxSize() : m_stco.BoxSize()) + m_ctts.BoxSize() + SyncTableSize();
}

uint64_t CMp4StblAtom::MemoryBytes() const {
  return m_stts.MemoryBytes() + m_ctts.MemoryBytes() + m_stsz.MemoryBytes() + m_stsc.MemoryBytes() + m_stco.MemoryBytes() +
         m_co64.MemoryBytes();
}

void CMp4StblAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "stbl");
  WriteSampleDescription();
  m_stts.Write();
  m_stsz.Write();
  m_stsc.Write();
  if (m_bUse64BitOffsets) {
    m_co64.Write();
  } else {
    m_stco.Write();
  }
  m_ctts.Write();
  WriteSyncTable();
  UpdateSize(start);
}

void CMp4StblAtom::ReserveTables(uint32_t frames, uint32_t timeEntries) {
  if (frames == 0 || timeEntries == 0) {
    LOGE("invalid max frame number %u (time entries %u), tables stay unlimited", frames, timeEntries);
    return;
  }
  m_stsz.SetMaxFrame(frames);
  if (m_bUse64BitOffsets) {
    m_co64.SetMaxFrame(frames);
  } else {
    m_stco.SetMaxFrame(frames);
  }
  m_stts.SetMaxFrame(timeEntries);
  m_stsc.SetFixed();
  m_bSafe = true;
}

void CMp4StblAtom::SetMaxFrame(uint32_t frames, uint32_t /*syncFrames*/) { ReserveTables(frames, frames); }

void CMp4StblAtom::Update(CHeaderUpdate& plan) {
  if (!m_bSafe) {
    LOGE("logic error");
  } else {
    m_stsz.Update(plan);
    if (m_bUse64BitOffsets) {
      m_co64.Update(plan);
    } else {
      m_stco.Update(plan);
    }
    m_stts.Update(plan);
    if (m_ctts.IsReserved()) m_ctts.Update(plan);
  }
  UpdateSyncTable(plan);
}

void CMp4StblAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

bool CMp4StblAtom::AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk) {
  const int64_t composition = static_cast<int64_t>(pts - dts);
  if (m_bSafe) return AddReservedSample(offset, size, dts, composition);
  // A sample always belongs to a chunk, whatever the caller said.
  const bool open = newChunk || m_stsc.ChunkCount() == 0;
  if (!HasRoomForSample(open)) return false;
  if (!m_ctts.Accepts(composition)) return m_ctts.AddEntry(composition);
  if (open) {
    AddChunkOffset(offset);
    m_stsc.NewChunk();
  } else {
    m_stsc.AddToLastChunk();
  }
  m_stsz.AddEntry(size);
  m_stts.AddEntry(dts);
  m_ctts.AddEntry(composition);
  return true;
}

bool CMp4StblAtom::AddReservedSample(uint64_t offset, uint32_t size, uint64_t dts, int64_t composition) {
  // Every table is checked before any changes, so that a refused sample
  // leaves no trace; the refusing table logs why.
  if (ChunkTableFull()) return AddChunkOffset(offset);
  if (m_stsz.IsFull()) return m_stsz.AddEntry(size);
  if (!m_stts.Accepts(dts)) return m_stts.AddEntry(dts);
  if (!m_ctts.Accepts(composition)) return m_ctts.AddEntry(composition);
  AddChunkOffset(offset);
  m_stsz.AddEntry(size);
  m_stts.AddEntry(dts);
  m_ctts.AddEntry(composition);
  return true;
}

bool CMp4StblAtom::HasRoomForSample(bool newChunk) {
  // Far from the limit a bound on the sample count is enough.
  const uint64_t samples = uint64_t{m_stsz.Count()} + 1;
  if (samples * kMaxBytesPerSample + kHeadroom <= kMaxBoxSize) return true;
  // Sizes are taken in their largest form: sizes that are equal so far may
  // differ from the next one on.
  const uint64_t sizes = 20 + 4 * samples;
  const uint64_t offsets = m_bUse64BitOffsets ? m_co64.BoxSize() + (newChunk ? 8 : 0)
                                              : m_stco.BoxSize() + (newChunk ? 4 : 0);
  const uint64_t total = 8 + uint64_t{SampleDescriptionSize()} + uint64_t{SyncTableSize()} + 4 +
                         m_stts.BoxSize() + 8 + m_ctts.BoxSize() + 16 + sizes + m_stsc.BoxSize() + (newChunk ? 12 : 0) + offsets;
  if (total > kMaxBoxSize || (newChunk && (!m_stsc.CanOpenChunk() || ChunkTableFull()))) {
    LOGE("sample table would pass the 4 GiB box limit, sample %llu refused",
         static_cast<unsigned long long>(samples));
    return false;
  }
  return true;
}

}  // namespace bv
