// In-place rewriting of one time field of a box that was written earlier.
#pragma once

#include <cstdint>

#include "BaseIO.h"

namespace bv {

// Writes `value` at `start + offset` as 64 bits when `wide`, else its low 32
// bits, and returns to the position the stream had before.
inline void PatchTimeField(IBaseIO& io, uint64_t start, uint32_t offset, bool wide, uint64_t value) {
  const int64_t back = io.Ftell();
  io.Seek(static_cast<int64_t>(start + offset), 0);
  if (wide) {
    PutU64(io, value);
  } else {
    PutU32(io, static_cast<uint32_t>(value));
  }
  io.Seek(back, 0);
}

}  // namespace bv
