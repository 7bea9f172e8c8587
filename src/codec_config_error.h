// The error that abandons the write of a decoder configuration box (avcC,
// hvcC) whose parameter sets are missing or unusable.
#pragma once

#include "bv_exception.h"

namespace bv {

// A bv_mp4_exception, so that every muxer operation that catches those
// reports a general failure (its code is no system error number and maps to
// MP4_ERR_FAILED). The stream is not marked failed: a later movie write tries
// again with whatever the track setup has supplied by then.
class CodecConfigError : public bv_mp4_exception {
 public:
  static constexpr int32_t kAvcC = 49;
  static constexpr int32_t kHvcC = 71;
  explicit CodecConfigError(int32_t code) : bv_mp4_exception(code) {}
};

}  // namespace bv
