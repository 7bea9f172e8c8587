// The bvmp4 tool's input readers against independent readings of the same
// media: FFmpeg's packets of the committed streams (tests/data/*.packets.txt)
// for access units and key flags, a plain scan for parameter sets, ffprobe
// for picture size and rate, and the ADTS frames' own length fields.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../tools/adts_reader.h"
#include "../tools/annexb_reader.h"
#include "../tools/sps_dimensions.h"
#include "VideoFrameParser.h"
#include "vui.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

namespace {

using bvtool::AccessUnit;
using bvtool::AccessUnitReader;
using bvtool::AdtsFrame;
using bvtool::AdtsReader;
using bvtool::MemorySource;
using bvtool::VideoCodec;
using Bytes = std::vector<uint8_t>;

struct Stream {
  const char* name;
  VideoCodec codec;
  bool cra = false;  // key frames are CRA pictures
};
const Stream kStreams[] = {
    {"video_h264.h264", VideoCodec::kH264},       {"bf_h264_pyramid.h264", VideoCodec::kH264},
    {"colour_h264_bt709.h264", VideoCodec::kH264}, {"video_hevc.h265", VideoCodec::kHevc},
    {"bf_hevc.hevc", VideoCodec::kHevc},           {"bf_hevc_cra.hevc", VideoCodec::kHevc, true},
    {"colour_hevc_pq.h265", VideoCodec::kHevc},    {"colour_hevc_hlg.h265", VideoCodec::kHevc},
};

// A packet's units, each behind 00 00 00 01. The tool drops every zero in
// front of a start code (no unit ends in 00) and at the end of the stream;
// the library's frame cutter drops one, the zero of a four-byte start code,
// and leaves the frame's last unit as it ends.
Bytes Units(const Bytes& b, bool allZeros) {
  Bytes out;
  for (size_t i = 0; i + 3 <= b.size();) {
    if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) {
      ++i;
      continue;
    }
    size_t next = i + 3;
    while (next + 3 <= b.size() && !(b[next] == 0 && b[next + 1] == 0 && b[next + 2] == 1)) ++next;
    const bool last = next + 3 > b.size();
    if (last) next = b.size();
    size_t end = next;
    while (end > i + 3 && b[end - 1] == 0 && (allZeros || (!last && end == next))) --end;
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), b.begin() + static_cast<long>(i + 3), b.begin() + static_cast<long>(end));
    i = next;
  }
  return out;
}

std::vector<AccessUnit> ReadAll(AccessUnitReader& reader) {
  std::vector<AccessUnit> aus;
  AccessUnit au;
  while (reader.Next(au)) aus.push_back(au);
  return aus;
}

// Read whole and in odd windows (units straddle every refill), each stream
// gives FFmpeg's packets with their key flags (IDR, and CRA as an IRAP), and
// the first parameter sets a plain scan finds. The library's frame cutter
// finds the same units in each packet and takes the same key frames, except
// CRA pictures (not sync samples); the parameter sets come with every key
// frame of these streams and only there.
TEST(ToolAccessUnits, StreamsAreCutAsFfmpegCutsThem) {
  const bv::CH264Nal h264;
  const bv::CHevcNal hevc;
  for (const Stream& s : kStreams) {
    const bool isHevc = s.codec == VideoCodec::kHevc;
    const Bytes stream = bvtest::ReadFile(bvtest::DataPath(s.name));
    const std::vector<bvtest::MediaFrame> packets = bvtest::LoadAccessUnits(s.name);
    const bvtest::ParameterSets sets = bvtest::FirstParameterSets(s.name, isHevc);
    for (size_t i = 0; i < packets.size(); ++i) {
      const uint32_t size = static_cast<uint32_t>(packets[i].bytes.size());
      bv::CVideoFrameParser slices, inPlace;
      slices.ParseFrame(packets[i].bytes.data(), size);
      Bytes units, prefixed, sample(2 * size + 16);
      for (const bv::_VIDEO_SLICE& u : slices) {
        units.insert(units.end(), {0, 0, 0, 1});
        units.insert(units.end(), u.data, u.data + u.size);
        const uint32_t n = u.size;
        prefixed.insert(prefixed.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        prefixed.insert(prefixed.end(), u.data, u.data + u.size);
      }
      EXPECT_TRUE(Units(packets[i].bytes, false) == units) << s.name << " packet " << i;
      // The sample built in one pass holds the same units behind their lengths.
      sample.resize(inPlace.ParseFrameInto(packets[i].bytes.data(), size, sample.data(), 2 * size + 16));
      EXPECT_TRUE(prefixed == sample) << s.name << " packet " << i;
      EXPECT_EQ(packets[i].key && !s.cra, bv::IsKeyFrame(isHevc ? static_cast<const bv::IVideoNalParser&>(hevc) : h264,
                                                          slices)) << s.name << " packet " << i;
      bv::VideoCodecData found;
      EXPECT_EQ(packets[i].key, bv::FindVideoCodecData(slices, isHevc ? 1 : 0, &found)) << s.name << " packet " << i;
    }
    for (const auto& [sourceBlock, windowBlock] : {std::pair<size_t, size_t>{SIZE_MAX, 1u << 20}, {7, 61}}) {
      SCOPED_TRACE(std::string(s.name) + " window " + std::to_string(windowBlock));
      MemorySource src(stream, sourceBlock);
      AccessUnitReader reader(src, s.codec, windowBlock);
      const std::vector<AccessUnit> aus = ReadAll(reader);
      ASSERT_EQ(packets.size(), aus.size());
      for (size_t i = 0; i < aus.size(); ++i) {
        EXPECT_TRUE(Units(packets[i].bytes, true) == aus[i].data) << "unit " << i;
        EXPECT_EQ(packets[i].key, aus[i].key) << "unit " << i;
      }
      EXPECT_EQ(sets.sps, reader.sps());
      EXPECT_EQ(sets.pps, reader.pps());
      EXPECT_EQ(sets.vps, reader.vps());
    }
  }
}

// What the committed streams do not hold: garbage and zeros around start
// codes, streams cut short, units that close a picture (H.264 end of
// sequence, HEVC suffix SEI) and units that open the next (HEVC prefix SEI).
TEST(ToolAccessUnits, ZerosGarbageCutStreamsAndClosingUnits) {
  struct Case {
    VideoCodec codec;
    Bytes in;
    std::vector<Bytes> aus;
  };
  const VideoCodec h264 = VideoCodec::kH264, hevc = VideoCodec::kHevc;
  const std::vector<Case> cases = {
      {h264, {0x12, 0x34, 0, 0, 0, 0, 1, 0x65, 0x88, 0x10, 0, 0, 0, 0, 1, 0x41, 0x9A, 0x20, 0},
       {{0, 0, 0, 1, 0x65, 0x88, 0x10}, {0, 0, 0, 1, 0x41, 0x9A, 0x20}}},
      {h264, {0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41, 0x9A, 0x02, 0, 0},
       {{0, 0, 0, 1, 0x65, 0x88}, {0, 0, 0, 1, 0x41, 0x9A, 0x02}}},
      {h264, {}, {}},
      {h264, {0, 0, 1}, {}},
      {h264, {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, {}},  // no picture after the sets
      {h264, {0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x41, 0x1A},  // SEI opens, the slice is no first
       {{0, 0, 0, 1, 0x41, 0x9A}, {0, 0, 0, 1, 0x06, 0x05, 0, 0, 0, 1, 0x41, 0x1A}}},
      {h264, {0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x0A, 0, 0, 1, 0x41, 0x9B},
       {{0, 0, 0, 1, 0x41, 0x9A, 0, 0, 0, 1, 0x0A}, {0, 0, 0, 1, 0x41, 0x9B}}},
      // TRAIL with a second segment, suffix SEI; prefix SEI, TRAIL.
      {hevc, {0, 0, 1, 2, 1, 0xD0, 0, 0, 1, 2, 1, 0x50, 0, 0, 1, 80, 1, 5, 0, 0, 1, 78, 1, 5, 0, 0, 1, 2, 1, 0xD1},
       {{0, 0, 0, 1, 2, 1, 0xD0, 0, 0, 0, 1, 2, 1, 0x50, 0, 0, 0, 1, 80, 1, 5},
        {0, 0, 0, 1, 78, 1, 5, 0, 0, 0, 1, 2, 1, 0xD1}}},
  };
  for (const Case& c : cases) {
    MemorySource src(c.in);
    AccessUnitReader reader(src, c.codec);
    std::vector<Bytes> got;
    for (const AccessUnit& au : ReadAll(reader)) got.push_back(au.data);
    EXPECT_EQ(c.aus, got) << ::testing::PrintToString(c.in);
  }
}

TEST(ToolAccessUnits, CodecIsGuessedFromTheExtension) {
  const std::pair<const char*, int> cases[] = {{"a/b.H264", 0}, {"clip.265", 1}, {"clip.hevc", 1}, {"clip.bin", -1},
                                               {"noext", -1}};
  for (const auto& c : cases) {
    VideoCodec codec = c.second == 0 ? VideoCodec::kHevc : VideoCodec::kH264;
    EXPECT_EQ(c.second >= 0, bvtool::GuessVideoCodec(c.first, &codec)) << c.first;
    if (c.second >= 0) { EXPECT_EQ(c.second == 0 ? VideoCodec::kH264 : VideoCodec::kHevc, codec) << c.first; }
  }
}

// A minimal ADTS frame: AAC LC, given sampling index, stereo, no CRC.
Bytes AdtsFrameBytes(uint32_t payload, uint8_t samplingIndex, uint8_t fill) {
  const uint32_t len = payload + 7;
  Bytes f(len, fill);
  const uint8_t header[7] = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (samplingIndex << 2)),
                             static_cast<uint8_t>((2 << 6) | ((len >> 11) & 3)), static_cast<uint8_t>((len >> 3) & 0xFF),
                             static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
  std::copy(header, header + 7, f.begin());
  return f;
}

// Frames at 48 and 44.1 kHz among garbage, sync-like garbage and headers
// that cannot start a frame (a reserved sampling index, layer 1, a length
// shorter than the header): the frames come out whole with their headers'
// rate and channels, the rest is skipped and counted, and a last frame cut
// short is reported, not returned.
TEST(ToolAdts, GarbageAndBadHeadersAreSkippedAndATruncatedTailReported) {
  const Bytes a = AdtsFrameBytes(20, 3, 0x11), b = AdtsFrameBytes(30, 4, 0x22), c = AdtsFrameBytes(5, 3, 0x33);
  Bytes badIndex = AdtsFrameBytes(8, 13, 0x44), badLayer = AdtsFrameBytes(8, 3, 0x55);
  Bytes tooShort = AdtsFrameBytes(0, 3, 0);
  badLayer[1] = 0xF3;
  tooShort[4] = 0;
  tooShort[5] = 0xDF;  // frame length 6
  Bytes s = {0x00, 0x11, 0xFF, 0x00};
  s.insert(s.end(), a.begin(), a.end());
  s.insert(s.end(), {0xFF, 0xFF, 0x12, 0x00, 0xAA});
  for (const Bytes* bad : {&badIndex, &badLayer, &tooShort}) s.insert(s.end(), bad->begin(), bad->end());
  s.insert(s.end(), b.begin(), b.end());
  s.insert(s.end(), c.begin(), c.end());
  const Bytes whole = s;
  s.insert(s.end(), a.begin(), a.begin() + 20);
  const uint64_t garbage = 4 + 5 + badIndex.size() + badLayer.size() + tooShort.size();
  for (const Bytes& stream : {whole, s}) {
    for (size_t block : {size_t{1} << 20, size_t{3}, size_t{8}}) {
      MemorySource src(stream);
      AdtsReader reader(src, block);
      std::vector<Bytes> frames;
      std::string formats;
      AdtsFrame f;
      while (reader.Next(f)) {
        frames.push_back(f.data);
        formats += std::to_string(f.header.sample_rate) + "/" + std::to_string(f.header.channels) + " ";
      }
      EXPECT_EQ((std::vector<Bytes>{a, b, c}), frames) << block;
      EXPECT_EQ("48000/2 44100/2 48000/2 ", formats);
      const bool truncated = stream.size() != whole.size();
      EXPECT_EQ(garbage + (truncated ? 20 : 0), reader.skipped_bytes());
      EXPECT_EQ(truncated, reader.truncated_tail());
      EXPECT_FALSE(reader.Next(f));  // stays at the end
    }
  }
  for (const Bytes& empty : {Bytes{}, Bytes{0xFF, 0xF1, 0x50}, Bytes(100, 0x00), Bytes(100, 0xFF)}) {
    MemorySource src(empty);
    AdtsReader reader(src);
    AdtsFrame f;
    EXPECT_FALSE(reader.Next(f)) << empty.size();
  }
}

// Baseline without VUI: a size (320x240, and 314x240 cropped by two chroma
// columns on the left and one on the right, which no committed stream has)
// and no rate.
TEST(ToolSps, WithoutVuiThereIsASizeAndNoRate) {
  const std::pair<Bytes, uint32_t> cases[] = {
      {{0x67, 0x42, 0x00, 0x1E, 0xDA, 0x05, 0x07, 0xE4}, 320},
      {bvtest::BitWriter().U(0x67, 8).U(66, 8).U(0, 8).U(30, 8).Ue({0, 0, 2, 1}).U(0, 1).Ue({19, 14}).U(7, 3)
           .Ue({2, 1, 0, 0}).U(0, 1).Nal(), 314},
  };
  for (const auto& [sps, width] : cases) {
    bvtool::SpsInfo info;
    ASSERT_TRUE(bvtool::ReadSps(VideoCodec::kH264, sps, &info));
    EXPECT_EQ(width, info.size.width);
    EXPECT_EQ(240u, info.size.height);
    EXPECT_EQ(0u, info.rate.num);
  }
  bvtool::PictureSize size;
  EXPECT_FALSE(bvtool::PictureSizeFromSps(VideoCodec::kH264, {0x67, 0x42}, &size));
  EXPECT_FALSE(bvtool::PictureSizeFromSps(VideoCodec::kH264, {}, &size));
}

// An SPS cut anywhere: the tool's reader either still gives the whole one's
// size and rate or reports no rate (never another one); the library's VUI
// reader fails and reports nothing or gives exactly the whole one's fields
// (the whole ones are checked against ffprobe below and FFmpeg's colour boxes
// in the colour test). The other codec's VUI reader refuses the unit.
TEST(SpsReaders, CutSetsGiveAllOrNothing) {
  auto vuiOf = [](bool hevc, const Bytes& sps, bv::VideoUsability* v) {
    return hevc ? bv::ReadHevcVui(sps.data(), sps.size(), v) : bv::ReadH264Vui(sps.data(), sps.size(), v);
  };
  auto same = [](const bv::VideoUsability& a, const bv::VideoUsability& b) {
    return a.sarWidth == b.sarWidth && a.sarHeight == b.sarHeight && a.colourDescription == b.colourDescription &&
           a.colourPrimaries == b.colourPrimaries && a.transferCharacteristics == b.transferCharacteristics &&
           a.matrixCoefficients == b.matrixCoefficients && a.fullRange == b.fullRange;
  };
  for (const Stream& s : kStreams) {
    SCOPED_TRACE(s.name);
    const bool hevc = s.codec == VideoCodec::kHevc;
    const Bytes sps = bvtest::FirstParameterSets(s.name, hevc).sps;
    bvtool::SpsInfo whole;
    bv::VideoUsability vui, other;
    ASSERT_TRUE(bvtool::ReadSps(s.codec, sps, &whole));
    ASSERT_NE(0u, whole.rate.num);
    ASSERT_TRUE(vuiOf(hevc, sps, &vui));
    EXPECT_EQ(std::string(s.name).rfind("colour", 0) == 0, vui.colourDescription);
    EXPECT_FALSE(vuiOf(!hevc, sps, &other));
    for (size_t n = 0; n < sps.size(); ++n) {
      const Bytes cut(sps.begin(), sps.begin() + static_cast<long>(n));
      bvtool::SpsInfo info;
      const bool ok = bvtool::ReadSps(s.codec, cut, &info);
      if (info.rate.num != 0) { EXPECT_TRUE(whole.rate.num == info.rate.num && whole.rate.den == info.rate.den) << n; }
      if (ok) { EXPECT_TRUE(whole.size.width == info.size.width && whole.size.height == info.size.height) << n; }
      bv::VideoUsability c;
      EXPECT_TRUE(same(vuiOf(hevc, cut, &c) ? vui : bv::VideoUsability(), c)) << n;
    }
  }
}

#ifdef BV_FFPROBE
// The committed streams (H.264 at 160x120 crops 8 coded lines), the bundled
// clip and an HEVC clip with a conformance window (180 lines coded as 184):
// size and rate are ffprobe's.
TEST(ToolSps, SizeAndRateAsFfprobeReadsThem) {
  bvtest::TempDir dir;
  const std::string hevc = dir.File("clip.hevc");
  const std::string encode = std::string(BV_FFMPEG) +
                             " -v error -y -f lavfi -i testsrc2=size=320x180:rate=25:duration=0.2 -c:v libx265"
                             " -x265-params log-level=none:bframes=0 -f hevc '" + hevc + "'";
  std::vector<std::pair<std::string, VideoCodec>> paths = {{bvtest::DataPath("../../samples/sample.h264"),
                                                            VideoCodec::kH264}};
  if (std::system(encode.c_str()) == 0) paths.emplace_back(hevc, VideoCodec::kHevc);  // ffmpeg may lack libx265
  for (const Stream& s : kStreams) paths.emplace_back(bvtest::DataPath(s.name), s.codec);
  for (const auto& [path, codec] : paths) {
    SCOPED_TRACE(path);
    const Bytes sps = bvtest::FirstParameterSetsIn(bvtest::ReadFile(path), codec == VideoCodec::kHevc).sps;
    bvtool::SpsInfo whole;
    bvtool::PictureSize size;
    ASSERT_TRUE(bvtool::ReadSps(codec, sps, &whole));
    ASSERT_TRUE(bvtool::PictureSizeFromSps(codec, sps, &size));
    EXPECT_EQ(bvtest::RunCommand(std::string(BV_FFPROBE) +
                                 " -v error -show_entries stream=width,height,r_frame_rate -of csv=p=0 '" + path + "'"),
              std::to_string(size.width) + "," + std::to_string(size.height) + "," + std::to_string(whole.rate.num) +
                  "/" + std::to_string(whole.rate.den) + "\n");
  }
}
#endif

}  // namespace
