// Arbitrary bytes as a ProRes frame through the frame header reader, and what
// it reads through the ProRes sample entry. Input layout: one selector byte
// (bit 0: QuickTime colour form, bits 1-3: profile), then the frame.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "prores_header.h"
#include "stsd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool quickTime = (data[0] & 1) != 0;
  const uint32_t profile = (data[0] >> 1) % 6;
  const std::vector<uint8_t> frame(data + 1, data + size);  // exact-size copy: ASan sees any overrun
  bv::ProResFrameHeader header;
  const bool ok = bv::ReadProResFrameHeader(frame.data(), frame.size(), &header);
  if (!ok && (header.headerSize != 0 || header.colourPrimaries != 2 || header.matrixCoefficients != 2)) __builtin_trap();
  if (ok && (header.headerSize < 20 || header.headerSize > frame.size() - 8)) __builtin_trap();

  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_PRORES;
  info.width = header.width;
  info.height = header.height;
  info.prores_profile = profile;
  fuzz::WriteBox<bv::CMp4VideoStsdAtom>([&](bv::CMp4VideoStsdAtom& stsd) {
    if (!stsd.SetVideo(info)) __builtin_trap();
    stsd.SetQuickTime(quickTime);
    stsd.SetColour(bv::ProResColour(header));
  });
  return 0;
}
