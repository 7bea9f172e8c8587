// Arbitrary bytes as an H.264 or HEVC SPS through the VUI reader, and what it
// reads through the colr and pasp writers. Input layout: one selector byte
// (bit 0: HEVC, bit 1: QuickTime colour form), then the SPS NAL unit.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "BaseIO.h"
#include "colr.h"
#include "pasp.h"
#include "vui.h"

namespace {

bool IsEmpty(const bv::VideoUsability& v) {
  const bv::VideoUsability none;
  return v.sarWidth == none.sarWidth && v.sarHeight == none.sarHeight && !v.colourDescription &&
         v.colourPrimaries == 2 && v.transferCharacteristics == 2 && v.matrixCoefficients == 2 && !v.fullRange;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool hevc = (data[0] & 1) != 0;
  const bool quickTime = (data[0] & 2) != 0;
  const std::vector<uint8_t> sps(data + 1, data + size);  // exact-size copy: ASan sees any overrun
  bv::VideoUsability vui;
  const bool ok = hevc ? bv::ReadHevcVui(sps.data(), sps.size(), &vui) : bv::ReadH264Vui(sps.data(), sps.size(), &vui);
  if (!ok && !IsEmpty(vui)) __builtin_trap();

  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4ColrAtom colr(&out);
  colr.m_bQuickTime = quickTime;
  colr.Set(vui);
  colr.Write();
  if (out.Size() != colr.GetSize()) __builtin_trap();

  bv::CBufferIO out2;
  out2.SetTarget(nullptr);
  bv::CMp4PaspAtom pasp(&out2);
  pasp.Set(vui.sarWidth, vui.sarHeight);
  pasp.Write();
  if (out2.Size() != pasp.GetSize()) __builtin_trap();
  return 0;
}
