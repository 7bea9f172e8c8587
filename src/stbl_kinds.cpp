#include "stbl_kinds.h"

#include "log.h"

namespace bv {

void CMp4VideoStblAtom::SetMaxFrame(uint32_t frames, uint32_t syncFrames) {
  ReserveTables(frames, frames);
  // Whether frames will carry composition offsets is known only when they
  // come; the room is kept hidden until then.
  if (IsSafe()) m_ctts.SetMaxFrame(frames);
  if (syncFrames) m_stss.SetMaxFrame(syncFrames);
}

void CMp4AudioStblAtom::SetMaxFrame(uint32_t frames, uint32_t /*syncFrames*/) { ReserveTables(frames, 1); }

void CMp4TMCDStblAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "stbl");
  m_stsd.Write();
  m_stts.Write();
  m_stsc.Write();
  m_stsz.Write();
  ChunkTable().Write();
  UpdateSize(start);
}

uint32_t CMp4TMCDStblAtom::GetSize() {
  return 8 + m_stsd.GetSize() + m_stts.GetSize() + m_stsc.GetSize() + m_stsz.GetSize() + ChunkTable().GetSize();
}

void CMp4TMCDStblAtom::Reserve() {
  m_stsz.SetMaxFrame(1);
  m_stts.SetMaxFrame(1);
  if (m_bUse64BitOffsets) {
    m_co64.SetMaxFrame(1);
  } else {
    m_stco.SetMaxFrame(1);
  }
  m_stsc.SetFixed();
  m_bSafe = true;
}

void CMp4TMCDStblAtom::Update(CHeaderUpdate& plan, uint64_t duration) {
  if (!m_bSafe) {
    LOGE("logic error");
    return;
  }
  m_stts.SetDefaultDelta(static_cast<uint32_t>(duration));
  m_stsz.Update(plan);
  if (m_bUse64BitOffsets) {
    m_co64.Update(plan);
  } else {
    m_stco.Update(plan);
  }
  m_stts.Update(plan);
}

bool CMp4TMCDStblAtom::AddSample(uint64_t offset, uint32_t size, uint64_t time, bool newChunk) {
  if (newChunk || m_stsc.ChunkCount() == 0) {
    const bool added = m_bUse64BitOffsets ? m_co64.AddChunk(offset) : m_stco.AddChunk(offset);
    if (!added || !m_stsc.NewChunk()) return false;
  } else if (!m_stsc.AddToLastChunk()) {
    return false;
  }
  return m_stsz.AddEntry(size) && m_stts.AddEntry(time);
}

}  // namespace bv
