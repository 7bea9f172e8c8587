#include "avcc.h"

#include "codec_config_error.h"
#include "log.h"

namespace bv {

void CMp4AvccAtom::SetParameterSets(const uint8_t* sps, uint16_t spsSize, const uint8_t* pps, uint16_t ppsSize) {
  m_sps.clear();
  m_pps.clear();
  if (sps != nullptr) m_sps.assign(sps, sps + spsSize);
  if (pps != nullptr) m_pps.assign(pps, pps + ppsSize);
  m_spsSize = static_cast<uint16_t>(m_sps.size());
  m_ppsSize = static_cast<uint16_t>(m_pps.size());
  m_boxSize = m_spsSize + 19u + m_ppsSize;
}

void CMp4AvccAtom::Write() {
  // Checked before anything is staged, so an abandoned write leaves the
  // buffer empty for the next attempt.
  if (m_spsSize < 4 || m_ppsSize == 0) {
    LOGE("Invalid sps(%d) or pps(%d) size !", static_cast<int>(m_spsSize), static_cast<int>(m_ppsSize));
    throw CodecConfigError(CodecConfigError::kAvcC);
  }
  const int64_t start = m_buffer.Ftell();
  PutHeader(m_buffer, 8, "avcC");
  PutU8(m_buffer, 1);  // configurationVersion
  // profile_idc, constraint flags and level_idc follow the NAL header byte.
  PutU8(m_buffer, m_sps[1]);
  PutU8(m_buffer, m_sps[2]);
  PutU8(m_buffer, m_sps[3]);
  PutU8(m_buffer, 0xFF);  // 4-byte NAL lengths
  PutU8(m_buffer, 0xE1);  // one SPS
  PutU16(m_buffer, m_spsSize);
  PutBytes(m_buffer, m_sps.data(), m_spsSize);
  PutU8(m_buffer, 1);  // one PPS
  PutU16(m_buffer, m_ppsSize);
  PutBytes(m_buffer, m_pps.data(), m_ppsSize);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

}  // namespace bv
