// The frame header at the front of every ProRes frame: after the 32-bit
// frame size and the "icpf" identifier come the header's own size, its
// version, the creator, the picture size, the chroma and interlace flags and
// the colour description (H.273 code points, 2 meaning unspecified). The
// colour is what a QuickTime sample entry repeats for players that read it
// from the container.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vui.h"

namespace bv {

struct ProResFrameHeader {
  uint16_t headerSize = 0;
  uint16_t version = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t chromaFormat = 0;   // 2: 4:2:2, 3: 4:4:4
  uint8_t interlaceMode = 0;  // 0 progressive, 1 top field first, 2 bottom field first
  uint8_t colourPrimaries = 2;
  uint8_t transferCharacteristic = 2;
  uint8_t matrixCoefficients = 2;
};

// Reads the header of the frame at `frame`. False (and `out` reset) unless
// the bytes hold the frame size and "icpf", a header of a known version at
// least as long as its fixed fields, and that whole header. Any byte
// sequence is safe to pass.
bool ReadProResFrameHeader(const uint8_t* frame, size_t size, ProResFrameHeader* out);

// The header's colour as a colour description for the colr box: described
// when the header was read, never full range (the header has no range flag).
VideoUsability ProResColour(const ProResFrameHeader& header);

}  // namespace bv
