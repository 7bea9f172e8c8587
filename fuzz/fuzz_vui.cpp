// Arbitrary bytes as an H.264 or HEVC SPS through the VUI reader, and what it
// reads through the colr and pasp writers. Input layout: one selector byte
// (bit 0: HEVC, bit 1: QuickTime colour form), then the SPS NAL unit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "colr.h"
#include "fuzz_support.h"
#include "pasp.h"
#include "vui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool hevc = (data[0] & 1) != 0;
  const bool quickTime = (data[0] & 2) != 0;
  const std::vector<uint8_t> sps(data + 1, data + size);  // exact-size copy: ASan sees any overrun
  bv::VideoUsability vui;
  const bool ok = hevc ? bv::ReadHevcVui(sps.data(), sps.size(), &vui) : bv::ReadH264Vui(sps.data(), sps.size(), &vui);
  // A refused unit reports nothing: every field keeps its default.
  const bv::VideoUsability none;
  if (!ok && (vui.sarWidth != none.sarWidth || vui.sarHeight != none.sarHeight || vui.colourDescription ||
              vui.colourPrimaries != 2 || vui.transferCharacteristics != 2 || vui.matrixCoefficients != 2 ||
              vui.fullRange))
    __builtin_trap();
  fuzz::WriteBox<bv::CMp4ColrAtom>([&](bv::CMp4ColrAtom& colr) {
    colr.m_bQuickTime = quickTime;
    colr.Set(vui);
  });
  fuzz::WriteBox<bv::CMp4PaspAtom>([&](bv::CMp4PaspAtom& pasp) { pasp.Set(vui.sarWidth, vui.sarHeight); });
  return 0;
}
