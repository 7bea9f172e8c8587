// Inspection of finished files: the movie header's clock, found by walking
// box headers forward from the start of the file, without loading the file.
#pragma once

#include <cstdint>

#include "BaseIO.h"

namespace bv {

// The time scale and duration a movie header stores.
struct Mp4MovieClock {
  uint32_t timescale = 0;
  uint64_t duration = 0;
};

// Walks the top level and the inside of "moov" in file order and stops at the
// first "mvhd". Every step moves forward by at least one box header and never
// past the end of the file, so any byte sequence ends the walk: a size field
// that points backwards or nowhere ends it as "not found".
class CMp4FileInfo {
 public:
  // `in` is positioned anywhere; `fileSize` bounds every read.
  CMp4FileInfo(IBaseIO& in, uint64_t fileSize) : m_in(in), m_fileSize(fileSize) {}

  // False when the file holds no readable movie header (a recording that
  // was never closed, a damaged header, an unknown header version).
  // Throws bv_mp4_exception when the stream fails.
  bool FindMovieClock(Mp4MovieClock* clock);

 private:
  struct BoxHeader {
    char type[4];
    uint64_t start;   // offset of the size field
    uint64_t end;     // one past the box, at most the end of the file
    uint32_t header;  // 8, or 16 with a 64-bit size
  };
  // False at the end of the file or for a size that cannot be a box.
  bool ReadHeader(uint64_t pos, BoxHeader* box);
  bool ReadMovieHeader(const BoxHeader& box, Mp4MovieClock* clock);
  void ReadAt(uint64_t pos, uint8_t* dst, uint32_t n);

  IBaseIO& m_in;
  uint64_t m_fileSize;
};

// Milliseconds of a movie clock: duration x 1000 / timescale, truncated; 0
// when the time scale is 0 or the result does not fit 64 bits.
uint64_t MovieClockMs(const Mp4MovieClock& clock);

// The duration of the file at `path` in milliseconds; 0 when the file cannot
// be opened or holds no readable movie header. Never throws.
uint64_t GetFileDurationMs(const wchar_t* path);

}  // namespace bv
