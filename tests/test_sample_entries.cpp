// Sample descriptions of the four track kinds: sizes, field positions and
// the AudioSpecificConfig, checked against hand-computed bytes and against
// what FFmpeg derived from the test AAC streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "stsd.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

namespace {

struct Output {
  Output() { io.SetTarget(nullptr); }
  Bytes Bytes_() const { return Bytes(io.Data(), io.Data() + io.Size()); }
  bv::CBufferIO io;
};

// Writes the box and checks that GetSize announced exactly that many bytes.
Bytes WriteChecked(bv::CMp4Atom& box, Output& out) {
  const uint32_t announced = box.GetSize();
  box.Write();
  const Bytes b = out.Bytes_();
  EXPECT_EQ(announced, b.size());
  return b;
}

uint16_t BE16(const Bytes& b, size_t off) { return static_cast<uint16_t>((b[off] << 8) | b[off + 1]); }

}  // namespace

TEST(SampleEntry, H264WorkedExample) {
  Bytes sps(25, 0x11);
  sps[0] = 0x67;
  sps[1] = 0x42;
  sps[2] = 0xC0;
  sps[3] = 0x1E;
  const Bytes pps = {0x68, 0xCE, 0x3C, 0x80};
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_H264;
  info.width = 1920;
  info.height = 1080;
  info.sps = sps.data();
  info.sps_size = 25;
  info.pps = pps.data();
  info.pps_size = 4;
  Output out;
  bv::CMp4VideoStsdAtom stsd(&out.io);
  ASSERT_TRUE(stsd.SetVideo(info));
  const Bytes b = WriteChecked(stsd, out);
  ASSERT_EQ(150u, b.size());
  EXPECT_EQ(150u, bvtest::BE32(b, 0));
  EXPECT_EQ("stsd", bvtest::FourCC(b, 4));
  EXPECT_EQ(0u, bvtest::BE32(b, 8));
  EXPECT_EQ(1u, bvtest::BE32(b, 12));
  // The entry.
  EXPECT_EQ(134u, bvtest::BE32(b, 16));
  EXPECT_EQ("avc1", bvtest::FourCC(b, 20));
  EXPECT_EQ(Bytes(6, 0), Bytes(b.begin() + 24, b.begin() + 30));
  EXPECT_EQ(1, BE16(b, 30));
  EXPECT_EQ(0u, bvtest::BE32(b, 16 + 20)) << "vendor";
  EXPECT_EQ(1920, BE16(b, 16 + 32));
  EXPECT_EQ(1080, BE16(b, 16 + 34));
  EXPECT_EQ(0x00480000u, bvtest::BE32(b, 16 + 36));
  EXPECT_EQ(0x00480000u, bvtest::BE32(b, 16 + 40));
  EXPECT_EQ(1, BE16(b, 16 + 48));
  EXPECT_EQ(Bytes(32, 0), Bytes(b.begin() + 16 + 50, b.begin() + 16 + 82)) << "no compressor name";
  EXPECT_EQ(24, BE16(b, 16 + 82));
  EXPECT_EQ(0xFFFF, BE16(b, 16 + 84));
  // avcC.
  EXPECT_EQ(48u, bvtest::BE32(b, 102));
  EXPECT_EQ("avcC", bvtest::FourCC(b, 106));
  EXPECT_EQ((Bytes{1, 0x42, 0xC0, 0x1E, 0xFF, 0xE1}), Bytes(b.begin() + 110, b.begin() + 116));
}

TEST(SampleEntry, HevcEntryCarriesHvcCAndSize) {
  // Three made-up sets that the parser cannot read: the entry still sizes
  // its hvcC from the arrays, and the write is abandoned.
  const Bytes vps = {0x40, 0x01, 0x0C}, sps = {0x42, 0x01, 0x01}, pps = {0x44, 0x01, 0xC1};
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_HEVC;
  info.vps = vps.data();
  info.vps_size = 3;
  info.sps = sps.data();
  info.sps_size = 3;
  info.pps = pps.data();
  info.pps_size = 3;
  Output out;
  bv::CMp4VideoStsdAtom stsd(&out.io);
  bvtest::StdoutCapture log;
  ASSERT_TRUE(stsd.SetVideo(info));
  const std::string text = log.Take();
  EXPECT_NE(std::string::npos, text.find("Parse hevc vps fail !"));
  EXPECT_NE(std::string::npos, text.find("Parse hevc sps fail !"));
  EXPECT_EQ(16u + 86u + 31u + 3u * (3 + 2 + 3), stsd.GetSize());
  EXPECT_THROW(stsd.Write(), bv::bv_mp4_exception);
}

TEST(SampleEntry, ProResProfiles) {
  struct Case {
    uint32_t profile;
    const char* code;
    const char* name;
    uint16_t depth;
  } const cases[] = {
      {0, "apco", "Apple ProRes 422 Proxy", 24}, {1, "apcs", "Apple ProRes 422 LT", 24},
      {2, "apcn", "Apple ProRes 422", 24},       {3, "apch", "Apple ProRes 422 HQ", 24},
      {4, "ap4h", "Apple ProRes 4444", 32},      {5, "ap4x", "Apple ProRes 4444 XQ", 32},
  };
  for (const Case& c : cases) {
    mp4_video_track_info_t info{};
    info.codec_type = MP4_VIDEO_PRORES;
    info.width = 64;
    info.height = 48;
    info.prores_profile = c.profile;
    Output out;
    bv::CMp4VideoStsdAtom stsd(&out.io);
    ASSERT_TRUE(stsd.SetVideo(info));
    const Bytes b = WriteChecked(stsd, out);
    ASSERT_EQ(128u, b.size()) << c.code;
    EXPECT_EQ(112u, bvtest::BE32(b, 16));
    EXPECT_EQ(c.code, bvtest::FourCC(b, 20));
    EXPECT_EQ("appl", bvtest::FourCC(b, 36));
    EXPECT_EQ(64, BE16(b, 48));
    EXPECT_EQ(48, BE16(b, 50));
    const size_t n = std::strlen(c.name);
    EXPECT_EQ(n, b[66]);
    EXPECT_EQ(std::string(c.name), std::string(b.begin() + 67, b.begin() + 67 + n));
    EXPECT_EQ(Bytes(31 - n, 0), Bytes(b.begin() + 67 + n, b.begin() + 98));
    EXPECT_EQ(c.depth, BE16(b, 98));
    EXPECT_EQ(0xFFFF, BE16(b, 100));
    const Bytes tail = {0, 0, 0, 10, 'f', 'i', 'e', 'l', 1, 0, 0, 0, 0, 16, 'p', 'a',
                        's', 'p', 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(tail, Bytes(b.begin() + 102, b.end()));
  }
  // FFmpeg stores profile 5 under the same code.
  const Bytes mov = bvtest::ReadFile(bvtest::DataPath("video_prores.mov"));
  const std::string movText(mov.begin(), mov.end());
  EXPECT_NE(std::string::npos, movText.find("ap4x"));
}

TEST(SampleEntry, InvalidProResProfileIsRefused) {
  Output out;
  bv::CMp4VideoStsdAtom stsd(&out.io);
  mp4_video_track_info_t info{};
  info.codec_type = MP4_VIDEO_PRORES;
  info.prores_profile = 2;
  ASSERT_TRUE(stsd.SetVideo(info));
  const Bytes before = WriteChecked(stsd, out);
  for (uint32_t bad : {6u, 100u, 0xFFFFFFFFu}) {
    info.prores_profile = bad;
    bvtest::StdoutCapture log;
    EXPECT_FALSE(stsd.SetVideo(info));
    EXPECT_FALSE(stsd.SetProRes(bad));
    EXPECT_NE(std::string::npos, log.Take().find("invalid prores format " + std::to_string(static_cast<int>(bad))));
  }
  Output again;
  bv::CMp4VideoStsdAtom fresh(&again.io);
  info.prores_profile = 2;
  ASSERT_TRUE(fresh.SetVideo(info));
  EXPECT_EQ(before, WriteChecked(fresh, again));
  info.codec_type = 3;
  EXPECT_FALSE(stsd.SetVideo(info)) << "unknown codec";
}

TEST(SampleEntry, AudioMp4AndQuickTimeForms) {
  mp4_audio_track_info_t info{};
  info.codec_type = MP4_AUDIO_AAC_ADTS;
  info.sample_rate = 44100;
  info.channels = 2;
  info.profile = 2;
  const Bytes esds = {0, 0, 0, 51, 'e', 's', 'd', 's', 0, 0, 0, 0,
                      3, 0x80, 0x80, 0x80, 34, 0, 7, 0,                                  // ES, ID 7
                      4, 0x80, 0x80, 0x80, 20, 0x40, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // config
                      5, 0x80, 0x80, 0x80, 2, 0x12, 0x10,                                // ASC
                      6, 0x80, 0x80, 0x80, 1, 2};
  {
    Output out;
    bv::CMp4AudioStsdAtom stsd(&out.io);
    ASSERT_TRUE(stsd.SetAudio(info, 7));
    const Bytes b = WriteChecked(stsd, out);
    ASSERT_EQ(103u, b.size());
    EXPECT_EQ(87u, bvtest::BE32(b, 16));
    EXPECT_EQ("mp4a", bvtest::FourCC(b, 20));
    EXPECT_EQ(0, BE16(b, 32)) << "version";
    EXPECT_EQ(2, BE16(b, 40));
    EXPECT_EQ(16, BE16(b, 42));
    EXPECT_EQ(0, BE16(b, 44));
    EXPECT_EQ(0xAC440000u, bvtest::BE32(b, 48));
    EXPECT_EQ(esds, Bytes(b.begin() + 52, b.end()));
  }
  {
    Output out;
    bv::CMp4AudioStsdAtom stsd(&out.io);
    stsd.m_bQuickTime = true;
    ASSERT_TRUE(stsd.SetAudio(info, 7));
    const Bytes b = WriteChecked(stsd, out);
    ASSERT_EQ(159u, b.size());
    EXPECT_EQ(143u, bvtest::BE32(b, 16));
    EXPECT_EQ(1, BE16(b, 32)) << "version";
    EXPECT_EQ(0xFFFE, BE16(b, 44));
    EXPECT_EQ(0xAC440000u, bvtest::BE32(b, 48));
    EXPECT_EQ(Bytes(16, 0), Bytes(b.begin() + 52, b.begin() + 68));
    const size_t wave = 68;
    EXPECT_EQ(91u, bvtest::BE32(b, wave));
    EXPECT_EQ("wave", bvtest::FourCC(b, wave + 4));
    const Bytes frma = {0, 0, 0, 12, 'f', 'r', 'm', 'a', 'm', 'p', '4', 'a', 0, 0, 0, 12, 'm', 'p', '4', 'a', 0, 0, 0, 0};
    EXPECT_EQ(frma, Bytes(b.begin() + wave + 8, b.begin() + wave + 32));
    EXPECT_EQ(esds, Bytes(b.begin() + wave + 32, b.begin() + wave + 83));
    EXPECT_EQ((Bytes{0, 0, 0, 8, 0, 0, 0, 0}), Bytes(b.begin() + wave + 83, b.end()));
  }
  // Not AAC: refused, no format.
  info.codec_type = 3;
  Output out;
  bv::CMp4AudioStsdAtom other(&out.io);
  EXPECT_FALSE(other.SetAudio(info, 1));
}

TEST(AudioSpecificConfig, RateIndexAndChannels) {
  EXPECT_EQ((Bytes{0x12, 0x10}), bv::MakeAudioSpecificConfig(2, 44100, 2));
  EXPECT_EQ((Bytes{0x11, 0x90}), bv::MakeAudioSpecificConfig(2, 48000, 2));
  EXPECT_EQ((Bytes{0x11, 0x88}), bv::MakeAudioSpecificConfig(2, 48000, 1));
  EXPECT_EQ((Bytes{0x12, 0x10}), bv::MakeAudioSpecificConfig(2, 44000, 2)) << "unknown rate: index 4";
  EXPECT_EQ((Bytes{0x15, 0x88}), bv::MakeAudioSpecificConfig(2, 8000, 1)) << "index 11";
  EXPECT_EQ((Bytes{0x10, 0x10}), bv::MakeAudioSpecificConfig(2, 96000, 2)) << "index 0";

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

TEST(SampleEntry, ClosedCaptionEntries) {
  for (uint32_t codec : {1u, 2u}) {
    Output out;
    bv::CMp4SubtitleStsdAtom stsd(&out.io);
    ASSERT_TRUE(stsd.SetCodec(codec));
    const Bytes b = WriteChecked(stsd, out);
    const Bytes want = {0, 0, 0, 32, 's', 't', 's', 'd', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 16,
                        'c', '7', '0', '8', 0, 0, 0, 0, 0, 0, 0, 1};
    Bytes w = want;
    if (codec == 1) {
      w[21] = '6';
      w[22] = '0';
    }
    EXPECT_EQ(w, b);
  }
  Output out;
  bv::CMp4SubtitleStsdAtom stsd(&out.io);
  bvtest::StdoutCapture log;
  EXPECT_FALSE(stsd.SetCodec(3));
  EXPECT_NE(std::string::npos, log.Take().find("unknown subtitle codec 3"));
}

TEST(SampleEntry, TimeCodeEntry) {
  Output out;
  bv::CMp4TMCDStsdAtom stsd(&out.io);
  const Bytes defaults = WriteChecked(stsd, out);
  ASSERT_EQ(52u, defaults.size());
  EXPECT_EQ(36u, bvtest::BE32(defaults, 16));
  EXPECT_EQ("tmcd", bvtest::FourCC(defaults, 20));
  EXPECT_EQ(0u, bvtest::BE32(defaults, 36));
  EXPECT_EQ(30000u, bvtest::BE32(defaults, 40));
  EXPECT_EQ(1001u, bvtest::BE32(defaults, 44));
  EXPECT_EQ(0, defaults[48]);

  Output out2;
  bv::CMp4TMCDStsdAtom set(&out2.io);
  set.Set(25, 1, 25, 0x2);
  const Bytes b = WriteChecked(set, out2);
  EXPECT_EQ(0u, bvtest::BE32(b, 32));
  EXPECT_EQ(2u, bvtest::BE32(b, 36));
  EXPECT_EQ(25u, bvtest::BE32(b, 40));
  EXPECT_EQ(1u, bvtest::BE32(b, 44));
  EXPECT_EQ((Bytes{25, 0, 0, 0}), Bytes(b.begin() + 48, b.end()));
}

TEST(SampleEntry, FailedStreamWritesNothing) {
  Output out;
  bv::CMp4TMCDStsdAtom stsd(&out.io);
  out.io.state = bv::IBaseIO::kFailed;
  stsd.Write();
  EXPECT_EQ(0u, out.io.Size());
}
