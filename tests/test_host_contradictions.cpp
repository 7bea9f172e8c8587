// Host descriptions the stream contradicts, through the exports: the stream's
// own headers decide what the file says. Oracles: ffprobe's view and decode
// of the result, and the repair of a crash copy, which must equal the closed
// file byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::ReadFile;
using bvtest::TempDir;

namespace {

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f));
  std::fclose(f);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// ADTS streams at several rates and channel counts, declared right, wrong or
// not at all: the file carries the header's rate, channels and object type
// (LC), one warning says so when the declaration disagreed, and a repair of
// the recording agrees with its close.
TEST(HostContradictions, AdtsHeaderDecidesRateChannelsAndObjectType) {
  struct Case {
    const char* file;
    uint16_t rate, channels;
    uint8_t profile;
    long long wantRate, wantChannels;
    bool warns;
  };
  const Case cases[] = {{"audio_44100_2.aac", 44100, 2, 2, 44100, 2, false},
                        {"audio_48000_1.aac", 0, 0, 0, 48000, 1, false},
                        {"audio_96000_2.aac", 48000, 1, 1, 96000, 2, true},
                        {"audio_48000_2.aac", 48000, 2, 1, 48000, 2, true},
                        {"audio_22050_6.aac", 22050, 2, 2, 22050, 6, true}};
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const auto frames = bvtest::LoadAdtsFrames(c.file);
    ASSERT_GE(frames.size(), 20u);
    const std::string path = dir.File("a.mp4"), crashed = dir.File("crashed.mp4");
    bvtest::StdoutCapture log;
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_ex(path.c_str(), MP4_FLAG_REPAIR, &h));
    ASSERT_EQ(0, mp4_repair_set_flush_interval(h, 10));
    const mp4_audio_track_info_t a{static_cast<uint32_t>(c.wantRate), 1024, MP4_AUDIO_AAC_ADTS, c.rate, c.channels,
                                   c.profile};
    ASSERT_EQ(0, mp4_set_audio_track(h, &a));
    for (size_t i = 0; i < 20; ++i) {
      const auto& f = frames[i].bytes;
      ASSERT_EQ(0, mp4_write_audio_frame(h, f.data(), static_cast<uint32_t>(f.size()), i * 1024));
    }
    // Twenty records reached the side file at the last flush.
    WriteAll(crashed, ReadFile(path));
    WriteAll(crashed + ".info", ReadFile(path + ".info"));
    ASSERT_EQ(0, mp4_close_file(h));
    ASSERT_EQ(0, mp4_repair_file_ex(crashed.c_str(), 1));
    EXPECT_EQ(c.warns ? 1u : 0u, Count(log.Take(), "[warn]"));
    EXPECT_EQ(ReadFile(path), ReadFile(crashed));
    if (!bvtest::ConformanceToolsAvailable()) continue;
    const bvtest::ProbeResult probe = bvtest::Probe(path);
    EXPECT_EQ("", probe.errors);
    const bvtest::ProbedStream* s = probe.Stream("audio");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.wantRate, s->Int("sample_rate"));
    EXPECT_EQ(c.wantChannels, s->Int("channels"));
    EXPECT_EQ("LC", s->Get("profile"));
    EXPECT_EQ(20, s->Int("nb_read_frames"));
    EXPECT_EQ("", bvtest::DecodeErrors(path));
  }
}

}  // namespace
