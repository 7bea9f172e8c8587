// HEVC parameter-set parsing and the avcC/hvcC boxes, against the boxes
// FFmpeg wrote for the same streams and parameter sets built bit by bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "HevcParameterSets.h"
#include "avcc.h"
#include "box_bytes.h"
#include "codec_config_error.h"
#include "hvcc.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::BitWriter;
using bvtest::Bytes;

namespace {

// Main profile, compatible with Main and Main 10; the constraint flags hold
// 00 00 00, so every set built here carries emulation prevention bytes.
BitWriter& Ptl(BitWriter& w, unsigned tier, unsigned level, unsigned subLayersMinus1) {
  w.U(tier << 5 | 1, 8).U(0x60000000, 32).U(0x900000000000ull, 48).U(level, 8);
  return w.U(0, subLayersMinus1 ? 16 : 0);  // no sub-layer profile or level
}

Bytes Vps(unsigned subLayersMinus1, unsigned tier, unsigned level) {
  BitWriter w;
  w.U(0x4001, 16).U(0x3 << 6, 12).U(subLayersMinus1, 3).U(1, 1).U(0xFFFF, 16);
  return Ptl(w, tier, level, subLayersMinus1).Nal();
}

struct SpsOptions {
  unsigned tier = 0, level = 90, chroma = 1, depthMinus8 = 0;
  int minSpatialSegmentation = -1;  // -1: no VUI
};
Bytes Sps(const SpsOptions& o) {
  BitWriter w;
  Ptl(w.U(0x4201, 16).U(1, 8), o.tier, o.level, 0).Ue({0, o.chroma});
  if (o.chroma == 3) w.U(0, 1);
  w.Ue({320, 240}).U(0, 1).Ue({o.depthMinus8, o.depthMinus8, 4}).U(1, 1).Ue({1, 0, 0, 0, 0, 0, 0, 0, 0});
  w.U(0, 4).Ue({1, 1, 0, 0}).U(8, 4);  // one short-term set; no long-term pictures, TMVP, smoothing
  w.U(o.minSpatialSegmentation >= 0, 1);
  if (o.minSpatialSegmentation >= 0)  // only a bitstream restriction in the VUI
    w.U(1, 10).U(0, 3).Ue({static_cast<uint32_t>(o.minSpatialSegmentation), 1, 1, 1, 1});
  return w.Nal();
}

Bytes Pps(bool tiles, bool entropySync) {
  return BitWriter().U(0x4401, 16).Ue({0, 0}).U(0, 7).Ue({0, 0, 0}).U(0, 3).Ue({0, 0}).U(0, 4).U(tiles, 1).U(entropySync, 1).Nal();
}

// An hvcC box on its own empty in-memory stream.
struct Hvcc {
  bvtest::MemoryStream out;
  bv::CMp4HvccAtom box{&out};
  explicit Hvcc(const bvtest::ParameterSets& sets) {
    mp4_video_track_info_t info{};
    info.codec_type = MP4_VIDEO_HEVC;
    sets.Fill(info);
    box.SetVosData(info);
  }
  Bytes Write() {
    box.Write();
    return out.All();
  }
};

bool Add(bv::HevcDecoderConfig& c, const Bytes& nal) { return c.AddNalUnit(nal.data(), static_cast<uint16_t>(nal.size())); }

}  // namespace

TEST(HevcConfig, RecordFromStreamEqualsFfmpegHvcC) {
  const bvtest::ParameterSets ps = bvtest::FirstParameterSets("video_hevc.h265", true);
  Hvcc hvcc(ps);
  EXPECT_EQ(117u, hvcc.box.GetSize());
  EXPECT_EQ(bvtest::ReadFile(bvtest::DataPath("ffmpeg_hvcC.bin")), hvcc.Write());

  // A trailing zero byte on the PPS (which the PPS walk never reaches) stays
  // in the record: 24, 40 and 8 bytes give 118.
  bvtest::ParameterSets paddedSets = ps;
  paddedSets.pps.push_back(0);
  Hvcc padded(paddedSets);
  EXPECT_EQ(118u, padded.box.GetSize());
  EXPECT_EQ(118u, padded.Write().size());
  for (const bv::HevcNalArray& a : padded.box.Record()->arrays) EXPECT_EQ(1, a.array_completeness);
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
    Hvcc hvcc({Vps(0, 0, 90), Sps(o), Pps(c.tiles, c.entropy)});
    ASSERT_NE(0, hvcc.box.SpsSize()) << c.minSpatial;
    const Bytes b = hvcc.Write();
    EXPECT_EQ(c.wantField, (b[21] << 8) | b[22]) << c.minSpatial;
    EXPECT_EQ(c.wantParallelism, b[23]) << c.minSpatial;
  }
}

// The record's head, byte by byte: the SPS's profile, chroma format (4:4:4)
// and depths (10 bits), the VPS's three sub-layers (more than the SPS's
// one), the higher level of one tier, the segmentation limit and slice
// parallelism. The units stay in the record as given, emulation prevention
// bytes included.
TEST(HevcConfig, RecordHeadAndTierMerge) {
  SpsOptions o;
  o.chroma = 3;
  o.depthMinus8 = 2;
  o.level = 93;
  o.minSpatialSegmentation = 100;
  const Bytes sps = Sps(o);
  Hvcc hvcc({Vps(2, 0, 120), sps, Pps(false, false)});
  const Bytes b = hvcc.Write();
  ASSERT_GT(b.size(), 31u);
  EXPECT_EQ((Bytes{1, 0x01, 0x60, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 120, 0xF0, 100, 0xFD, 0xFF, 0xFA, 0xFA, 0, 0, 0x1F, 3}),
            Bytes(b.begin() + 8, b.begin() + 31));
  ASSERT_NE(sps.size(), bv::ExtractRbsp(sps.data(), sps.size()).size());
  EXPECT_NE(b.end(), std::search(b.begin(), b.end(), sps.begin(), sps.end()));

  // Tier 1 after tier 0 takes the later level even when it is lower; tier 0
  // after tier 1 keeps tier 1 and the higher level.
  bv::HevcDecoderConfig t;
  o = SpsOptions();
  o.tier = 1;
  o.level = 90;
  ASSERT_TRUE(Add(t, Vps(0, 0, 120)));
  ASSERT_TRUE(Add(t, Sps(o)));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(90, t.general_level_idc);
  ASSERT_TRUE(Add(t, Vps(0, 0, 150)));
  EXPECT_EQ(1, t.general_tier_flag);
  EXPECT_EQ(150, t.general_level_idc);
  ASSERT_EQ(2u, t.arrays.size());  // in the order their type first came
  EXPECT_EQ(32, t.arrays[0].NAL_unit_type);
  EXPECT_EQ(2u, t.arrays[0].nalUnits.size());
}

TEST(HevcConfig, EmulationPreventionBytesAreRemovedBehindTheHeader) {
  const std::pair<Bytes, Bytes> cases[] = {
      {{0x4E, 0x01, 0, 0, 3, 1, 0x80}, {0x4E, 0x01, 0, 0, 1, 0x80}},
      {{0x4E, 0x01, 0, 0, 3, 0, 0, 3}, {0x4E, 0x01, 0, 0, 0, 0}},
      {{0, 0, 3, 5}, {0, 0, 3, 5}},  // the header bytes are never taken for 00 00 03
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, bv::ExtractRbsp(c.first.data(), c.first.size()));
}

TEST(BitReader, ExpGolombAndBounds) {
  const Bytes b = BitWriter().Ue({0, 7, 65535, 0xFFFFFFFEu}).Se(2).Se(-2).Rbsp();
  bv::CBitReader r(b.data(), b.size());
  for (uint32_t v : {0u, 7u, 65535u, 0xFFFFFFFEu}) EXPECT_EQ(v, r.ReadUE());
  EXPECT_EQ(2, r.ReadSE());
  EXPECT_EQ(-2, r.ReadSE());

  // 64 leading zeros (with all the bits they announce behind them); no room for 8 bits.
  Bytes zeros(17, 0xFF);
  std::fill_n(zeros.begin(), 8, 0);
  const Bytes two = {0xA5, 0x0F}, nine = {0, 0x80};
  bv::CBitReader t(two.data(), two.size()), z(zeros.data(), zeros.size()), n(nine.data(), nine.size());
  EXPECT_EQ(0xA50u, t.ReadBits(12));
  EXPECT_THROW(t.ReadBits(5), bv::BitstreamOverrun);
  EXPECT_THROW(t.SkipBits(5), bv::BitstreamOverrun);
  EXPECT_EQ(4u, t.BitsLeft());
  EXPECT_THROW(z.ReadUE(), bv::BitstreamOverrun);
  EXPECT_THROW(n.ReadUE(), bv::BitstreamOverrun);
}

// Damaged parameter sets are refused, logged and leave the box unwritable;
// nothing is read outside the given bytes (the copies are exact-size heap
// buffers, so ASan sees any overrun). Random sets are the fuzz target's job.
TEST(HevcConfig, BadParameterSetsAreRefused) {
  const bvtest::ParameterSets ps = bvtest::FirstParameterSets("video_hevc.h265", true);
  int refused = 0;
  for (size_t len = 1; len < ps.sps.size(); ++len) {
    bvtest::StdoutCapture log;
    Hvcc hvcc({ps.vps, Bytes(ps.sps.begin(), ps.sps.begin() + static_cast<long>(len)), ps.pps});
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
  EXPECT_EQ(1u, c.arrays.size());

  Hvcc noVps({{}, ps.sps, ps.pps});
  EXPECT_EQ(0, noVps.box.VpsSize());
  EXPECT_THROW(noVps.box.Write(), bv::CodecConfigError);
}

// Sets the box cannot hold abandon the write with nothing staged; the next
// write is one box, from copies of the sets (the caller's buffer may change
// or go away), equal to FFmpeg's avcC for the same stream except for the
// four-byte extension FFmpeg adds for the High profile (100): this box ends
// after the PPS for every profile, so only the size field and those bytes
// differ.
TEST(AvcConfig, AbandonedWriteLeavesNothingAndTheNextEqualsFfmpeg) {
  const bvtest::ParameterSets ps = bvtest::FirstParameterSets("video_h264.h264", false);
  const Bytes& sps = ps.sps;
  const Bytes& pps = ps.pps;
  const uint16_t spsSize = static_cast<uint16_t>(sps.size()), ppsSize = static_cast<uint16_t>(pps.size());
  bvtest::MemoryStream out;
  bv::CMp4AvccAtom avcc(&out);
  const std::pair<uint16_t, uint16_t> bad[] = {{3, ppsSize}, {spsSize, 0}, {0, 0}};
  for (const auto& b : bad) {
    avcc.SetParameterSets(b.first ? sps.data() : nullptr, b.first, b.second ? pps.data() : nullptr, b.second);
    bvtest::StdoutCapture log;
    EXPECT_THROW(avcc.Write(), bv::CodecConfigError);
    EXPECT_NE(std::string::npos, log.Take().find("Invalid sps(" + std::to_string(b.first) + ") or pps(" +
                                                 std::to_string(b.second) + ") size !"));
    EXPECT_EQ(0u, out.Size());
  }
  Bytes gone(sps);
  avcc.SetParameterSets(gone.data(), spsSize, pps.data(), ppsSize);
  gone.assign(gone.size(), 0xEE);
  avcc.Write();
  const Bytes ours = out.All();
  EXPECT_EQ(avcc.GetSize(), ours.size());
  const Bytes ff = bvtest::ReadFile(bvtest::DataPath("ffmpeg_avcC.bin"));
  ASSERT_EQ(100, ff[9]);
  ASSERT_EQ(ours.size() + 4, ff.size());
  EXPECT_EQ(Bytes(ff.begin() + 4, ff.end() - 4), Bytes(ours.begin() + 4, ours.end()));
  EXPECT_EQ(ff.size() - 4, bvtest::BE32(ours, 0));
}
