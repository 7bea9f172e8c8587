// The sample table box ("stbl") of a video, audio or closed-caption track:
// the container of the time, size, chunk and offset tables, fed one sample at
// a time. Derived classes add their sample description and, for video, the
// sync-sample table.
#pragma once

#include <cstdint>

#include "atom.h"
#include "co64.h"
#include "ctts.h"
#include "header_update.h"
#include "stco.h"
#include "stsc.h"
#include "stsz.h"
#include "stts.h"

namespace bv {

class CMp4StblAtom : public CMp4Atom {
 public:
  explicit CMp4StblAtom(IBaseIO* io);

  void Write() override;
  uint32_t GetSize() override { return static_cast<uint32_t>(BoxSize()); }
  // Switches every table to a fixed capacity of `frames` samples, each in
  // its own chunk. Call once, before the first sample.
  virtual void SetMaxFrame(uint32_t frames, uint32_t syncFrames);
  // Plans the in-place rewrite of what changed since the header was written
  // or last updated; only after a reserved Write. Update() writes at once.
  virtual void Update(CHeaderUpdate& plan);
  void Update();
  virtual uint64_t GetSampleDataSize() { return m_stsz.TotalSize(); }

  // Records one sample that starts at file offset `offset`. `dts` drives
  // the durations, `pts - dts` is its composition offset. `newChunk` starts
  // a new chunk (the caller knows whether another track wrote in between).
  // False when a table is full or the offset does not fit 32 bits; the
  // tables are then left as they were.
  bool AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk);

  uint32_t GetSampleCount() const { return m_stsz.Count(); }
  // Reserved tables, after a write fault (sample_trim.cpp): the number of
  // leading samples whose bytes all lie below file offset `end`, and the cut
  // back to the first `n` samples (what CMp4SttsAtom::KeepFirst returns).
  uint32_t SamplesBelow(uint64_t end) const;
  uint64_t KeepSamples(uint32_t n, uint32_t* lastDelta);
  // Chooses co64 over stco; set before the first sample and SetMaxFrame.
  void SetUse64BitOffsets(bool use) { m_bUse64BitOffsets = use; }
  bool Uses64BitOffsets() const { return m_bUse64BitOffsets; }
  bool IsSafe() const { return m_bSafe; }
  uint64_t BoxSize();
  // Heap bytes held by the tables.
  uint64_t MemoryBytes() const;

  CMp4SttsAtom& Stts() { return m_stts; }
  CMp4CttsAtom& Ctts() { return m_ctts; }
  CMp4StszAtom& Stsz() { return m_stsz; }
  CMp4StscAtom& Stsc() { return m_stsc; }
  CMp4StcoAtom& Stco() { return m_stco; }
  CMp4Co64Atom& Co64() { return m_co64; }

 protected:
  virtual void WriteSampleDescription() = 0;
  virtual void WriteSyncTable() {}
  virtual uint32_t SampleDescriptionSize() = 0;
  virtual uint32_t SyncTableSize() { return 0; }
  // Runs at the end of Update, also when the tables are not reserved.
  virtual void UpdateSyncTable(CHeaderUpdate& /*plan*/) {}
  virtual void KeepSyncSamples(uint32_t /*samples*/) {}

  // Reserves the size and chunk tables for `frames` samples and the time
  // table for `timeEntries` runs (an audio track keeps one duration).
  void ReserveTables(uint32_t frames, uint32_t timeEntries);

  CMp4SttsAtom m_stts;
  CMp4CttsAtom m_ctts;
  CMp4StszAtom m_stsz;
  CMp4StscAtom m_stsc;
  bool m_bUse64BitOffsets = false;
  CMp4StcoAtom m_stco;
  CMp4Co64Atom m_co64;
  bool m_bSafe = false;

 private:
  bool AddReservedSample(uint64_t offset, uint32_t size, uint64_t dts, int64_t composition);
  bool HasRoomForSample(bool newChunk);
  bool ChunkTableFull() const { return m_bUse64BitOffsets ? m_co64.IsFull() : m_stco.IsFull(); }
  bool AddChunkOffset(uint64_t offset) {
    return m_bUse64BitOffsets ? m_co64.AddChunk(offset) : m_stco.AddChunk(offset);
  }
};

}  // namespace bv
