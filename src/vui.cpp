#include "vui.h"

#include <vector>

#include "HevcParameterSets.h"

namespace bv {

namespace {

// Sample aspect ratios of aspect_ratio_idc 1 to 16; 255 is Extended_SAR.
constexpr uint16_t kSarTable[17][2] = {{0, 0},   {1, 1},   {12, 11}, {10, 11}, {16, 11},  {40, 33},
                                       {24, 11}, {20, 11}, {32, 11}, {80, 33}, {18, 11},  {15, 11},
                                       {64, 33}, {160, 99}, {4, 3},  {3, 2},   {2, 1}};

// aspect_ratio_info, overscan_info and video_signal_type: the same syntax in
// both codecs' VUI.
VideoUsability ReadLeadingVui(CBitReader& br) {
  VideoUsability v;
  if (br.ReadBit()) {  // aspect_ratio_info_present_flag
    const uint32_t idc = static_cast<uint32_t>(br.ReadBits(8));
    if (idc == 255) {
      v.sarWidth = static_cast<uint32_t>(br.ReadBits(16));
      v.sarHeight = static_cast<uint32_t>(br.ReadBits(16));
    } else if (idc < 17) {
      v.sarWidth = kSarTable[idc][0];
      v.sarHeight = kSarTable[idc][1];
    }
  }
  if (br.ReadBit()) br.SkipBits(1);  // overscan_info_present_flag, overscan_appropriate_flag
  if (br.ReadBit()) {                // video_signal_type_present_flag
    br.SkipBits(3);                  // video_format
    v.fullRange = br.ReadBit() != 0;
    if (br.ReadBit()) {  // colour_description_present_flag
      v.colourDescription = true;
      v.colourPrimaries = static_cast<uint8_t>(br.ReadBits(8));
      v.transferCharacteristics = static_cast<uint8_t>(br.ReadBits(8));
      v.matrixCoefficients = static_cast<uint8_t>(br.ReadBits(8));
    }
  }
  return v;
}

void SkipH264ScalingList(CBitReader& br, unsigned size) {
  int32_t last = 8, next = 8;
  for (unsigned j = 0; j < size; ++j) {
    if (next != 0) {
      const int32_t delta = br.ReadSE();
      if (delta < -128 || delta > 127) throw BitstreamOverrun();
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool H264SpsToVui(CBitReader& br) {
  const uint32_t profile = static_cast<uint32_t>(br.ReadBits(8));
  br.SkipBits(16);  // constraint flags, level_idc
  br.ReadUE();      // seq_parameter_set_id
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138:
    case 139: case 134: case 135: {
      const uint32_t chroma = br.ReadUE();
      if (chroma == 3) br.SkipBits(1);  // separate_colour_plane_flag
      br.ReadUE();                      // bit depths
      br.ReadUE();
      br.SkipBits(1);      // qpprime_y_zero_transform_bypass_flag
      if (br.ReadBit()) {  // seq_scaling_matrix_present_flag
        const unsigned lists = chroma == 3 ? 12 : 8;
        for (unsigned i = 0; i < lists; ++i) {
          if (br.ReadBit()) SkipH264ScalingList(br, i < 6 ? 16 : 64);
        }
      }
      break;
    }
    default:
      break;
  }
  br.ReadUE();  // log2_max_frame_num_minus4
  const uint32_t pocType = br.ReadUE();
  if (pocType == 0) {
    br.ReadUE();
  } else if (pocType == 1) {
    br.SkipBits(1);
    br.ReadSE();
    br.ReadSE();
    const uint32_t cycle = br.ReadUE();
    if (cycle > 255) throw BitstreamOverrun();
    for (uint32_t i = 0; i < cycle; ++i) br.ReadSE();
  }
  br.ReadUE();     // max_num_ref_frames
  br.SkipBits(1);  // gaps_in_frame_num_value_allowed_flag
  br.ReadUE();     // pic_width_in_mbs_minus1
  br.ReadUE();     // pic_height_in_map_units_minus1
  if (br.ReadBit() == 0) br.SkipBits(1);  // frame_mbs_only_flag, mb_adaptive_frame_field_flag
  br.SkipBits(1);                         // direct_8x8_inference_flag
  if (br.ReadBit()) {                     // frame_cropping_flag
    for (int i = 0; i < 4; ++i) br.ReadUE();
  }
  return br.ReadBit() != 0;  // vui_parameters_present_flag
}

template <typename Walk>
bool ReadVui(const uint8_t* sps, size_t size, size_t headerBytes, Walk walk, VideoUsability* out) {
  *out = VideoUsability();
  if (sps == nullptr || size <= headerBytes) return false;
  const std::vector<uint8_t> rbsp = ExtractRbsp(sps, size);
  CBitReader br(rbsp.data() + headerBytes, rbsp.size() - headerBytes);
  try {
    if (walk(br)) *out = ReadLeadingVui(br);
    return true;
  } catch (const BitstreamOverrun&) {
    *out = VideoUsability();
    return false;
  }
}

}  // namespace

bool ReadH264Vui(const uint8_t* sps, size_t size, VideoUsability* out) {
  if (sps == nullptr || size < 1 || (sps[0] & 0x1F) != 7) {
    *out = VideoUsability();
    return false;
  }
  return ReadVui(sps, size, 1, H264SpsToVui, out);
}

bool ReadHevcVui(const uint8_t* sps, size_t size, VideoUsability* out) {
  if (sps == nullptr || size < 2 || ((sps[0] >> 1) & 0x3F) != 33) {
    *out = VideoUsability();
    return false;
  }
  return ReadVui(sps, size, 2,
                 [](CBitReader& br) {
                   HevcDecoderConfig scratch;
                   unsigned maxSubLayers = 0;
                   return WalkHevcSpsToVui(br, scratch, &maxSubLayers);
                 },
                 out);
}

}  // namespace bv
