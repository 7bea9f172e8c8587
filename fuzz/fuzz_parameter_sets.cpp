// Arbitrary parameter sets through the HEVC configuration record and the
// hvcC writer, and the SPS through both codecs' VUI readers and what they
// read through the colr (both forms) and pasp writers. Input layout: two
// length bytes per set (VPS, SPS, PPS; a length past the input takes what is
// left), then the three sets back to back.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec_config_error.h"
#include "colr.h"
#include "fuzz_support.h"
#include "hvcc.h"
#include "pasp.h"
#include "vui.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::QuietStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t lengths[3] = {in.U16(), in.U16(), in.U16()};
  std::vector<uint8_t> sets[3];  // exact-size copies: ASan sees any overrun
  for (int k = 0; k < 3; ++k) sets[k] = in.Bytes(lengths[k]);
  // Each set alone through the record as well.
  for (const std::vector<uint8_t>& s : sets) {
    bv::HevcDecoderConfig c;
    c.AddNalUnit(s.data(), static_cast<uint16_t>(s.size()));
    c.Finalise();
  }
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_HEVC;
  info.vps = sets[0].empty() ? nullptr : sets[0].data();
  info.vps_size = static_cast<uint16_t>(sets[0].size());
  info.sps = sets[1].empty() ? nullptr : sets[1].data();
  info.sps_size = static_cast<uint16_t>(sets[1].size());
  info.pps = sets[2].empty() ? nullptr : sets[2].data();
  info.pps_size = static_cast<uint16_t>(sets[2].size());
  try {
    fuzz::WriteBox<bv::CMp4HvccAtom>([&](bv::CMp4HvccAtom& hvcc) { hvcc.SetVosData(info); });
  } catch (const bv::CodecConfigError&) {
    // refused sets: nothing staged (WriteBox checks)
  }

  const std::vector<uint8_t>& sps = sets[1];
  for (const bool hevc : {false, true}) {
    bv::VideoUsability vui;
    const bool ok =
        hevc ? bv::ReadHevcVui(sps.data(), sps.size(), &vui) : bv::ReadH264Vui(sps.data(), sps.size(), &vui);
    // A refused unit reports nothing: every field keeps its default.
    const bv::VideoUsability none;
    if (!ok && (vui.sarWidth != none.sarWidth || vui.sarHeight != none.sarHeight || vui.colourDescription ||
                vui.colourPrimaries != 2 || vui.transferCharacteristics != 2 || vui.matrixCoefficients != 2 ||
                vui.fullRange))
      __builtin_trap();
    for (const bool quickTime : {false, true}) {
      fuzz::WriteBox<bv::CMp4ColrAtom>([&](bv::CMp4ColrAtom& colr) {
        colr.m_bQuickTime = quickTime;
        colr.Set(vui);
      });
    }
    fuzz::WriteBox<bv::CMp4PaspAtom>([&](bv::CMp4PaspAtom& pasp) { pasp.Set(vui.sarWidth, vui.sarHeight); });
  }
  return 0;
}
