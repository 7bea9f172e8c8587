// A video frame through the start-code scan, the codec-data search and the
// key-frame decision of both codecs, cross-checked against a plain scan.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "VideoFrameParser.h"

namespace {

size_t PlainStartCodeCount(const uint8_t* b, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i + 4 <= n; ++i) count += b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu) return 0;
  const std::vector<uint8_t> frame(data, data + size);  // exact-size heap copy
  bv::CVideoFrameParser slices;
  const size_t n = slices.ParseFrame(frame.data(), static_cast<uint32_t>(frame.size()));
  if (n != PlainStartCodeCount(frame.data(), frame.size())) __builtin_trap();
  uint64_t total = 0;
  for (const bv::_VIDEO_SLICE& s : slices) {
    if (s.data < frame.data() || s.data + s.size > frame.data() + frame.size()) __builtin_trap();
    total += s.size;
  }
  if (total > frame.size()) __builtin_trap();

  bv::CH264Nal h264;
  bv::CHevcNal hevc;
  bv::VideoCodecData cd;
  bv::FindVideoCodecData(slices, 0, &cd);
  bv::FindVideoCodecData(slices, 1, &cd);
  volatile bool key = bv::IsKeyFrame(h264, slices) || bv::IsKeyFrame(hevc, slices);
  (void)key;
  return 0;
}
