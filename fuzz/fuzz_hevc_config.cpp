// Arbitrary VPS/SPS/PPS bytes through the HEVC configuration record and the
// hvcC writer. Input layout: two length bytes per set (VPS, SPS, PPS sizes
// modulo the remaining input), then the three sets back to back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "BaseIO.h"
#include "codec_config_error.h"
#include "hvcc.h"

// The refusals are logged on standard output; keep them out of the run.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t* p = data + 6;
  size_t left = size - 6;
  std::vector<uint8_t> sets[3];
  for (int k = 0; k < 3; ++k) {
    const size_t want = static_cast<size_t>((data[2 * k] << 8) | data[2 * k + 1]);
    const size_t n = left == 0 ? 0 : want % (left + 1);
    sets[k].assign(p, p + n);  // exact-size copies: ASan sees any overrun
    p += n;
    left -= n;
  }
  // Each set alone through the record as well.
  for (const std::vector<uint8_t>& s : sets) {
    bv::HevcDecoderConfig c;
    c.AddNalUnit(s.data(), static_cast<uint16_t>(s.size()));
    c.Finalise();
  }
  mp4_video_track_info_t info{};
  info.codec_type = 1;
  info.vps = sets[0].empty() ? nullptr : sets[0].data();
  info.vps_size = static_cast<uint16_t>(sets[0].size());
  info.sps = sets[1].empty() ? nullptr : sets[1].data();
  info.sps_size = static_cast<uint16_t>(sets[1].size());
  info.pps = sets[2].empty() ? nullptr : sets[2].data();
  info.pps_size = static_cast<uint16_t>(sets[2].size());

  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4HvccAtom hvcc(&out);
  hvcc.SetVosData(info);
  try {
    hvcc.Write();
    if (out.Size() != hvcc.GetSize()) __builtin_trap();
  } catch (const bv::CodecConfigError&) {
    if (out.Size() != 0) __builtin_trap();
  }
  return 0;
}
