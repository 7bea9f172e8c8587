// Cuts an Annex-B H.264 or HEVC elementary stream into access units, the unit
// the muxer takes as one sample.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "byte_source.h"

namespace bvtool {

enum class VideoCodec { kH264, kHevc };

// What the access-unit cutter needs to know about one NAL unit.
struct NalInfo {
  int type = -1;
  bool vcl = false;
  bool first_slice = false;  // first slice of a picture
  bool opens_au = false;     // a non-VCL unit that may only precede a picture
  bool key = false;          // IDR (H.264) or IRAP (HEVC) slice
};

inline NalInfo ClassifyNal(VideoCodec codec, const uint8_t* nal, size_t size) {
  NalInfo info;
  if (size == 0) return info;
  if (codec == VideoCodec::kH264) {
    info.type = nal[0] & 0x1F;
    info.vcl = info.type >= 1 && info.type <= 5;
    // first_mb_in_slice is ue(v): it is 0 exactly when its first bit is 1.
    info.first_slice = info.vcl && size > 1 && (nal[1] & 0x80) != 0;
    info.key = info.type == 5;
    // SEI, SPS, PPS, AUD and the reserved/prefix range 14..18; end of
    // sequence/stream and filler data (10..12) close the current unit instead.
    info.opens_au = (info.type >= 6 && info.type <= 9) || (info.type >= 14 && info.type <= 18);
  } else {
    info.type = (nal[0] >> 1) & 0x3F;
    info.vcl = info.type < 32;
    info.first_slice = info.vcl && size > 2 && (nal[2] & 0x80) != 0;
    info.key = info.type >= 16 && info.type <= 23;
    // VPS, SPS, PPS, AUD, prefix SEI and the reserved prefix ranges; EOS, EOB,
    // filler and suffix SEI (36..38, 40) belong to the picture before them.
    info.opens_au = (info.type >= 32 && info.type <= 35) || info.type == 39 ||
                    (info.type >= 41 && info.type <= 44) || (info.type >= 48 && info.type <= 55);
  }
  return info;
}

// Yields NAL units without their start codes. Zero bytes in front of a start
// code are leading/trailing zero bytes of the byte stream, never part of a
// NAL unit (a NAL unit cannot end in 0x00), so they are dropped.
class NalSplitter {
 public:
  explicit NalSplitter(ByteSource& src, size_t block = size_t{1} << 20) : win_(src, block) {}

  // The returned bytes stay valid until the next call.
  bool Next(const uint8_t** nal, size_t* size) {
    for (;;) {
      if (!started_ && !FindFirstStartCode()) return false;
      if (done_) return false;
      size_t end = 0;
      size_t next = 0;
      for (;;) {
        const size_t sc = FindStartCode(scan_);
        if (sc != kNone) {
          end = sc;
          next = sc + 3;
          break;
        }
        if (win_.at_end()) {
          end = win_.size();
          done_ = true;
          break;
        }
        // Keep two bytes of the scanned tail: a start code may straddle the
        // block boundary.
        scan_ = win_.size() >= pos_ + 2 ? win_.size() - 2 : pos_;
        size_t shift = 0;
        win_.Refill(pos_, &shift);
        pos_ -= shift;
        scan_ -= shift;
      }
      size_t begin = pos_;
      while (end > begin && win_.data()[end - 1] == 0) --end;
      pos_ = next;
      scan_ = next;
      if (end > begin) {
        *nal = win_.data() + begin;
        *size = end - begin;
        return true;
      }
      if (done_) return false;
    }
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  // Index of the first 00 00 01 at or after from, or kNone.
  size_t FindStartCode(size_t from) const {
    const uint8_t* d = win_.data();
    const size_t n = win_.size();
    size_t i = from + 2;
    while (i < n) {
      const void* hit = std::memchr(d + i, 1, n - i);
      if (!hit) return kNone;
      const size_t k = static_cast<size_t>(static_cast<const uint8_t*>(hit) - d);
      if (d[k - 1] == 0 && d[k - 2] == 0) return k - 2;
      i = k + 1;
    }
    return kNone;
  }

  // Bytes before the first start code are not part of the stream.
  bool FindFirstStartCode() {
    for (;;) {
      const size_t sc = FindStartCode(scan_);
      if (sc != kNone) {
        started_ = true;
        pos_ = sc + 3;
        scan_ = pos_;
        return true;
      }
      const size_t keep = win_.size() >= 2 ? win_.size() - 2 : 0;
      size_t shift = 0;
      if (!win_.Refill(keep, &shift) && win_.at_end()) {
        done_ = true;
        return false;
      }
      scan_ = 0;
    }
  }

  ByteWindow win_;
  size_t pos_ = 0;   // first payload byte of the current NAL unit
  size_t scan_ = 0;  // where the search for the next start code resumes
  bool started_ = false;
  bool done_ = false;
};

struct AccessUnit {
  std::vector<uint8_t> data;  // NAL units, each behind 00 00 00 01
  bool key = false;
  uint32_t nal_count = 0;
};

// Groups NAL units into access units: a unit ends where a non-VCL unit that
// precedes pictures (AUD, parameter sets, SEI) or the first slice of the next
// picture follows a slice. A tail without any slice (a parameter set at the
// very end of a stream) carries no picture and is dropped.
class AccessUnitReader {
 public:
  AccessUnitReader(ByteSource& src, VideoCodec codec, size_t block = size_t{1} << 20)
      : codec_(codec), nals_(src, block) {}

  bool Next(AccessUnit& au) {
    const uint8_t* nal = nullptr;
    size_t size = 0;
    while (nals_.Next(&nal, &size)) {
      const NalInfo info = ClassifyNal(codec_, nal, size);
      RememberParameterSet(info.type, nal, size);
      if (pending_vcl_ && (info.opens_au || (info.vcl && info.first_slice))) {
        Hand(au);
        Append(info, nal, size);
        return true;
      }
      Append(info, nal, size);
    }
    if (!pending_vcl_) {
      pending_.data.clear();
      return false;
    }
    Hand(au);
    return true;
  }

  // The first parameter sets met in the stream, without start codes.
  const std::vector<uint8_t>& sps() const { return sps_; }
  const std::vector<uint8_t>& pps() const { return pps_; }
  const std::vector<uint8_t>& vps() const { return vps_; }
  VideoCodec codec() const { return codec_; }

 private:
  void Append(const NalInfo& info, const uint8_t* nal, size_t size) {
    static const uint8_t kStartCode[4] = {0, 0, 0, 1};
    pending_.data.insert(pending_.data.end(), kStartCode, kStartCode + 4);
    pending_.data.insert(pending_.data.end(), nal, nal + size);
    pending_.nal_count += 1;
    pending_.key = pending_.key || info.key;
    pending_vcl_ = pending_vcl_ || info.vcl;
  }

  // Swapping hands the caller's old buffer back for reuse: no allocation per
  // access unit once the largest one has been seen.
  void Hand(AccessUnit& au) {
    std::swap(au, pending_);
    pending_.data.clear();
    pending_.key = false;
    pending_.nal_count = 0;
    pending_vcl_ = false;
  }

  void RememberParameterSet(int type, const uint8_t* nal, size_t size) {
    std::vector<uint8_t>* slot = nullptr;
    if (codec_ == VideoCodec::kH264) {
      if (type == 7) slot = &sps_;
      if (type == 8) slot = &pps_;
    } else {
      if (type == 33) slot = &sps_;
      if (type == 34) slot = &pps_;
      if (type == 32) slot = &vps_;
    }
    if (slot && slot->empty()) slot->assign(nal, nal + size);
  }

  VideoCodec codec_;
  NalSplitter nals_;
  AccessUnit pending_;
  bool pending_vcl_ = false;
  std::vector<uint8_t> sps_, pps_, vps_;
};

// Codec from a file name: .h264/.264/.avc and .h265/.265/.hevc; false if the
// extension says nothing.
inline bool GuessVideoCodec(const std::string& path, VideoCodec* codec) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == "h264" || ext == "264" || ext == "avc" || ext == "jsv") {
    *codec = VideoCodec::kH264;
    return true;
  }
  if (ext == "h265" || ext == "265" || ext == "hevc") {
    *codec = VideoCodec::kHevc;
    return true;
  }
  return false;
}

}  // namespace bvtool
