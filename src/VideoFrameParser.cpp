#include "VideoFrameParser.h"

#include <atomic>
#include <cstring>

#include "byte_order.h"
#include "log.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BV_HAVE_SSE2 1
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define BV_HAVE_AVX2_DISPATCH 1
#endif

namespace bv {

namespace {

// Emulation prevention keeps 00 00 00, 00 00 01 and 00 00 02 out of slice
// data, so two zero bytes in a row are rare there: they come only before a
// 03 byte or as part of a start code. The vector scans look for such zero
// pairs 64 bytes at a time (one compare per byte) and look at the byte after
// a pair only when a block holds one, which keeps the loop nearly free of
// branches taken.

// The first q in [p, end) with q[0] == 01, q[-1] == 00 and q[-2] == 00, or
// nullptr, looked for with memchr. p - 2 must lie in the buffer.
const uint8_t* FindStartCodeEndTail(const uint8_t* p, const uint8_t* end) {
  while (p < end) {
    const void* hit = std::memchr(p, 0x01, static_cast<size_t>(end - p));
    if (hit == nullptr) return nullptr;
    const uint8_t* q = static_cast<const uint8_t*>(hit);
    if (q[-1] == 0 && q[-2] == 0) return q;
    p = q + 1;
  }
  return nullptr;
}

inline unsigned LowestBit(uint64_t mask) {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(mask));
#else
  unsigned bit = 0;
  while (((mask >> bit) & 1u) == 0) ++bit;
  return bit;
#endif
}

// One block of the zero-pair scan. `z` has bit i set when a[i] == 0; bit 0
// of `carry` tells whether the byte before the block was zero. Answers the
// 01 of the first start code whose zero pair ends in this block, nullptr
// when there is none, and `end` when the search has reached the end.
inline const uint8_t* CheckZeroPairs(const uint8_t* a, uint64_t z, uint64_t carry, const uint8_t* end) {
  uint64_t pairs = z & ((z << 1) | carry);  // bit i: a[i - 1] == a[i] == 0
  while (pairs != 0) {
    const uint8_t* q = a + LowestBit(pairs) + 1;
    if (q >= end) return end;
    if (*q == 1) return q;
    pairs &= pairs - 1;
  }
  return nullptr;
}

#if defined(BV_HAVE_AVX2_DISPATCH)
// A zero pair starting at i is max(x[i], x[i + 1]) == 0; the minimum of
// four such vectors holds a zero byte exactly when any of them does. Most
// 128-byte blocks of slice data hold no zero byte at all, which four aligned
// loads and a minimum tell at memchr's cost; only blocks with a zero pay for
// the pair test, and only blocks with a pair (rare in slice data) are looked
// at byte by byte.
__attribute__((target("avx2"))) inline __m256i Load(const uint8_t* a) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
}

__attribute__((target("avx2"))) inline __m256i PairMax(const uint8_t* a) {
  return _mm256_max_epu8(Load(a), Load(a + 1));
}

__attribute__((target("avx2"))) inline bool HasZero(__m256i v) {
  return _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())) != 0;
}

__attribute__((target("avx2"))) const uint8_t* FindStartCodeEndAvx2(const uint8_t* p, const uint8_t* end) {
  // Pairs that can precede a 01 in [p, end) start in [p - 2, end - 2); a
  // block of pair starts a .. a + 127 reads bytes a .. a + 128.
  const uint8_t* a = p - 2;
  while (end - 2 - a >= 128) {
    const __m256i any = _mm256_min_epu8(_mm256_min_epu8(Load(a), Load(a + 32)),
                                        _mm256_min_epu8(Load(a + 64), Load(a + 96)));
    if (HasZero(any)) {
      const __m256i pairs = _mm256_min_epu8(_mm256_min_epu8(PairMax(a), PairMax(a + 32)),
                                            _mm256_min_epu8(PairMax(a + 64), PairMax(a + 96)));
      if (HasZero(pairs)) {
        if (const uint8_t* q = FindStartCodeEndTail(a + 2, a + 130)) return q;
      }
    }
    a += 128;
  }
  return FindStartCodeEndTail(a + 2, end);
}

// The start-code search that also copies what it reads: the frame's bytes
// pass through the registers once on their way into the sample. Looks for
// the 01 of a start code in [from + 2, end) and copies from[0, ...) to dst:
// on a hit q at least [from, q - 2), the unit before the start code; without
// one all of [from, limit). Reads and writes nothing past limit.
// Unlike the plain search it takes every block's zero mask (compare and
// movemask) and finds the pairs with shifts: slice data holds a zero byte in
// about two blocks of five, and the pair test of FindStartCodeEndAvx2 then
// costs four more unaligned loads a block, which made the copy run at 60 %
// of memcpy's rate; this runs at memcpy's.
__attribute__((target("avx2"))) inline uint64_t ZeroMask64(__m256i lo, __m256i hi) {
  const __m256i zero = _mm256_setzero_si256();
  return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero))) |
         uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)))} << 32;
}

__attribute__((target("avx2"))) const uint8_t* FindCopyAvx2(const uint8_t* from, const uint8_t* end,
                                                            const uint8_t* limit, uint8_t* dst) {
  const uint8_t* a = from;
  uint64_t carry = 0;  // bit 0: the byte before the block is zero (none before `from`)
  // A pair ending on a block's last byte has its 01 one byte further: the
  // block loop keeps that byte inside [a, end).
  while (end - a >= 129) {
    const __m256i v0 = Load(a), v1 = Load(a + 32), v2 = Load(a + 64), v3 = Load(a + 96);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32), v1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64), v2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 96), v3);
    const uint64_t z0 = ZeroMask64(v0, v1), z1 = ZeroMask64(v2, v3);
    // The block's 128 bytes are copied: a start code whose first zero lies
    // in it ends a unit that is complete in dst.
    if (const uint8_t* q = CheckZeroPairs(a, z0, carry, end)) return q;
    if (const uint8_t* q = CheckZeroPairs(a + 64, z1, z0 >> 63, end)) return q;
    carry = z1 >> 63;
    a += 128;
    dst += 128;
  }
  std::memcpy(dst, a, static_cast<size_t>(limit - a));
  return FindStartCodeEndTail(a == from ? from + 2 : a + 1, end);
}
#endif

#if defined(BV_HAVE_SSE2)
inline uint64_t ZeroMaskSse2(const uint8_t* a) {
  const __m128i zero = _mm_setzero_si128();
  uint64_t z = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * k)), zero);
    z |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v))) << (16 * k);
  }
  return z;
}

const uint8_t* FindStartCodeEndSse2(const uint8_t* p, const uint8_t* end) {
  const uint8_t* a = p - 2;
  uint64_t carry = 0;
  while (end - a >= 64) {
    const uint64_t z = ZeroMaskSse2(a);
    if ((z & ((z << 1) | carry)) != 0) {
      const uint8_t* q = CheckZeroPairs(a, z, carry, end);
      if (q == end) return nullptr;
      if (q != nullptr) return q;
    }
    carry = z >> 63;
    a += 64;
  }
  return FindStartCodeEndTail(a + 1 > p ? a + 1 : p, end);
}
#endif

using FindFn = const uint8_t* (*)(const uint8_t*, const uint8_t*);

FindFn ScanFor(StartCodeScan kind) {
  switch (kind) {
    case StartCodeScan::kMemchr: return FindStartCodeEndTail;
#if defined(BV_HAVE_SSE2)
    case StartCodeScan::kSse2: return FindStartCodeEndSse2;
#endif
#if defined(BV_HAVE_AVX2_DISPATCH)
    case StartCodeScan::kAvx2: return __builtin_cpu_supports("avx2") ? FindStartCodeEndAvx2 : nullptr;
#endif
    case StartCodeScan::kBest: {
      for (StartCodeScan k : {StartCodeScan::kAvx2, StartCodeScan::kSse2})
        if (FindFn f = ScanFor(k)) return f;
      return FindStartCodeEndTail;
    }
    default: return nullptr;
  }
}

// Chosen on first use from what the processor offers. Frames are cut on the
// host's threads before any lock is taken, hence the atomic.
std::atomic<FindFn> g_find{nullptr};

const uint8_t* FindStartCodeEnd(const uint8_t* p, const uint8_t* end) {
  FindFn find = g_find.load(std::memory_order_relaxed);
  if (find == nullptr) {
    find = ScanFor(StartCodeScan::kBest);
    g_find.store(find, std::memory_order_relaxed);
  }
  return find(p, end);
}

// The copying search without a fused kernel: the search, then one copy of
// the bytes it has just brought into the cache.
const uint8_t* FindThenCopy(const uint8_t* from, const uint8_t* end, const uint8_t* limit, uint8_t* dst) {
  const uint8_t* q = FindStartCodeEnd(from + 2, end);
  std::memcpy(dst, from, static_cast<size_t>((q != nullptr ? q - 2 : limit) - from));
  return q;
}

using FindCopyFn = const uint8_t* (*)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*);

FindCopyFn CopyScanFor(StartCodeScan kind) {
#if defined(BV_HAVE_AVX2_DISPATCH)
  if ((kind == StartCodeScan::kBest || kind == StartCodeScan::kAvx2) && __builtin_cpu_supports("avx2"))
    return FindCopyAvx2;
#endif
  return ScanFor(kind) != nullptr ? FindThenCopy : nullptr;
}

std::atomic<FindCopyFn> g_findCopy{nullptr};

const uint8_t* FindCopy(const uint8_t* from, const uint8_t* end, const uint8_t* limit, uint8_t* dst) {
  FindCopyFn find = g_findCopy.load(std::memory_order_relaxed);
  if (find == nullptr) {
    find = CopyScanFor(StartCodeScan::kBest);
    g_findCopy.store(find, std::memory_order_relaxed);
  }
  return find(from, end, limit, dst);
}

}  // namespace

bool UseStartCodeScan(StartCodeScan kind) {
  const FindFn f = ScanFor(kind);
  if (f == nullptr) return false;
  g_find.store(f, std::memory_order_relaxed);
  g_findCopy.store(CopyScanFor(kind), std::memory_order_relaxed);
  return true;
}

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

uint32_t CVideoFrameParser::ParseFrameInto(const uint8_t* buf, uint32_t length, uint8_t* out, uint32_t capacity) {
  if (buf == nullptr || length < 4) return 0;
  const size_t before = size();
  const uint8_t* const limit = buf + length;
  const uint8_t* const end = limit - 1;  // as in ParseFrame
  const uint8_t* p = buf + 2;
  const uint8_t* open = nullptr;  // first byte of the unit being cut
  uint8_t* slot = out;            // its length prefix in `out`
  bool openCopied = false;
  while (p < end) {
    // Bytes before the first start code belong to no unit: searched only.
    const uint8_t* q = open == nullptr ? FindStartCodeEnd(p, end) : FindCopy(open, end, limit, slot + 4);
    if (q == nullptr) {
      openCopied = open != nullptr;
      break;
    }
    const uint8_t* code = q - 2;
    if (open != nullptr) {
      const uint8_t* unitEnd = (code > buf && code[-1] == 0) ? code - 1 : code;
      const uint32_t n = static_cast<uint32_t>(unitEnd - open);
      StoreBE32(slot, n);
      push_back(_VIDEO_SLICE{n, open});
      slot += 4 + n;
    }
    open = q + 1;
    // The copy of a unit may run on to the end of the frame.
    if (static_cast<uint64_t>(slot - out) + 4 + static_cast<uint64_t>(limit - open) > capacity) {
      resize(before);
      return 0;
    }
    p = q + 3;
  }
  if (open == nullptr) return 0;
  const uint32_t n = static_cast<uint32_t>(limit - open);
  if (!openCopied) std::memcpy(slot + 4, open, n);
  StoreBE32(slot, n);
  push_back(_VIDEO_SLICE{n, open});
  return static_cast<uint32_t>(slot - out) + 4 + n;
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
