// The tool's presentation order at the edges of the picture order count:
// H.264 memory management operation 5 (no common encoder emits it, so the
// streams are built here bit by bit) and HEVC pictures that are not output.
// A stream opening at a CRA is BFrames' (against FFmpeg's MP4).
#include <gtest/gtest.h>

#include <vector>

#include "../tools/poc_order.h"
#include "media_source.h"

using bvtest::BitWriter;
using bvtool::PictureOrder;
using bvtool::VideoCodec;
using Bytes = std::vector<uint8_t>;

namespace {

enum class Kind { kIdr, kP, kB };
enum class Marking { kNone, kMmco5, kMmco1Then5, kMmco1 };

struct H264Picture {
  Kind kind;
  uint32_t lsb;
  Marking marking;
};

// Order count type 0 with 4-bit lsb, 4-bit frame_num; `weighted` sets
// weighted_pred_flag in the PPS.
Bytes H264Head(bool weighted) {
  // Main profile; SPS 0, both lengths 4 bits, type 0; 2 references, 10x8
  // macroblocks, frames only, direct 8x8, no cropping, no VUI.
  Bytes au = BitWriter().U(0x67, 8).U(77, 8).U(0, 16).Ue({0, 0, 0, 0, 2}).U(0, 1).Ue({9, 7}).U(0xC, 4).AnnexB();
  const Bytes pps =
      BitWriter().U(0x68, 8).Ue({0, 0}).U(0, 2).Ue({0, 0, 0}).U(weighted, 1).U(0, 2).Ue({0, 0, 0}).U(4, 3).AnnexB();
  au.insert(au.end(), pps.begin(), pps.end());
  return au;
}

// One slice; reference P slices also carry an override of the list size, a
// list modification and, with `weighted`, a weight table before the marking.
Bytes H264Slice(const H264Picture& p, uint32_t frameNum, bool weighted) {
  const bool idr = p.kind == Kind::kIdr, ref = p.kind == Kind::kP;
  BitWriter b;
  b.U(idr ? 0x65 : ref ? 0x41 : 0x01, 8).Ue({0, idr ? 7u : ref ? 5u : 6u, 0}).U(frameNum & 15, 4);
  if (idr) b.Ue({0});
  b.U(p.lsb, 4);
  if (idr) return b.U(0, 2).AnnexB();
  if (!ref) return b.U(8, 4).AnnexB();  // direct spatial; no override or modification; not a reference
  b.U(1, 1).Ue({1}).U(1, 1).Ue({0, 0, 3});
  if (weighted) {
    b.Ue({5, 5});
    for (int i = 0; i < 2; ++i) b.U(1, 1).Se(3).Se(-2).U(1, 1).Se(1).Se(0).Se(-1).Se(2);
  }
  switch (p.marking) {
    case Marking::kNone: b.U(0, 1); break;
    case Marking::kMmco5: b.U(1, 1).Ue({5, 0}); break;
    case Marking::kMmco1Then5: b.U(1, 1).Ue({1, 0, 5, 0}); break;
    case Marking::kMmco1: b.U(1, 1).Ue({1, 0, 0}); break;
  }
  return b.AnnexB();
}

}  // namespace

// Operation 5 presents every earlier picture first and counts the pictures
// after it from 0; other operations leave the count alone. The P slices
// carry list sizes, modifications and weights that the reader must step over
// to reach the marking.
TEST(PocEdges, H264MemoryManagementOperation5RestartsTheCount) {
  struct Case {
    const char* name;
    bool weighted;
    Marking marking;
    std::vector<uint64_t> slots;
    uint64_t delay;  // the most a picture is presented before its decode slot
  };
  // Decode order: IDR 0, P 6, B 2, B 4, then P 12 with the marking, P 6, B 2, B 4.
  const Case cases[] = {
      {"operation 5", false, Marking::kMmco5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      {"operation 5 behind weights", true, Marking::kMmco5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      {"operation 1 then 5", true, Marking::kMmco1Then5, {0, 3, 1, 2, 4, 7, 5, 6}, 1},
      // Without a restart P 12 comes last and the later 6, 2 and 4 count on
      // from the earlier ones.
      {"operation 1 only", true, Marking::kMmco1, {0, 5, 1, 3, 7, 6, 2, 4}, 4},
      {"no marking", false, Marking::kNone, {0, 5, 1, 3, 7, 6, 2, 4}, 4},
  };
  for (const Case& c : cases) {
    const H264Picture pictures[] = {
        {Kind::kIdr, 0, Marking::kNone}, {Kind::kP, 6, Marking::kNone}, {Kind::kB, 2, Marking::kNone},
        {Kind::kB, 4, Marking::kNone},   {Kind::kP, 12, c.marking},     {Kind::kP, 6, Marking::kNone},
        {Kind::kB, 2, Marking::kNone},   {Kind::kB, 4, Marking::kNone},
    };
    PictureOrder order(VideoCodec::kH264);
    uint32_t frameNum = 0;
    for (const H264Picture& p : pictures) {
      Bytes au = frameNum == 0 ? H264Head(c.weighted) : Bytes();
      const Bytes slice = H264Slice(p, frameNum, c.weighted);
      au.insert(au.end(), slice.begin(), slice.end());
      order.Add(au);
      frameNum += p.kind != Kind::kB;
    }
    uint64_t delay = 0;
    EXPECT_EQ(c.slots, order.Slots(&delay)) << c.name;
    EXPECT_EQ(c.delay, delay) << c.name;
  }
}

// A picture with pic_output_flag 0 keeps the slot its count gives it, and the
// flag's bit is stepped over to reach the count.
TEST(PocEdges, HevcPicturesNotOutputKeepTheirSlot) {
  PictureOrder order(VideoCodec::kHevc);
  // One layer, temporal nesting, a blank profile; 160x120 4:2:0, 8-bit lsb.
  Bytes head = BitWriter().U(0x4201, 16).U(1, 8).U(0, 96).Ue({0, 1, 160, 120}).U(0, 1).Ue({0, 0, 4}).AnnexB();
  const Bytes pps = BitWriter().U(0x4401, 16).Ue({0, 0}).U(0, 1).U(1, 1).U(0, 3).AnnexB();  // output flag present
  head.insert(head.end(), pps.begin(), pps.end());
  struct Picture {
    uint8_t type;
    uint32_t lsb;
    bool output;
  };
  const Picture pictures[] = {{19, 0, true}, {1, 4, true}, {0, 2, false}, {0, 1, true}, {0, 3, true}};
  for (const Picture& p : pictures) {
    BitWriter b;
    b.U(p.type << 9 | 1, 16).U(1, 1);
    if (p.type >= 16) b.U(0, 1);
    b.Ue({0, p.type >= 16 ? 2u : 1u}).U(p.output, 1);
    if (p.type != 19) b.U(p.lsb, 8);
    Bytes au = p.type == 19 ? head : Bytes();
    const Bytes slice = b.AnnexB();
    au.insert(au.end(), slice.begin(), slice.end());
    order.Add(au);
  }
  uint64_t delay = 0;
  EXPECT_EQ((std::vector<uint64_t>{0, 4, 2, 1, 3}), order.Slots(&delay));
  EXPECT_EQ(2u, delay);
}
