// Reading HEVC parameter sets into the fields of an HEVC decoder
// configuration record: a bit reader with exp-Golomb codes, RBSP extraction,
// and walks of the VPS, SPS and PPS syntax only as far as the record needs.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace bv {

// Thrown by CBitReader when a read would pass the end of its data or asks for
// 64 bits or more at once. AddNalUnit catches it; it never leaves this module.
class BitstreamOverrun : public std::runtime_error {
 public:
  BitstreamOverrun() : std::runtime_error("bitstream overrun") {}
};

// MSB-first bit reader over a byte array it does not own. It never reads a
// byte outside [data, data + size).
class CBitReader {
 public:
  CBitReader(const uint8_t* data, size_t size) : m_data(data), m_sizeBits(static_cast<uint64_t>(size) * 8) {}

  uint32_t ReadBit();
  uint64_t ReadBits(unsigned n);  // n < 64
  void SkipBits(uint64_t n);
  uint32_t ReadUE();
  int32_t ReadSE();
  uint64_t BitsLeft() const { return m_sizeBits - m_pos; }

 private:
  const uint8_t* m_data;
  uint64_t m_sizeBits;
  uint64_t m_pos = 0;
};

// The RBSP of a NAL unit: its bytes without the emulation-prevention 03 of
// every 00 00 03 (the two header bytes are copied as they are).
std::vector<uint8_t> ExtractRbsp(const uint8_t* data, size_t size);

struct HevcNalArray {
  uint8_t array_completeness = 0;
  uint8_t NAL_unit_type = 0;
  // The NAL units unchanged (header and emulation prevention kept), each a
  // copy owned by the record.
  std::vector<std::vector<uint8_t>> nalUnits;
};

// The HEVC decoder configuration record (ISO/IEC 14496-15) being built.
struct HevcDecoderConfig {
  uint8_t configurationVersion = 1;
  uint8_t general_profile_space = 0;
  uint8_t general_tier_flag = 0;
  uint8_t general_profile_idc = 0;
  uint32_t general_profile_compatibility_flags = 0xFFFFFFFFu;
  uint64_t general_constraint_indicator_flags = 0x0000FFFFFFFFFFFFull;
  uint8_t general_level_idc = 0;
  uint16_t min_spatial_segmentation_idc = 4097;  // above any valid value: "none seen"
  uint8_t parallelismType = 0;
  uint8_t chromaFormat = 0;
  uint8_t bitDepthLumaMinus8 = 0;
  uint8_t bitDepthChromaMinus8 = 0;
  uint16_t avgFrameRate = 0;
  uint8_t constantFrameRate = 0;
  uint8_t numTemporalLayers = 0;
  uint8_t temporalIdNested = 0;
  uint8_t lengthSizeMinusOne = 3;
  std::vector<HevcNalArray> arrays;  // in the order their type first came

  // Parses one NAL unit (header included, emulation prevention in place)
  // into the record: the unit is added to the array of its type, and a VPS,
  // SPS or PPS updates the header fields. False when the unit is shorter than
  // two bytes, of type 41 or above, or unreadable; fields merged before the
  // failure stay, and so does the unit once it was added.
  bool AddNalUnit(const uint8_t* data, uint16_t size);

  // Settles the segmentation fields before the record is written: no
  // segmentation limit seen (or an invalid one) becomes 0, and without a
  // limit the parallelism type means nothing and becomes 0.
  void Finalise();

  // Bytes the record occupies inside its box (header fields and arrays).
  uint32_t RecordSize() const;
};

// Walks an SPS RBSP from the first bit after its two-byte NAL header up to
// its VUI, merging what it reads into `c`; true when a VUI follows, with `br`
// at its first bit. Throws BitstreamOverrun.
bool WalkHevcSpsToVui(CBitReader& br, HevcDecoderConfig& c, unsigned* maxSubLayers);

}  // namespace bv
