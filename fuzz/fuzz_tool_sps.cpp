// The tool's stream readers on arbitrary bytes: the SPS reader (size and VUI
// timing) of both codecs on the input as one parameter set, and the codec
// sniffer on the input as a whole stream. Nothing may crash, and a rate, when
// reported, lies in the range the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tools/sps_dimensions.h"
#include "../tools/stream_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  for (bvtool::VideoCodec codec : {bvtool::VideoCodec::kH264, bvtool::VideoCodec::kHevc}) {
    bvtool::SpsInfo info;
    bvtool::ReadSps(codec, bytes, &info);
    if (info.rate.num != 0 &&
        (info.rate.den == 0 || uint64_t{info.rate.num} > 1000ull * info.rate.den ||
         uint64_t{info.rate.num} * 1000 < info.rate.den))
      std::abort();
  }
  bvtool::MemorySource src(bytes, 4096);
  bvtool::SniffVideoStream(src);
  return 0;
}
