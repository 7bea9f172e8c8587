#include "VideoFrameParser.h"

#include <cstring>

#include "log.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BV_HAVE_SSE2 1
#endif

namespace bv {

namespace {

// Returns the first q in [p, end) with q[0] == 01, q[-1] == 00, q[-2] == 00,
// or nullptr. The caller guarantees that p - 2 is still inside the buffer.
//
// Slice data seldom holds a 01 byte (about one in 256), and emulation
// prevention keeps 00 00 01 out of it, so the scan looks for 01 bytes 32 at a
// time and checks the two bytes before them only for blocks that hold one.
const uint8_t* FindStartCodeEnd(const uint8_t* p, const uint8_t* end) {
#if defined(BV_HAVE_SSE2)
  const __m128i one = _mm_set1_epi8(1);
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i ea = _mm_cmpeq_epi8(a, one);
    const __m128i eb = _mm_cmpeq_epi8(b, one);
    if (_mm_movemask_epi8(_mm_or_si128(ea, eb)) != 0) {
      auto zerosBefore = [&](const uint8_t* at, __m128i ones) {
        const __m128i z1 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 1)), zero);
        const __m128i z2 = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at - 2)), zero);
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(ones, _mm_and_si128(z1, z2))));
      };
      const uint32_t mask = zerosBefore(p, ea) | (zerosBefore(p + 16, eb) << 16);
      if (mask != 0) {
        unsigned bit = 0;
        while (((mask >> bit) & 1u) == 0) ++bit;
        return p + bit;
      }
    }
    p += 32;
  }
#endif
  while (p < end) {
    const void* hit = std::memchr(p, 0x01, static_cast<size_t>(end - p));
    if (hit == nullptr) return nullptr;
    const uint8_t* q = static_cast<const uint8_t*>(hit);
    if (q[-1] == 0 && q[-2] == 0) return q;
    p = q + 1;
  }
  return nullptr;
}

}  // namespace

size_t CVideoFrameParser::ParseFrame(const uint8_t* buf, uint32_t length) {
  if (buf == nullptr || length < 4) return size();
  // A start code at i (0 <= i <= length - 4) has its 01 at i + 2, so the 01
  // bytes worth looking at lie in [buf + 2, buf + length - 1).
  const uint8_t* p = buf + 2;
  const uint8_t* const end = buf + length - 1;
  const uint8_t* open = nullptr;  // first byte of the NAL unit being cut
  while (p < end) {
    const uint8_t* q = FindStartCodeEnd(p, end);
    if (q == nullptr) break;
    const uint8_t* code = q - 2;
    if (open != nullptr) {
      // The zero of a four-byte start code is not part of the unit before.
      // `open` is at least three bytes past the previous start code, so the
      // trimmed end never falls before it.
      const uint8_t* unitEnd = (code > buf && code[-1] == 0) ? code - 1 : code;
      push_back(_VIDEO_SLICE{static_cast<uint32_t>(unitEnd - open), open});
    }
    open = q + 1;
    // 00 00 01 cannot overlap another start code: the next 01 that can end
    // one lies at least three bytes further.
    p = q + 3;
  }
  if (open != nullptr) push_back(_VIDEO_SLICE{static_cast<uint32_t>(buf + length - open), open});
  return size();
}

uint8_t CH264Nal::GetNalType(const uint8_t* data, uint32_t) const { return data[0] & 0x1F; }

bool CH264Nal::IsFrameNal(const uint8_t* data, uint32_t size) const {
  const uint8_t t = GetNalType(data, size);
  return t != 6 && t != 7 && t != 8 && t != 9;
}

bool CH264Nal::IsKeyFrameNal(const uint8_t* data, uint32_t size) const { return GetNalType(data, size) == 5; }

uint8_t CHevcNal::GetNalType(const uint8_t* data, uint32_t) const { return (data[0] >> 1) & 0x3F; }

bool CHevcNal::IsFrameNal(const uint8_t* data, uint32_t size) const {
  const uint8_t t = GetNalType(data, size);
  return t <= 21 || t == 39;
}

bool CHevcNal::IsKeyFrameNal(const uint8_t* data, uint32_t size) const {
  const uint8_t t = GetNalType(data, size);
  return t == 19 || t == 20;
}

bool IsKeyFrame(const IVideoNalParser& parser, const std::vector<_VIDEO_SLICE>& slices) {
  for (const _VIDEO_SLICE& s : slices) {
    if (s.size > 0 && parser.IsKeyFrameNal(s.data, s.size)) return true;
  }
  return false;
}

bool FindVideoCodecData(const std::vector<_VIDEO_SLICE>& slices, uint32_t codecType, VideoCodecData* out) {
  if (codecType != 0 && codecType != 1) {
    LOGE("unknown codec type %d", static_cast<int>(codecType));
    return false;
  }
  *out = VideoCodecData{};
  for (const _VIDEO_SLICE& s : slices) {
    if (s.size == 0) continue;  // its first byte is the next start code's
    const uint8_t head = s.data[0];
    if (codecType == 0) {
      const uint8_t type = head & 0x1F;
      if (type == 7) out->sps = s;
      if (type == 8) out->pps = s;
      if (out->sps.data != nullptr && out->pps.data != nullptr) return true;
    } else {
      const uint8_t type = head & 0x7E;
      if (type == 0x40) out->vps = s;
      if (type == 0x42) out->sps = s;
      if (type == 0x44) out->pps = s;
      if (out->vps.data != nullptr && out->sps.data != nullptr && out->pps.data != nullptr) return true;
    }
  }
  return false;
}

}  // namespace bv
