// The H.264 decoder configuration box "avcC": one SPS and one PPS, copied
// when the track is declared.
#pragma once

#include <vector>

#include "atom.h"

namespace bv {

class CMp4AvccAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  // Replaces the parameter sets with copies of the given bytes (each NAL unit
  // without start code, header byte included). A null pointer leaves that set
  // empty.
  void SetParameterSets(const uint8_t* sps, uint16_t spsSize, const uint8_t* pps, uint16_t ppsSize);

  // Throws CodecConfigError(49) after logging "Invalid sps(%d) or pps(%d)
  // size !" when the SPS is shorter than 4 bytes or there is no PPS; nothing
  // is staged or written then.
  void Write() override;
  uint32_t GetSize() override { return m_boxSize; }

  uint16_t SpsSize() const { return m_spsSize; }
  uint16_t PpsSize() const { return m_ppsSize; }

 private:
  std::vector<uint8_t> m_sps;
  uint16_t m_spsSize = 0;
  std::vector<uint8_t> m_pps;
  uint16_t m_ppsSize = 0;
  uint32_t m_boxSize = 19;
};

}  // namespace bv
