// Presentation order of a raw H.264 or HEVC stream from its picture order
// counts: a stream with B-frames lists its pictures in decode order, and a
// raw stream carries no times, so the tool derives each picture's
// presentation slot from the slice headers.
//
// H.264: picture order count types 0, 1 and 2, reset at every IDR and at a
// picture whose reference marking holds memory_management_control_operation
// 5: every earlier picture is presented before it, and it counts from 0 for
// the pictures after it.
// HEVC: slice_pic_order_cnt_lsb with its most significant part carried from
// the previous temporal-layer-0 picture, reset at IDR and BLA pictures and at
// a CRA that starts the stream.
//
// Pictures that a decoder does not output keep the slot their count gives
// them, as FFmpeg keeps such packets with their times when it muxes them:
// the RASL pictures of a CRA that starts the stream then fall before the
// first picture's presentation time, outside the edit list, and HEVC
// pictures with pic_output_flag 0 hold their place in the presentation
// order. No picture is dropped.
//
// Pictures whose slice header cannot be read keep their decode slot. Every
// count is held within +-2^62, whatever the bytes say.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "annexb_reader.h"
#include "byte_source.h"
#include "sps_dimensions.h"

namespace bvtool {

class PictureOrder {
 public:
  explicit PictureOrder(VideoCodec codec) : codec_(codec) {}

  // One access unit (NAL units behind 00 00 00 01) in decode order.
  void Add(const std::vector<uint8_t>& au) {
    int64_t poc = last_poc_ + 1;
    bool reset = pocs_.empty();
    size_t i = 0;
    bool done = false;
    while (i + 4 <= au.size() && !done) {
      const size_t start = i + 4;
      size_t end = start;
      while (end + 4 <= au.size() && !(au[end] == 0 && au[end + 1] == 0 && au[end + 2] == 0 && au[end + 3] == 1)) {
        ++end;
      }
      if (end + 4 > au.size()) end = au.size();
      const uint8_t* nal = au.data() + start;
      const size_t size = end - start;
      i = end;
      if (size < 3) continue;
      if (codec_ == VideoCodec::kH264) {
        const int type = nal[0] & 0x1F;
        if (type == 7) ReadH264Sps(nal, size);
        if (type == 8) ReadH264Pps(nal, size);
        if (type == 1 || type == 5) done = H264Slice(nal, size, &poc, &reset);
      } else {
        const int type = (nal[0] >> 1) & 0x3F;
        if (type == 33) ReadHevcSps(nal, size);
        if (type == 34) ReadHevcPps(nal, size);
        if (type < 32) done = HevcSlice(nal, size, &poc, &reset);
      }
    }
    if (reset && !pocs_.empty()) segments_.push_back(pocs_.size());
    pocs_.push_back(poc);
    last_poc_ = poc;
  }

  // The presentation slot of every picture added, in decode order, and the
  // reorder depth: the most a picture is presented before its decode slot
  // (0 for a stream without reordering).
  std::vector<uint64_t> Slots(uint64_t* delay) const {
    std::vector<uint64_t> slots(pocs_.size());
    std::vector<size_t> bounds = segments_;
    bounds.insert(bounds.begin(), 0);
    bounds.push_back(pocs_.size());
    int64_t depth = 0;
    for (size_t s = 0; s + 1 < bounds.size(); ++s) {
      std::vector<size_t> order;
      for (size_t k = bounds[s]; k < bounds[s + 1]; ++k) order.push_back(k);
      std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return pocs_[a] < pocs_[b]; });
      for (size_t r = 0; r < order.size(); ++r) {
        const size_t k = order[r];
        slots[k] = bounds[s] + r;
        depth = std::max(depth, static_cast<int64_t>(k) - static_cast<int64_t>(slots[k]));
      }
    }
    *delay = static_cast<uint64_t>(depth);
    return slots;
  }

 private:
  struct H264Sps {
    bool valid = false;
    bool separate_planes = false;
    uint32_t chroma_array_type = 1;
    uint32_t log2_max_frame_num = 4;
    uint32_t poc_type = 0;
    uint32_t log2_max_poc_lsb = 4;
    bool delta_always_zero = false;
    int32_t offset_non_ref = 0;
    int32_t offset_top_bottom = 0;
    std::vector<int32_t> cycle;
    bool frame_mbs_only = true;
  };
  struct H264Pps {
    bool valid = false;
    uint32_t sps = 0;
    bool bottom_poc_present = false;
    // What the slice header needs to reach the reference marking; false
    // when slice groups make it unreadable here.
    bool marking_readable = false;
    uint32_t ref_idx_l0 = 0;  // num_ref_idx_l*_default_active_minus1
    uint32_t ref_idx_l1 = 0;
    bool weighted_pred = false;
    uint32_t weighted_bipred_idc = 0;
    bool redundant_pic_cnt_present = false;
  };
  struct HevcSps {
    bool valid = false;
    bool separate_planes = false;
    uint32_t log2_max_poc_lsb = 4;
  };
  struct HevcPps {
    bool valid = false;
    uint32_t sps = 0;
    bool output_flag_present = false;
    uint32_t extra_bits = 0;
  };

  void ReadH264Sps(const uint8_t* nal, size_t size) {
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, size, 1);
    BitReader br(rbsp);
    const uint32_t profile = br.Bits(8);
    br.Skip(16);
    const uint32_t id = br.Ue();
    if (id >= h264_sps_.size()) return;
    H264Sps s;
    switch (profile) {
      case 100: case 110: case 122: case 244: case 44: case 83:
      case 86: case 118: case 128: case 138: case 139: case 134: case 135: {
        const uint32_t chroma = br.Ue();
        if (chroma == 3) s.separate_planes = br.Bit() != 0;
        s.chroma_array_type = s.separate_planes ? 0 : chroma;
        br.Ue();
        br.Ue();
        br.Skip(1);
        if (br.Bit()) {
          for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i) {
            if (br.Bit()) detail::SkipH264ScalingList(br, i < 6 ? 16 : 64);
          }
        }
        break;
      }
      default:
        break;
    }
    s.log2_max_frame_num = br.Ue() + 4;
    s.poc_type = br.Ue();
    if (s.poc_type == 0) {
      s.log2_max_poc_lsb = br.Ue() + 4;
    } else if (s.poc_type == 1) {
      s.delta_always_zero = br.Bit() != 0;
      s.offset_non_ref = br.Se();
      s.offset_top_bottom = br.Se();
      const uint32_t n = br.Ue();
      if (n > 255) return;
      for (uint32_t i = 0; i < n; ++i) s.cycle.push_back(br.Se());
    }
    br.Ue();
    br.Skip(1);
    br.Ue();
    br.Ue();
    s.frame_mbs_only = br.Bit() != 0;
    if (br.overrun() || s.poc_type > 2 || s.log2_max_frame_num > 16 || s.log2_max_poc_lsb > 16) return;
    s.valid = true;
    h264_sps_[id] = s;
  }

  void ReadH264Pps(const uint8_t* nal, size_t size) {
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, size, 1);
    BitReader br(rbsp);
    const uint32_t id = br.Ue();
    H264Pps p;
    p.sps = br.Ue();
    br.Skip(1);  // entropy_coding_mode_flag
    p.bottom_poc_present = br.Bit() != 0;
    if (br.overrun() || id >= h264_pps_.size() || p.sps >= h264_sps_.size()) return;
    if (br.Ue() == 0) {  // num_slice_groups_minus1
      p.ref_idx_l0 = br.Ue();
      p.ref_idx_l1 = br.Ue();
      p.weighted_pred = br.Bit() != 0;
      p.weighted_bipred_idc = br.Bits(2);
      br.Se();  // pic_init_qp_minus26
      br.Se();  // pic_init_qs_minus26
      br.Se();  // chroma_qp_index_offset
      br.Skip(2);  // deblocking_filter_control_present_flag, constrained_intra_pred_flag
      p.redundant_pic_cnt_present = br.Bit() != 0;
      p.marking_readable = !br.overrun() && p.ref_idx_l0 < 32 && p.ref_idx_l1 < 32;
    }
    p.valid = true;
    h264_pps_[id] = p;
  }

  // True when the picture's order count was read.
  bool H264Slice(const uint8_t* nal, size_t size, int64_t* poc, bool* reset) {
    const bool idr = (nal[0] & 0x1F) == 5;
    const bool ref = (nal[0] & 0x60) != 0;
    // The header up to the reference marking fits in a few hundred bytes.
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, std::min<size_t>(size, 512), 1);
    BitReader br(rbsp);
    br.Ue();  // first_mb_in_slice
    const uint32_t slice_type = br.Ue() % 5;
    const uint32_t pps_id = br.Ue();
    if (pps_id >= h264_pps_.size() || !h264_pps_[pps_id].valid) return false;
    const H264Pps& p = h264_pps_[pps_id];
    const H264Sps& s = h264_sps_[p.sps];
    if (!s.valid) return false;
    if (s.separate_planes) br.Skip(2);
    const uint32_t frame_num = br.Bits(static_cast<int>(s.log2_max_frame_num));
    bool field = false, bottom_field = false;
    if (!s.frame_mbs_only) {
      field = br.Bit() != 0;
      if (field) bottom_field = br.Bit() != 0;
    }
    if (idr) br.Ue();
    uint32_t lsb = 0;
    int32_t delta_bottom = 0, delta0 = 0, delta1 = 0;
    if (s.poc_type == 0) {
      lsb = br.Bits(static_cast<int>(s.log2_max_poc_lsb));
      if (p.bottom_poc_present && !field) delta_bottom = br.Se();
    } else if (s.poc_type == 1 && !s.delta_always_zero) {
      delta0 = br.Se();
      if (p.bottom_poc_present && !field) delta1 = br.Se();
    }
    if (br.overrun()) return false;
    const bool mmco5 = ref && !idr && p.marking_readable && MarksMmco5(br, s, p, slice_type);
    if (idr) {
      *reset = true;
      prev_msb_ = 0;
      prev_lsb_ = 0;
      prev_frame_num_offset_ = 0;
      prev_frame_num_ = 0;
    }
    const int64_t max_frame_num = int64_t{1} << s.log2_max_frame_num;
    int64_t frame_num_offset = 0;
    if (!idr) {
      frame_num_offset = prev_frame_num_offset_ + (prev_frame_num_ > frame_num ? max_frame_num : 0);
    }
    int64_t top = 0, bottom = 0;
    if (s.poc_type == 0) {
      const int64_t max_lsb = int64_t{1} << s.log2_max_poc_lsb;
      int64_t msb = prev_msb_;
      if (lsb < prev_lsb_ && prev_lsb_ - lsb >= max_lsb / 2) msb += max_lsb;
      if (lsb > prev_lsb_ && lsb - prev_lsb_ > max_lsb / 2) msb -= max_lsb;
      top = Sat(msb + lsb);
      bottom = Sat(top + delta_bottom);
      if (ref) {
        prev_msb_ = msb;
        prev_lsb_ = lsb;
      }
    } else if (s.poc_type == 1) {
      const int64_t n = static_cast<int64_t>(s.cycle.size());
      int64_t abs_frame_num = n != 0 ? frame_num_offset + frame_num : 0;
      if (!ref && abs_frame_num > 0) --abs_frame_num;
      int64_t expected = 0;
      if (abs_frame_num > 0) {
        int64_t per_cycle = 0;
        for (int32_t d : s.cycle) per_cycle += d;
        expected = Sat(SatMul((abs_frame_num - 1) / n, per_cycle));
        for (int64_t k = 0; k <= (abs_frame_num - 1) % n; ++k) expected += s.cycle[static_cast<size_t>(k)];
      }
      if (!ref) expected += s.offset_non_ref;
      top = Sat(expected + delta0);
      bottom = Sat(top + s.offset_top_bottom + delta1);
    } else {
      top = idr ? 0 : Sat(2 * (frame_num_offset + frame_num) - (ref ? 0 : 1));
      bottom = top;
    }
    prev_frame_num_offset_ = frame_num_offset;
    prev_frame_num_ = frame_num;
    *poc = std::min(top, bottom);
    if (mmco5) {
      // Counted from 0 once decoded; the pictures after it follow from there
      // and all earlier ones are presented before it.
      *reset = true;
      *poc = 0;
      prev_msb_ = 0;
      const uint64_t above = static_cast<uint64_t>(top) - static_cast<uint64_t>(std::min(top, bottom));
      prev_lsb_ = bottom_field ? 0 : static_cast<uint32_t>(std::min<uint64_t>(above, 0xFFFF));
      prev_frame_num_offset_ = 0;
      prev_frame_num_ = 0;
    }
    return true;
  }

  // Reads on from the order count fields to the reference marking of a
  // reference slice; true when it holds operation 5.
  static bool MarksMmco5(BitReader& br, const H264Sps& s, const H264Pps& p, uint32_t slice_type) {
    if (p.redundant_pic_cnt_present) br.Ue();
    const bool b = slice_type == 1, p_or_sp = slice_type == 0 || slice_type == 3;
    const int lists = b ? 2 : p_or_sp ? 1 : 0;
    if (b) br.Skip(1);  // direct_spatial_mv_pred_flag
    uint32_t active[2] = {p.ref_idx_l0, p.ref_idx_l1};
    if (lists > 0 && br.Bit()) {  // num_ref_idx_active_override_flag
      active[0] = br.Ue();
      if (b) active[1] = br.Ue();
    }
    if (active[0] > 31 || active[1] > 31) return false;
    for (int list = 0; list < lists; ++list) {
      if (!br.Bit()) continue;  // ref_pic_list_modification_flag_l*
      for (int n = 0; n < 64 && !br.overrun(); ++n) {
        if (br.Ue() == 3) break;
        br.Ue();
      }
    }
    if ((p.weighted_pred && p_or_sp) || (p.weighted_bipred_idc == 1 && b)) {
      br.Ue();  // luma_log2_weight_denom
      if (s.chroma_array_type != 0) br.Ue();
      for (int list = 0; list < lists; ++list) {
        for (uint32_t i = 0; i <= active[list] && !br.overrun(); ++i) {
          if (br.Bit()) {
            br.Se();
            br.Se();
          }
          if (s.chroma_array_type != 0 && br.Bit()) {
            for (int k = 0; k < 4; ++k) br.Se();
          }
        }
      }
    }
    if (!br.Bit()) return false;  // adaptive_ref_pic_marking_mode_flag
    for (int n = 0; n < 64 && !br.overrun(); ++n) {
      const uint32_t op = br.Ue();
      if (op == 0 || br.overrun()) return false;
      if (op == 5) return true;
      if (op == 1 || op == 3) br.Ue();  // difference_of_pic_nums_minus1
      if (op == 2) br.Ue();             // long_term_pic_num
      if (op == 3 || op == 6) br.Ue();  // long_term_frame_idx
      if (op == 4) br.Ue();             // max_long_term_frame_idx_plus1
    }
    return false;
  }

  // Counts are kept within +-2^62 so that no sum of two overflows.
  static int64_t Sat(int64_t v) {
    constexpr int64_t kLimit = int64_t{1} << 62;
    return v > kLimit ? kLimit : v < -kLimit ? -kLimit : v;
  }
  static int64_t SatMul(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? INT64_MIN / 2 : INT64_MAX / 2;
    return r;
  }

  void ReadHevcSps(const uint8_t* nal, size_t size) {
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, size, 2);
    BitReader br(rbsp);
    detail::SkipHevcSpsHead(br);
    const uint32_t id = br.Ue();
    HevcSps s;
    const uint32_t chroma = br.Ue();
    if (chroma == 3) s.separate_planes = br.Bit() != 0;
    br.Ue();
    br.Ue();
    if (br.Bit()) {
      br.Ue();
      br.Ue();
      br.Ue();
      br.Ue();
    }
    br.Ue();  // bit depths
    br.Ue();
    s.log2_max_poc_lsb = br.Ue() + 4;
    if (br.overrun() || id >= hevc_sps_.size() || s.log2_max_poc_lsb > 16) return;
    s.valid = true;
    hevc_sps_[id] = s;
  }

  void ReadHevcPps(const uint8_t* nal, size_t size) {
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, size, 2);
    BitReader br(rbsp);
    const uint32_t id = br.Ue();
    HevcPps p;
    p.sps = br.Ue();
    br.Skip(1);  // dependent_slice_segments_enabled_flag
    p.output_flag_present = br.Bit() != 0;
    p.extra_bits = br.Bits(3);
    if (br.overrun() || id >= hevc_pps_.size() || p.sps >= hevc_sps_.size()) return;
    p.valid = true;
    hevc_pps_[id] = p;
  }

  bool HevcSlice(const uint8_t* nal, size_t size, int64_t* poc, bool* reset) {
    const int type = (nal[0] >> 1) & 0x3F;
    const uint32_t temporal_id = (nal[1] & 7u) - 1u;
    const std::vector<uint8_t> rbsp = NalToRbsp(nal, std::min<size_t>(size, 64), 2);
    BitReader br(rbsp);
    if (!br.Bit()) return false;  // not the first slice segment of the picture
    const bool irap = type >= 16 && type <= 23;
    if (irap) br.Skip(1);
    const uint32_t pps_id = br.Ue();
    if (pps_id >= hevc_pps_.size() || !hevc_pps_[pps_id].valid) return false;
    const HevcPps& p = hevc_pps_[pps_id];
    const HevcSps& s = hevc_sps_[p.sps];
    if (!s.valid) return false;
    br.Skip(static_cast<int>(p.extra_bits));
    br.Ue();  // slice_type
    if (p.output_flag_present) br.Skip(1);
    if (s.separate_planes) br.Skip(2);
    const bool idr = type == 19 || type == 20;
    const uint32_t lsb = idr ? 0 : br.Bits(static_cast<int>(s.log2_max_poc_lsb));
    if (br.overrun()) return false;
    // IDR, BLA, and a CRA that opens the stream start a new count.
    const bool restart = idr || (type >= 16 && type <= 18) || (type == 21 && pocs_.empty());
    const int64_t max_lsb = int64_t{1} << s.log2_max_poc_lsb;
    int64_t msb = 0;
    if (!restart) {
      msb = hevc_prev_msb_;
      if (lsb < hevc_prev_lsb_ && hevc_prev_lsb_ - lsb >= max_lsb / 2) msb += max_lsb;
      if (lsb > hevc_prev_lsb_ && lsb - hevc_prev_lsb_ > max_lsb / 2) msb -= max_lsb;
    } else {
      *reset = true;
    }
    // Only temporal-layer-0 pictures that are neither leading nor
    // sub-layer non-reference pictures carry the count forward.
    const bool sub_layer_non_ref = type <= 14 && (type % 2) == 0;
    const bool leading = type >= 6 && type <= 9;
    if (temporal_id == 0 && !sub_layer_non_ref && !leading) {
      hevc_prev_msb_ = msb;
      hevc_prev_lsb_ = lsb;
    }
    *poc = msb + lsb;
    return true;
  }

  VideoCodec codec_;
  std::vector<int64_t> pocs_;
  std::vector<size_t> segments_;  // decode index of each picture that restarts the count
  int64_t last_poc_ = -1;
  std::array<H264Sps, 32> h264_sps_{};
  std::array<H264Pps, 256> h264_pps_{};
  std::array<HevcSps, 16> hevc_sps_{};
  std::array<HevcPps, 64> hevc_pps_{};
  int64_t prev_msb_ = 0;
  uint32_t prev_lsb_ = 0;
  int64_t prev_frame_num_offset_ = 0;
  uint32_t prev_frame_num_ = 0;
  int64_t hevc_prev_msb_ = 0;
  uint32_t hevc_prev_lsb_ = 0;
};

// The presentation slots of every access unit of a raw stream, read in a
// pass of its own; empty (and *delay 0) when the file cannot be read.
inline std::vector<uint64_t> PresentationSlots(const std::string& path, VideoCodec codec, uint64_t* delay) {
  *delay = 0;
  FileSource src(path);
  if (!src.ok()) return {};
  AccessUnitReader reader(src, codec);
  PictureOrder order(codec);
  AccessUnit au;
  while (reader.Next(au)) order.Add(au.data);
  return order.Slots(delay);
}

}  // namespace bvtool
