#include "Mp4FileInfo.h"

#include <cstring>
#include <exception>

#include "byte_order.h"

namespace bv {

namespace {

// Version/flags, then the version's creation and modification times, time
// scale and duration.
constexpr uint32_t kMvhdFieldsV0 = 4 + 4 + 4 + 4 + 4;
constexpr uint32_t kMvhdFieldsV1 = 4 + 8 + 8 + 4 + 8;

}  // namespace

void CMp4FileInfo::ReadAt(uint64_t pos, uint8_t* dst, uint32_t n) {
  m_in.Seek(static_cast<int64_t>(pos), 0);
  m_in.Read(dst, n);
}

bool CMp4FileInfo::ReadHeader(uint64_t pos, BoxHeader* box) {
  if (pos > m_fileSize || m_fileSize - pos < 8) return false;
  uint8_t h[16];
  ReadAt(pos, h, 8);
  const uint32_t size = LoadBE32(h);
  std::memcpy(box->type, h + 4, 4);
  box->start = pos;
  const uint64_t left = m_fileSize - pos;
  uint64_t total;
  if (size == 1) {
    if (left < 16) return false;
    m_in.Read(h + 8, 8);
    total = LoadBE64(h + 8);
    box->header = 16;
    // A 64-bit size smaller than its own header would step backwards.
    if (total < 16) return false;
  } else if (size == 0) {
    total = left;  // the last box: it reaches the end of the file
    box->header = 8;
  } else if (size < 8) {
    return false;
  } else {
    total = size;
    box->header = 8;
  }
  box->end = pos + (total < left ? total : left);
  // A box that claims more than the file holds is cut at the end of the file;
  // only "moov" is worth entering then (a header written before a crash).
  if (total > left && std::memcmp(box->type, "moov", 4) != 0 && std::memcmp(box->type, "mvhd", 4) != 0) {
    return false;
  }
  return true;
}

bool CMp4FileInfo::ReadMovieHeader(const BoxHeader& box, Mp4MovieClock* clock) {
  const uint64_t room = box.end - box.start - box.header;
  if (room < 4) return false;
  uint8_t f[kMvhdFieldsV1];
  ReadAt(box.start + box.header, f, 4);
  const uint8_t version = f[0];
  if (version > 1) return false;
  const uint32_t need = version == 1 ? kMvhdFieldsV1 : kMvhdFieldsV0;
  if (room < need) return false;
  m_in.Read(f + 4, need - 4);
  if (version == 1) {
    clock->timescale = LoadBE32(f + 20);
    clock->duration = LoadBE64(f + 24);
  } else {
    clock->timescale = LoadBE32(f + 12);
    clock->duration = LoadBE32(f + 16);
  }
  return true;
}

bool CMp4FileInfo::FindMovieClock(Mp4MovieClock* clock) {
  uint64_t pos = 0;
  BoxHeader box{};
  while (ReadHeader(pos, &box)) {
    if (std::memcmp(box.type, "mvhd", 4) == 0) return ReadMovieHeader(box, clock);
    // The movie box is entered, not skipped: its first child comes next.
    pos = std::memcmp(box.type, "moov", 4) == 0 ? box.start + box.header : box.end;
  }
  return false;
}

uint64_t MovieClockMs(const Mp4MovieClock& clock) {
  if (clock.timescale == 0) return 0;
  const double ms = static_cast<double>(clock.duration) * 1000.0 / clock.timescale;
  // 2^64 as a double: anything at or above it cannot be converted.
  if (!(ms < 18446744073709551616.0)) return 0;
  return static_cast<uint64_t>(ms);
}

uint64_t GetFileDurationMs(const wchar_t* path) {
  CFileReader in;
  if (in.Init(path, 0, 0) != 0) return 0;
  try {
    in.Seek(0, 2);
    const int64_t size = in.Ftell();
    if (size <= 0) return 0;
    Mp4MovieClock clock;
    CMp4FileInfo info(in, static_cast<uint64_t>(size));
    return info.FindMovieClock(&clock) ? MovieClockMs(clock) : 0;
  } catch (const std::exception&) {
    // The stream has printed its failure line; the duration is unknown.
    return 0;
  }
}

}  // namespace bv
