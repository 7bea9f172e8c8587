#include "carried_units.h"

#include "bv_mp4.h"

namespace bv {

bool HasPicture(uint32_t codecType, const std::vector<_VIDEO_SLICE>& units) {
  for (const _VIDEO_SLICE& s : units) {
    if (s.size == 0) continue;
    // Coded slices: H.264 types 1 to 5, HEVC types below 32 (VCL units).
    if (codecType == MP4_VIDEO_HEVC ? ((s.data[0] >> 1) & 0x3F) < 32 : (s.data[0] & 0x1F) - 1u < 5u) return true;
  }
  return false;
}

bool CCarriedUnits::Keep(const std::vector<_VIDEO_SLICE>& units) {
  size_t total = m_bytes.size();
  for (const _VIDEO_SLICE& s : units) total += s.size;
  if (total > kMaxBytes) return false;
  for (const _VIDEO_SLICE& s : units) {
    m_bytes.insert(m_bytes.end(), s.data, s.data + s.size);
    m_sizes.push_back(s.size);
  }
  return true;
}

void CCarriedUnits::Prepend(std::vector<_VIDEO_SLICE>& units) const {
  // Nearly every call has nothing kept: the caller's list (and its
  // capacity, reused from frame to frame) stays as it is.
  if (m_sizes.empty()) return;
  units.insert(units.begin(), m_sizes.size(), _VIDEO_SLICE{0, nullptr});
  const uint8_t* p = m_bytes.data();
  for (size_t i = 0; i < m_sizes.size(); ++i) {
    units[i] = {m_sizes[i], p};
    p += m_sizes[i];
  }
}

void CCarriedUnits::Clear() {
  m_bytes.clear();
  m_sizes.clear();
}

}  // namespace bv
