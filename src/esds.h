// The AAC elementary-stream descriptor box "esds", the QuickTime "wave"
// wrapper around it, and the AudioSpecificConfig they carry.
#pragma once

#include <vector>

#include "atom.h"

namespace bv {

// The 2-byte AudioSpecificConfig (ISO/IEC 14496-3) of an AAC stream. A rate
// that is not one of the twelve standard rates is coded as 44100 Hz.
std::vector<uint8_t> MakeAudioSpecificConfig(uint8_t objectType, uint32_t sampleRate, uint8_t channels);

class CMp4EsdsAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  void Set(uint16_t esId, const std::vector<uint8_t>& decoderSpecificInfo);

  void Write() override;
  // 44 without decoder-specific information, 49 + its size with it.
  uint32_t GetSize() override { return m_dsiSize == 0 ? 44u : 49u + m_dsiSize; }

 private:
  uint16_t m_esId = 0;
  std::vector<uint8_t> m_decoderSpecificInfo;
  uint32_t m_dsiSize = 0;
};

// QuickTime's sound-description extension: frma, mp4a, the esds and a
// terminator box.
class CMp4WaveAtom : public CMp4Atom {
 public:
  explicit CMp4WaveAtom(IBaseIO* io) : CMp4Atom(io), m_esds(io) {}

  void Write() override;
  uint32_t GetSize() override { return 40 + m_esds.GetSize(); }

  CMp4EsdsAtom m_esds;
};

}  // namespace bv
