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
  void UE(std::initializer_list<uint32_t> values) {
    for (uint32_t v : values) {
      const uint64_t x = uint64_t{v} + 1;
      unsigned len = 0;
      while ((x >> len) > 1) ++len;
      Bits(x, 2 * len + 1);  // len zeros, then x in len + 1 bits
    }
  }
  // The payload with rbsp_trailing_bits, no emulation prevention.
  Bytes Rbsp() {
    Bit(1);
    while (m_bit != 0) Bit(0);
    return m_out;
  }
  // The finished NAL unit: trailing bits, then emulation prevention.
  Bytes Finish() {
    Bytes nal;
    int zeros = 0;
    for (uint8_t x : Rbsp()) {
      if (zeros >= 2 && x <= 3) {
        nal.push_back(3);
        zeros = 0;
      }
      nal.push_back(x);
      zeros = x == 0 ? zeros + 1 : 0;
    }
    return nal;
  }

 private:
  Bytes m_out;
  unsigned m_bit = 0;
};

void ProfileTierLevel(BitWriter& w, unsigned tier, unsigned level, unsigned maxSubLayersMinus1) {
  w.Bits(0, 2);  // profile space
  w.Bits(tier, 1);
  w.Bits(1, 5);            // Main
  w.Bits(0x60000000, 32);  // compatible with Main and Main 10
  w.Bits(0x900000000000ull, 48);
  w.Bits(level, 8);
  w.Bits(0, 2 * maxSubLayersMinus1);  // no sub-layer profile or level
  if (maxSubLayersMinus1 > 0) w.Bits(0, 2 * (8 - maxSubLayersMinus1));
}

Bytes MakeVps(unsigned maxSubLayersMinus1, unsigned tier, unsigned level) {
  BitWriter w;
  w.Bits(0x4001, 16);  // VPS header
  w.Bits(0x3 << 6, 12);  // id, base layer flags, max layers
  w.Bits(maxSubLayersMinus1, 3);
  w.Bits(1, 1);
  w.Bits(0xFFFF, 16);
  ProfileTierLevel(w, tier, level, maxSubLayersMinus1);
  return w.Finish();
}

struct SpsOptions {
  unsigned tier = 0, level = 90, chroma = 1, bitDepthLumaMinus8 = 0, bitDepthChromaMinus8 = 0;
  int minSpatialSegmentation = -1;  // -1: no VUI
};

Bytes MakeSps(const SpsOptions& o) {
  BitWriter w;
  w.Bits(0x4201, 16);  // SPS header
  w.Bits(1, 8);        // id 0, one sub-layer, temporal id nesting
  ProfileTierLevel(w, o.tier, o.level, 0);
  w.UE({0, o.chroma});
  if (o.chroma == 3) w.Bit(0);
  w.UE({320, 240});
  w.Bit(0);  // no conformance window
  w.UE({o.bitDepthLumaMinus8, o.bitDepthChromaMinus8, 4});
  w.Bit(1);
  w.UE({1, 0, 0, 0, 0, 0, 0, 0, 0});
  w.Bits(0, 4);        // no scaling list, AMP, SAO, PCM
  w.UE({1, 1, 0, 0});  // one short-term set: one negative picture
  w.Bits(8, 4);        // used by the current picture; no long-term pictures, TMVP, smoothing
  w.Bit(o.minSpatialSegmentation >= 0);
  if (o.minSpatialSegmentation >= 0) {
    w.Bits(0, 9);  // no aspect ratio, overscan, signal type, chroma location, window, timing
    w.Bit(1);      // bitstream restriction
    w.Bits(0, 3);
    w.UE({static_cast<uint32_t>(o.minSpatialSegmentation), 1, 1, 1, 1});
  }
  return w.Finish();
}

Bytes MakePps(bool tiles, bool entropySync) {
  BitWriter w;
  w.Bits(0x4401, 16);
  w.UE({0, 0});
  w.Bits(0, 7);
  w.UE({0, 0, 0});  // last: init_qp_minus26 as se 0
  w.Bits(0, 3);
  w.UE({0, 0});
  w.Bits(0, 4);
  w.Bit(tiles);
  w.Bit(entropySync);
  return w.Finish();
}

// The parameter sets of an Annex-B stream, first of each kind: VPS, SPS, PPS
// (H.264: empty, SPS, PPS).
std::vector<Bytes> FirstParameterSets(const Bytes& s, bool hevc) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= s.size(); ++i)
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) starts.push_back(i + 3);
  std::vector<Bytes> out(3);
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : s.size();
    if (k + 1 < starts.size() && s[end - 1] == 0) --end;
    const int t = hevc ? (s[starts[k]] >> 1) & 0x3F : s[starts[k]] & 0x1F;
    const int slot = hevc ? t - 32 : t - 6;
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

// An hvcC box on its own empty in-memory stream.
struct Hvcc {
  bv::CBufferIO out;
  bv::CMp4HvccAtom box{&out};
  explicit Hvcc(const mp4_video_track_info_t& info) {
    out.SetTarget(nullptr);
    box.SetVosData(info);
  }
  Bytes Write() {
    box.Write();
    return Bytes(out.Data(), out.Data() + out.Size());
  }
};

bool Add(bv::HevcDecoderConfig& c, const Bytes& nal) {
  return c.AddNalUnit(nal.data(), static_cast<uint16_t>(nal.size()));
}

const std::vector<Bytes>& HevcStreamSets() {
  static const std::vector<Bytes> ps =
      FirstParameterSets(bvtest::ReadFile(bvtest::DataPath("video_hevc.h265")), true);
  return ps;
}

}  // namespace

TEST(HevcConfig, RecordFromStreamEqualsFfmpegHvcC) {
  const std::vector<Bytes>& ps = HevcStreamSets();
  const Bytes ff = bvtest::ReadFile(bvtest::DataPath("ffmpeg_hvcC.bin"));
  ASSERT_EQ(117u, ff.size());
  Hvcc hvcc(HevcInfo(ps[0], ps[1], ps[2]));
  EXPECT_EQ(117u, hvcc.box.GetSize());
  const Bytes ours = hvcc.Write();
  ASSERT_EQ(ff.size(), ours.size());
  // Field by field, so that a difference names itself.
  const std::pair<const char*, size_t> fields[] = {
      {"size+type", 0}, {"configurationVersion", 8}, {"profile space/tier/idc", 9}, {"compatibility flags", 10},
      {"constraint flags", 14}, {"level", 20}, {"min spatial segmentation", 21}, {"parallelism", 23},
      {"chroma format", 24}, {"bit depth luma", 25}, {"bit depth chroma", 26}, {"avg frame rate", 27},
      {"frame rate/layers/nesting/length", 29}, {"numOfArrays", 30}, {"arrays", 31}, {"", 117}};
  for (size_t i = 0; i + 1 < std::size(fields); ++i)
    EXPECT_EQ(Bytes(ff.begin() + fields[i].second, ff.begin() + fields[i + 1].second),
              Bytes(ours.begin() + fields[i].second, ours.begin() + fields[i + 1].second))
        << fields[i].first;

  // With the PPS's trailing zero byte (which the PPS walk never reaches) the
  // record grows by that byte: 24, 40 and 8 bytes give 118.
  Bytes pps = ps[2];
  pps.push_back(0);
  Hvcc padded(HevcInfo(ps[0], ps[1], pps));
  EXPECT_EQ(118u, padded.box.GetSize());
  EXPECT_EQ(118u, padded.Write().size());
  ASSERT_EQ(3u, padded.box.Record()->arrays.size());
  for (const bv::HevcNalArray& a : padded.box.Record()->arrays) {
    EXPECT_EQ(1, a.array_completeness);
    EXPECT_EQ(1u, a.nalUnits.size());
  }
}

TEST(AvcConfig, AvcCFromStreamEqualsFfmpegExceptHighProfileExtension) {
  const std::vector<Bytes> ps = FirstParameterSets(bvtest::ReadFile(bvtest::DataPath("video_h264.h264")), false);
  const Bytes ff = bvtest::ReadFile(bvtest::DataPath("ffmpeg_avcC.bin"));
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  bv::CMp4AvccAtom avcc(&out);
  avcc.SetParameterSets(ps[1].data(), static_cast<uint16_t>(ps[1].size()), ps[2].data(),
                        static_cast<uint16_t>(ps[2].size()));
  avcc.Write();
  const Bytes ours(out.Data(), out.Data() + out.Size());
  EXPECT_EQ(avcc.GetSize(), ours.size());
  EXPECT_EQ(19u + ps[1].size() + ps[2].size(), ours.size());
  // FFmpeg adds, for the High profile (100) of this stream, the four-byte
  // extension (chroma format, bit depths, no SPS extensions). This box ends
  // after the PPS for every profile, so the size field differs by 4 and the
  // rest must be byte-identical.
  ASSERT_EQ(100, ff[9]);
  ASSERT_EQ(ours.size() + 4, ff.size());
  EXPECT_EQ(Bytes(ff.begin() + 4, ff.end() - 4), Bytes(ours.begin() + 4, ours.end()));
  EXPECT_EQ(ff.size() - 4, bvtest::BE32(ours, 0));
}

TEST(HevcConfig, SegmentationAndParallelismFinalisation) {
  struct Case {
    int minSpatial;  // -1: no bitstream restriction in the SPS
    bool tiles, entropy;
    uint16_t wantField;
    uint8_t wantParallelism;
  };
  const Case cases[] = {
      {5000, true, false, 0xF000, 0xFC},         // above 4096: no limit, no parallelism
      {4096, true, false, 0xF000 | 4096, 0xFE},  // exactly 4096 stays (bit 12 already set)
      {100, false, true, 0xF000 | 100, 0xFF},    // wavefront
      {100, true, true, 0xF000 | 100, 0xFC},     // mixed
      {100, false, false, 0xF000 | 100, 0xFD},   // slices
      {0, false, true, 0xF000, 0xFC},            // zero limit: parallelism dropped
      {-1, true, false, 0xF000, 0xFC},           // no VUI: 4097 becomes 0
  };
  for (const Case& c : cases) {
    SpsOptions o;
    o.minSpatialSegmentation = c.minSpatial;
    Hvcc hvcc(HevcInfo(MakeVps(0, 0, 90), MakeSps(o), MakePps(c.tiles, c.entropy)));
    ASSERT_NE(0, hvcc.box.SpsSize()) << c.minSpatial;
    const Bytes b = hvcc.Write();
    EXPECT_EQ(c.wantField, (b[21] << 8) | b[22]) << c.minSpatial;
    EXPECT_EQ(c.wantParallelism, b[23]) << c.minSpatial;
  }
  // Set directly on the record, as the worked example states it.
  Hvcc hvcc(HevcInfo(MakeVps(0, 0, 90), MakeSps({}), MakePps(true, false)));
  hvcc.box.MutableRecord()->min_spatial_segmentation_idc = 5000;
  hvcc.box.MutableRecord()->parallelismType = 2;
  const Bytes b = hvcc.Write();
  EXPECT_EQ((Bytes{0xF0, 0x00, 0xFC}), Bytes(b.begin() + 21, b.begin() + 24));
}

TEST(HevcConfig, SpsFieldsAndTemporalLayersAndTierMerge) {
  SpsOptions o;
  o.chroma = 3;
  o.bitDepthLumaMinus8 = 2;
  o.bitDepthChromaMinus8 = 2;
  o.level = 93;
  // VPS with 3 sub-layers, SPS with 1: the larger count wins.
  bv::HevcDecoderConfig c;
  ASSERT_TRUE(Add(c, MakeVps(2, 0, 120)));
  ASSERT_TRUE(Add(c, MakeSps(o)));
  EXPECT_EQ(3, c.numTemporalLayers);
  EXPECT_EQ(1, c.temporalIdNested);
  EXPECT_EQ(3, c.chromaFormat);
  EXPECT_EQ(2, c.bitDepthLumaMinus8);
  EXPECT_EQ(2, c.bitDepthChromaMinus8);
  EXPECT_EQ(1, c.general_profile_idc);
  EXPECT_EQ(0x60000000u, c.general_profile_compatibility_flags);
  EXPECT_EQ(0x900000000000ull, c.general_constraint_indicator_flags);
  EXPECT_EQ(120, c.general_level_idc) << "same tier: the higher level";

  // Tier 1 after tier 0 takes the later level even when it is lower; tier 0
  // after tier 1 keeps tier 1 and the higher level.
  bv::HevcDecoderConfig t;
  o.tier = 1;
  o.level = 90;
  ASSERT_TRUE(Add(t, MakeVps(0, 0, 120)));
  ASSERT_TRUE(Add(t, MakeSps(o)));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(90, t.general_level_idc);
  ASSERT_TRUE(Add(t, MakeVps(0, 0, 150)));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(150, t.general_level_idc);
  // Arrays in the order their type first came.
  ASSERT_EQ(2u, t.arrays.size());
  EXPECT_EQ(32, t.arrays[0].NAL_unit_type);
  EXPECT_EQ(2u, t.arrays[0].nalUnits.size());
}

TEST(HevcConfig, EmulationPreventionRemovedForParsingOnly) {
  struct Case {
    Bytes in, out;
  };
  const Case cases[] = {
      {{0x4E, 0x01, 0, 0, 3, 1, 0x80}, {0x4E, 0x01, 0, 0, 1, 0x80}},
      {{0x4E, 0x01, 0, 0, 3, 0, 0, 3}, {0x4E, 0x01, 0, 0, 0, 0}},
      {{0, 0, 3, 5}, {0, 0, 3, 5}},  // the header bytes are never taken for 00 00 03
      {{0x40}, {0x40}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, bv::ExtractRbsp(c.in.data(), c.in.size()));

  // The record keeps the unit as given. The SPS built here has emulation
  // prevention bytes in its constraint flags; it parses to the same fields.
  SpsOptions o;
  o.minSpatialSegmentation = 100;
  const Bytes sps = MakeSps(o);
  ASSERT_NE(sps.size(), bv::ExtractRbsp(sps.data(), sps.size()).size());
  bv::HevcDecoderConfig c;
  ASSERT_TRUE(Add(c, sps));
  EXPECT_EQ(sps, c.arrays[0].nalUnits[0]);
  EXPECT_EQ(100, c.min_spatial_segmentation_idc);
}

TEST(BitReader, ExpGolombAndBounds) {
  const std::initializer_list<uint32_t> values = {0u, 1u, 2u, 7u, 255u, 65535u, 0xFFFFFFFEu};
  BitWriter w;
  w.UE(values);
  w.UE({1, 2, 3, 4});  // se(v): 1, -1, 2, -2
  const Bytes b = w.Rbsp();
  bv::CBitReader r(b.data(), b.size());
  for (uint32_t v : values) EXPECT_EQ(v, r.ReadUE());
  for (int v : {1, -1, 2, -2}) EXPECT_EQ(v, r.ReadSE());

  const Bytes two = {0xA5, 0x0F};
  bv::CBitReader t(two.data(), two.size());
  EXPECT_EQ(0xA50u, t.ReadBits(12));
  EXPECT_THROW(t.ReadBits(5), bv::BitstreamOverrun);
  EXPECT_EQ(4u, t.BitsLeft());
  EXPECT_THROW(t.SkipBits(5), bv::BitstreamOverrun);
  EXPECT_THROW(t.ReadBits(64), bv::BitstreamOverrun);
  const Bytes zeros(16, 0), nine = {0, 0x80};  // 64 leading zeros; 8 zeros and a one, no room for 8 bits
  bv::CBitReader z(zeros.data(), zeros.size()), n(nine.data(), nine.size());
  EXPECT_THROW(z.ReadUE(), bv::BitstreamOverrun);
  EXPECT_THROW(n.ReadUE(), bv::BitstreamOverrun);
}

// Damaged parameter sets are refused, logged and leave the box unwritable;
// nothing is read outside the given bytes (the copies are exact-size heap
// buffers, so ASan sees any overrun).
TEST(HevcConfig, BadParameterSetsAreRefused) {
  const std::vector<Bytes>& ps = HevcStreamSets();
  // Every truncation of the SPS that loses fields the walk needs is refused.
  int refused = 0;
  for (size_t len = 1; len < ps[1].size(); ++len) {
    bvtest::StdoutCapture log;
    Hvcc hvcc(HevcInfo(ps[0], Bytes(ps[1].begin(), ps[1].begin() + len), ps[2]));
    const std::string text = log.Take();
    if (hvcc.box.SpsSize() != 0) continue;
    ++refused;
    EXPECT_NE(std::string::npos, text.find("Parse hevc sps fail !")) << len;
    bvtest::StdoutCapture wlog;
    EXPECT_THROW(hvcc.box.Write(), bv::CodecConfigError);
    EXPECT_NE(std::string::npos, wlog.Take().find("NULL hevc head !"));
    EXPECT_EQ(0u, hvcc.out.Size()) << "nothing staged or written";
  }
  EXPECT_GE(refused, 20);

  // One-byte units enter no array; a type of 41 or more is refused; a unit
  // refused after it was added stays in its array.
  bv::HevcDecoderConfig c;
  EXPECT_FALSE(Add(c, {0x40}));
  EXPECT_FALSE(Add(c, {0x52, 0x01, 0xFF}));
  EXPECT_TRUE(c.arrays.empty());
  EXPECT_FALSE(Add(c, {0x40, 0x01, 0x0C}));
  ASSERT_EQ(1u, c.arrays.size());

  Hvcc noVps(HevcInfo({}, ps[1], ps[2]));
  EXPECT_EQ(0, noVps.box.VpsSize());
  EXPECT_THROW(noVps.box.Write(), bv::CodecConfigError);

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
    bvtest::StdoutCapture quiet;
    Hvcc box(HevcInfo(sets[0], sets[1], sets[2]));
    try {
      box.box.Write();
      EXPECT_EQ(box.box.GetSize(), box.out.Size());
    } catch (const bv::CodecConfigError&) {
      EXPECT_EQ(0u, box.out.Size());
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
  const std::pair<size_t, size_t> bad[] = {{3, 4}, {25, 0}, {0, 0}};
  for (const auto& b : bad) {
    avcc.SetParameterSets(b.first ? sps.data() : nullptr, static_cast<uint16_t>(b.first),
                          b.second ? pps.data() : nullptr, static_cast<uint16_t>(b.second));
    bvtest::StdoutCapture log;
    EXPECT_THROW(avcc.Write(), bv::CodecConfigError);
    EXPECT_NE(std::string::npos, log.Take().find("Invalid sps(" + std::to_string(b.first) + ") or pps(" +
                                                 std::to_string(b.second) + ") size !"));
    EXPECT_EQ(0u, out.Size());
  }
  // The next write produces exactly one box, from copies of the sets: the
  // caller's buffer may change or go away.
  Bytes gone(sps);
  avcc.SetParameterSets(gone.data(), 25, pps.data(), 4);
  gone.assign(25, 0xEE);
  EXPECT_EQ(48u, avcc.GetSize());
  avcc.Write();
  const Bytes box(out.Data(), out.Data() + out.Size());
  ASSERT_EQ(48u, box.size());
  EXPECT_EQ(48u, bvtest::BE32(box, 0));
  EXPECT_EQ(sps, Bytes(box.begin() + 16, box.begin() + 41));
  EXPECT_EQ(pps, Bytes(box.begin() + 44, box.end()));
}
