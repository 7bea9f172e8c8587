// The tool's presentation order at the edges of the picture order count:
// H.264 memory management operation 5 (no common encoder emits it, so the
// streams are built here bit by bit), HEVC pictures that are not output, and
// a stream that starts at a CRA with leading pictures that cannot be decoded
// (FFmpeg's MP4 of the same packets is the oracle).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/poc_order.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;
using bvtool::PictureOrder;
using bvtool::VideoCodec;

namespace {

// Exp-Golomb bit writer for hand-built parameter sets and slice headers.
class Bits {
 public:
  Bits& U(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bits_.push_back(i < 32 && ((v >> i) & 1u));
    return *this;
  }
  Bits& Ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int n = 0;
    while ((x >> (n + 1)) != 0) ++n;
    U(0, n);
    for (int i = n; i >= 0; --i) bits_.push_back((x >> i) & 1u);
    return *this;
  }
  Bits& Se(int32_t v) { return Ue(v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * static_cast<uint32_t>(-v)); }
  // The NAL unit behind a 4-byte start code: header bytes, the bits with
  // their stop bit, emulation prevention.
  std::vector<uint8_t> Nal(std::vector<uint8_t> header) {
    U(1, 1);
    while (bits_.size() % 8) bits_.push_back(0);
    std::vector<uint8_t> out(4 + header.size(), 0);
    out[3] = 1;
    for (size_t i = 0; i < header.size(); ++i) out[4 + i] = header[i];
    int zeros = 0;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | bits_[i + k]);
      if (zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      zeros = byte == 0 ? zeros + 1 : 0;
      out.push_back(byte);
    }
    return out;
  }

 private:
  std::vector<uint8_t> bits_;
};

// H.264, order count type 0 with 4-bit lsb, 4-bit frame_num; `weighted` sets
// weighted_pred_flag in the PPS.
std::vector<uint8_t> H264Head(bool weighted) {
  std::vector<uint8_t> au = Bits()
                                .U(77, 8).U(0, 16).Ue(0)  // main profile, sps id 0
                                .Ue(0).Ue(0).Ue(0)        // frame_num 4 bits, type 0, lsb 4 bits
                                .Ue(2).U(0, 1).Ue(9).Ue(7).U(1, 1).U(1, 1).U(0, 1).U(0, 1)
                                .Nal({0x67});
  const std::vector<uint8_t> pps = Bits()
                                       .Ue(0).Ue(0).U(0, 1).U(0, 1).Ue(0).Ue(0).Ue(0)
                                       .U(weighted, 1).U(0, 2).Se(0).Se(0).Se(0).U(1, 1).U(0, 1).U(0, 1)
                                       .Nal({0x68});
  au.insert(au.end(), pps.begin(), pps.end());
  return au;
}

enum class Kind { kIdr, kP, kB };
enum class Marking { kNone, kMmco5, kMmco1Then5, kMmco1 };

struct H264Picture {
  Kind kind;
  uint32_t lsb;
  Marking marking;
};

// One slice; reference P slices also carry an override of the list size, a
// list modification and, with `weighted`, a weight table before the marking.
std::vector<uint8_t> H264Slice(const H264Picture& p, uint32_t frameNum, bool weighted) {
  Bits b;
  b.Ue(0).Ue(p.kind == Kind::kIdr ? 7 : p.kind == Kind::kP ? 5 : 6).Ue(0).U(frameNum & 15, 4);
  if (p.kind == Kind::kIdr) b.Ue(0);
  b.U(p.lsb, 4);
  if (p.kind == Kind::kIdr) return b.U(0, 1).U(0, 1).Nal({0x65});
  if (p.kind == Kind::kB) return b.U(1, 1).U(0, 1).U(0, 1).U(0, 1).Nal({0x01});  // non-reference
  b.U(1, 1).Ue(1);                   // two active references
  b.U(1, 1).Ue(0).Ue(0).Ue(3);       // one list modification
  if (weighted) {
    b.Ue(5).Ue(5);
    for (int i = 0; i < 2; ++i) b.U(1, 1).Se(3).Se(-2).U(1, 1).Se(1).Se(0).Se(-1).Se(2);
  }
  switch (p.marking) {
    case Marking::kNone: b.U(0, 1); break;
    case Marking::kMmco5: b.U(1, 1).Ue(5).Ue(0); break;
    case Marking::kMmco1Then5: b.U(1, 1).Ue(1).Ue(0).Ue(5).Ue(0); break;
    case Marking::kMmco1: b.U(1, 1).Ue(1).Ue(0).Ue(0); break;
  }
  return b.Nal({0x41});
}

std::vector<uint64_t> H264Slots(const std::vector<H264Picture>& pictures, bool weighted, uint64_t* delay) {
  PictureOrder order(VideoCodec::kH264);
  uint32_t frameNum = 0;
  for (size_t i = 0; i < pictures.size(); ++i) {
    std::vector<uint8_t> au = i == 0 ? H264Head(weighted) : std::vector<uint8_t>();
    const std::vector<uint8_t> slice = H264Slice(pictures[i], frameNum, weighted);
    au.insert(au.end(), slice.begin(), slice.end());
    order.Add(au);
    if (pictures[i].kind != Kind::kB) ++frameNum;
  }
  return order.Slots(delay);
}

// ffprobe's per-packet times of the video stream in decode order.
std::vector<std::pair<long long, long long>> PacketTimes(const std::string& path) {
  std::istringstream out(RunCommand("ffprobe -v error -select_streams v:0 -show_entries packet=pts,dts "
                                    "-of csv=p=0 '" + path + "'"));
  std::vector<std::pair<long long, long long>> times;
  for (std::string line; std::getline(out, line);) {
    long long p = 0, d = 0;
    if (std::sscanf(line.c_str(), "%lld,%lld", &p, &d) == 2) times.emplace_back(p, d);
  }
  return times;
}

std::string FrameMd5(const std::string& path) {
  return RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f framemd5 - | grep -v '^#'");
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
    const std::vector<H264Picture> pictures = {
        {Kind::kIdr, 0, Marking::kNone}, {Kind::kP, 6, Marking::kNone}, {Kind::kB, 2, Marking::kNone},
        {Kind::kB, 4, Marking::kNone},   {Kind::kP, 12, c.marking},     {Kind::kP, 6, Marking::kNone},
        {Kind::kB, 2, Marking::kNone},   {Kind::kB, 4, Marking::kNone},
    };
    uint64_t delay = 0;
    EXPECT_EQ(c.slots, H264Slots(pictures, c.weighted, &delay)) << c.name;
    EXPECT_EQ(c.delay, delay) << c.name;
  }
}

// A picture with pic_output_flag 0 keeps the slot its count gives it, and the
// flag's bit is stepped over to reach the count.
TEST(PocEdges, HevcPicturesNotOutputKeepTheirSlot) {
  PictureOrder order(VideoCodec::kHevc);
  const std::vector<uint8_t> sps = Bits()
                                       .U(0, 4).U(0, 3).U(1, 1).U(0, 96)  // one layer, blank profile
                                       .Ue(0).Ue(1).Ue(160).Ue(120).U(0, 1).Ue(0).Ue(0).Ue(4)  // 8-bit lsb
                                       .Nal({0x42, 0x01});
  const std::vector<uint8_t> pps = Bits().Ue(0).Ue(0).U(0, 1).U(1, 1).U(0, 3).Nal({0x44, 0x01});
  struct Picture {
    uint8_t type;
    uint32_t lsb;
    bool output;
  };
  const Picture pictures[] = {{19, 0, true}, {1, 4, true}, {0, 2, false}, {0, 1, true}, {0, 3, true}};
  for (const Picture& p : pictures) {
    Bits b;
    b.U(1, 1);
    if (p.type >= 16) b.U(0, 1);
    b.Ue(0).Ue(p.type >= 16 ? 2 : 1).U(p.output, 1);
    if (p.type != 19) b.U(p.lsb, 8);
    std::vector<uint8_t> au = p.type == 19 ? sps : std::vector<uint8_t>();
    if (p.type == 19) au.insert(au.end(), pps.begin(), pps.end());
    const std::vector<uint8_t> slice = b.Nal({static_cast<uint8_t>(p.type << 1), 0x01});
    au.insert(au.end(), slice.begin(), slice.end());
    order.Add(au);
  }
  uint64_t delay = 0;
  EXPECT_EQ((std::vector<uint64_t>{0, 4, 2, 1, 3}), order.Slots(&delay));
  EXPECT_EQ(2u, delay);
}

// A stream cut at a CRA keeps its RASL pictures, presented before the CRA and
// so outside the edit list, exactly as in FFmpeg's MP4 of the same packets:
// the same times per packet up to one shift, the same decoded pictures.
TEST(PocEdges, RaslPicturesOfAnOpeningCraLikeFfmpeg) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  const std::string stream = DataPath("bf_hevc_cra.hevc"), ref = DataPath("bf_hevc_cra.mp4");
  uint64_t delay = 0;
  const std::vector<uint64_t> slots = bvtool::PresentationSlots(stream, VideoCodec::kHevc, &delay);
  const std::vector<MediaFrame> frames = LoadAccessUnits("bf_hevc_cra.hevc");
  ASSERT_EQ(frames.size(), slots.size());
  ASSERT_GT(delay, 0u);
  TempDir dir;
  const std::string path = dir.File("cra.mp4");
  {
    StdoutCapture quiet;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), 0, &h));
    mp4_video_track_info_t v{12800, 512, MP4_VIDEO_HEVC, 160, 120, {nullptr}, 0, nullptr, 0, nullptr, 0};
    ASSERT_EQ(0, mp4_set_video_track(h, &v));
    for (size_t i = 0; i < frames.size(); ++i) {
      ASSERT_EQ(0, mp4_write_video_frame_ex(h, frames[i].bytes.data(), static_cast<uint32_t>(frames[i].bytes.size()),
                                            512 * i, 512 * (slots[i] + delay)))
          << i;
    }
    ASSERT_EQ(0, mp4_close_file(h));
  }
  const auto want = PacketTimes(ref), got = PacketTimes(path);
  ASSERT_EQ(want.size(), got.size());
  const long long shift = got[0].second - want[0].second;
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(want[i].first + shift, got[i].first) << "pts of packet " << i;
    EXPECT_EQ(want[i].second + shift, got[i].second) << "dts of packet " << i;
  }
  EXPECT_EQ(FrameMd5(ref), FrameMd5(path));
  EXPECT_EQ("", RunCommand("ffmpeg -nostdin -v warning -i '" + path + "' -f null - 2>&1"));
  EXPECT_EQ("", Probe(path).errors);
}
