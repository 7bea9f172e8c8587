#include "esds.h"

namespace bv {

std::vector<uint8_t> MakeAudioSpecificConfig(uint8_t objectType, uint32_t sampleRate, uint8_t channels) {
  static const uint32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  uint8_t index = 4;  // 44100 Hz
  for (int i = 11; i >= 0; --i) {
    if (kRates[i] == sampleRate) {
      index = static_cast<uint8_t>(i);
      break;
    }
  }
  return {static_cast<uint8_t>((objectType << 3) | (index >> 1)),
          static_cast<uint8_t>(((index & 1) << 7) | (channels << 3))};
}

void CMp4EsdsAtom::Set(uint16_t esId, const std::vector<uint8_t>& decoderSpecificInfo) {
  m_esId = esId;
  m_decoderSpecificInfo = decoderSpecificInfo;
  m_dsiSize = static_cast<uint32_t>(m_decoderSpecificInfo.size());
}

namespace {

// Descriptor tag and size in the four-byte expandable form.
void PutDescriptorHeader(IBaseIO& io, uint8_t tag, uint32_t size) {
  PutU8(io, tag);
  PutU8(io, static_cast<uint8_t>((size >> 21) | 0x80));
  PutU8(io, static_cast<uint8_t>((size >> 14) | 0x80));
  PutU8(io, static_cast<uint8_t>((size >> 7) | 0x80));
  PutU8(io, static_cast<uint8_t>(size & 0x7F));
}

}  // namespace

void CMp4EsdsAtom::Write() {
  const int64_t start = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "esds", 0, 0);
  // The descriptor sizes assume the 2-byte AudioSpecificConfig that every
  // AAC track carries.
  PutDescriptorHeader(m_buffer, 3, 34);  // ES descriptor
  PutU16(m_buffer, m_esId);
  PutU8(m_buffer, 0);
  PutDescriptorHeader(m_buffer, 4, 20);  // decoder configuration
  PutU8(m_buffer, 0x40);                 // MPEG-4 audio
  PutU8(m_buffer, 0x15);                 // audio stream
  PutU24(m_buffer, 0);                   // buffer size
  PutU32(m_buffer, 0);                   // maximum bit rate
  PutU32(m_buffer, 0);                   // average bit rate
  if (m_dsiSize != 0) {
    PutDescriptorHeader(m_buffer, 5, m_dsiSize);
    PutBytes(m_buffer, m_decoderSpecificInfo.data(), m_dsiSize);
  }
  PutDescriptorHeader(m_buffer, 6, 1);  // SL configuration
  PutU8(m_buffer, 2);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4WaveAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(m_buffer, 8, "wave");
  PutHeader(m_buffer, 12, "frma");
  PutFourCC(m_buffer, "mp4a");
  PutHeader(m_buffer, 12, "mp4a");
  PutU32(m_buffer, 0);
  m_buffer.Flush();
  m_esds.Write();
  PutU32(m_buffer, 8);  // terminator box
  PutU32(m_buffer, 0);
  m_buffer.Flush();
  UpdateSize(start);
}

}  // namespace bv
