// The tool's stream readers on arbitrary bytes, as both codecs: the SPS
// reader (size and VUI timing) on the input as one parameter set, the codec
// sniffer on the input as a whole stream, and the presentation-order reader
// on the input cut into access units as the tool cuts a stream and handed
// over whole as one access unit. Nothing may crash or read out of bounds; a
// rate, when reported, lies in the range the reader promises; and the slots
// must stay a presentation order: every picture one distinct slot below the
// picture count, none presented more than the reported depth before its
// decode slot.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tools/annexb_reader.h"
#include "../tools/poc_order.h"
#include "../tools/sps_dimensions.h"
#include "../tools/stream_checks.h"

namespace {

void Check(const bvtool::PictureOrder& order, size_t pictures) {
  uint64_t delay = 0;
  const std::vector<uint64_t> slots = order.Slots(&delay);
  if (slots.size() != pictures) std::abort();
  std::vector<bool> taken(slots.size());
  for (size_t k = 0; k < slots.size(); ++k) {
    if (slots[k] >= slots.size() || taken[slots[k]]) std::abort();
    taken[slots[k]] = true;
    if (k > slots[k] + delay) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  for (bvtool::VideoCodec codec : {bvtool::VideoCodec::kH264, bvtool::VideoCodec::kHevc}) {
    bvtool::SpsInfo info;
    bvtool::ReadSps(codec, bytes, &info);
    if (info.rate.num != 0 &&
        (info.rate.den == 0 || uint64_t{info.rate.num} > 1000ull * info.rate.den ||
         uint64_t{info.rate.num} * 1000 < info.rate.den))
      std::abort();
    bvtool::MemorySource src(bytes, 4096);
    bvtool::AccessUnitReader reader(src, codec, size_t{1} << 16);
    bvtool::PictureOrder order(codec);
    bvtool::AccessUnit au;
    size_t pictures = 0;
    while (reader.Next(au)) {
      order.Add(au.data);
      ++pictures;
    }
    Check(order, pictures);
    bvtool::PictureOrder whole(codec);
    whole.Add(bytes);
    Check(whole, 1);
  }
  bvtool::MemorySource src(bytes, 4096);
  bvtool::SniffVideoStream(src);
  return 0;
}
