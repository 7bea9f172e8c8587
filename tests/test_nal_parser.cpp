// Cutting frames into NAL units, classifying them and finding parameter sets,
// checked against a plain reference scanner and hand-made buffers (the
// committed streams against FFmpeg's packets are the tool readers' test).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "VideoFrameParser.h"
#include "media_source.h"
#include "test_support.h"

using bv::_VIDEO_SLICE;
using bv::CVideoFrameParser;
using Bytes = std::vector<uint8_t>;

namespace {

using Split = std::vector<std::pair<size_t, size_t>>;

// The cutting rule written as plainly as possible: every position is tried,
// slices are collected as (offset, size) pairs.
Split ReferenceSplit(const Bytes& b) {
  Split out;
  for (size_t i = 0; i + 4 <= b.size(); ++i) {
    if (!(b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1)) continue;
    if (!out.empty()) out.back().second = (i > 0 && b[i - 1] == 0 ? i - 1 : i) - out.back().first;
    out.emplace_back(i + 3, b.size() - i - 3);
  }
  return out;
}

Split Parse(const Bytes& b) {
  CVideoFrameParser p;
  const size_t n = p.ParseFrame(b.data(), static_cast<uint32_t>(b.size()));
  EXPECT_EQ(n, p.size());
  Split out;
  for (const _VIDEO_SLICE& s : p) out.emplace_back(static_cast<size_t>(s.data - b.data()), s.size);
  return out;
}

}  // namespace

TEST(ParseFrame, CutsAtStartCodesTrimmingOneZero) {
  struct Case {
    Bytes in;
    Split want;
  };
  const Case cases[] = {
      // Four- and three-byte start codes.
      {{0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC}, {{4, 2}, {10, 2}, {15, 2}}},
      // Two start codes in a row give an empty slice.
      {{0, 0, 1, 0, 0, 1, 0x41, 0xAA}, {{3, 0}, {6, 2}}},
      // A start code ending on the last byte is not recognised.
      {{0, 0, 1, 0x41, 0xAA, 0, 0, 1}, {{3, 5}}},
      // Only one of two zeros before a four-byte start code is trimmed.
      {{0, 0, 1, 0x41, 0xAA, 0, 0, 0, 0, 1, 0x42}, {{3, 3}, {10, 1}}},
      // The shortest buffer with a slice, and buffers too short for one.
      {{0, 0, 1, 0x41}, {{3, 1}}},
      {{0, 0, 1}, {}},
      {{0x41, 0x42, 0x43, 0x44, 0x45}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.want, Parse(c.in)) << ::testing::PrintToString(c.in);
    EXPECT_EQ(c.want, ReferenceSplit(c.in)) << "reference scanner disagrees with the hand result";
  }
  CVideoFrameParser p;
  EXPECT_EQ(0u, p.ParseFrame(nullptr, 100));
}

TEST(ParseFrame, EveryScanMatchesReferenceScannerOnRandomBuffers) {
  const int scans = bvtest::ForEachStartCodeScan([&] {
    // Zeros and ones dominate so that start codes, near misses and runs of
    // zeros land everywhere, also across the 64-byte blocks of the vector scans
    // (the fuzz target checks only the count, and only for the best scan).
    std::mt19937 rng(1234);
    for (int round = 0; round < 3000; ++round) {
      const size_t len = rng() % 300;  // every alignment of a start code against the blocks
      Bytes b(len);
      for (uint8_t& x : b) {
        const uint32_t r = rng() % 10;
        x = r < 4 ? 0 : r < 6 ? 1 : static_cast<uint8_t>(rng());
      }
      ASSERT_EQ(ReferenceSplit(b), Parse(b)) << "round " << round;
    }
  });
  EXPECT_GE(scans, 2);
}

TEST(NalClassifier, TypesFrameUnitsAndKeyFrames) {
  bv::CH264Nal h264;
  bv::CHevcNal hevc;
  for (int t = 0; t < 64; ++t) {
    for (int extra : {0x00, 0x60, 0xE0}) {  // H.264 nal_ref_idc and forbidden bit ignored
      const uint8_t b = static_cast<uint8_t>(extra | (t & 31));
      EXPECT_EQ(t & 31, h264.GetNalType(&b, 1));
      EXPECT_EQ(!((t & 31) >= 6 && (t & 31) <= 9), h264.IsFrameNal(&b, 1)) << t;
      EXPECT_EQ((t & 31) == 5, h264.IsKeyFrameNal(&b, 1)) << t;
    }
    for (int low : {0, 1}) {  // top bit of nuh_layer_id
      const uint8_t b = static_cast<uint8_t>((t << 1) | low);
      EXPECT_EQ(t, hevc.GetNalType(&b, 1));
      EXPECT_EQ(t <= 21 || t == 39, hevc.IsFrameNal(&b, 1)) << t;
      // CRA (21) and BLA (16-18) are random-access points but not sync samples.
      EXPECT_EQ(t == 19 || t == 20, hevc.IsKeyFrameNal(&b, 1)) << t;
    }
  }
}

TEST(CodecDataSearch, NeedsTheCompleteSetInOneFrame) {
  bv::VideoCodecData found;
  // H.264: a later SPS replaces an earlier one; the search stops once both are known.
  const Bytes h264 = {0, 0, 1, 0x67, 1, 0, 0, 1, 0x67, 2, 2, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x67, 4};
  CVideoFrameParser p;
  p.ParseFrame(h264.data(), static_cast<uint32_t>(h264.size()));
  ASSERT_TRUE(bv::FindVideoCodecData(p, 0, &found));
  EXPECT_EQ(h264.data() + 8, found.sps.data);
  EXPECT_EQ(3u, found.sps.size);
  EXPECT_EQ(h264.data() + 14, found.pps.data);
  EXPECT_EQ(nullptr, found.vps.data);

  // HEVC with SPS and PPS but no VPS is incomplete; with the VPS it is complete.
  const Bytes noVps = {0, 0, 1, 0x42, 1, 7, 0, 0, 1, 0x44, 1, 8, 0, 0, 1, 0x26, 1, 9};
  CVideoFrameParser q;
  q.ParseFrame(noVps.data(), static_cast<uint32_t>(noVps.size()));
  EXPECT_FALSE(bv::FindVideoCodecData(q, 1, &found));
  EXPECT_NE(nullptr, found.sps.data);
  EXPECT_EQ(nullptr, found.vps.data);
  const Bytes full = {0, 0, 1, 0x40, 1, 6, 0, 0, 1, 0x42, 1, 7, 0, 0, 1, 0x44, 1, 8};
  CVideoFrameParser r;
  r.ParseFrame(full.data(), static_cast<uint32_t>(full.size()));
  EXPECT_TRUE(bv::FindVideoCodecData(r, 1, &found));
  EXPECT_EQ(full.data() + 3, found.vps.data);

  bvtest::StdoutCapture log;
  EXPECT_FALSE(bv::FindVideoCodecData(r, 2, &found));
  EXPECT_NE(std::string::npos, log.Take().find("unknown codec type 2"));
}
