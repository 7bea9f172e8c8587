// Checks that an input is what its option says, so that a wrong file gives
// a message naming the problem instead of a recording that does not play.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "annexb_reader.h"
#include "byte_source.h"
#include "sps_dimensions.h"

namespace bvtool {

enum class StreamKind { kUnknown, kH264, kHevc };

inline const char* StreamKindName(StreamKind k) {
  return k == StreamKind::kH264 ? "H.264" : k == StreamKind::kHevc ? "HEVC" : "unknown";
}

// The codec whose sequence parameter set appears first among the NAL units
// of the stream's head. A NAL header byte means different types in the two
// codecs, so a unit counts only when it parses as a whole SPS of its codec:
// H.264 type 7 with nal_ref_idc set, or HEVC type 33 in layer 0 with a
// temporal id of 0.
inline StreamKind SniffVideoStream(ByteSource& src, size_t max_nals = 64) {
  NalSplitter nals(src, size_t{1} << 16);
  const uint8_t* nal = nullptr;
  size_t size = 0;
  PictureSize picture;
  for (size_t n = 0; n < max_nals && nals.Next(&nal, &size); ++n) {
    if (size < 4) continue;
    const std::vector<uint8_t> unit(nal, nal + size);
    if ((nal[0] & 0x9F) == 0x07 && (nal[0] & 0x60) != 0 &&
        PictureSizeFromSps(VideoCodec::kH264, unit, &picture))
      return StreamKind::kH264;
    if (nal[0] == 0x42 && nal[1] == 0x01 && PictureSizeFromSps(VideoCodec::kHevc, unit, &picture))
      return StreamKind::kHevc;
  }
  return StreamKind::kUnknown;
}

// True when most of an input was not the stream it was given as.
inline bool MostlySkipped(uint64_t skipped, uint64_t total) { return total > 0 && skipped * 2 > total; }

}  // namespace bvtool
