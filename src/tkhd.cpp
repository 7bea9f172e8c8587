#include "tkhd.h"

#include "log.h"

namespace bv {

void CMp4TkhdAtom::Write() {
  m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "tkhd", m_bVersion1 ? 1 : 0, m_bDisabled ? 0x000002u : 0x000003u);
  if (m_bVersion1) {
    PutU64(m_buffer, 0);
    PutU64(m_buffer, 0);
    PutU32(m_buffer, m_trackId);
    PutU32(m_buffer, 0);
    PutU64(m_buffer, m_duration);
  } else {
    PutU32(m_buffer, 0);
    PutU32(m_buffer, 0);
    PutU32(m_buffer, m_trackId);
    PutU32(m_buffer, 0);
    PutU32(m_buffer, static_cast<uint32_t>(m_duration));
  }
  PutZeros(m_buffer, 8);
  PutU16(m_buffer, 0);  // layer
  PutU16(m_buffer, m_alternateGroup);
  // Only tracks without a picture are audible.
  PutU16(m_buffer, m_width == 0 ? 0x0100 : 0);
  PutU16(m_buffer, 0);
  WriteMatrix(1, 0, 0, 1, 0, 0);
  PutU32(m_buffer, m_width << 16);
  PutU32(m_buffer, m_height << 16);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4TkhdAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    LOGE("logic error");
    return;
  }
  plan.AddTime(m_startPos + (m_bVersion1 ? 36 : 28), m_bVersion1, m_duration);
}

void CMp4TkhdAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

void CMp4ElstAtom::Write() { WriteForm(m_emptyDuration != 0); }

void CMp4ElstAtom::WriteForm(bool withEmptyEdit) {
  (withEmptyEdit ? m_startPosEmpty : m_startPos) = static_cast<uint64_t>(m_pIO->Ftell());
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "elst", m_bVersion1 ? 1 : 0, 0);
  PutU32(m_buffer, withEmptyEdit ? 2 : 1);
  if (withEmptyEdit) {
    // Media time -1: nothing is presented for this long.
    if (m_bVersion1) {
      PutU64(m_buffer, m_emptyDuration);
      PutU64(m_buffer, ~uint64_t{0});
    } else {
      PutU32(m_buffer, static_cast<uint32_t>(m_emptyDuration));
      PutU32(m_buffer, 0xFFFFFFFFu);
    }
    PutU32(m_buffer, 0x00010000u);
  }
  if (m_bVersion1) {
    PutU64(m_buffer, m_segmentDuration);
    PutU64(m_buffer, m_mediaTime);
  } else {
    PutU32(m_buffer, static_cast<uint32_t>(m_segmentDuration));
    PutU32(m_buffer, static_cast<uint32_t>(m_mediaTime));
  }
  PutU32(m_buffer, 0x00010000u);  // rate 1, fraction 0
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4ElstAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0 && m_startPosEmpty == 0) {
    LOGE("logic error, start position is 0");
    return;
  }
  const uint64_t field = m_bVersion1 ? 8 : 4;
  const uint64_t entry = 2 * field + 4;
  // The media edit, first in one form and behind the empty edit in the
  // other. Its media time is written 0 and set by the first sample; only
  // B-frame tracks change it.
  auto mediaEdit = [&](uint64_t at) {
    plan.AddTime(at, m_bVersion1, m_segmentDuration);
    if (m_mediaTime != 0) plan.AddTime(at + field, m_bVersion1, m_mediaTime);
  };
  if (m_startPos != 0) mediaEdit(m_startPos + 16);
  if (m_startPosEmpty != 0) {
    plan.AddTime(m_startPosEmpty + 16, m_bVersion1, m_emptyDuration);
    mediaEdit(m_startPosEmpty + 16 + entry);
  }
}

void CMp4ElstAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

void CMp4EdtsAtom::Write() {
  if (!m_bReserveEmptyEdit) {
    const int64_t start = m_pIO->Ftell();
    PutHeader(*m_pIO, 8, "edts");
    m_elst.Write();
    UpdateSize(start);
    return;
  }
  m_bShowsEmptyEdit = m_elst.m_emptyDuration != 0;
  m_plainPos = static_cast<uint64_t>(m_pIO->Ftell());
  PutHeader(*m_pIO, 8, m_bShowsEmptyEdit ? "free" : "edts");
  m_elst.WriteForm(false);
  UpdateSize(static_cast<int64_t>(m_plainPos));
  m_emptyPos = static_cast<uint64_t>(m_pIO->Ftell());
  PutHeader(*m_pIO, 8, m_bShowsEmptyEdit ? "edts" : "free");
  m_elst.WriteForm(true);
  UpdateSize(static_cast<int64_t>(m_emptyPos));
}

uint32_t CMp4EdtsAtom::GetSize() {
  if (!m_bReserveEmptyEdit) return 8 + m_elst.GetSize();
  return 16 + m_elst.SizeOf(false) + m_elst.SizeOf(true);
}

void CMp4EdtsAtom::Update(CHeaderUpdate& plan) {
  m_elst.Update(plan);
  if (!m_bReserveEmptyEdit || m_bShowsEmptyEdit || m_elst.m_emptyDuration == 0 || m_emptyPos == 0) return;
  // The empty duration is on disk with the durations before the types change.
  static const uint8_t kFree[4] = {'f', 'r', 'e', 'e'};
  static const uint8_t kEdts[4] = {'e', 'd', 't', 's'};
  plan.AddBytes(CHeaderUpdate::kEdits, m_plainPos + 4, kFree, 4);
  plan.AddBytes(CHeaderUpdate::kEdits, m_emptyPos + 4, kEdts, 4);
  m_bShowsEmptyEdit = true;
}

bool CMp4RefTrackTypeAtom::AddTrackId(uint32_t id) {
  for (uint32_t i = 0; i < m_count; ++i) {
    if (m_trackIds[i] == id) return false;
  }
  if (m_count >= kMaxIds) {
    LOGW("track reference list full, id %u dropped", id);
    return false;
  }
  m_trackIds[m_count++] = id;
  return true;
}

void CMp4RefTrackTypeAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutU32(*m_pIO, 8);
  if (m_refType == kTimeCode) {
    PutFourCC(*m_pIO, "tmcd");
  } else {
    PutZeros(*m_pIO, 4);
  }
  for (uint32_t i = 0; i < m_count; ++i) PutU32(*m_pIO, m_trackIds[i]);
  UpdateSize(start);
}

void CMp4RefTrakAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "tref");
  for (const auto& ref : m_refs) ref->Write();
  UpdateSize(start);
}

uint32_t CMp4RefTrakAtom::GetSize() {
  uint32_t size = 8;
  for (const auto& ref : m_refs) size += ref->GetSize();
  return size;
}

}  // namespace bv
