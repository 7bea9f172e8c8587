// Safe write with MP4_FLAG_KEEP_TRACK_STARTS: audio from 0 and video from
// 0.5 s on one clock start where FFmpeg's file of the same packets starts
// them, in the file as closed, in copies taken after each header update and
// in files left by a kill at any disk write of an update.
#include <gtest/gtest.h>

#if !defined(_WIN32) && defined(BV_FFPROBE)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "header_update.h"
#include "media_source.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using namespace bvtest;
using bv::CMp4Muxer;

namespace {

constexpr uint64_t kVideoStart = 45000;  // 0.5 s at 90 kHz
constexpr size_t kLoops = 4;             // passes over the 2 s clips

struct Starts {
  long long video = -1, audio = -1;  // ms; -1: the file lists no such stream
  bool operator==(const Starts& o) const { return video == o.video && audio == o.audio; }
};

std::ostream& operator<<(std::ostream& os, const Starts& s) {
  return os << "video " << s.video << " ms, audio " << s.audio << " ms";
}

Starts ProbeStarts(const std::string& path) {
  std::istringstream out(RunCommand("ffprobe -v error -show_entries stream=codec_type,start_time -of csv=p=0 '" +
                                    path + "'"));
  Starts s;
  for (std::string line; std::getline(out, line);) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    const long long ms = std::llround(std::stod(line.substr(comma + 1)) * 1000);
    (line.compare(0, comma, "video") == 0 ? s.video : s.audio) = ms;
  }
  return s;
}

// FFmpeg's file of the same first packets: the raw video goes through an MP4
// of its own first, so that -itsoffset has times to move.
Starts FfmpegStarts(const TempDir& dir) {
  const std::string timed = dir.File("ffmpeg_video.mp4"), ref = dir.File("ffmpeg.mp4");
  RunCommand("ffmpeg -nostdin -v error -framerate 25 -i '" + DataPath("video_h264.h264") + "' -c copy '" + timed + "'");
  RunCommand("ffmpeg -nostdin -v error -i '" + DataPath("audio_48000_2.aac") + "' -itsoffset 0.5 -i '" + timed +
             "' -map 0 -map 1 -c copy '" + ref + "'");
  return ProbeStarts(ref);
}

// A file as left at some moment is right when every stream it lists starts
// where the closed file starts it; a stream shown alone may also start at 0
// (the other was not revealed yet, and the movie then starts with it).
bool StartsRightAt(const Starts& got, const Starts& want) {
  if (got.video >= 0 && got.audio >= 0) return got == want;
  return (got.video == -1 || got.video == 0 || got.video == want.video) &&
         (got.audio == -1 || got.audio == 0 || got.audio == want.audio);
}

// Audio from 0 at 48 kHz and video from 0.5 s at 90 kHz, both clips looped.
// The host writes video `leadMs` ahead of the audio it goes with, so with a
// long lead the video track starts first and only later turns out to start
// late.
class LateVideoRecording {
 public:
  LateVideoRecording(const std::string& path, uint8_t flags, long long leadMs) : leadMs_(leadMs) {
    const mp4_config_t c = RecordingConfig(MP4_IO_SAFE_WRITE, flags, 2, 60);
    rc_ = m_.Create(Widen(path).c_str(), c);
    const mp4_video_track_info_t v = H264TrackWithParameterSets();
    if (rc_ == 0) rc_ = m_.SetVideoTrack(v);
    if (rc_ == 0) rc_ = m_.SetAudioTrack(AacTrack(MP4_AUDIO_AAC_ADTS));
  }
  int rc() const { return rc_; }
  CMp4Muxer& muxer() { return m_; }
  bool Done() const { return video_ >= Video().size() * kLoops; }
  // Writes the next frame; true when the header was updated during it.
  bool Step() {
    const uint32_t before = m_.HeaderUpdateCount();
    const long long videoMs = 500 + 40 * static_cast<long long>(video_) - leadMs_;
    const long long audioMs = static_cast<long long>(audio_) * 1024 * 1000 / 48000;
    if (videoMs <= audioMs) {
      const MediaFrame& f = Video()[video_ % Video().size()];
      const uint64_t t = kVideoStart + 3600 * uint64_t{video_++};
      rc_ = m_.WriteVideoFrame(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), t, t);
    } else {
      const MediaFrame& f = Audio()[audio_ % Audio().size()];
      rc_ = m_.WriteAudioFrame(f.bytes.data(), static_cast<uint32_t>(f.bytes.size()), 1024 * uint64_t{audio_++});
    }
    return m_.HeaderUpdateCount() != before;
  }

 private:
  static const std::vector<MediaFrame>& Video() {
    static const std::vector<MediaFrame> v = LoadAccessUnits("video_h264.h264");
    return v;
  }
  static const std::vector<MediaFrame>& Audio() {
    static const std::vector<MediaFrame> a = LoadAdtsFrames("audio_48000_2.aac");
    return a;
  }
  CMp4Muxer m_;
  long long leadMs_;
  size_t video_ = 0, audio_ = 0;
  int rc_ = 0;
};

struct Case {
  uint8_t flags;
  long long leadMs;
  const char* file;
  bool killed;  // also recorded by the kill test
};

const Case kCases[] = {
    {MP4_FLAG_KEEP_TRACK_STARTS, 0, "in_time_order.mp4", true},
    {MP4_FLAG_KEEP_TRACK_STARTS, 2500, "video_first.mp4", false},
    {MP4_FLAG_KEEP_TRACK_STARTS | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, 2500, "video_first.mov", true},
};

// ffprobe silent and, when the file lists a stream, a clean decode.
void ExpectPlayable(const std::string& path, const Starts& starts) {
  EXPECT_EQ("", Probe(path).errors) << path;
  if (starts.video >= 0 || starts.audio >= 0) {
    EXPECT_EQ("", DecodeErrors(path)) << path;
  }
}

// Hook state of a child that dies at write `g_write` of update `g_update`.
CMp4Muxer* g_muxer = nullptr;
uint32_t g_update = 0, g_write = 0;

void KillAtWrite(uint32_t index) {
  if (g_muxer->HeaderUpdateCount() + 1 == g_update && index == g_write) raise(SIGKILL);
}

}  // namespace

TEST(SafeTrackStarts, StartsMatchFfmpegAsClosedAndAfterEveryUpdate) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const Starts want = FfmpegStarts(dir);
  ASSERT_EQ((Starts{500, 0}), want) << "FFmpeg's file";
  for (const Case& k : kCases) {
    const std::string path = dir.File(k.file);
    std::vector<std::string> copies;
    {
      StdoutCapture quiet;
      LateVideoRecording rec(path, k.flags, k.leadMs);
      ASSERT_EQ(0, rec.rc()) << k.file;
      while (!rec.Done()) {
        if (rec.Step()) {
          copies.push_back(dir.File(std::to_string(copies.size()) + "_" + k.file));
          CopyFile(path, copies.back());
        }
        ASSERT_EQ(0, rec.rc()) << k.file;
      }
      ASSERT_EQ(0, rec.muxer().Close()) << k.file;
    }
    EXPECT_EQ(want, ProbeStarts(path)) << k.file;
    ExpectPlayable(path, want);
    ASSERT_GE(copies.size(), 4u) << k.file;
    bool videoAlone = false;
    for (const std::string& copy : copies) {
      const Starts got = ProbeStarts(copy);
      EXPECT_TRUE(StartsRightAt(got, want)) << copy << ": " << got;
      videoAlone |= got.video >= 0 && got.audio < 0;
      ExpectPlayable(copy, got);
    }
    EXPECT_EQ(want, ProbeStarts(copies.back())) << k.file;
    // With the lead the video track is shown before the audio exists.
    EXPECT_EQ(k.leadMs > 0, videoAlone) << k.file;
  }
}

// A child records and is killed at every page-run write of the first two
// updates (those that reveal the tracks and switch the edit list).
TEST(SafeTrackStarts, FilesLeftByAKillStartRight) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const Starts want{500, 0};
  for (const Case& k : kCases) {
    if (!k.killed) continue;
    size_t bothShown = 0;
    for (uint32_t update = 1; update <= 2; ++update) {
      for (uint32_t write = 1;; ++write) {
        const std::string path = dir.File("u" + std::to_string(update) + "w" + std::to_string(write) + k.file);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
          std::FILE* null = std::freopen("/dev/null", "w", stdout);
          (void)null;
          LateVideoRecording rec(path, k.flags, k.leadMs);
          g_muxer = &rec.muxer();
          g_update = update;
          g_write = write;
          bv::CHeaderUpdate::SetWriteHookForTest(KillAtWrite);
          while (rec.rc() == 0 && !rec.Done()) rec.Step();
          _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) break;  // the update had fewer writes
        SCOPED_TRACE(path);
        const Starts got = ProbeStarts(path);
        EXPECT_TRUE(StartsRightAt(got, want)) << got;
        bothShown += got.video >= 0 && got.audio >= 0;
        ExpectPlayable(path, got);
      }
    }
    EXPECT_GT(bothShown, 0u) << k.file;
  }
}

#endif
