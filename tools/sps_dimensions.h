// Picture size and frame rate from an H.264 or HEVC sequence parameter set:
// the track description needs width and height, and a raw stream states them
// only here; the frame rate is in the SPS's VUI timing information when the
// encoder wrote it (x264 and x265 do).
#pragma once

#include <algorithm>
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

// Frames per second as num/den; 0/0 when the SPS carries no timing.
struct FrameRate {
  uint32_t num = 0;
  uint32_t den = 0;
};

struct SpsInfo {
  PictureSize size;
  FrameRate rate;
};

namespace detail {

inline void SkipH264ScalingList(BitReader& br, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size; ++j) {
    // delta_scale is -128..127 in a valid stream; a damaged one may hold any
    // 32-bit value, so the sum is taken wide.
    if (next != 0) next = static_cast<int>(((int64_t{last} + br.Se()) % 256 + 256) % 256);
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

// Skips the VUI fields in front of the timing information, which both
// codecs share: aspect ratio, overscan, video signal type, chroma location.
inline void SkipVuiUpToChromaLoc(BitReader& br) {
  if (br.Bit() && br.Bits(8) == 255) br.Skip(32);  // aspect_ratio_idc, Extended_SAR
  if (br.Bit()) br.Skip(1);                        // overscan_appropriate_flag
  if (br.Bit()) {                                  // video_signal_type_present_flag
    br.Skip(4);                                    // video_format, full range
    if (br.Bit()) br.Skip(24);                     // colour description
  }
  if (br.Bit()) {  // chroma_loc_info_present_flag
    br.Ue();
    br.Ue();
  }
}

// A rate of ticks/units_per_frame frames per second, reduced; rejected
// (left 0/0) outside 1/1000 .. 1000 fps, which no stream means.
inline void SetRate(uint64_t ticks, uint64_t units_per_frame, FrameRate* out) {
  if (ticks == 0 || units_per_frame == 0) return;
  uint64_t a = ticks, b = units_per_frame;
  while (b != 0) {
    const uint64_t t = a % b;
    a = b;
    b = t;
  }
  const uint64_t num = ticks / a, den = units_per_frame / a;
  if (num > 1000 * den || num * 1000 < den || num > UINT32_MAX || den > UINT32_MAX) return;
  out->num = static_cast<uint32_t>(num);
  out->den = static_cast<uint32_t>(den);
}

// The timing fields: num_units_in_tick and time_scale. H.264 counts a field
// per tick (two ticks a frame), HEVC a picture.
inline void ReadVuiTiming(BitReader& br, uint32_t ticks_per_frame, FrameRate* out) {
  const uint32_t units = br.Bits(32);
  const uint32_t scale = br.Bits(32);
  if (!br.overrun()) SetRate(scale, uint64_t{units} * ticks_per_frame, out);
}

inline bool H264Sps(const std::vector<uint8_t>& sps, SpsInfo* out) {
  PictureSize* size = &out->size;
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
  if (!ApplyCropWindow(br, w, h, separate_planes ? 0 : chroma_format, 2 - frame_mbs_only, size)) return false;
  if (br.Bit()) {  // vui_parameters_present_flag
    SkipVuiUpToChromaLoc(br);
    if (br.Bit()) ReadVuiTiming(br, 2, &out->rate);
  }
  return true;
}

inline void SkipHevcScalingLists(BitReader& br) {
  for (int size_id = 0; size_id < 4; ++size_id) {
    for (int matrix = 0; matrix < 6; matrix += size_id == 3 ? 3 : 1) {
      if (!br.Bit()) {
        br.Ue();  // scaling_list_pred_matrix_id_delta
        continue;
      }
      const int coefs = std::min(64, 1 << (4 + (size_id << 1)));
      if (size_id > 1) br.Se();
      for (int i = 0; i < coefs; ++i) br.Se();
    }
  }
}

// Skips the short-term reference picture sets of an SPS; false when they
// cannot be right (counts past the limits HEVC sets).
inline bool SkipHevcShortTermRefSets(BitReader& br, uint32_t count) {
  if (count > 64) return false;
  std::vector<uint32_t> delta_pocs(count, 0);
  for (uint32_t i = 0; i < count; ++i) {
    if (i != 0 && br.Bit()) {  // inter_ref_pic_set_prediction_flag
      br.Skip(1);              // delta_rps_sign
      br.Ue();                 // abs_delta_rps_minus1
      uint32_t n = 0;
      for (uint32_t j = 0; j <= delta_pocs[i - 1]; ++j) {
        const bool used = br.Bit() != 0;
        if (used || br.Bit()) ++n;  // use_delta_flag when not used
      }
      delta_pocs[i] = n;
    } else {
      const uint32_t neg = br.Ue();
      const uint32_t pos = br.Ue();
      if (neg > 16 || pos > 16) return false;
      for (uint32_t j = 0; j < neg + pos; ++j) {
        br.Ue();
        br.Skip(1);
      }
      delta_pocs[i] = neg + pos;
    }
    if (br.overrun()) return false;
  }
  return true;
}

// Moves an HEVC SPS reader (RBSP, past the NAL header) from the start to
// sps_seq_parameter_set_id: the VPS id, the sub-layer count and the
// profile_tier_level, whose size depends on that count. Returns
// sps_max_sub_layers_minus1.
inline uint32_t SkipHevcSpsHead(BitReader& br) {
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
  return sub_layers;
}

inline bool HevcSps(const std::vector<uint8_t>& sps, SpsInfo* out) {
  const std::vector<uint8_t> rbsp = NalToRbsp(sps.data(), sps.size(), 2);
  BitReader br(rbsp);
  const uint32_t sub_layers = SkipHevcSpsHead(br);
  br.Ue();  // sps_seq_parameter_set_id
  const uint32_t chroma_format = br.Ue();
  bool separate_planes = false;
  if (chroma_format == 3) separate_planes = br.Bit() != 0;
  const uint32_t w = br.Ue();
  const uint32_t h = br.Ue();
  if (!ApplyCropWindow(br, w, h, separate_planes ? 0 : chroma_format, 1, &out->size)) return false;
  // The rest only leads to the VUI: a failure there leaves the rate unknown,
  // the size stands.
  br.Ue();  // bit_depth_luma_minus8
  br.Ue();  // bit_depth_chroma_minus8
  const uint32_t poc_lsb_bits = br.Ue() + 4;
  const bool ordering_for_all = br.Bit() != 0;
  for (uint32_t i = ordering_for_all ? 0 : sub_layers; i <= sub_layers; ++i) {
    br.Ue();
    br.Ue();
    br.Ue();
  }
  for (int i = 0; i < 6; ++i) br.Ue();  // coding and transform block sizes, depths
  if (br.Bit() && br.Bit()) SkipHevcScalingLists(br);  // enabled, data present
  br.Skip(2);                                        // amp, sample_adaptive_offset
  if (br.Bit()) {                                    // pcm_enabled_flag
    br.Skip(8);
    br.Ue();
    br.Ue();
    br.Skip(1);
  }
  if (!SkipHevcShortTermRefSets(br, br.Ue())) return true;
  if (br.Bit()) {  // long_term_ref_pics_present_flag
    const uint32_t n = br.Ue();
    if (n > 32 || poc_lsb_bits > 16) return true;
    for (uint32_t i = 0; i < n; ++i) br.Skip(static_cast<int>(poc_lsb_bits) + 1);
  }
  br.Skip(2);  // temporal_mvp, strong_intra_smoothing
  if (br.Bit()) {  // vui_parameters_present_flag
    SkipVuiUpToChromaLoc(br);
    br.Skip(3);    // neutral_chroma, field_seq, frame_field_info
    if (br.Bit()) {  // default display window
      for (int i = 0; i < 4; ++i) br.Ue();
    }
    if (br.Bit()) ReadVuiTiming(br, 1, &out->rate);
  }
  return true;
}

}  // namespace detail

// The SPS is the NAL unit without start code, header byte(s) included. False
// when the picture size cannot be read; the rate stays 0/0 when the SPS has
// no (usable) timing.
inline bool ReadSps(VideoCodec codec, const std::vector<uint8_t>& sps, SpsInfo* out) {
  *out = SpsInfo{};
  if (sps.empty()) return false;
  const bool ok = codec == VideoCodec::kH264 ? detail::H264Sps(sps, out) : detail::HevcSps(sps, out);
  if (!ok) out->rate = FrameRate{};
  return ok;
}

inline bool PictureSizeFromSps(VideoCodec codec, const std::vector<uint8_t>& sps, PictureSize* out) {
  SpsInfo info;
  if (!ReadSps(codec, sps, &info)) return false;
  *out = info.size;
  return true;
}

}  // namespace bvtool
