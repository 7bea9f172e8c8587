// Picture size from an H.264 or HEVC sequence parameter set: the track
// description needs width and height, and a raw stream states them only here.
#pragma once

#include <cstdint>
#include <vector>

#include "annexb_reader.h"

namespace bvtool {

// Reads bits of an RBSP (emulation-prevention bytes already removed). Reads
// past the end give zero bits and set overrun(), so a short or damaged SPS is
// detected once at the end instead of at every read.
class BitReader {
 public:
  explicit BitReader(const std::vector<uint8_t>& rbsp) : d_(rbsp) {}
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  uint32_t Bit() {
    if (bit_ >= d_.size() * 8) {
      overrun_ = true;
      return 0;
    }
    const uint32_t b = (d_[bit_ / 8] >> (7 - bit_ % 8)) & 1u;
    ++bit_;
    return b;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (overrun_ || ++zeros > 31) {
        overrun_ = true;
        return 0;
      }
    }
    return ((1u << zeros) - 1) + Bits(zeros);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }
  void Skip(int n) {
    for (int i = 0; i < n; ++i) Bit();
  }
  bool overrun() const { return overrun_; }

 private:
  const std::vector<uint8_t>& d_;
  size_t bit_ = 0;
  bool overrun_ = false;
};

inline std::vector<uint8_t> NalToRbsp(const uint8_t* nal, size_t size, size_t header_bytes) {
  std::vector<uint8_t> out;
  out.reserve(size);
  int zeros = 0;
  for (size_t i = header_bytes; i < size; ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    out.push_back(nal[i]);
  }
  return out;
}

struct PictureSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

namespace detail {

inline void SkipH264ScalingList(BitReader& br, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) next = (last + br.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

// Crop units in luma samples for a chroma format (ChromaArrayType 0 counts 1).
inline void ChromaSubsampling(uint32_t chroma_array_type, uint32_t* sub_w, uint32_t* sub_h) {
  *sub_w = (chroma_array_type == 1 || chroma_array_type == 2) ? 2 : 1;
  *sub_h = chroma_array_type == 1 ? 2 : 1;
}

// Reads a cropping window (flag, then left, right, top, bottom) and applies
// it to the coded size: crop units are chroma samples, times `field_factor`
// vertically for field-coded H.264.
inline bool ApplyCropWindow(BitReader& br, uint64_t w, uint64_t h, uint32_t chroma_array_type,
                            uint32_t field_factor, PictureSize* out) {
  uint32_t crop_l = 0, crop_r = 0, crop_t = 0, crop_b = 0;
  if (br.Bit()) {
    crop_l = br.Ue();
    crop_r = br.Ue();
    crop_t = br.Ue();
    crop_b = br.Ue();
  }
  if (br.overrun()) return false;
  uint32_t sub_w = 1, sub_h = 1;
  ChromaSubsampling(chroma_array_type, &sub_w, &sub_h);
  const uint64_t cw = uint64_t{sub_w} * (uint64_t{crop_l} + crop_r);
  const uint64_t ch = uint64_t{sub_h} * field_factor * (uint64_t{crop_t} + crop_b);
  if (cw >= w || ch >= h) return false;
  out->width = static_cast<uint32_t>(w - cw);
  out->height = static_cast<uint32_t>(h - ch);
  return true;
}

inline bool H264Size(const std::vector<uint8_t>& sps, PictureSize* out) {
  const std::vector<uint8_t> rbsp = NalToRbsp(sps.data(), sps.size(), 1);
  BitReader br(rbsp);
  const uint32_t profile = br.Bits(8);
  br.Skip(16);  // constraint flags, level
  br.Ue();      // seq_parameter_set_id
  uint32_t chroma_format = 1;
  bool separate_planes = false;
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
      chroma_format = br.Ue();
      if (chroma_format == 3) separate_planes = br.Bit() != 0;
      br.Ue();  // bit depths
      br.Ue();
      br.Skip(1);
      if (br.Bit()) {
        for (int i = 0; i < (chroma_format == 3 ? 12 : 8); ++i) {
          if (br.Bit()) SkipH264ScalingList(br, i < 6 ? 16 : 64);
        }
      }
      break;
    default:
      break;
  }
  br.Ue();  // log2_max_frame_num_minus4
  const uint32_t poc_type = br.Ue();
  if (poc_type == 0) {
    br.Ue();
  } else if (poc_type == 1) {
    br.Skip(1);
    br.Se();
    br.Se();
    const uint32_t cycle = br.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) br.Se();
  }
  br.Ue();      // max_num_ref_frames
  br.Skip(1);   // gaps_in_frame_num_value_allowed_flag
  const uint32_t mbs_w = br.Ue() + 1;
  const uint32_t map_units_h = br.Ue() + 1;
  const uint32_t frame_mbs_only = br.Bit();
  if (!frame_mbs_only) br.Skip(1);
  br.Skip(1);  // direct_8x8_inference_flag
  const uint64_t w = uint64_t{mbs_w} * 16;
  const uint64_t h = uint64_t{map_units_h} * 16 * (2 - frame_mbs_only);
  return ApplyCropWindow(br, w, h, separate_planes ? 0 : chroma_format, 2 - frame_mbs_only, out);
}

inline bool HevcSize(const std::vector<uint8_t>& sps, PictureSize* out) {
  const std::vector<uint8_t> rbsp = NalToRbsp(sps.data(), sps.size(), 2);
  BitReader br(rbsp);
  br.Skip(4);  // sps_video_parameter_set_id
  const uint32_t sub_layers = br.Bits(3);  // sps_max_sub_layers_minus1
  br.Skip(1);
  // profile_tier_level: the general part is 88 bits of profile and 8 of level.
  br.Skip(96);
  std::vector<bool> profile_present(sub_layers), level_present(sub_layers);
  for (uint32_t i = 0; i < sub_layers; ++i) {
    profile_present[i] = br.Bit() != 0;
    level_present[i] = br.Bit() != 0;
  }
  if (sub_layers > 0) br.Skip(2 * static_cast<int>(8 - sub_layers));
  for (uint32_t i = 0; i < sub_layers; ++i) {
    if (profile_present[i]) br.Skip(88);
    if (level_present[i]) br.Skip(8);
  }
  br.Ue();  // sps_seq_parameter_set_id
  const uint32_t chroma_format = br.Ue();
  bool separate_planes = false;
  if (chroma_format == 3) separate_planes = br.Bit() != 0;
  const uint32_t w = br.Ue();
  const uint32_t h = br.Ue();
  return ApplyCropWindow(br, w, h, separate_planes ? 0 : chroma_format, 1, out);
}

}  // namespace detail

// The SPS is the NAL unit without start code, header byte(s) included.
inline bool PictureSizeFromSps(VideoCodec codec, const std::vector<uint8_t>& sps, PictureSize* out) {
  if (sps.empty()) return false;
  return codec == VideoCodec::kH264 ? detail::H264Size(sps, out) : detail::HevcSize(sps, out);
}

}  // namespace bvtool
