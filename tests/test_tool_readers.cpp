// The bvmp4 tool's input readers: access-unit cutting of Annex-B streams,
// ADTS framing and the picture size from the SPS. ffprobe's reading of the
// same files is the oracle where it is available.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/adts_reader.h"
#include "../tools/annexb_reader.h"
#include "../tools/sps_dimensions.h"
#include "conformance.h"
#include "test_support.h"

namespace {

using bvtool::AccessUnit;
using bvtool::AccessUnitReader;
using bvtool::AdtsFrame;
using bvtool::AdtsReader;
using bvtool::MemorySource;
using bvtool::VideoCodec;
using Bytes = std::vector<uint8_t>;

// The test data folder is <root>/tests/data, which need not exist; cut the
// path text instead of letting the file system resolve "..".
[[maybe_unused]] std::string SamplePath(const std::string& name) {
  std::string root = BV_TEST_DATA_DIR;
  const std::string tail = "/tests/data";
  if (root.size() >= tail.size() && root.compare(root.size() - tail.size(), tail.size(), tail) == 0)
    root.resize(root.size() - tail.size());
  return root + "/samples/" + name;
}

struct ReadAus {
  std::vector<AccessUnit> aus;
  Bytes sps;
};

ReadAus ReadAllAus(const Bytes& stream, VideoCodec codec, size_t source_block = SIZE_MAX,
                   size_t window_block = size_t{1} << 20) {
  MemorySource src(stream, source_block);
  AccessUnitReader reader(src, codec, window_block);
  ReadAus out;
  AccessUnit au;
  while (reader.Next(au)) out.aus.push_back(au);
  out.sps = reader.sps();
  return out;
}

void Append(Bytes& b, std::initializer_list<uint8_t> bytes) { b.insert(b.end(), bytes); }

// A minimal ADTS frame: AAC LC, given sampling index, stereo, no CRC.
Bytes AdtsFrameBytes(uint32_t payload, uint8_t sampling_index = 3, uint8_t fill = 0x21) {
  const uint32_t len = payload + 7;
  // Sized once, header written in place: no insert into a 7-byte vector.
  Bytes f(len, fill);
  const uint8_t header[7] = {0xFF, 0xF1, static_cast<uint8_t>((1 << 6) | (sampling_index << 2)),
                             static_cast<uint8_t>((2 << 6) | ((len >> 11) & 3)), static_cast<uint8_t>((len >> 3) & 0xFF),
                             static_cast<uint8_t>(((len & 7) << 5) | 0x1F), 0xFC};
  std::copy(header, header + 7, f.begin());
  return f;
}

TEST(ToolAccessUnits, PrefixUnitsJoinTheFollowingPictureAtAnyBlockBoundary) {
  // SPS, PPS, IDR in two slices: the first unit, its start codes all four bytes long.
  Bytes s = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1E, 0xAB, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80,
             0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0, 0, 1, 0x65, 0x40, 0x11, 0x22};
  Bytes first = s;
  first.insert(first.begin() + 24, 0);
  first.insert(first.begin() + 9, 0);
  // then SEI, P; AUD, P, end of sequence
  Append(s, {0, 0, 0, 1, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 1, 0x41, 0x9A, 0x02, 0x03});
  Append(s, {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x41, 0x9A, 0x04, 0x05, 0, 0, 0, 1, 0x0A});
  for (size_t block : {size_t{1} << 20, size_t{1}, size_t{3}, size_t{7}}) {
    SCOPED_TRACE(block);
    const ReadAus r = ReadAllAus(s, VideoCodec::kH264, block, std::max<size_t>(block, 1));
    ASSERT_EQ(3u, r.aus.size());
    EXPECT_EQ(4u, r.aus[0].nal_count);  // SPS, PPS, two IDR slices
    EXPECT_EQ(2u, r.aus[1].nal_count);  // SEI, P
    EXPECT_EQ(3u, r.aus[2].nal_count);  // AUD, P, end of sequence
    EXPECT_EQ((std::vector<bool>{true, false, false}),
              (std::vector<bool>{r.aus[0].key, r.aus[1].key, r.aus[2].key}));
    EXPECT_EQ(first, r.aus[0].data);
    EXPECT_EQ((Bytes{0x67, 0x42, 0x00, 0x1E, 0xAB}), r.sps);
  }
  // HEVC: a suffix SEI stays with its picture, a prefix SEI opens the next;
  // IDR and CRA are key.
  Bytes h;
  Append(h, {0, 0, 0, 1, 32 << 1, 0x01, 0x0C, 0, 0, 0, 1, 33 << 1, 0x01, 0x01, 0, 0, 0, 1, 34 << 1, 0x01, 0xC1});
  Append(h, {0, 0, 0, 1, 19 << 1, 0x01, 0xAF, 0x10, 0, 0, 0, 1, 19 << 1, 0x01, 0x2F, 0x11});  // IDR, two segments
  Append(h, {0, 0, 0, 1, 40 << 1, 0x01, 0x05});                                              // suffix SEI
  Append(h, {0, 0, 0, 1, 39 << 1, 0x01, 0x05, 0, 0, 0, 1, 1 << 1, 0x01, 0xD0, 0x12});        // prefix SEI, TRAIL
  Append(h, {0, 0, 0, 1, 21 << 1, 0x01, 0xA0, 0x13});                                        // CRA
  const ReadAus r = ReadAllAus(h, VideoCodec::kHevc);
  ASSERT_EQ(3u, r.aus.size());
  EXPECT_EQ((std::vector<uint32_t>{6, 2, 1}), (std::vector<uint32_t>{r.aus[0].nal_count, r.aus[1].nal_count,
                                                                     r.aus[2].nal_count}));
  EXPECT_EQ((std::vector<bool>{true, false, true}), (std::vector<bool>{r.aus[0].key, r.aus[1].key, r.aus[2].key}));
}

TEST(ToolAccessUnits, ZerosAroundStartCodesGarbageAndCutStreams) {
  struct Case {
    Bytes in;
    std::vector<Bytes> aus;
  };
  const std::vector<Case> cases = {
      // Garbage before the first start code, trailing zeros behind a slice.
      {{0x12, 0x34, 0, 0, 0, 0, 1, 0x65, 0x88, 0x10, 0, 0, 0, 0, 1, 0x41, 0x9A, 0x20, 0},
       {{0, 0, 0, 1, 0x65, 0x88, 0x10}, {0, 0, 0, 1, 0x41, 0x9A, 0x20}}},
      // A stream cut inside a slice still hands out what it has.
      {{0, 0, 0, 1, 0x65, 0x88, 0, 0, 0, 1, 0x41, 0x9A, 0x02, 0, 0},
       {{0, 0, 0, 1, 0x65, 0x88}, {0, 0, 0, 1, 0x41, 0x9A, 0x02}}},
      {{}, {}}, {{0, 0, 1}, {}},
      // Parameter sets with no picture after them are no access unit.
      {{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, {}},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> got;
    for (const AccessUnit& au : ReadAllAus(c.in, VideoCodec::kH264).aus) got.push_back(au.data);
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

TEST(ToolAdts, HeaderFieldsAreDecoded) {
  const Bytes f = AdtsFrameBytes(10, 4);
  bvtool::AdtsHeader h;
  ASSERT_TRUE(bvtool::ParseAdtsHeader(f.data(), &h));
  EXPECT_EQ(44100u, h.sample_rate);
  EXPECT_EQ(2u, h.channels);
  EXPECT_EQ(2u, h.object_type);
  EXPECT_EQ(17u, h.frame_size);
  EXPECT_EQ(7u, h.header_size);
  Bytes badIndex = f, badLayer = f, tooShort = AdtsFrameBytes(0);
  badIndex[2] = static_cast<uint8_t>((badIndex[2] & ~0x3C) | (13 << 2));
  badLayer[1] = 0xF3;
  tooShort[4] = 0;
  tooShort[5] = 0xDF;  // frame length 6 < header
  for (const Bytes& bad : {badIndex, badLayer, tooShort}) EXPECT_FALSE(bvtool::ParseAdtsHeader(bad.data(), &h));
}

TEST(ToolAdts, GarbageIsSkippedAndATruncatedTailReported) {
  Bytes s = {0x00, 0x11, 0xFF, 0x00};  // garbage, including a lone 0xFF
  const Bytes a = AdtsFrameBytes(20, 3, 0x11), b = AdtsFrameBytes(30, 3, 0x22), c = AdtsFrameBytes(5, 3, 0x33);
  s.insert(s.end(), a.begin(), a.end());
  Append(s, {0xFF, 0xFF, 0x12, 0x00, 0xAA});  // sync-like garbage
  s.insert(s.end(), b.begin(), b.end());
  s.insert(s.end(), c.begin(), c.end());
  const Bytes cut = s;
  s.insert(s.end(), a.begin(), a.begin() + 20);  // a last frame cut short
  for (const Bytes& stream : {cut, s}) {
    for (size_t block : {size_t{1} << 20, size_t{3}, size_t{8}}) {
      MemorySource src(stream);
      AdtsReader reader(src, block);
      std::vector<Bytes> frames;
      AdtsFrame f;
      while (reader.Next(f)) frames.push_back(f.data);
      EXPECT_EQ((std::vector<Bytes>{a, b, c}), frames) << block;
      const bool truncated = stream.size() != cut.size();
      EXPECT_EQ(truncated ? 29u : 9u, reader.skipped_bytes());
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

// --- Picture size from the SPS -------------------------------------------

TEST(ToolSps, H264BaselineSizeWithoutCropping) {
  // Baseline, 320x240 (20x15 macroblocks), POC type 2, no cropping.
  // After the level byte: sps id 0, log2_max_frame_num-4 0, POC type 2, one
  // reference frame, no gaps, 20-1 and 15-1 macroblocks, frame_mbs_only,
  // direct_8x8, no cropping, no VUI, stop bit.
  const std::vector<uint8_t> sps = {0x67, 0x42, 0x00, 0x1E, 0xDA, 0x05, 0x07, 0xE4};
  bvtool::SpsInfo info;
  ASSERT_TRUE(bvtool::ReadSps(VideoCodec::kH264, sps, &info));
  EXPECT_EQ(320u, info.size.width);
  EXPECT_EQ(240u, info.size.height);
  EXPECT_EQ(0u, info.rate.num);  // no VUI: no rate
  bvtool::PictureSize size;
  EXPECT_FALSE(bvtool::PictureSizeFromSps(VideoCodec::kH264, {0x67, 0x42}, &size));
  EXPECT_FALSE(bvtool::PictureSizeFromSps(VideoCodec::kH264, {}, &size));
}

// --- The bundled samples against ffprobe ---------------------------------

#ifdef BV_FFPROBE
// ffprobe's output for `entries` of the file at `path`, one value a line.
std::string Probe(const std::string& path, const std::string& entries) {
  return bvtest::RunCommand(std::string(BV_FFPROBE) + " -v error -show_entries " + entries + " -of csv=p=0 '" + path + "'");
}

// The bundled H.264 clip and (no HEVC clip is bundled) a short HEVC one with a
// conformance window, 180 lines coded as 184, cut in small windows so that
// frames straddle refills: access units and key flags are ffprobe's packets,
// size and rate its stream's. A cut SPS either still holds everything read
// (the cut lies past the timing information) or reports no rate; it never
// gives another one.
TEST(ToolSample, AccessUnitsSizeAndRateMatchFfprobe) {
  bvtest::TempDir dir;
  const std::string hevc = dir.File("clip.hevc");
  const std::string encode = std::string(BV_FFMPEG) +
                             " -v error -y -f lavfi -i testsrc2=size=320x180:rate=25:duration=2 -c:v libx265"
                             " -x265-params log-level=none:keyint=20:min-keyint=20:bframes=0:repeat-headers=1"
                             " -f hevc '" + hevc + "'";
  const bool haveHevc = std::system(encode.c_str()) == 0;
  for (const auto& [path, codec] : {std::pair<std::string, VideoCodec>{SamplePath("sample.h264"), VideoCodec::kH264},
                                    {hevc, VideoCodec::kHevc}}) {
    if (codec == VideoCodec::kHevc && !haveHevc) continue;  // ffmpeg without libx265
    SCOPED_TRACE(path);
    bvtool::FileSource src(path);
    ASSERT_TRUE(src.ok());
    AccessUnitReader reader(src, codec, 2048);
    std::string keys, probedKeys, line;
    AccessUnit au;
    uint64_t bytes = 0;
    while (reader.Next(au)) keys += au.key ? 'K' : '_', bytes += au.data.size();
    std::istringstream flags(Probe(path, "packet=flags"));
    while (std::getline(flags, line))
      if (!line.empty()) probedKeys += line[0] == 'K' ? 'K' : '_';
    EXPECT_EQ(probedKeys, keys);
    EXPECT_GT(bytes, src.size() * 9 / 10);
    EXPECT_EQ(codec == VideoCodec::kHevc, !reader.vps().empty());

    const Bytes sps = reader.sps();
    bvtool::SpsInfo whole;
    ASSERT_TRUE(bvtool::ReadSps(codec, sps, &whole));
    ASSERT_NE(0u, whole.rate.num);
    EXPECT_EQ(Probe(path, "stream=width,height,r_frame_rate"), std::to_string(whole.size.width) + "," +
              std::to_string(whole.size.height) + "," + std::to_string(whole.rate.num) + "/" +
              std::to_string(whole.rate.den) + "\n");
    for (size_t n = 0; n < sps.size(); ++n) {
      bvtool::SpsInfo cut;
      const bool ok = bvtool::ReadSps(codec, Bytes(sps.begin(), sps.begin() + static_cast<long>(n)), &cut);
      if (cut.rate.num != 0) { EXPECT_TRUE(whole.rate.num == cut.rate.num && whole.rate.den == cut.rate.den) << n; }
      if (ok) { EXPECT_TRUE(whole.size.width == cut.size.width && whole.size.height == cut.size.height) << n; }
    }
  }
}

TEST(ToolSample, AdtsFramesMatchFfprobeCountAndRate) {
  const std::string path = SamplePath("sample.aac");
  bvtool::FileSource src(path);
  ASSERT_TRUE(src.ok());
  AdtsReader reader(src, 1000);
  AdtsFrame f;
  std::string rates;
  uint64_t frames = 0, bytes = 0;
  while (reader.Next(f)) {
    if (frames++ == 0) rates = std::to_string(f.header.sample_rate) + "," + std::to_string(f.header.channels) + "\n";
    bytes += f.data.size();
  }
  const std::string sizes = Probe(path, "packet=size");
  EXPECT_EQ(static_cast<long>(frames), std::count(sizes.begin(), sizes.end(), '\n'));
  EXPECT_EQ(src.size(), bytes);  // nothing skipped in a clean stream
  EXPECT_EQ(Probe(path, "stream=sample_rate,channels"), rates);
}
#endif

}  // namespace
