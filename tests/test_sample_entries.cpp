// Sample descriptions of the four track kinds: sizes, field positions and
// the AudioSpecificConfig, checked against hand-computed bytes and against
// what FFmpeg derived from the test AAC streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_bytes.h"
#include "stsd.h"
#include "test_support.h"

using bvtest::Bytes;
using bvtest::WriteChecked;

namespace {

// Expected bytes, built field by field.
struct Build {
  Bytes b;
  Build& U16(uint16_t v) { return Raw({uint8_t(v >> 8), uint8_t(v)}); }
  Build& U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
  Build& Str(const std::string& s) { return Raw(Bytes(s.begin(), s.end())); }
  Build& Zeros(size_t n) { return Raw(Bytes(n, 0)); }
  Build& Raw(const Bytes& x) {
    b.insert(b.end(), x.begin(), x.end());
    return *this;
  }
  // A description of one entry of `entrySize` bytes, up to the entry's data
  // reference index.
  static Build Stsd(uint32_t entrySize, const std::string& type) {
    return Build().U32(16 + entrySize).Str("stsd").U32(0).U32(1).U32(entrySize).Str(type).Zeros(6).U16(1);
  }
};

}  // namespace

TEST(SampleEntry, H264WorkedExample) {
  Bytes sps(25, 0x11);
  std::memcpy(sps.data(), "\x67\x42\xC0\x1E", 4);
  const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_H264;
  info.width = 1920;
  info.height = 1080;
  info.sps = sps.data();
  info.sps_size = 25;
  info.pps = pps.data();
  info.pps_size = 4;
  bvtest::MemoryStream out;
  bv::CMp4VideoStsdAtom stsd(&out);
  ASSERT_TRUE(stsd.SetVideo(info));
  Build want = Build::Stsd(134, "avc1");
  want.Zeros(16).U16(1920).U16(1080).U32(0x00480000).U32(0x00480000).U32(0);
  want.U16(1).Zeros(32).U16(24).U16(0xFFFF);  // one frame, no compressor name, depth 24, no color table
  want.U32(48).Str("avcC").Raw({1, 0x42, 0xC0, 0x1E, 0xFF, 0xE1}).U16(25).Raw(sps).Raw({1}).U16(4).Raw(pps);
  EXPECT_EQ(want.b, WriteChecked(stsd, out));
}

TEST(SampleEntry, ProResProfilesAndRefusals) {
  const std::pair<uint32_t, const char*> cases[] = {{0, "apcoApple ProRes 422 Proxy"}, {3, "apchApple ProRes 422 HQ"},
                                                    {5, "ap4xApple ProRes 4444 XQ"}};
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_PRORES;
  info.width = 64;
  info.height = 48;
  for (const auto& c : cases) {
    info.prores_profile = c.first;
    bvtest::MemoryStream out;
    bv::CMp4VideoStsdAtom stsd(&out);
    ASSERT_TRUE(stsd.SetVideo(info));
    const std::string name = c.second + 4;
    // Counted name padded to 32 bytes; depth 32 for 4444, no color table.
    Build want = Build::Stsd(112, std::string(c.second, 4));
    want.Zeros(4).Str("appl").U32(0).U32(0).U16(64).U16(48).U32(0x00480000).U32(0x00480000).U32(0).U16(1);
    want.Raw({uint8_t(name.size())}).Str(name).Zeros(31 - name.size()).U16(c.first >= 4 ? 32 : 24).U16(0xFFFF);
    want.U32(10).Str("fiel").Raw({1, 0}).U32(16).Str("pasp").U32(1).U32(1);
    EXPECT_EQ(want.b, WriteChecked(stsd, out)) << name;
  }
  // A bad profile is refused and leaves the description as it was.
  bvtest::MemoryStream out;
  bv::CMp4VideoStsdAtom stsd(&out);
  ASSERT_TRUE(stsd.SetVideo(info));
  for (uint32_t bad : {6u, 0xFFFFFFFFu}) {
    info.prores_profile = bad;
    bvtest::StdoutCapture log;
    EXPECT_FALSE(stsd.SetVideo(info));
    EXPECT_FALSE(stsd.SetProRes(bad));
    EXPECT_NE(std::string::npos, log.Take().find("invalid prores format " + std::to_string(int(bad))));
  }
  stsd.Write();
  EXPECT_EQ("ap4x", bvtest::FourCC(out.All(), 20));
  info.codec_type = 3;
  EXPECT_FALSE(stsd.SetVideo(info)) << "unknown codec";
  // FFmpeg stores profile 5 under the same code.
  const Bytes mov = bvtest::ReadFile(bvtest::DataPath("video_prores.mov"));
  EXPECT_NE(std::string::npos, std::string(mov.begin(), mov.end()).find("ap4x"));
}

TEST(SampleEntry, AudioMp4AndQuickTimeForms) {
  mp4_audio_track_info_t info{};
  info.codec_type = MP4_AUDIO_AAC_ADTS;
  info.sample_rate = 44100;
  info.channels = 2;
  info.profile = 2;
  const Bytes esds = {0, 0, 0, 51, 'e', 's', 'd', 's', 0, 0, 0, 0,
                      3, 0x80, 0x80, 0x80, 34, 0, 7, 0,                                      // ES, ID 7
                      4, 0x80, 0x80, 0x80, 20, 0x40, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // config
                      5, 0x80, 0x80, 0x80, 2, 0x12, 0x10,                                    // ASC
                      6, 0x80, 0x80, 0x80, 1, 2};
  for (bool qt : {false, true}) {
    SCOPED_TRACE(qt ? "QuickTime" : "MP4");
    bvtest::MemoryStream out;
    bv::CMp4AudioStsdAtom stsd(&out);
    stsd.m_bQuickTime = qt;
    ASSERT_TRUE(stsd.SetAudio(info, 7));
    Build want = Build::Stsd(qt ? 143 : 87, "mp4a");
    want.U16(qt ? 1 : 0).Zeros(6).U16(2).U16(16).U16(qt ? 0xFFFE : 0).U16(0).U32(0xAC440000);  // 44100 Hz
    if (qt) {
      want.Zeros(16).U32(91).Str("wave").U32(12).Str("frma").Str("mp4a").U32(12).Str("mp4a").U32(0);
      want.Raw(esds).U32(8).U32(0);
    } else {
      want.Raw(esds);
    }
    EXPECT_EQ(want.b, WriteChecked(stsd, out));
  }
  info.codec_type = 3;  // not AAC
  bvtest::MemoryStream out;
  EXPECT_FALSE(bv::CMp4AudioStsdAtom(&out).SetAudio(info, 1));
}

TEST(AudioSpecificConfig, RateIndexAndChannels) {
  struct Case {
    uint32_t rate;
    uint8_t channels;
    Bytes asc;
  };
  const Case cases[] = {{44000, 2, {0x12, 0x10}},  // unknown rate: index 4
                        {8000, 1, {0x15, 0x88}}, {96000, 2, {0x10, 0x10}}};
  for (const Case& c : cases) EXPECT_EQ(c.asc, bv::MakeAudioSpecificConfig(2, c.rate, c.channels)) << c.rate;

  // Against FFmpeg: the ASC it stored for each test stream, from that
  // stream's first ADTS header (profile, rate index, channel configuration).
  static const uint32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (const char* name : {"audio_44100_2", "audio_48000_2", "audio_48000_1"}) {
    const Bytes adts = bvtest::ReadFile(bvtest::DataPath(std::string(name) + ".aac"));
    const Bytes ff = bvtest::ReadFile(bvtest::DataPath(std::string("ffmpeg_asc_") + name + ".bin"));
    ASSERT_GE(adts.size(), 7u);
    ASSERT_EQ(0xFF, adts[0]);
    const uint8_t objectType = static_cast<uint8_t>((adts[2] >> 6) + 1);
    const uint32_t rate = kRates[(adts[2] >> 2) & 0x0F];
    const uint8_t channels = static_cast<uint8_t>(((adts[2] & 1) << 2) | (adts[3] >> 6));
    EXPECT_EQ(ff, bv::MakeAudioSpecificConfig(objectType, rate, channels)) << name;
  }
}

// Caption entries are bare; the time-code entry defaults to 29.97 frames
// per second, one frame per tick.
TEST(SampleEntry, CaptionAndTimeCodeEntries) {
  for (uint32_t codec : {1u, 2u}) {
    bvtest::MemoryStream out;
    bv::CMp4SubtitleStsdAtom stsd(&out);
    ASSERT_TRUE(stsd.SetCodec(codec));
    EXPECT_EQ(Build::Stsd(16, codec == 1 ? "c608" : "c708").b, WriteChecked(stsd, out));
  }
  bvtest::MemoryStream out;
  bv::CMp4SubtitleStsdAtom stsd(&out);
  bvtest::StdoutCapture log;
  EXPECT_FALSE(stsd.SetCodec(3));
  EXPECT_NE(std::string::npos, log.Take().find("unknown subtitle codec 3"));

  bv::CMp4TMCDStsdAtom defaults(&out);
  EXPECT_EQ(Build::Stsd(36, "tmcd").U32(0).U32(0).U32(30000).U32(1001).Raw({0, 0, 0, 0}).b,
            WriteChecked(defaults, out));
  bv::CMp4TMCDStsdAtom set(&out);
  set.Set(25, 1, 25, 0x2);
  EXPECT_EQ(Build::Stsd(36, "tmcd").U32(0).U32(2).U32(25).U32(1).Raw({25, 0, 0, 0}).b, WriteChecked(set, out));
}
