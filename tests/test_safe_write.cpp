// Safe write end to end: the file on disk is playable at every moment up to
// its last header update, whatever kills the process, with no repair step.
// The players' own tools are the oracle (ffprobe silent with exact frame
// counts, ffmpeg decoding every frame).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "bv_mp4.h"
#include "conformance.h"
#include "header_update.h"
#include "media_source.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using namespace bvtest;
using bv::CMp4Muxer;

namespace {

constexpr uint32_t kVideoScale = 25000, kVideoFrame = 1000;  // 25 fps

struct Settings {
  uint8_t flags = 0;
  uint32_t blockSize = 4096, blockNum = 2, maxDuration = 60, interval = 1;
  int loops = 6;  // passes over the test clip
};

// The H.264 test clip and the 48 kHz stereo ADTS clip, looped as one
// recording: frames in time order, video first on a tie.
class SafeRecording {
 public:
  SafeRecording(const std::string& path, const Settings& s) : s_(s) {
    static const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
    static const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
    video_ = &video;
    audio_ = &audio;
    mp4_config_t c{};
    c.flags = s.flags;
    c.io_mode = MP4_IO_SAFE_WRITE;
    c.block_size = s.blockSize;
    c.block_num = s.blockNum;
    c.max_duration = s.maxDuration;
    c.update_interval = s.interval;
    rc_ = m_.Create(Widen(path).c_str(), c);
    if (rc_ != 0) return;
    ParameterSets(video.front().bytes);
    mp4_video_track_info_t v{};
    v.timescale = kVideoScale;
    v.frame_duration = kVideoFrame;
    v.codec_type = MP4_VIDEO_H264;
    v.width = 320;
    v.height = 240;
    v.sps = sps_.data();
    v.sps_size = static_cast<uint16_t>(sps_.size());
    v.pps = pps_.data();
    v.pps_size = static_cast<uint16_t>(pps_.size());
    rc_ = m_.SetVideoTrack(v);
    mp4_audio_track_info_t a{};
    a.timescale = 48000;
    a.frame_duration = 1024;
    a.codec_type = MP4_AUDIO_AAC_ADTS;
    a.sample_rate = 48000;
    a.channels = 2;
    a.profile = 2;
    if (rc_ == 0) rc_ = m_.SetAudioTrack(a);
  }
  int rc() const { return rc_; }
  CMp4Muxer& muxer() { return m_; }
  size_t TotalVideo() const { return video_->size() * static_cast<size_t>(s_.loops); }
  bool Done() const { return videoDone_ >= TotalVideo(); }
  size_t video() const { return videoDone_; }
  size_t audio() const { return audioDone_; }

  // Writes the next frame; true when the header was updated during it.
  bool Step() {
    const uint32_t before = m_.HeaderUpdateCount();
    // Video at n x 40 ms, audio at n x 21.33 ms.
    if (uint64_t{videoDone_} * 40 * 48000 <= uint64_t{audioDone_} * 1024 * 1000) {
      const MediaFrame& f = (*video_)[videoDone_ % video_->size()];
      rc_ = m_.WriteVideoFrame(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), uint64_t{videoDone_} * kVideoFrame,
                               uint64_t{videoDone_} * kVideoFrame);
      ++videoDone_;
    } else {
      const MediaFrame& f = (*audio_)[audioDone_ % audio_->size()];
      rc_ = m_.WriteAudioFrame(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), uint64_t{audioDone_} * 1024);
      ++audioDone_;
    }
    return m_.HeaderUpdateCount() != before;
  }

 private:
  void ParameterSets(const std::vector<uint8_t>& au) {
    // Units behind 00 00 01; type 7 is the SPS, 8 the PPS.
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= au.size(); ++i) {
      if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) starts.push_back(i + 3);
    }
    for (size_t k = 0; k < starts.size(); ++k) {
      size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : au.size();
      while (end > starts[k] && au[end - 1] == 0) --end;
      const std::vector<uint8_t> unit(au.begin() + static_cast<long>(starts[k]), au.begin() + static_cast<long>(end));
      if ((unit[0] & 0x1F) == 7) sps_ = unit;
      if ((unit[0] & 0x1F) == 8) pps_ = unit;
    }
  }

  Settings s_;
  CMp4Muxer m_;
  const std::vector<MediaFrame>* video_;
  const std::vector<MediaFrame>* audio_;
  std::vector<uint8_t> sps_, pps_;
  size_t videoDone_ = 0, audioDone_ = 0;
  int rc_ = 0;
};

struct Frames {
  size_t video = 0, audio = 0;
  bool operator==(const Frames& o) const { return video == o.video && audio == o.audio; }
};

// ffprobe silent, the counted frames as given, a full decode without errors.
Frames ProbeFrames(const std::string& path, std::string* errors) {
  const ProbeResult p = Probe(path);
  *errors = p.errors + DecodeErrors(path);
  Frames f;
  if (const ProbedStream* v = p.Stream("video")) f.video = static_cast<size_t>(v->Int("nb_read_frames"));
  if (const ProbedStream* a = p.Stream("audio")) f.audio = static_cast<size_t>(a->Int("nb_read_frames"));
  return f;
}

}  // namespace

// While a recording runs, a copy of the file taken right after each header
// update holds exactly the frames written before the frame that caused it;
// after close, every frame. Also with the large-file layout.
TEST(SafeWrite, CopiesAfterEachUpdateHoldTheFramesUpToIt) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  for (const uint8_t flags : {0u, MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64}) {
    SCOPED_TRACE(flags);
    TempDir dir;
    const std::string path = dir.File("rec.mp4");
    Settings s;
    s.flags = flags;
    SafeRecording rec(path, s);
    ASSERT_EQ(0, rec.rc());
    StdoutCapture quiet;
    std::vector<std::pair<std::string, Frames>> copies;
    while (!rec.Done()) {
      const Frames before{rec.video(), rec.audio()};
      if (rec.Step()) {
        // The update describes what preceded the updating video frame.
        const std::string copy = dir.File("copy" + std::to_string(copies.size()) + ".mp4");
        const std::vector<uint8_t> bytes = ReadFile(path);
        std::FILE* f = std::fopen(copy.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        copies.push_back({copy, before});
      }
      ASSERT_EQ(0, rec.rc());
    }
    const Frames all{rec.video(), rec.audio()};
    ASSERT_EQ(0, rec.muxer().Close());
    quiet.Take();
    EXPECT_GE(copies.size(), 5u);
    copies.push_back({path, all});
    for (const auto& c : copies) {
      SCOPED_TRACE(c.first);
      std::string errors;
      const Frames got = ProbeFrames(c.first, &errors);
      EXPECT_EQ("", errors);
      EXPECT_EQ(c.second.video, got.video);
      EXPECT_EQ(c.second.audio, got.audio);
    }
  }
}
