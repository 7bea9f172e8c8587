#include "prores_header.h"

#include <cstring>

#include "byte_order.h"

namespace bv {

namespace {

constexpr size_t kFramePrefix = 8;  // frame size and "icpf"
constexpr uint16_t kFixedHeader = 20;  // up to the quantisation-matrix flags
// The versions decoders read; a later one may lay its fields out otherwise.
constexpr uint16_t kLatestVersion = 1;

}  // namespace

bool ReadProResFrameHeader(const uint8_t* frame, size_t size, ProResFrameHeader* out) {
  *out = ProResFrameHeader();
  if (frame == nullptr || size < kFramePrefix + kFixedHeader) return false;
  if (std::memcmp(frame + 4, "icpf", 4) != 0) return false;
  const uint8_t* h = frame + kFramePrefix;
  ProResFrameHeader r;
  r.headerSize = LoadBE16(h);
  r.version = LoadBE16(h + 2);
  // A header that claims less than its fixed fields, or more than the
  // frame holds, is not one whose fields can be trusted.
  if (r.headerSize < kFixedHeader || r.headerSize > size - kFramePrefix) return false;
  if (r.version > kLatestVersion) return false;
  r.width = LoadBE16(h + 8);
  r.height = LoadBE16(h + 10);
  r.chromaFormat = h[12] >> 6;
  r.interlaceMode = (h[12] >> 2) & 3;
  r.colourPrimaries = h[14];
  r.transferCharacteristic = h[15];
  r.matrixCoefficients = h[16];
  *out = r;
  return true;
}

VideoUsability ProResColour(const ProResFrameHeader& header) {
  VideoUsability v;
  v.colourDescription = header.headerSize != 0;
  v.colourPrimaries = header.colourPrimaries;
  v.transferCharacteristics = header.transferCharacteristic;
  v.matrixCoefficients = header.matrixCoefficients;
  return v;
}

}  // namespace bv
