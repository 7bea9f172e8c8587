#include "colr.h"

namespace bv {

namespace {

// Code points with a defined meaning (the reserved ones included, as other
// muxers keep them); values beyond are treated as unspecified.
bool KnownPrimaries(uint8_t v) { return v <= 12 || v == 22; }
bool KnownTransfer(uint8_t v) { return v <= 18; }
bool KnownMatrix(uint8_t v) { return v <= 14; }

constexpr uint8_t kUnspecified = 2;

}  // namespace

void CMp4ColrAtom::Set(const VideoUsability& vui) {
  m_bPresent = vui.colourDescription && KnownPrimaries(vui.colourPrimaries) &&
               KnownTransfer(vui.transferCharacteristics) && KnownMatrix(vui.matrixCoefficients) &&
               vui.colourPrimaries != kUnspecified && vui.transferCharacteristics != kUnspecified &&
               vui.matrixCoefficients != kUnspecified;
  m_primaries = vui.colourPrimaries;
  m_transfer = vui.transferCharacteristics;
  m_matrix = vui.matrixCoefficients;
  m_bFullRange = vui.fullRange;
}

uint32_t CMp4ColrAtom::GetSize() {
  if (!m_bPresent) return 0;
  return m_bQuickTime ? 18 : 19;
}

void CMp4ColrAtom::Write() {
  if (!m_bPresent) return;
  const int64_t start = m_buffer.Ftell();
  PutHeader(m_buffer, 8, "colr");
  PutFourCC(m_buffer, m_bQuickTime ? "nclc" : "nclx");
  PutU16(m_buffer, m_primaries);
  PutU16(m_buffer, m_transfer);
  PutU16(m_buffer, m_matrix);
  if (!m_bQuickTime) PutU8(m_buffer, m_bFullRange ? 0x80 : 0x00);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

}  // namespace bv
