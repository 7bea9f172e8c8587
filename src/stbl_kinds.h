// The sample-table boxes of the four track kinds: the shared tables plus the
// kind's sample description (and, for video, the sync-sample table). The
// time-code table keeps its own child order.
#pragma once

#include "stbl.h"
#include "stsd.h"
#include "stss.h"

namespace bv {

class CMp4VideoStblAtom : public CMp4StblAtom {
 public:
  explicit CMp4VideoStblAtom(IBaseIO* io) : CMp4StblAtom(io), m_stsd(io), m_stss(io) {}

  void SetMaxFrame(uint32_t frames, uint32_t syncFrames) override;
  // Appends a sync sample (1-based); false when a reserved table is full.
  bool AddSyncSample(uint32_t sampleNumber) { return m_stss.AddSyncSample(sampleNumber); }
  CMp4VideoStsdAtom& Stsd() { return m_stsd; }
  CMp4StssAtom& Stss() { return m_stss; }

 protected:
  void WriteSampleDescription() override { m_stsd.Write(); }
  uint32_t SampleDescriptionSize() override { return m_stsd.GetSize(); }
  void WriteSyncTable() override { m_stss.Write(); }
  uint32_t SyncTableSize() override { return m_stss.GetSize(); }
  void UpdateSyncTable(CHeaderUpdate& plan) override {
    if (m_stss.IsReserved()) m_stss.Update(plan);
  }
  void KeepSyncSamples(uint32_t samples) override { m_stss.KeepSamples(samples); }

 private:
  CMp4VideoStsdAtom m_stsd;
  CMp4StssAtom m_stss;
};

class CMp4AudioStblAtom : public CMp4StblAtom {
 public:
  explicit CMp4AudioStblAtom(IBaseIO* io) : CMp4StblAtom(io), m_stsd(io) {}

  // Audio keeps one constant sample duration when reserved.
  void SetMaxFrame(uint32_t frames, uint32_t syncFrames) override;
  CMp4AudioStsdAtom& Stsd() { return m_stsd; }

 protected:
  void WriteSampleDescription() override { m_stsd.Write(); }
  uint32_t SampleDescriptionSize() override { return m_stsd.GetSize(); }

 private:
  CMp4AudioStsdAtom m_stsd;
};

class CMp4SubtitleStblAtom : public CMp4StblAtom {
 public:
  explicit CMp4SubtitleStblAtom(IBaseIO* io) : CMp4StblAtom(io), m_stsd(io) {}
  CMp4SubtitleStsdAtom& Stsd() { return m_stsd; }

 protected:
  void WriteSampleDescription() override { m_stsd.Write(); }
  uint32_t SampleDescriptionSize() override { return m_stsd.GetSize(); }

 private:
  CMp4SubtitleStsdAtom m_stsd;
};

// Time code: stsd, stts, stsc, stsz, then stco or co64.
class CMp4TMCDStblAtom : public CMp4Atom {
 public:
  explicit CMp4TMCDStblAtom(IBaseIO* io)
      : CMp4Atom(io), m_stsd(io), m_stsz(io), m_stsc(io), m_stts(io), m_stco(io), m_co64(io) {}

  void Write() override;
  uint32_t GetSize() override;
  bool AddSample(uint64_t offset, uint32_t size, uint64_t time, bool newChunk);
  // Safe mode: room for one time-code sample, written reserved.
  void Reserve();
  // Plans the in-place rewrite of the tables; `duration` (the track's) is
  // the duration of its one sample.
  void Update(CHeaderUpdate& plan, uint64_t duration);
  uint32_t GetSampleCount() const { return m_stsz.Count(); }
  // After a write fault, as CMp4StblAtom's (sample_trim.cpp).
  uint32_t SamplesBelow(uint64_t end) const;
  void KeepSamples(uint32_t n);
  void SetUse64BitOffsets(bool use) { m_bUse64BitOffsets = use; }
  CMp4TMCDStsdAtom& Stsd() { return m_stsd; }
  CMp4SttsAtom& Stts() { return m_stts; }

 private:
  CMp4Atom& ChunkTable() { return m_bUse64BitOffsets ? static_cast<CMp4Atom&>(m_co64) : m_stco; }

  CMp4TMCDStsdAtom m_stsd;
  CMp4StszAtom m_stsz;
  CMp4StscAtom m_stsc;
  CMp4SttsAtom m_stts;
  bool m_bUse64BitOffsets = false;
  CMp4StcoAtom m_stco;
  CMp4Co64Atom m_co64;
  bool m_bSafe = false;
};

}  // namespace bv
