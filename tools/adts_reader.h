// Cuts an ADTS AAC stream into whole frames (header included).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_source.h"

namespace bvtool {

struct AdtsHeader {
  uint32_t sample_rate = 0;
  uint8_t sampling_index = 0;
  uint8_t channels = 0;      // channel configuration; 0 means "in the payload"
  uint8_t object_type = 0;   // AAC audio object type: profile + 1 (2 = LC)
  uint32_t header_size = 0;  // 7, or 9 with a CRC
  uint32_t frame_size = 0;   // header included
};

// Parses the 7 bytes at p. Refuses what cannot start a frame: no 12-bit sync,
// a layer other than 0, a reserved sampling index, or a frame length shorter
// than its own header.
inline bool ParseAdtsHeader(const uint8_t* p, AdtsHeader* h) {
  static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};
  if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
  const uint8_t index = (p[2] >> 2) & 0x0F;
  if (index >= 13) return false;
  const bool crc = (p[1] & 0x01) == 0;
  h->header_size = crc ? 9 : 7;
  h->frame_size = (static_cast<uint32_t>(p[3] & 0x03) << 11) | (static_cast<uint32_t>(p[4]) << 3) |
                  (static_cast<uint32_t>(p[5]) >> 5);
  if (h->frame_size < h->header_size) return false;
  h->sampling_index = index;
  h->sample_rate = kRates[index];
  h->object_type = static_cast<uint8_t>((p[2] >> 6) + 1);
  h->channels = static_cast<uint8_t>(((p[2] & 0x01) << 2) | (p[3] >> 6));
  return true;
}

struct AdtsFrame {
  std::vector<uint8_t> data;  // the whole frame, header included
  AdtsHeader header;
};

// Bytes that cannot start a frame are skipped one sync candidate at a time,
// so garbage between frames costs the garbage only. A last frame cut short
// by the end of the file is not returned.
class AdtsReader {
 public:
  explicit AdtsReader(ByteSource& src, size_t block = size_t{1} << 20) : win_(src, block) {}

  bool Next(AdtsFrame& frame) {
    for (;;) {
      if (!Ensure(7)) {
        skipped_ += win_.size() - pos_;
        if (win_.size() > pos_) truncated_tail_ = true;
        pos_ = win_.size();
        return false;
      }
      const uint8_t* p = win_.data() + pos_;
      if (!ParseAdtsHeader(p, &frame.header)) {
        SkipToNextSyncCandidate();
        continue;
      }
      const uint32_t need = frame.header.frame_size;
      if (!Ensure(need)) {
        truncated_tail_ = true;
        skipped_ += win_.size() - pos_;
        pos_ = win_.size();
        return false;
      }
      p = win_.data() + pos_;
      frame.data.assign(p, p + need);
      pos_ += need;
      return true;
    }
  }

  uint64_t skipped_bytes() const { return skipped_; }
  bool truncated_tail() const { return truncated_tail_; }

 private:
  // True once n bytes from pos_ are in the window.
  bool Ensure(size_t n) {
    while (win_.size() - pos_ < n) {
      size_t shift = 0;
      const bool more = win_.Refill(pos_, &shift);
      pos_ -= shift;
      if (!more) return win_.size() - pos_ >= n;
    }
    return true;
  }

  void SkipToNextSyncCandidate() {
    const uint8_t* d = win_.data();
    const size_t n = win_.size();
    const void* hit = pos_ + 1 < n ? std::memchr(d + pos_ + 1, 0xFF, n - pos_ - 1) : nullptr;
    const size_t next = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - d) : n;
    skipped_ += next - pos_;
    pos_ = next;
  }

  ByteWindow win_;
  size_t pos_ = 0;
  uint64_t skipped_ = 0;
  bool truncated_tail_ = false;
};

}  // namespace bvtool
