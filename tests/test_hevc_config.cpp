// HEVC parameter-set parsing and the avcC/hvcC boxes, against the boxes
// FFmpeg wrote for the same streams and parameter sets built bit by bit.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "HevcParameterSets.h"
#include "avcc.h"
#include "codec_config_error.h"
#include "hvcc.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Writes syntax elements MSB first, the way an encoder would.
class BitWriter {
 public:
  void Bits(uint64_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) Bit((v >> i) & 1);
  }
  void Bit(uint64_t b) {
    if (m_bit == 0) m_out.push_back(0);
    if (b) m_out.back() |= static_cast<uint8_t>(0x80 >> m_bit);
    m_bit = (m_bit + 1) & 7;
  }
  void UE(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    unsigned len = 0;
    while ((x >> len) > 1) ++len;
    Bits(0, len);
    Bits(x, len + 1);
  }
  // The payload with rbsp_trailing_bits, no emulation prevention.
  Bytes Rbsp() {
    Bit(1);
    while (m_bit != 0) Bit(0);
    return m_out;
  }
  // The finished NAL unit: trailing bits, then emulation prevention.
  Bytes Finish() {
    Rbsp();
    Bytes nal;
    int zeros = 0;
    for (size_t i = 0; i < m_out.size(); ++i) {
      if (i >= 2 && zeros >= 2 && m_out[i] <= 3) {
        nal.push_back(3);
        zeros = 0;
      }
      nal.push_back(m_out[i]);
      zeros = m_out[i] == 0 ? zeros + 1 : 0;
    }
    return nal;
  }

 private:
  Bytes m_out;
  unsigned m_bit = 0;
};

void ProfileTierLevel(BitWriter& w, unsigned tier, unsigned level, unsigned maxSubLayersMinus1) {
  w.Bits(0, 2);            // profile space
  w.Bits(tier, 1);
  w.Bits(1, 5);            // Main
  w.Bits(0x60000000, 32);  // compatible with Main and Main 10
  w.Bits(0x900000000000ull, 48);
  w.Bits(level, 8);
  for (unsigned i = 0; i < maxSubLayersMinus1; ++i) w.Bits(0, 2);  // no sub-layer profile or level
  if (maxSubLayersMinus1 > 0) w.Bits(0, 2 * (8 - maxSubLayersMinus1));
}

Bytes MakeVps(unsigned maxSubLayersMinus1, unsigned tier, unsigned level) {
  BitWriter w;
  w.Bits(0x4001, 16);  // VPS header
  w.Bits(0, 4);
  w.Bits(3, 2);
  w.Bits(0, 6);
  w.Bits(maxSubLayersMinus1, 3);
  w.Bits(1, 1);
  w.Bits(0xFFFF, 16);
  ProfileTierLevel(w, tier, level, maxSubLayersMinus1);
  return w.Finish();
}

struct SpsOptions {
  unsigned tier = 0;
  unsigned level = 90;
  unsigned chroma = 1;
  unsigned bitDepthLumaMinus8 = 0;
  unsigned bitDepthChromaMinus8 = 0;
  int minSpatialSegmentation = -1;  // -1: no VUI
};

Bytes MakeSps(const SpsOptions& o) {
  BitWriter w;
  w.Bits(0x4201, 16);  // SPS header
  w.Bits(0, 4);
  w.Bits(0, 3);  // one sub-layer
  w.Bits(1, 1);  // temporal id nesting
  ProfileTierLevel(w, o.tier, o.level, 0);
  w.UE(0);
  w.UE(o.chroma);
  if (o.chroma == 3) w.Bit(0);
  w.UE(320);
  w.UE(240);
  w.Bit(0);
  w.UE(o.bitDepthLumaMinus8);
  w.UE(o.bitDepthChromaMinus8);
  w.UE(4);  // log2_max_pic_order_cnt_lsb_minus4
  w.Bit(1);
  w.UE(1);
  w.UE(0);
  w.UE(0);
  for (int i = 0; i < 6; ++i) w.UE(0);
  w.Bit(0);  // no scaling list
  w.Bits(0, 2);
  w.Bit(0);  // no PCM
  w.UE(1);   // one short-term set: one negative picture
  w.UE(1);
  w.UE(0);
  w.UE(0);
  w.Bit(1);
  w.Bit(0);  // no long-term pictures
  w.Bits(0, 2);
  w.Bit(o.minSpatialSegmentation >= 0);
  if (o.minSpatialSegmentation >= 0) {
    w.Bits(0, 4);  // no aspect ratio, overscan, signal type, chroma location
    w.Bits(0, 3);
    w.Bit(0);  // default display window
    w.Bit(0);  // timing
    w.Bit(1);  // bitstream restriction
    w.Bits(0, 3);
    w.UE(static_cast<uint32_t>(o.minSpatialSegmentation));
    for (int i = 0; i < 4; ++i) w.UE(1);
  }
  return w.Finish();
}

Bytes MakePps(bool tiles, bool entropySync) {
  BitWriter w;
  w.Bits(0x4401, 16);
  w.UE(0);
  w.UE(0);
  w.Bits(0, 7);
  w.UE(0);
  w.UE(0);
  w.UE(0);  // se 0
  w.Bits(0, 2);
  w.Bit(0);
  w.UE(0);
  w.UE(0);
  w.Bits(0, 4);
  w.Bit(tiles);
  w.Bit(entropySync);
  return w.Finish();
}

// The parameter sets of an Annex-B stream, in stream order of first
// appearance (NAL type of each slice decided by `hevc`).
std::vector<Bytes> FirstParameterSets(const Bytes& s, bool hevc) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
  std::vector<Bytes> out(3);
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    if (k + 1 < starts.size() && s[end - 1] == 0) --end;
    const int t = hevc ? (s[starts[k]] >> 1) & 0x3F : s[starts[k]] & 0x1F;
    const int slot = hevc ? t - 32 : t - 6;  // HEVC 32..34 -> 0..2; H.264 7, 8 -> 1, 2
    if (slot >= 0 && slot < 3 && out[slot].empty()) out[slot].assign(s.begin() + starts[k], s.begin() + end);
  }
  return out;
}

mp4_video_track_info_t HevcInfo(const Bytes& vps, const Bytes& sps, const Bytes& pps) {
  mp4_video_track_info_t info{};
  info.codec_type = 1;
  info.vps = vps.empty() ? nullptr : vps.data();
  info.vps_size = static_cast<uint16_t>(vps.size());
  info.sps = sps.empty() ? nullptr : sps.data();
  info.sps_size = static_cast<uint16_t>(sps.size());
  info.pps = pps.empty() ? nullptr : pps.data();
  info.pps_size = static_cast<uint16_t>(pps.size());
  return info;
}

// The bytes a box writes to an empty in-memory stream.
template <typename Box>
Bytes WriteBox(Box& box, bv::CBufferIO& out) {
  box.Write();
  return Bytes(out.Data(), out.Data() + out.Size());
}

}  // namespace

TEST(HevcConfig, RecordFromStreamEqualsFfmpegHvcC) {
  const Bytes stream = bvtest::ReadFile(bvtest::DataPath("video_hevc.h265"));
  const std::vector<Bytes> ps = FirstParameterSets(stream, true);
  ASSERT_EQ(24u, ps[0].size());
  ASSERT_EQ(40u, ps[1].size());
  const Bytes ff = bvtest::ReadFile(bvtest::DataPath("ffmpeg_hvcC.bin"));
  ASSERT_EQ(117u, ff.size());

  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4HvccAtom hvcc(&out);
  hvcc.SetVosData(HevcInfo(ps[0], ps[1], ps[2]));
  EXPECT_EQ(117u, hvcc.GetSize());
  const Bytes ours = WriteBox(hvcc, out);
  ASSERT_EQ(ff.size(), ours.size());
  // Field by field, so that a difference names itself.
  struct Field {
    const char* name;
    size_t offset, size;
  } const fields[] = {
      {"size+type", 0, 8},          {"configurationVersion", 8, 1}, {"profile space/tier/idc", 9, 1},
      {"compatibility flags", 10, 4}, {"constraint flags", 14, 6},  {"level", 20, 1},
      {"min spatial segmentation", 21, 2}, {"parallelism", 23, 1}, {"chroma format", 24, 1},
      {"bit depth luma", 25, 1},    {"bit depth chroma", 26, 1},    {"avg frame rate", 27, 2},
      {"frame rate/layers/nesting/length", 29, 1}, {"numOfArrays", 30, 1}, {"arrays", 31, 117 - 31},
  };
  for (const Field& f : fields)
    EXPECT_EQ(Bytes(ff.begin() + f.offset, ff.begin() + f.offset + f.size),
              Bytes(ours.begin() + f.offset, ours.begin() + f.offset + f.size))
        << f.name;
}

TEST(AvcConfig, AvcCFromStreamEqualsFfmpegExceptHighProfileExtension) {
  const Bytes stream = bvtest::ReadFile(bvtest::DataPath("video_h264.h264"));
  const std::vector<Bytes> ps = FirstParameterSets(stream, false);
  const Bytes ff = bvtest::ReadFile(bvtest::DataPath("ffmpeg_avcC.bin"));
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4AvccAtom avcc(&out);
  avcc.SetParameterSets(ps[1].data(), static_cast<uint16_t>(ps[1].size()), ps[2].data(),
                        static_cast<uint16_t>(ps[2].size()));
  const Bytes ours = WriteBox(avcc, out);
  EXPECT_EQ(avcc.GetSize(), ours.size());
  EXPECT_EQ(19u + ps[1].size() + ps[2].size(), ours.size());
  // FFmpeg adds, for the High profile (100) of this stream, the four-byte
  // extension of ISO/IEC 14496-15 (chroma format, bit depths, no SPS
  // extensions). This box ends after the PPS for every profile, so the size
  // field differs by 4 and the rest must be byte-identical.
  ASSERT_EQ(100, ff[9]);
  ASSERT_EQ(ours.size() + 4, ff.size());
  EXPECT_EQ(Bytes(ff.begin() + 4, ff.end() - 4), Bytes(ours.begin() + 4, ours.end()));
  EXPECT_EQ(ff.size() - 4, bvtest::BE32(ours, 0));
}

TEST(HevcConfig, WorkedExampleSizes) {
  // 24, 40 and 8 bytes: the stream's VPS and SPS and its PPS with a
  // trailing zero byte (which the PPS walk never reaches).
  const Bytes stream = bvtest::ReadFile(bvtest::DataPath("video_hevc.h265"));
  std::vector<Bytes> ps = FirstParameterSets(stream, true);
  ps[2].push_back(0);
  ASSERT_EQ(8u, ps[2].size());
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4HvccAtom hvcc(&out);
  hvcc.SetVosData(HevcInfo(ps[0], ps[1], ps[2]));
  EXPECT_EQ(118u, hvcc.GetSize());
  EXPECT_EQ(118u, WriteBox(hvcc, out).size());
  ASSERT_EQ(3u, hvcc.Record()->arrays.size());
  for (const bv::HevcNalArray& a : hvcc.Record()->arrays) {
    EXPECT_EQ(1, a.array_completeness);
    EXPECT_EQ(1u, a.nalUnits.size());
  }
}

TEST(HevcConfig, SegmentationAndParallelismFinalisation) {
  struct Case {
    int minSpatial;  // -1: no bitstream restriction in the SPS
    bool tiles, entropy;
    uint16_t wantField;
    uint8_t wantParallelism;
  };
  const Case cases[] = {
      {5000, true, false, 0xF000, 0xFC},       // above 4096: no limit, no parallelism
      {4096, true, false, 0xF000 | 4096, 0xFE},  // exactly 4096 stays (bit 12 already set)
      {100, false, true, 0xF000 | 100, 0xFF},  // wavefront
      {100, true, true, 0xF000 | 100, 0xFC},   // mixed
      {100, false, false, 0xF000 | 100, 0xFD}, // slices
      {0, false, true, 0xF000, 0xFC},          // zero limit: parallelism dropped
      {-1, true, false, 0xF000, 0xFC},         // no VUI: 4097 becomes 0
  };
  for (const Case& c : cases) {
    SpsOptions o;
    o.minSpatialSegmentation = c.minSpatial;
    bv::CBufferIO out;
    out.SetTarget(nullptr);
    bv::CMp4HvccAtom hvcc(&out);
    const Bytes vps = MakeVps(0, 0, 90), sps = MakeSps(o), pps = MakePps(c.tiles, c.entropy);
    hvcc.SetVosData(HevcInfo(vps, sps, pps));
    ASSERT_NE(0, hvcc.SpsSize()) << c.minSpatial;
    const Bytes b = WriteBox(hvcc, out);
    EXPECT_EQ(c.wantField, (b[21] << 8) | b[22]) << c.minSpatial;
    EXPECT_EQ(c.wantParallelism, b[23]) << c.minSpatial;
  }
  // Set directly on the record, as the worked example states it.
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4HvccAtom hvcc(&out);
  const Bytes vps = MakeVps(0, 0, 90), sps = MakeSps({}), pps = MakePps(true, false);
  hvcc.SetVosData(HevcInfo(vps, sps, pps));
  hvcc.MutableRecord()->min_spatial_segmentation_idc = 5000;
  hvcc.MutableRecord()->parallelismType = 2;
  const Bytes b = WriteBox(hvcc, out);
  EXPECT_EQ(0xF0, b[21]);
  EXPECT_EQ(0x00, b[22]);
  EXPECT_EQ(0xFC, b[23]);
}

TEST(HevcConfig, SpsFieldsAndTemporalLayersAndTierMerge) {
  SpsOptions o;
  o.chroma = 3;
  o.bitDepthLumaMinus8 = 2;
  o.bitDepthChromaMinus8 = 2;
  o.tier = 0;
  o.level = 93;
  // VPS with 3 sub-layers, SPS with 1: the larger count wins.
  bv::HevcDecoderConfig c;
  const Bytes vps = MakeVps(2, 0, 120), sps = MakeSps(o);
  ASSERT_TRUE(c.AddNalUnit(vps.data(), static_cast<uint16_t>(vps.size())));
  ASSERT_TRUE(c.AddNalUnit(sps.data(), static_cast<uint16_t>(sps.size())));
  EXPECT_EQ(3, c.numTemporalLayers);
  EXPECT_EQ(1, c.temporalIdNested);
  EXPECT_EQ(3, c.chromaFormat);
  EXPECT_EQ(2, c.bitDepthLumaMinus8);
  EXPECT_EQ(2, c.bitDepthChromaMinus8);
  EXPECT_EQ(1, c.general_profile_idc);
  EXPECT_EQ(0x60000000u, c.general_profile_compatibility_flags);
  EXPECT_EQ(0x900000000000ull, c.general_constraint_indicator_flags);
  EXPECT_EQ(120, c.general_level_idc) << "same tier: the higher level";

  // Tier 1 after tier 0 takes the later level even when it is lower.
  bv::HevcDecoderConfig t;
  o.tier = 1;
  o.level = 90;
  const Bytes vps0 = MakeVps(0, 0, 120), sps1 = MakeSps(o);
  ASSERT_TRUE(t.AddNalUnit(vps0.data(), static_cast<uint16_t>(vps0.size())));
  ASSERT_TRUE(t.AddNalUnit(sps1.data(), static_cast<uint16_t>(sps1.size())));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(90, t.general_level_idc);
  // And tier 0 after tier 1 keeps tier 1 and the higher level.
  const Bytes vps0b = MakeVps(0, 0, 150);
  ASSERT_TRUE(t.AddNalUnit(vps0b.data(), static_cast<uint16_t>(vps0b.size())));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(150, t.general_level_idc);
  // Three arrays, in the order their type first came.
  ASSERT_EQ(2u, t.arrays.size());
  EXPECT_EQ(32, t.arrays[0].NAL_unit_type);
  EXPECT_EQ(2u, t.arrays[0].nalUnits.size());
}

TEST(HevcConfig, EmulationPreventionRemovedForParsingOnly) {
  EXPECT_EQ((Bytes{0x4E, 0x01, 0, 0, 1, 0x80}), bv::ExtractRbsp(Bytes{0x4E, 0x01, 0, 0, 3, 1, 0x80}.data(), 7));
  EXPECT_EQ((Bytes{0x4E, 0x01, 0, 0, 0, 0}), bv::ExtractRbsp(Bytes{0x4E, 0x01, 0, 0, 3, 0, 0, 3}.data(), 8));
  // The header bytes are never taken for a 00 00 03 sequence.
  EXPECT_EQ((Bytes{0, 0, 3, 5}), bv::ExtractRbsp(Bytes{0, 0, 3, 5}.data(), 4));
  EXPECT_EQ((Bytes{0x40}), bv::ExtractRbsp(Bytes{0x40}.data(), 1));

  // The record keeps the unit as given. The SPS built here has emulation
  // prevention bytes in its constraint flags; it parses to the same fields.
  SpsOptions o;
  o.minSpatialSegmentation = 100;
  const Bytes sps = MakeSps(o);
  size_t epb = 0;
  for (size_t i = 2; i + 2 < sps.size(); ++i) epb += sps[i] == 0 && sps[i + 1] == 0 && sps[i + 2] == 3;
  ASSERT_GT(epb, 0u);
  bv::HevcDecoderConfig c;
  ASSERT_TRUE(c.AddNalUnit(sps.data(), static_cast<uint16_t>(sps.size())));
  EXPECT_EQ(sps, c.arrays[0].nalUnits[0]);
  EXPECT_EQ(100, c.min_spatial_segmentation_idc);
}

TEST(BitReader, ExpGolombAndBounds) {
  BitWriter w;
  for (uint32_t v : {0u, 1u, 2u, 7u, 255u, 65535u, 0xFFFFFFFEu}) w.UE(v);
  const Bytes b = w.Rbsp();
  bv::CBitReader r(b.data(), b.size());
  for (uint32_t v : {0u, 1u, 2u, 7u, 255u, 65535u, 0xFFFFFFFEu}) EXPECT_EQ(v, r.ReadUE());
  // se(v) of code numbers 1, 2, 3, 4: 1, -1, 2, -2.
  BitWriter s;
  for (uint32_t k : {1u, 2u, 3u, 4u}) s.UE(k);
  const Bytes sb = s.Rbsp();
  bv::CBitReader sr(sb.data(), sb.size());
  for (int v : {1, -1, 2, -2}) EXPECT_EQ(v, sr.ReadSE());

  const Bytes two = {0xA5, 0x0F};
  bv::CBitReader t(two.data(), two.size());
  EXPECT_EQ(0xA50u, t.ReadBits(12));
  EXPECT_THROW(t.ReadBits(5), bv::BitstreamOverrun);
  EXPECT_EQ(4u, t.BitsLeft());
  EXPECT_THROW(t.SkipBits(5), bv::BitstreamOverrun);
  EXPECT_THROW(t.ReadBits(64), bv::BitstreamOverrun);
  const Bytes zeros(16, 0);
  bv::CBitReader z(zeros.data(), zeros.size());
  EXPECT_THROW(z.ReadUE(), bv::BitstreamOverrun) << "64 leading zeros";
  const Bytes nine = {0, 0x80};  // 8 zeros, a one, no room for the 8 bits
  bv::CBitReader n(nine.data(), nine.size());
  EXPECT_THROW(n.ReadUE(), bv::BitstreamOverrun);
}

// Damaged parameter sets are refused, logged and leave the box unwritable;
// nothing is read outside the given bytes (the copies are exact-size heap
// buffers, so ASan sees any overrun).
TEST(HevcConfig, BadParameterSetsAreRefused) {
  const Bytes stream = bvtest::ReadFile(bvtest::DataPath("video_hevc.h265"));
  const std::vector<Bytes> ps = FirstParameterSets(stream, true);

  // Every truncation of the SPS that loses fields the walk needs is refused.
  int refused = 0;
  for (size_t len = 1; len < ps[1].size(); ++len) {
    const Bytes cut(ps[1].begin(), ps[1].begin() + len);
    bv::CBufferIO out;
    out.SetTarget(nullptr);
    bv::CMp4HvccAtom hvcc(&out);
    mp4_video_track_info_t info = HevcInfo(ps[0], cut, ps[2]);
    bvtest::StdoutCapture log;
    hvcc.SetVosData(info);
    const std::string text = log.Take();
    if (hvcc.SpsSize() == 0) {
      ++refused;
      EXPECT_NE(std::string::npos, text.find("Parse hevc sps fail !")) << len;
      bvtest::StdoutCapture wlog;
      EXPECT_THROW(hvcc.Write(), bv::CodecConfigError);
      EXPECT_NE(std::string::npos, wlog.Take().find("NULL hevc head !"));
      EXPECT_EQ(0u, out.Size()) << "nothing staged or written";
    }
  }
  EXPECT_GE(refused, 20);

  // One-byte units enter no array; a type of 41 or more is refused.
  bv::HevcDecoderConfig c;
  const uint8_t one = 0x40;
  EXPECT_FALSE(c.AddNalUnit(&one, 1));
  const Bytes reserved = {0x52, 0x01, 0xFF};  // type 41
  EXPECT_FALSE(c.AddNalUnit(reserved.data(), 3));
  EXPECT_TRUE(c.arrays.empty());
  // A unit refused after it was added stays in its array.
  const Bytes shortVps = {0x40, 0x01, 0x0C};
  EXPECT_FALSE(c.AddNalUnit(shortVps.data(), 3));
  ASSERT_EQ(1u, c.arrays.size());

  // Missing sets: no VPS.
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4HvccAtom hvcc(&out);
  hvcc.SetVosData(HevcInfo({}, ps[1], ps[2]));
  EXPECT_EQ(0, hvcc.VpsSize());
  EXPECT_THROW(hvcc.Write(), bv::CodecConfigError);

  // Random bytes behind each header: never a crash; accepted ones write a
  // box of exactly GetSize bytes.
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    Bytes sets[3];
    for (int k = 0; k < 3; ++k) {
      sets[k].resize(rng() % 48);
      for (uint8_t& x : sets[k]) x = static_cast<uint8_t>(rng());
      if (sets[k].size() >= 1) sets[k][0] = static_cast<uint8_t>((32 + k) << 1);
      if (sets[k].size() >= 2) sets[k][1] = 1;
    }
    bv::CBufferIO o;
    o.SetTarget(nullptr);
    bv::CMp4HvccAtom box(&o);
    bvtest::StdoutCapture quiet;
    box.SetVosData(HevcInfo(sets[0], sets[1], sets[2]));
    try {
      box.Write();
      EXPECT_EQ(box.GetSize(), o.Size());
    } catch (const bv::CodecConfigError&) {
      EXPECT_EQ(0u, o.Size());
    }
  }
}

TEST(AvcConfig, AbandonedWriteLeavesNothingStaged) {
  const Bytes sps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50, 0x05, 0xBB, 0x01, 0x10, 0x00,
                     0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x83, 0x19};
  const Bytes pps = {0x68, 0xEB, 0xE3, 0xCB};
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4AvccAtom avcc(&out);
  struct Bad {
    size_t spsSize, ppsSize;
    const char* msg;
  } const bad[] = {{3, 4, "Invalid sps(3) or pps(4) size !"}, {25, 0, "Invalid sps(25) or pps(0) size !"},
                   {0, 0, "Invalid sps(0) or pps(0) size !"}};
  for (const Bad& b : bad) {
    avcc.SetParameterSets(b.spsSize ? sps.data() : nullptr, static_cast<uint16_t>(b.spsSize),
                          b.ppsSize ? pps.data() : nullptr, static_cast<uint16_t>(b.ppsSize));
    bvtest::StdoutCapture log;
    EXPECT_THROW(avcc.Write(), bv::CodecConfigError);
    EXPECT_NE(std::string::npos, log.Take().find(b.msg));
    EXPECT_EQ(0u, out.Size());
  }
  // The next write produces exactly one well-formed box.
  avcc.SetParameterSets(sps.data(), 25, pps.data(), 4);
  const Bytes box = WriteBox(avcc, out);
  ASSERT_EQ(48u, box.size());
  EXPECT_EQ(48u, avcc.GetSize());
  const Bytes head = {0, 0, 0, 48, 'a', 'v', 'c', 'C', 1, 0x64, 0x00, 0x1F, 0xFF, 0xE1, 0, 25};
  EXPECT_EQ(head, Bytes(box.begin(), box.begin() + 16));
  EXPECT_EQ(sps, Bytes(box.begin() + 16, box.begin() + 41));
  EXPECT_EQ((Bytes{1, 0, 4}), Bytes(box.begin() + 41, box.begin() + 44));
  EXPECT_EQ(pps, Bytes(box.begin() + 44, box.end()));
  // The parameter sets are copies: the caller's buffer may change or go away.
  std::vector<uint8_t> gone(sps);
  avcc.SetParameterSets(gone.data(), 25, pps.data(), 4);
  gone.assign(25, 0xEE);
  const Bytes twice = WriteBox(avcc, out);
  ASSERT_EQ(96u, twice.size());
  EXPECT_EQ(box, Bytes(twice.begin() + 48, twice.end()));
}
