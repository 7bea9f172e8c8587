#include "pasp.h"

#include <numeric>

namespace bv {

void CMp4PaspAtom::Set(uint32_t sarWidth, uint32_t sarHeight) {
  Clear();
  if (sarWidth == 0 || sarHeight == 0) return;
  const uint32_t g = std::gcd(sarWidth, sarHeight);
  m_hSpacing = sarWidth / g;
  m_vSpacing = sarHeight / g;
}

void CMp4PaspAtom::Write() {
  if (!IsPresent()) return;
  PutHeader(m_buffer, 16, "pasp");
  PutU32(m_buffer, m_hSpacing);
  PutU32(m_buffer, m_vSpacing);
  m_buffer.Flush();
}

}  // namespace bv
