// NAL units of video calls that carry no picture. Some encoders hand over
// their parameter sets, SEI or access-unit delimiters as a buffer of their
// own; such a buffer is no sample (decoders would find an access unit
// without a picture), so its units are kept and written in front of the next
// call's picture, giving the samples a whole-access-unit feed gives.
#pragma once

#include <cstdint>
#include <vector>

#include "VideoFrameParser.h"

namespace bv {

// True when one of the units is a coded slice of a picture (codec number
// of the video track: H.264 or HEVC).
bool HasPicture(uint32_t codecType, const std::vector<_VIDEO_SLICE>& units);

class CCarriedUnits {
 public:
  // What may wait for a picture: a stream that never sends one must not
  // grow the process without end.
  static constexpr size_t kMaxBytes = 4u << 20;

  // Copies the units; false (nothing kept) past kMaxBytes.
  bool Keep(const std::vector<_VIDEO_SLICE>& units);
  // Puts the kept units in front of `units`; they point into this object
  // and stay valid until the next Keep or Clear.
  void Prepend(std::vector<_VIDEO_SLICE>& units) const;
  void Clear();
  bool Empty() const { return m_sizes.empty(); }

 private:
  std::vector<uint8_t> m_bytes;
  std::vector<uint32_t> m_sizes;
};

}  // namespace bv
