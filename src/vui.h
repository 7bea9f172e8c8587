// The leading fields of the video usability information (VUI) of an H.264
// or HEVC sequence parameter set: the sample aspect ratio and the colour
// description. They are what a container repeats for players that read
// colour and pixel shape from the sample entry instead of the stream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bv {

struct VideoUsability {
  // Sample aspect ratio as the stream gives it; 0:0 when it gives none or an
  // unknown ratio code.
  uint32_t sarWidth = 0;
  uint32_t sarHeight = 0;
  // Colour description (H.273 code points); 2 means unspecified.
  bool colourDescription = false;
  uint8_t colourPrimaries = 2;
  uint8_t transferCharacteristics = 2;
  uint8_t matrixCoefficients = 2;
  bool fullRange = false;  // video_full_range_flag
};

// Each reads one SPS NAL unit (header included, emulation prevention in
// place). False when the unit is not an SPS of that codec or is cut before
// the fields above; `out` is then reset to "nothing signalled". Any byte
// sequence is safe to pass.
bool ReadH264Vui(const uint8_t* sps, size_t size, VideoUsability* out);
bool ReadHevcVui(const uint8_t* sps, size_t size, VideoUsability* out);

}  // namespace bv
