#include "mvhd.h"

#include "log.h"

namespace bv {

void CMp4MvhdAtom::Write() {
  m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "mvhd", m_bVersion1 ? 1 : 0, 0);
  if (m_bVersion1) {
    PutU64(m_buffer, 0);  // creation time
    PutU64(m_buffer, 0);  // modification time
    PutU32(m_buffer, kTimeScale);
    PutU64(m_buffer, m_duration);
  } else {
    PutU32(m_buffer, 0);
    PutU32(m_buffer, 0);
    PutU32(m_buffer, kTimeScale);
    PutU32(m_buffer, static_cast<uint32_t>(m_duration));
  }
  PutU32(m_buffer, 0x00010000u);  // rate 1.0
  PutU16(m_buffer, 0x0100);       // volume 1.0
  PutZeros(m_buffer, 10);
  WriteMatrix(1, 0, 0, 1, 0, 0);
  PutZeros(m_buffer, 24);  // preview, poster, selection and current time
  PutU32(m_buffer, m_nextTrackId + 1);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4MvhdAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    LOGE("logic error");
    return;
  }
  plan.AddTime(m_startPos + (m_bVersion1 ? 32 : 24), m_bVersion1, m_duration);
}

void CMp4MvhdAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

}  // namespace bv
