#include "mdhd.h"

#include <cstring>

#include "log.h"

namespace bv {

void CMp4MdhdAtom::Write() {
  m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "mdhd", m_bVersion1 ? 1 : 0, 0);
  if (m_bVersion1) {
    PutU64(m_buffer, 0);
    PutU64(m_buffer, 0);
    PutU32(m_buffer, m_timeScale);
    PutU64(m_buffer, m_duration);
  } else {
    PutU32(m_buffer, 0);
    PutU32(m_buffer, 0);
    PutU32(m_buffer, m_timeScale);
    PutU32(m_buffer, static_cast<uint32_t>(m_duration));
  }
  PutU16(m_buffer, kLanguageUnd);
  PutU16(m_buffer, 0);  // quality
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4MdhdAtom::Update(CHeaderUpdate& plan) {
  if (m_startPos == 0) {
    LOGE("logic error");
    return;
  }
  plan.AddTime(m_startPos + (m_bVersion1 ? 32 : 24), m_bVersion1, m_duration);
}

void CMp4MdhdAtom::Update() {
  CHeaderUpdate plan;
  Update(plan);
  plan.Apply(*m_pIO);
}

void CMp4HdlrAtom::Write() {
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "hdlr", 0, 0);
  PutFourCC(m_buffer, m_type);
  PutFourCC(m_buffer, m_subtype);
  PutZeros(m_buffer, 12);  // manufacturer, flags, flags mask
  const uint8_t length = static_cast<uint8_t>(std::strlen(m_name));
  PutU8(m_buffer, length);
  PutBytes(m_buffer, m_name, length);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

uint32_t CMp4HdlrAtom::GetSize() { return 33 + static_cast<uint8_t>(std::strlen(m_name)); }

}  // namespace bv
