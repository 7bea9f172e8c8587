// Safe write end to end: the file on disk is playable at every moment up to
// its last header update, whatever kills the process, with no repair step,
// and with MP4_FLAG_KEEP_TRACK_STARTS (audio from 0, video from 0.5 s) each
// track starts where FFmpeg's file of the same packets starts it. The
// players' own tools are the oracle (ffprobe silent with exact frame counts
// and start times, ffmpeg decoding every frame).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "bv_mp4.h"
#include "conformance.h"
#include "header_update.h"
#include "platform.h"
#include "safe_recording.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Options = SafeRecording::Options;

// What the players see in a file: frames and start (ms, -1: no such stream)
// of each track, and every complaint of ffprobe and of a full decode.
struct Shown {
  size_t video = 0, audio = 0;
  long long videoMs = -1, audioMs = -1;
  std::string errors;
};

Shown Play(const std::string& path) {
  const ProbeResult p = Probe(path);
  Shown s;
  s.errors = p.errors;
  if (const ProbedStream* v = p.Stream("video")) {
    s.video = static_cast<size_t>(v->Int("nb_read_frames"));
    s.videoMs = std::llround(v->Real("start_time") * 1000);
  }
  if (const ProbedStream* a = p.Stream("audio")) {
    s.audio = static_cast<size_t>(a->Int("nb_read_frames"));
    s.audioMs = std::llround(a->Real("start_time") * 1000);
  }
  // A track shows only from the update that gave it samples on.
  if (s.video + s.audio > 0) s.errors += DecodeErrors(path);
  return s;
}

struct Frames {
  size_t video = 0, audio = 0;
};

struct Starts {
  long long video, audio;  // ms
};

// Each stream the file lists starts where the closed file starts it; a
// stream shown alone may also start at 0 (the other was not revealed yet,
// and the movie then starts with it).
bool StartsRight(const Shown& got, const Starts& want) {
  if (got.videoMs >= 0 && got.audioMs >= 0) return got.videoMs == want.video && got.audioMs == want.audio;
  return (got.videoMs <= 0 || got.videoMs == want.video) && (got.audioMs <= 0 || got.audioMs == want.audio);
}

constexpr uint64_t kLateVideo = 45000;  // 0.5 s at 90 kHz

struct Case {
  const char* file;
  Options options;
  Starts starts;
};

Options With(uint8_t flags, uint64_t videoStart, long long leadMs) {
  Options o;
  o.flags = flags;
  o.videoStart = videoStart;
  o.leadMs = leadMs;
  return o;
}

// With a long lead the video track starts first and only later turns out to
// start late.
const Case kPlain{"plain.mp4", With(0, 0, 0), {0, 0}};
const Case kInOrder{"in_time_order.mp4", With(MP4_FLAG_KEEP_TRACK_STARTS, kLateVideo, 0), {500, 0}};
const Case kVideoFirst{"video_first.mp4", With(MP4_FLAG_KEEP_TRACK_STARTS, kLateVideo, 2500), {500, 0}};
const Case kVideoFirstLarge{
    "video_first.mov",
    With(MP4_FLAG_KEEP_TRACK_STARTS | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, kLateVideo, 2500),
    {500, 0}};

constexpr size_t kVideoFrames = 200;  // four passes over the clip

// FFmpeg's file of the same first packets starts the tracks where the cases
// say. The raw video goes through an MP4 of its own first, so that
// -itsoffset has times to move.
void ExpectFfmpegStartsLikeTheCases(const TempDir& dir) {
  const std::string timed = dir.File("ffmpeg_video.mp4"), ref = dir.File("ffmpeg.mp4");
  RunCommand("ffmpeg -nostdin -v error -framerate 25 -i '" + DataPath("video_h264.h264") + "' -c copy '" + timed + "'");
  RunCommand("ffmpeg -nostdin -v error -i '" + DataPath("audio_48000_2.aac") + "' -itsoffset 0.5 -i '" + timed +
             "' -map 0 -map 1 -c copy '" + ref + "'");
  const Shown s = Play(ref);
  EXPECT_EQ(kInOrder.starts.video, s.videoMs) << "FFmpeg's file";
  EXPECT_EQ(kInOrder.starts.audio, s.audioMs) << "FFmpeg's file";
}

}  // namespace

// While a recording runs, a copy of the file taken right after each header
// update holds exactly the frames written before the frame that caused it,
// and so does a copy taken between updates (media data written since the
// update does not show); after close, every frame. A copy is what a kill at
// that moment leaves on disk.
TEST(SafeWrite, CopiesAfterEachUpdateHoldTheFramesUpToIt) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  ExpectFfmpegStartsLikeTheCases(dir);
  for (const Case& k : {kPlain, kInOrder, kVideoFirst, kVideoFirstLarge}) {
    SCOPED_TRACE(k.file);
    const std::string path = dir.File(k.file);
    StdoutCapture quiet;
    SafeRecording rec(path, k.options);
    ASSERT_EQ(0, rec.rc());
    std::vector<std::pair<std::string, Frames>> copies;
    Frames shown;  // as the last update described them
    size_t updates = 0;
    for (size_t step = 1; rec.video() < kVideoFrames; ++step) {
      const Frames before{rec.video(), rec.audio()};
      const bool updated = rec.Step();
      ASSERT_EQ(0, rec.rc());
      if (updated) {
        shown = before;  // what preceded the updating video frame
        ++updates;
      }
      if (updated || step % 71 == 0) {
        copies.push_back({dir.File("copy" + std::to_string(copies.size()) + "_" + k.file), shown});
        CopyFile(path, copies.back().first);
      }
    }
    const Frames all{rec.video(), rec.audio()};
    ASSERT_EQ(0, rec.Close());
    quiet.Take();
    EXPECT_GE(updates, 4u);
    copies.push_back({path, all});
    bool videoAlone = false;
    for (const auto& c : copies) {
      SCOPED_TRACE(c.first);
      const Shown got = Play(c.first);
      EXPECT_EQ("", got.errors);
      EXPECT_EQ(c.second.video, got.video);
      EXPECT_EQ(c.second.audio, got.audio);
      EXPECT_TRUE(StartsRight(got, k.starts)) << got.videoMs << " ms video, " << got.audioMs << " ms audio";
      videoAlone |= got.video > 0 && got.audio == 0;
    }
    EXPECT_EQ(k.options.leadMs > 0, videoAlone);
  }
}

// Safe-mode refusals, and a recording whose reserved tables fill up: the
// frames that fitted stay playable after close.
TEST(SafeWrite, RefusalsAndFullTables) {
  TempDir dir;
  StdoutCapture quiet;
  {
    // Create's own refusals are the exports' tests.
    const mp4_config_t c = RecordingConfig(MP4_IO_SAFE_WRITE, 0, 2, 60);
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_full_ex(dir.File("refused.mp4").c_str(), &c, &h));
    const mp4_subtitle_track_info_t cc{MP4_SUBTITLE_CEA608, 0};
    EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, mp4_set_subtitle_track(h, &cc));
    const uint8_t frame[] = {0x61, 2, 0, 0, 0x94, 0x20};
    EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, mp4_write_subtitle_frame(h, frame, sizeof(frame), 0));
    // Audio alone: the update interval is counted in video frames.
    const mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC_ADTS, 48000, 2, 2};
    ASSERT_EQ(0, mp4_set_audio_track(h, &a));
    const std::vector<uint8_t>& adts = SafeRecording::Bytes({false, 0});
    EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_write_audio_frame(h, adts.data(), static_cast<uint32_t>(adts.size()), 0));
    EXPECT_NE(std::string::npos, quiet.Take().find("invalid video frame duration"));
    mp4_close_file(h);
  }

  // One second reserved: 25 video and 46 audio frames fit.
  Options o;
  o.maxDuration = 1;
  const std::string full = dir.File("full.mp4");
  SafeRecording rec(full, o);
  ASSERT_EQ(0, rec.rc());
  StdoutCapture cap;
  size_t refused = 0, accepted = 0;
  while (rec.video() < 50) {
    rec.Step();
    EXPECT_TRUE(rec.rc() == 0 || rec.rc() == MP4_ERR_TABLE_FULL) << rec.rc();
    (rec.rc() == 0 ? accepted : refused) += 1;
  }
  EXPECT_EQ(0, rec.Close());
  EXPECT_NE(std::string::npos, cap.Take().find("reach the max frame num 25"));
  EXPECT_EQ(25u + 46u, accepted);
  EXPECT_EQ(rec.video() + rec.audio() - accepted, refused);
  if (ConformanceToolsAvailable()) {
    const Shown got = Play(full);
    EXPECT_EQ("", got.errors);
    EXPECT_EQ(25u, got.video);
    EXPECT_EQ(46u, got.audio);
  }
}

// Past 4 GiB (a hole in the media data, so nothing near 4 GiB is written):
// updates keep coming and the large-file layout addresses every sample.
TEST(SafeWrite, UpdatesContinuePastFourGiB) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const std::string path = dir.File("big.mp4");
  StdoutCapture quiet;
  SafeRecording rec(path, With(MP4_FLAG_LARGE_FILE, 0, 0));
  rec.RunUntilVideo(100);
  const uint32_t updatesBefore = rec.muxer().HeaderUpdateCount();
  rec.muxer().SkipMediaBytesForTest((4ull << 30) + 12345);
  rec.RunUntilVideo(300);
  ASSERT_EQ(0, rec.rc());
  EXPECT_GE(rec.muxer().HeaderUpdateCount(), updatesBefore + 3);
  ASSERT_EQ(0, rec.Close());
  quiet.Take();
  const Shown got = Play(path);
  EXPECT_EQ("", got.errors);
  EXPECT_EQ(rec.video(), got.video);
  EXPECT_EQ(rec.audio(), got.audio);
}

#if !defined(_WIN32)
// The crash matrix. A child process records in safe mode and dies by
// SIGKILL inside a header update right after its k-th page-run write (the
// test seam, for every k of the first two updates, those that reveal the
// tracks and switch the edit list), or at a random moment chosen by the
// parent (a kill between updates is the copies' case above). The file as
// left on disk, with no repair, must pass ffprobe silently, decode every
// frame that its last complete update described and start its tracks right.
// 10 random moments run by default; BV_SAFE_CRASH_POINTS=N runs N (with
// another seed), e.g. a few hundred before a release. On Windows the matrix
// is not run: the players' tools the oracle needs are only available on Linux.
namespace {

bv::CMp4Muxer* g_muxer = nullptr;
uint32_t g_updateWrites[2];  // page-run writes of the first two updates
uint32_t g_killUpdate = 0, g_killWrite = 0;

// Records in a child process, which dies by SIGKILL right after page-run
// write `write` of header update `update` (0: no such kill), or `delayUs`
// after the start (negative: no timed kill); returns the wait status.
int RecordInChildAndKill(const std::string& path, const Options& o, uint32_t update, uint32_t write, long delayUs) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* null = std::freopen("/dev/null", "w", stdout);
    (void)null;
    SafeRecording rec(path, o);
    g_muxer = &rec.muxer();
    g_killUpdate = update;
    g_killWrite = write;
    // The update in flight is the one after those counted so far.
    bv::CHeaderUpdate::SetWriteHookForTest([](uint32_t w) {
      if (g_muxer->HeaderUpdateCount() + 1 == g_killUpdate && w == g_killWrite) raise(SIGKILL);
    });
    rec.RunUntilVideo(kVideoFrames);
    _exit(rec.rc() == 0 && rec.Close() == 0 ? 0 : 1);
  }
  if (pid > 0 && delayUs >= 0) {
    usleep(static_cast<useconds_t>(delayUs));
    kill(pid, SIGKILL);
  }
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return status;
}

// The updates of a recording that runs to its close; the close is the last.
std::vector<Frames> RecordReference(const std::string& path, const Options& o) {
  StdoutCapture quiet;
  SafeRecording rec(path, o);
  EXPECT_EQ(0, rec.rc());
  g_muxer = &rec.muxer();
  g_updateWrites[0] = g_updateWrites[1] = 0;
  bv::CHeaderUpdate::SetWriteHookForTest([](uint32_t) {
    if (g_muxer->HeaderUpdateCount() < 2) ++g_updateWrites[g_muxer->HeaderUpdateCount()];
  });
  std::vector<Frames> updates;
  while (rec.video() < kVideoFrames) {
    const Frames before{rec.video(), rec.audio()};
    if (rec.Step()) updates.push_back(before);
  }
  updates.push_back({rec.video(), rec.audio()});
  EXPECT_EQ(0, rec.Close());
  bv::CHeaderUpdate::SetWriteHookForTest(nullptr);
  return updates;
}

struct Point {
  unsigned update, write;  // kill after this write of this update (update 0: none)
  long delayUs;            // kill this long after the start (negative: none)
};

}  // namespace

TEST(SafeWrite, KilledRecordingsArePlayableUpToTheirLastUpdate) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const char* env = std::getenv("BV_SAFE_CRASH_POINTS");
  const int randomPoints = env ? std::atoi(env) : 10;
  std::mt19937 rng(env ? 4242u : 20261206u);
  for (const Case& k : {kPlain, kInOrder, kVideoFirstLarge}) {
    SCOPED_TRACE(k.file);
    const std::vector<Frames> updates = RecordReference(dir.File(std::string("reference_") + k.file), k.options);
    ASSERT_GE(updates.size(), 4u);
    ASSERT_GE(g_updateWrites[0], 4u);
    ASSERT_GE(g_updateWrites[1], 4u);
    std::vector<Point> points;
    for (unsigned u = 1; u <= 2; ++u) {
      for (uint32_t w = 1; w <= g_updateWrites[u - 1]; ++w) points.push_back({u, w, -1});
    }
    if (&k == &kPlain) {
      points.push_back({static_cast<unsigned>(updates.size()), 1, -1});  // inside the update at close
      // A free run measures how long the child lives, for the timed kills.
      const uint64_t t0 = bv::plat::TickMs();
      ASSERT_EQ(0, RecordInChildAndKill(dir.File("free.mp4"), k.options, 0, 0, -1));
      const long lifeUs = static_cast<long>(bv::plat::TickMs() - t0 + 1) * 1000;
      for (int i = 0; i < randomPoints; ++i) {
        points.push_back({0, 0, static_cast<long>(rng() % static_cast<unsigned long>(lifeUs))});
      }
    }
    size_t index = 0, bothShown = 0;
    for (const Point& p : points) {
      const std::string path = dir.File("crash" + std::to_string(index++) + k.file);
      SCOPED_TRACE(testing::Message() << "update " << p.update << " write " << p.write << " delay " << p.delayUs);
      const int status = RecordInChildAndKill(path, k.options, p.update, p.write, p.delayUs);
      if (p.update != 0) {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      } else if (!FileExists(path) || ReadFile(path).empty()) {
        continue;  // killed before the head reached the disk: nothing recorded
      }
      const Shown got = Play(path);
      EXPECT_EQ("", got.errors);
      EXPECT_TRUE(StartsRight(got, k.starts)) << got.videoMs << " ms video, " << got.audioMs << " ms audio";
      bothShown += got.video > 0 && got.audio > 0;
      if (p.update != 0) {
        // Cut inside an update: each track shows the frames of that update
        // or of the one before, never anything else.
        const Frames prev = p.update >= 2 ? updates[p.update - 2] : Frames{};
        const Frames next = updates[p.update - 1];
        EXPECT_TRUE(got.video == prev.video || got.video == next.video) << got.video;
        EXPECT_TRUE(got.audio == prev.audio || got.audio == next.audio) << got.audio;
      } else {
        // Any moment: each track as some update left it (a kill inside an
        // update may find one track updated and the other not yet).
        bool video = got.video == 0, audio = got.audio == 0;
        for (const Frames& u : updates) {
          video |= got.video == u.video;
          audio |= got.audio == u.audio;
        }
        EXPECT_TRUE(video && audio) << got.video << " video, " << got.audio << " audio frames";
      }
    }
    EXPECT_GT(bothShown, 0u);
  }
}
#endif
