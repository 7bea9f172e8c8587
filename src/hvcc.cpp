#include "hvcc.h"

#include "codec_config_error.h"
#include "log.h"

namespace bv {

void CMp4HvccAtom::SetVosData(const mp4_video_track_info_t& info) {
  m_record = std::make_unique<HevcDecoderConfig>();
  struct Set {
    const uint8_t* src;
    uint16_t srcSize;
    std::vector<uint8_t>* copy;
    uint16_t* size;
    const char* failure;
  };
  const Set sets[] = {
      {info.vps, info.vps_size, &m_vps, &m_vpsSize, "Parse hevc vps fail !"},
      {info.sps, info.sps_size, &m_sps, &m_spsSize, "Parse hevc sps fail !"},
      {info.pps, info.pps_size, &m_pps, &m_ppsSize, "Parse hevc pps fail !"},
  };
  for (const Set& s : sets) {
    s.copy->clear();
    *s.size = 0;
    if (s.src == nullptr) continue;
    s.copy->assign(s.src, s.src + s.srcSize);
    *s.size = s.srcSize;
    if (!m_record->AddNalUnit(s.copy->data(), *s.size)) {
      LOGE("%s", s.failure);
      *s.size = 0;
    }
  }
  m_boxSize = 8 + m_record->RecordSize();
}

void CMp4HvccAtom::Write() {
  if (m_vpsSize == 0 || m_spsSize == 0 || m_ppsSize == 0 || !m_record) {
    LOGE("NULL hevc head !");
    throw CodecConfigError(CodecConfigError::kHvcC);
  }
  HevcDecoderConfig& r = *m_record;
  r.Finalise();
  const int64_t start = m_buffer.Ftell();
  PutHeader(m_buffer, 8, "hvcC");
  PutU8(m_buffer, r.configurationVersion);
  PutU8(m_buffer, static_cast<uint8_t>(((r.general_profile_space & 0x03) << 6) | ((r.general_tier_flag & 0x01) << 5) |
                                       (r.general_profile_idc & 0x1F)));
  PutU32(m_buffer, r.general_profile_compatibility_flags);
  PutU32(m_buffer, static_cast<uint32_t>(r.general_constraint_indicator_flags >> 16));
  PutU16(m_buffer, static_cast<uint16_t>(r.general_constraint_indicator_flags));
  PutU8(m_buffer, r.general_level_idc);
  PutU16(m_buffer, static_cast<uint16_t>(0xF000 | r.min_spatial_segmentation_idc));
  PutU8(m_buffer, static_cast<uint8_t>(0xFC | (r.parallelismType & 0x03)));
  // Values read from a damaged stream can be wider than their fields; they
  // are cut to width so that the reserved bits stay ones.
  PutU8(m_buffer, static_cast<uint8_t>(0xFC | (r.chromaFormat & 0x03)));
  PutU8(m_buffer, static_cast<uint8_t>(0xF8 | (r.bitDepthLumaMinus8 & 0x07)));
  PutU8(m_buffer, static_cast<uint8_t>(0xF8 | (r.bitDepthChromaMinus8 & 0x07)));
  PutU16(m_buffer, r.avgFrameRate);
  PutU8(m_buffer, static_cast<uint8_t>(((r.constantFrameRate & 0x03) << 6) | ((r.numTemporalLayers & 0x07) << 3) |
                                       ((r.temporalIdNested & 0x01) << 2) | (r.lengthSizeMinusOne & 0x03)));
  PutU8(m_buffer, static_cast<uint8_t>(r.arrays.size()));
  for (const HevcNalArray& a : r.arrays) {
    PutU8(m_buffer, static_cast<uint8_t>((a.array_completeness << 7) | (a.NAL_unit_type & 0x3F)));
    PutU16(m_buffer, static_cast<uint16_t>(a.nalUnits.size()));
    for (const std::vector<uint8_t>& u : a.nalUnits) {
      PutU16(m_buffer, static_cast<uint16_t>(u.size()));
      PutBytes(m_buffer, u.data(), static_cast<uint32_t>(u.size()));
    }
  }
  UpdateBufferSize(start);
  m_buffer.Flush();
}

}  // namespace bv
