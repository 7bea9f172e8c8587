// Frame writing rules: refusals, caption conversion, ADTS configuration,
// the 4 GiB limit of the 32-bit layout.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using namespace bvtest;
using bv::CMp4Muxer;

namespace {

// A muxer on `path` (no flags unless given) with an H.264 track whose
// parameter sets come with the stream.
void Open(CMp4Muxer& m, const std::string& path, uint32_t flags = 0) {
  mp4_config_t c{};
  c.flags = flags;
  ASSERT_EQ(0, m.Create(Widen(path).c_str(), c));
  ASSERT_EQ(0, m.SetVideoTrack(VideoTrack(MP4_VIDEO_H264, 1000, 40, 320, 240)));
}

int Put(CMp4Muxer& m, const MediaFrame& f, uint64_t time) {
  return m.WriteVideoFrame(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), time, time);
}

TEST(Frames, VideoFramesBeforeTheParameterSetsAreDropped) {
  TempDir dir;
  CMp4Muxer m;
  ASSERT_NO_FATAL_FAILURE(Open(m, dir.File("drop.mp4")));
  StdoutCapture cap;
  EXPECT_EQ(0, Put(m, {{0, 0, 0, 1, 0x41, 1, 2, 3}}, 0));
  EXPECT_NE(std::string::npos, cap.Take().find("no codec data, drop frame"));
  const uint64_t head = m.FileSize();
  EXPECT_EQ(0u, m.Moov()->m_trakVideo.GetSampleCount());
  EXPECT_EQ(0, Put(m, LoadAccessUnits("video_h264.h264").at(0), 40));
  EXPECT_EQ(1u, m.Moov()->m_trakVideo.GetSampleCount());
  EXPECT_GT(m.FileSize(), head);
  EXPECT_EQ(0, m.Close());
}

// Calls that cannot be honoured are refused with their code and log line,
// and nothing reaches the file.
TEST(Frames, RefusalsAreLoggedAndWriteNothing) {
  TempDir dir;
  CMp4Muxer m;
  ASSERT_EQ(0, m.Create(Widen(dir.File("refuse.mp4")).c_str(), mp4_config_t{}));
  const std::vector<uint8_t> tiny = {0, 0, 1}, noStart = {1, 2, 3, 4, 5, 6}, slice = {0, 0, 1, 0x65, 1};
  const std::vector<uint8_t> aac(20, 0x21);
  auto video = [&](uint32_t codec, uint32_t profile, uint16_t width) {
    mp4_video_track_info_t v = VideoTrack(codec, 1000, 40, width, 240);
    v.prores_profile = profile;
    return m.SetVideoTrack(v);
  };
  const struct {
    std::function<int()> call;
    int code;
    const char* message;
  } cases[] = {
      {[&] { return m.WriteVideoFrame(tiny.data(), 3, 0, 0); }, MP4_ERR_PARSE_VIDEO, "Parse video frame fail !"},
      {[&] { return m.WriteVideoFrame(noStart.data(), 6, 0, 0); }, MP4_ERR_PARSE_VIDEO, "Parse video frame fail !"},
      {[&] { return m.WriteVideoFrame(slice.data(), 5, 0, 0); }, MP4_ERR_INVALID_VIDEO_TRACK, "invalid video track!"},
      {[&] { return m.WriteVideoFrame(nullptr, 0, 0, 0); }, 0, "write video frame with empty data"},
      {[&] { return video(3, 0, 320); }, MP4_ERR_INVALID_CODEC, "invalid codec type 3"},
      {[&] { return video(MP4_VIDEO_PRORES, 6, 320); }, MP4_ERR_INVALID_PARAM, "[error]"},
      {[&] { return video(MP4_VIDEO_PRORES, 2, 0); }, MP4_ERR_INVALID_PARAM, "[error]"},
      {[&] { return m.WriteAudioFrame(aac.data(), 20, 0); }, MP4_ERR_INVALID_PARAM, "no audio track set"},
      {[&] { return m.WriteTimeCode(7); }, MP4_ERR_INVALID_PARAM, "no time code track set"},
      {[&] {
         mp4_time_code_track_info_t tc{};
         tc.frame_duration = 1;
         return m.SetTimeCodeTrack(tc);
       }, MP4_ERR_INVALID_PARAM, "[error]"},
  };
  for (const auto& c : cases) {
    StdoutCapture cap;
    EXPECT_EQ(c.code, c.call()) << c.message;
    EXPECT_NE(std::string::npos, cap.Take().find(c.message)) << c.message;
  }
  EXPECT_FALSE(m.HeaderWritten());
  EXPECT_EQ(0u, m.FileSize());
  EXPECT_EQ(0, m.Close());
}

TEST(Frames, AdtsConfiguresTheTrackFromTheFirstHeader) {
  TempDir dir;
  const auto frames = LoadAdtsFrames("audio_44100_2.aac");
  ASSERT_FALSE(frames.empty());
  CMp4Muxer m;
  ASSERT_EQ(0, m.Create(Widen(dir.File("adts.mp4")).c_str(), mp4_config_t{}));
  ASSERT_EQ(0, m.SetAudioTrack({44100, 1024, MP4_AUDIO_AAC_ADTS, 0, 0, 0}));
  const std::vector<uint8_t> raw(16, 0x11);
  EXPECT_EQ(MP4_ERR_INVALID_ADTS, m.WriteAudioFrame(raw.data(), 16, 0));
  ASSERT_EQ(0, m.WriteAudioFrame(frames[0].bytes.data(), static_cast<uint32_t>(frames[0].bytes.size()), 0));
  // The header is stripped: the sample holds the payload only.
  EXPECT_EQ(frames[0].bytes.size() - 7, m.Moov()->m_trakAudio.GetDataSize());
  // A 7-byte frame that starts like a header is too short for one.
  const std::vector<uint8_t> seven = {0xFF, 0xF1, 1, 2, 3, 4, 5};
  ASSERT_EQ(0, m.WriteAudioFrame(seven.data(), 7, 1024));
  EXPECT_EQ(frames[0].bytes.size() - 7 + 7, m.Moov()->m_trakAudio.GetDataSize());
  EXPECT_EQ(0, m.Close());
}

// Caption frames become samples of their fields' boxes: 608 keeps the
// triplets of fields 1 and 2 (types 0 and 1), 708 its cc_data packet. A
// frame that breaks its format is logged and leaves an empty sample; an
// unknown caption codec is refused.
TEST(Frames, CaptionConversion) {
  const struct Step {
    uint32_t codec;
    std::vector<uint8_t> frame;
    int rc;
    uint64_t dataSize;  // of the track after the frame
    const char* log;
  } steps[] = {
      // Triplets of types 0, 2, 3 and 1: only fields 1 and 2 become boxes.
      {MP4_SUBTITLE_CEA608, {0x61, 0x02, 0x04, 0x00, 0x94, 0x20, 0x02, 0x11, 0x22, 0x03, 0x33, 0x44, 0x01, 0x80, 0x80},
       0, 20, ""},
      {MP4_SUBTITLE_CEA608, {0x62, 0x02, 0, 0, 0, 0}, 0, 20, "subtitle 608 frame format error"},
      {MP4_SUBTITLE_CEA708, {0x61, 0x01, 0x03, 0xAA, 0xBB, 0xCC, 0xDD}, 0, 11, ""},
      {MP4_SUBTITLE_CEA708, {0x61, 0x01}, 0, 11, "subtitle 708 frame format error"},
      {MP4_SUBTITLE_CEA708, {0x61, 0x01, 0x09, 0xAA}, 0, 11, "subtitle 708 frame format error"},
      {9, {0x61, 0x01, 0x03, 0xAA, 0xBB, 0xCC, 0xDD}, MP4_ERR_SUBTITLE_CODEC, 0, "[error]"},
  };
  TempDir dir;
  for (const uint32_t codec : {MP4_SUBTITLE_CEA608, MP4_SUBTITLE_CEA708, 9u}) {
    CMp4Muxer m;
    ASSERT_EQ(0, m.Create(Widen(dir.File("cc.mp4")).c_str(), mp4_config_t{}));
    ASSERT_EQ(0, m.SetSubtitleTrack({codec, 0}));
    uint32_t samples = 0;
    for (const Step& s : steps) {
      if (s.codec != codec) continue;
      StdoutCapture cap;
      EXPECT_EQ(s.rc, m.WriteSubtitleFrame(s.frame.data(), static_cast<uint32_t>(s.frame.size()), 40 * samples));
      EXPECT_NE(std::string::npos, cap.Take().find(s.log)) << s.log;
      samples += s.rc == 0;
      EXPECT_EQ(s.dataSize, m.Moov()->m_trakSubtitle.Stbl().GetSampleDataSize()) << codec;
      EXPECT_EQ(samples, m.Moov()->m_trakSubtitle.GetSampleCount()) << codec;
    }
    EXPECT_EQ(0, m.Close());
  }
}

// Without the large-file flag the layout addresses 4 GiB: a sample that
// would end past it is refused before its bytes are written, and the
// samples that still fit are accepted.
TEST(Frames, ThirtyTwoBitLayoutRefusesSamplesPastFourGib) {
  TempDir dir;
  const MediaFrame key = LoadAccessUnits("video_h264.h264").at(0);
  for (const uint32_t flags : {0u, unsigned{MP4_FLAG_LARGE_FILE}}) {
    CMp4Muxer m;
    ASSERT_NO_FATAL_FAILURE(Open(m, dir.File("limit.mp4"), flags));
    ASSERT_EQ(0, m.SetAudioTrack(AacTrack(MP4_AUDIO_AAC)));
    ASSERT_EQ(0, Put(m, key, 0));
    m.AdvanceFileSizeForTest(0xFFFFFFFFull - m.FileSize() - 300);
    const uint64_t before = m.FileSize();
    StdoutCapture cap;
    const int big = Put(m, key, 40);
    const std::string log = cap.Take();
    if (flags == 0) {
      EXPECT_EQ(MP4_ERR_TABLE_FULL, big);
      EXPECT_NE(std::string::npos, log.find("4 GiB"));
      EXPECT_EQ(before, m.FileSize());
      EXPECT_EQ(1u, m.Moov()->m_trakVideo.GetSampleCount());
    } else {
      EXPECT_EQ(0, big);
      EXPECT_EQ(2u, m.Moov()->m_trakVideo.GetSampleCount());
    }
    // Audio obeys the same limit.
    const std::vector<uint8_t> aac(400, 0x21);
    StdoutCapture quiet;
    EXPECT_EQ(flags == 0 ? MP4_ERR_TABLE_FULL : 0, m.WriteAudioFrame(aac.data(), 400, 0));
    quiet.Take();
    EXPECT_EQ(flags == 0 ? 0u : 1u, m.Moov()->m_trakAudio.GetSampleCount());
    EXPECT_EQ(0, Put(m, {{0, 0, 1, 0x41, 1, 2}}, 80));
    EXPECT_EQ(0, m.Close());
  }
}

// A sample whose bytes reached the media data but that its table refused
// still moves the end of the media data: the next sample of another track
// is recorded at its true offset.
TEST(Frames, RefusedSampleKeepsLaterOffsetsTrue) {
  TempDir dir;
  const std::string path = dir.File("refused.mp4");
  const auto units = LoadAccessUnits("video_h264.h264");
  ASSERT_GE(units.size(), 2u);
  CMp4Muxer m;
  ASSERT_NO_FATAL_FAILURE(Open(m, path));
  ASSERT_EQ(0, m.SetAudioTrack({1000, 21, MP4_AUDIO_AAC, 48000, 2, 2}));
  m.Moov()->m_trakVideo.Stbl().SetMaxFrame(1, 1);  // room for one video sample
  ASSERT_EQ(0, Put(m, units[0], 0));
  StdoutCapture cap;
  EXPECT_EQ(MP4_ERR_TABLE_FULL, Put(m, units[1], 40));
  cap.Take();
  const uint64_t audioOffset = m.FileSize();
  const std::vector<uint8_t> aac(9, 0x21);
  ASSERT_EQ(0, m.WriteAudioFrame(aac.data(), 9, 0));
  ASSERT_EQ(0, m.Close());
  const BoxTree tree(ReadFile(path));
  ASSERT_TRUE(tree.Errors().empty());
  const Box* stco = tree.Find("moov/trak[1]/mdia/minf/stbl/stco");
  ASSERT_NE(nullptr, stco);
  EXPECT_EQ(audioOffset, tree.U32(stco->PayloadOffset() + 8));
  // The audio bytes are where the table says.
  EXPECT_EQ(0x21u, tree.U8(audioOffset));
  const Box* mdat = tree.Find("mdat");
  EXPECT_EQ(mdat->offset + mdat->size, audioOffset + 9);
}

}  // namespace
