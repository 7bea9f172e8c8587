#include "HevcParameterSets.h"

#include <algorithm>

namespace bv {

// ---------------------------------------------------------------------------
// Bit reader

uint32_t CBitReader::ReadBit() { return static_cast<uint32_t>(ReadBits(1)); }

uint64_t CBitReader::ReadBits(unsigned n) {
  if (n >= 64 || n > BitsLeft()) throw BitstreamOverrun();
  uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) {
    const uint8_t byte = m_data[m_pos >> 3];
    v = (v << 1) | ((byte >> (7 - (m_pos & 7))) & 1u);
    ++m_pos;
  }
  return v;
}

void CBitReader::SkipBits(uint64_t n) {
  if (n > BitsLeft()) throw BitstreamOverrun();
  m_pos += n;
}

uint32_t CBitReader::ReadUE() {
  unsigned zeros = 0;
  while (ReadBit() == 0) {
    if (++zeros >= 64) throw BitstreamOverrun();
  }
  const uint64_t bits = ReadBits(zeros);
  return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits);
}

int32_t CBitReader::ReadSE() {
  const int64_t k = ReadUE();
  return static_cast<int32_t>((k & 1) ? (k + 1) / 2 : -(k / 2));
}

std::vector<uint8_t> ExtractRbsp(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  const size_t head = std::min<size_t>(size, 2);
  out.insert(out.end(), data, data + head);
  size_t i = head;
  while (size - i >= 3) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 3) {
      out.push_back(0);
      out.push_back(0);
      i += 3;
    } else {
      out.push_back(data[i]);
      ++i;
    }
  }
  out.insert(out.end(), data + i, data + size);
  return out;
}

// ---------------------------------------------------------------------------
// Syntax walks

namespace {

constexpr uint8_t kNalVps = 32;
constexpr uint8_t kNalSps = 33;
constexpr uint8_t kNalPps = 34;

void ProfileTierLevel(CBitReader& br, HevcDecoderConfig& c, unsigned maxSubLayersMinus1) {
  const uint8_t profileSpace = static_cast<uint8_t>(br.ReadBits(2));
  const uint8_t tier = static_cast<uint8_t>(br.ReadBit());
  const uint8_t profileIdc = static_cast<uint8_t>(br.ReadBits(5));
  const uint32_t compat = static_cast<uint32_t>(br.ReadBits(32));
  const uint64_t constraints = br.ReadBits(48);
  const uint8_t level = static_cast<uint8_t>(br.ReadBits(8));

  // A higher tier restarts the level: levels of different tiers do not compare.
  c.general_profile_space = profileSpace;
  if (c.general_tier_flag < tier)
    c.general_level_idc = level;
  else
    c.general_level_idc = std::max(c.general_level_idc, level);
  c.general_tier_flag = std::max(c.general_tier_flag, tier);
  c.general_profile_idc = std::max(c.general_profile_idc, profileIdc);
  c.general_profile_compatibility_flags &= compat;
  c.general_constraint_indicator_flags &= constraints;

  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = br.ReadBit() != 0;
    levelPresent[i] = br.ReadBit() != 0;
  }
  if (maxSubLayersMinus1 > 0) br.SkipBits(2ull * (8 - maxSubLayersMinus1));
  for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) br.SkipBits(88);
    if (levelPresent[i]) br.SkipBits(8);
  }
}

void SkipHrdParameters(CBitReader& br, unsigned maxSubLayersMinus1) {
  const bool nal = br.ReadBit() != 0;
  const bool vcl = br.ReadBit() != 0;
  bool subPic = false;
  if (nal || vcl) {
    subPic = br.ReadBit() != 0;
    if (subPic) br.SkipBits(19);
    br.SkipBits(8);
    if (subPic) br.SkipBits(4);
    br.SkipBits(15);
  }
  for (unsigned i = 0; i <= maxSubLayersMinus1; ++i) {
    const bool fixedGeneral = br.ReadBit() != 0;
    const bool fixedWithinCvs = fixedGeneral ? true : br.ReadBit() != 0;
    bool lowDelay = false;
    if (fixedWithinCvs)
      br.ReadUE();
    else
      lowDelay = br.ReadBit() != 0;
    uint32_t cpbCntMinus1 = 0;
    if (!lowDelay) {
      cpbCntMinus1 = br.ReadUE();
      if (cpbCntMinus1 > 31) throw BitstreamOverrun();
    }
    for (int pass = 0; pass < 2; ++pass) {
      if (!(pass == 0 ? nal : vcl)) continue;
      for (uint32_t k = 0; k <= cpbCntMinus1; ++k) {
        br.ReadUE();
        br.ReadUE();
        if (subPic) {
          br.ReadUE();
          br.ReadUE();
        }
        br.SkipBits(1);
      }
    }
  }
}

void SkipVui(CBitReader& br, HevcDecoderConfig& c, unsigned maxSubLayersMinus1) {
  if (br.ReadBit()) {  // aspect_ratio_info_present_flag
    if (br.ReadBits(8) == 255) br.SkipBits(32);  // extended SAR
  }
  if (br.ReadBit()) br.SkipBits(1);  // overscan
  if (br.ReadBit()) {                // video_signal_type_present_flag
    br.SkipBits(4);
    if (br.ReadBit()) br.SkipBits(24);  // colour description
  }
  if (br.ReadBit()) {  // chroma_loc_info_present_flag
    br.ReadUE();
    br.ReadUE();
  }
  br.SkipBits(3);
  if (br.ReadBit()) {  // default_display_window_flag
    for (int i = 0; i < 4; ++i) br.ReadUE();
  }
  if (br.ReadBit()) {  // vui_timing_info_present_flag
    br.SkipBits(64);
    if (br.ReadBit()) br.ReadUE();
    if (br.ReadBit()) SkipHrdParameters(br, maxSubLayersMinus1);
  }
  if (br.ReadBit()) {  // bitstream_restriction_flag
    br.SkipBits(3);
    const uint32_t minSpatial = br.ReadUE();
    if (minSpatial < c.min_spatial_segmentation_idc) c.min_spatial_segmentation_idc = static_cast<uint16_t>(minSpatial);
    for (int i = 0; i < 4; ++i) br.ReadUE();
  }
}

void SkipScalingListData(CBitReader& br) {
  for (unsigned sizeId = 0; sizeId < 4; ++sizeId) {
    const unsigned matrices = sizeId == 3 ? 2 : 6;
    for (unsigned m = 0; m < matrices; ++m) {
      if (br.ReadBit() == 0) {
        br.ReadUE();  // scaling_list_pred_matrix_id_delta
      } else {
        const unsigned n = std::min(64u, 1u << (4 + 2 * sizeId));
        if (sizeId > 1) br.ReadSE();
        for (unsigned k = 0; k < n; ++k) br.ReadSE();
      }
    }
  }
}

void SkipShortTermRefPicSets(CBitReader& br) {
  const uint32_t count = br.ReadUE();
  if (count > 64) throw BitstreamOverrun();
  uint32_t numDeltaPocs[64] = {};
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0 && br.ReadBit()) {  // inter_ref_pic_set_prediction_flag, from set i - 1
      br.SkipBits(1);
      br.ReadUE();
      uint32_t n = 0;
      for (uint32_t k = 0; k <= numDeltaPocs[i - 1]; ++k) {
        const bool usedByCurr = br.ReadBit() != 0;
        const bool useDelta = usedByCurr ? false : br.ReadBit() != 0;
        if (usedByCurr || useDelta) ++n;
      }
      numDeltaPocs[i] = n;
    } else {
      const uint64_t negative = br.ReadUE();
      const uint64_t positive = br.ReadUE();
      // Every picture costs at least two bits: a huge count is a lie.
      if (2 * (negative + positive) > br.BitsLeft()) throw BitstreamOverrun();
      numDeltaPocs[i] = static_cast<uint32_t>(negative + positive);
      for (uint64_t k = 0; k < negative + positive; ++k) {
        br.ReadUE();
        br.SkipBits(1);
      }
    }
  }
}

}  // namespace

bool WalkHevcSpsToVui(CBitReader& br, HevcDecoderConfig& c, unsigned* maxSubLayers) {
  br.SkipBits(4);
  const unsigned maxSubLayersMinus1 = static_cast<unsigned>(br.ReadBits(3));
  c.numTemporalLayers = std::max<uint8_t>(c.numTemporalLayers, static_cast<uint8_t>(maxSubLayersMinus1 + 1));
  c.temporalIdNested = static_cast<uint8_t>(br.ReadBit());
  ProfileTierLevel(br, c, maxSubLayersMinus1);

  br.ReadUE();  // sps_seq_parameter_set_id
  c.chromaFormat = static_cast<uint8_t>(br.ReadUE());
  if (c.chromaFormat == 3) br.SkipBits(1);
  br.ReadUE();
  br.ReadUE();
  if (br.ReadBit()) {  // conformance window
    for (int i = 0; i < 4; ++i) br.ReadUE();
  }
  c.bitDepthLumaMinus8 = static_cast<uint8_t>(br.ReadUE());
  c.bitDepthChromaMinus8 = static_cast<uint8_t>(br.ReadUE());
  const uint32_t log2MaxPocLsbMinus4 = br.ReadUE();

  const bool orderingInfoAll = br.ReadBit() != 0;
  for (unsigned i = orderingInfoAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
    br.ReadUE();
    br.ReadUE();
    br.ReadUE();
  }
  for (int i = 0; i < 6; ++i) br.ReadUE();

  if (br.ReadBit()) {                      // scaling_list_enabled_flag
    if (br.ReadBit()) SkipScalingListData(br);  // sps_scaling_list_data_present_flag
  }
  br.SkipBits(2);
  if (br.ReadBit()) {  // pcm_enabled_flag
    br.SkipBits(8);
    br.ReadUE();
    br.ReadUE();
    br.SkipBits(1);
  }
  SkipShortTermRefPicSets(br);
  if (br.ReadBit()) {  // long_term_ref_pics_present_flag
    const uint32_t count = br.ReadUE();
    if (count > 31) throw BitstreamOverrun();
    const uint64_t lsbBits = std::min<uint64_t>(uint64_t{log2MaxPocLsbMinus4} + 4, 16);
    for (uint32_t i = 0; i < count; ++i) br.SkipBits(lsbBits + 1);
  }
  br.SkipBits(2);
  *maxSubLayers = maxSubLayersMinus1 + 1;
  return br.ReadBit() != 0;  // vui_parameters_present_flag
}

namespace {

void ParseSps(CBitReader& br, HevcDecoderConfig& c) {
  unsigned maxSubLayers = 0;
  if (WalkHevcSpsToVui(br, c, &maxSubLayers)) SkipVui(br, c, maxSubLayers - 1);
}

void ParsePps(CBitReader& br, HevcDecoderConfig& c) {
  br.ReadUE();
  br.ReadUE();
  br.SkipBits(7);
  br.ReadUE();
  br.ReadUE();
  br.ReadSE();
  br.SkipBits(2);
  if (br.ReadBit()) br.ReadUE();  // cu_qp_delta_enabled_flag
  br.ReadSE();
  br.ReadSE();
  br.SkipBits(4);
  const bool tiles = br.ReadBit() != 0;
  const bool entropySync = br.ReadBit() != 0;
  if (tiles && entropySync)
    c.parallelismType = 0;  // mixed
  else if (entropySync)
    c.parallelismType = 3;  // wavefront
  else if (tiles)
    c.parallelismType = 2;
  else
    c.parallelismType = 1;  // slice-based
}

}  // namespace

bool HevcDecoderConfig::AddNalUnit(const uint8_t* data, uint16_t size) {
  if (data == nullptr || size < 2) return false;
  try {
    const std::vector<uint8_t> rbsp = ExtractRbsp(data, size);
    CBitReader br(rbsp.data(), rbsp.size());
    br.SkipBits(1);
    const uint8_t type = static_cast<uint8_t>(br.ReadBits(6));
    if (type >= 41) return false;
    br.SkipBits(9);

    auto it = std::find_if(arrays.begin(), arrays.end(), [&](const HevcNalArray& a) { return a.NAL_unit_type == type; });
    if (it == arrays.end()) {
      HevcNalArray a;
      a.array_completeness = (type == kNalVps || type == kNalSps || type == kNalPps) ? 1 : 0;
      a.NAL_unit_type = type;
      arrays.push_back(std::move(a));
      it = arrays.end() - 1;
    }
    it->nalUnits.emplace_back(data, data + size);

    if (type == kNalVps) {
      br.SkipBits(12);
      const unsigned maxSubLayersMinus1 = static_cast<unsigned>(br.ReadBits(3));
      numTemporalLayers = std::max<uint8_t>(numTemporalLayers, static_cast<uint8_t>(maxSubLayersMinus1 + 1));
      br.SkipBits(17);
      ProfileTierLevel(br, *this, maxSubLayersMinus1);
    } else if (type == kNalSps) {
      ParseSps(br, *this);
    } else if (type == kNalPps) {
      ParsePps(br, *this);
    }
    return true;
  } catch (...) {
    // Overruns and allocation failures alike: the unit is unreadable.
    return false;
  }
}

void HevcDecoderConfig::Finalise() {
  if (min_spatial_segmentation_idc > 4096) min_spatial_segmentation_idc = 0;
  if (min_spatial_segmentation_idc == 0) parallelismType = 0;
}

uint32_t HevcDecoderConfig::RecordSize() const {
  uint32_t n = 23;
  for (const HevcNalArray& a : arrays) {
    n += 3;
    for (const std::vector<uint8_t>& u : a.nalUnits) n += 2 + static_cast<uint32_t>(u.size());
  }
  return n;
}

}  // namespace bv
