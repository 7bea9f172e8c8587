// A frame cut and copied in one pass into exactly the space it is given
// (a heap block of that size, so that any byte written past it is caught):
// the sample must equal the units ParseFrame cuts, each behind its length,
// and a space too small must be refused. The first byte picks the scan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "VideoFrameParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > (1u << 20)) return 0;
  const bv::StartCodeScan kinds[] = {bv::StartCodeScan::kBest, bv::StartCodeScan::kAvx2, bv::StartCodeScan::kSse2,
                                     bv::StartCodeScan::kMemchr};
  if (!bv::UseStartCodeScan(kinds[data[0] % 4])) bv::UseStartCodeScan(bv::StartCodeScan::kBest);
  const std::vector<uint8_t> frame(data + 1, data + size);
  const uint32_t length = static_cast<uint32_t>(frame.size());

  bv::CVideoFrameParser cut;
  cut.ParseFrame(frame.data(), length);
  std::vector<uint8_t> want;
  for (const bv::_VIDEO_SLICE& s : cut) {
    const uint8_t prefix[4] = {static_cast<uint8_t>(s.size >> 24), static_cast<uint8_t>(s.size >> 16),
                               static_cast<uint8_t>(s.size >> 8), static_cast<uint8_t>(s.size)};
    want.insert(want.end(), prefix, prefix + 4);
    want.insert(want.end(), s.data, s.data + s.size);
  }

  for (const size_t capacity : {want.size(), want.size() + 1, want.size() > 0 ? want.size() - 1 : 0}) {
    std::vector<uint8_t> out(capacity);  // exact-size heap block
    bv::CVideoFrameParser slices;
    const uint32_t n = slices.ParseFrameInto(frame.data(), length, out.data(), static_cast<uint32_t>(capacity));
    if (want.empty() || capacity < want.size()) {
      if (n != 0 || !slices.empty()) __builtin_trap();
      continue;
    }
    if (n != want.size() || slices.size() != cut.size()) __builtin_trap();
    if (std::memcmp(out.data(), want.data(), n) != 0) __builtin_trap();
    for (size_t i = 0; i < cut.size(); ++i)
      if (slices[i].data != cut[i].data || slices[i].size != cut[i].size) __builtin_trap();
  }
  return 0;
}
