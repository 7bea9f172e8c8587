// The HEVC decoder configuration box "hvcC": copies of the VPS, SPS and PPS
// and the configuration record read from them.
#pragma once

#include <memory>
#include <vector>

#include "HevcParameterSets.h"
#include "atom.h"
#include "bv_mp4.h"

namespace bv {

class CMp4HvccAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  // Replaces the record with one built from copies of the track's vps, sps
  // and pps (each parsed when its pointer is not null). A set the parser
  // refuses is logged ("Parse hevc vps fail !" and the like) and its size
  // becomes 0, so that Write refuses the box. Never throws.
  void SetVosData(const mp4_video_track_info_t& info);

  // Throws CodecConfigError(71) after logging "NULL hevc head !" when a
  // parameter set is missing or was refused; nothing is staged then.
  void Write() override;
  uint32_t GetSize() override { return m_boxSize; }

  uint16_t VpsSize() const { return m_vpsSize; }
  uint16_t SpsSize() const { return m_spsSize; }
  uint16_t PpsSize() const { return m_ppsSize; }
  const HevcDecoderConfig* Record() const { return m_record.get(); }
  // For tests and the repair path: the record being written.
  HevcDecoderConfig* MutableRecord() { return m_record.get(); }

 private:
  std::vector<uint8_t> m_vps, m_sps, m_pps;
  uint16_t m_vpsSize = 0;
  uint16_t m_spsSize = 0;
  uint16_t m_ppsSize = 0;
  std::unique_ptr<HevcDecoderConfig> m_record;
  uint32_t m_boxSize = 31;
};

}  // namespace bv
