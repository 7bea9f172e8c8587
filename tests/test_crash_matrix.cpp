// The crash matrix: a child process records and dies by SIGKILL, inside a
// header update right after one of its stages (the test seam) or at a
// seeded random moment; and a power cut inside a stage, which lands any of
// its pages, is made from copies of the file. A safe-write file as left on
// disk, with no repair, must play exactly the frames of some header update
// (each track on its own); a file recorded with the repair flag must repair
// into one holding every video frame up to the last side-file flush, each
// sample as the same recording closed normally holds it. Oracles: ffprobe silent with exact frame counts
// and start times (those of the edit lists: 0.5 s of 90 kHz video), ffmpeg
// decoding every frame.
//
// 10 random kills per recording kind on every run. BV_CRASH_KILLS sets the
// number and BV_CRASH_SEED the seed (scripts/crash-matrix.sh runs hundreds).
// POSIX only: the child is a fork, and the oracle tools are not part of the
// Windows build.
#include <gtest/gtest.h>

#if !defined(_WIN32) && defined(BV_FFPROBE)

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "header_update.h"
#include "repair_recorder.h"
#include "safe_recording.h"
#include "test_support.h"

using namespace bvtest;

namespace {

constexpr size_t kFrames = 150;  // three passes over the clip
constexpr uint32_t kFlushInterval = 10;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoul(v, nullptr, 10) : fallback;
}

// Where a child dies: right after stage `write` of header update
// `update` (counted from 1; 0: not in an update), else `delayUs` after it
// reported `frames` video frames.
struct Kill {
  uint32_t update, write;
  size_t frames;
  useconds_t delayUs;
};

// Runs `record` in a child, which reports its video frame count through
// `report` (at a capture's pace, so that a kill lands mid-recording), and
// kills it at `k`. Returns the last count reported, that is finished calls.
size_t RecordAndKill(const std::function<void(const std::function<void(size_t)>&)>& record, const Kill& k,
                     int* status) {
  size_t reported = 0;
  *status = RunInChild(
      [&](int out) {
        record([out](size_t n) {
          const uint32_t v = static_cast<uint32_t>(n);
          if (write(out, &v, sizeof(v)) != sizeof(v)) _exit(3);
          usleep(500);
        });
        return 0;
      },
      [&](int pid, int in) {
        uint32_t v = 0;
        if (k.update == 0) {
          while (reported < k.frames && read(in, &v, sizeof(v)) == sizeof(v)) reported = v;
          usleep(k.delayUs);
          kill(pid, SIGKILL);
        }
        while (read(in, &v, sizeof(v)) == sizeof(v)) reported = v;
      });
  return reported;
}

// ---- Safe write: the file on disk plays up to its last header update ----

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

// Each stream the file lists starts where the closed file starts it (ms); a
// stream shown alone may also start at 0 (the other was not revealed yet,
// and the movie then starts with it).
bool StartsRight(const Shown& got, long long video, long long audio) {
  if (got.videoMs >= 0 && got.audioMs >= 0) return got.videoMs == video && got.audioMs == audio;
  return (got.videoMs <= 0 || got.videoMs == video) && (got.audioMs <= 0 || got.audioMs == audio);
}

// The file plays silently, starts its streams right, and each track shows
// the frames of one of `allowed` (each on its own: a kill inside an update
// may find one track updated and the other not yet).
Shown ExpectPlays(const std::string& path, const std::vector<Frames>& allowed, long long videoMs) {
  const Shown got = Play(path);
  EXPECT_EQ("", got.errors);
  EXPECT_TRUE(StartsRight(got, videoMs, 0)) << got.videoMs << " ms video, " << got.audioMs << " ms audio";
  bool video = false, audio = false;
  for (const Frames& f : allowed) {
    video |= got.video == f.video;
    audio |= got.audio == f.audio;
  }
  EXPECT_TRUE(video && audio) << got.video << " video, " << got.audio << " audio frames";
  return got;
}

constexpr uint64_t kLateVideo = 45000;  // 0.5 s at 90 kHz

Options With(uint8_t flags, uint64_t videoStart, long long leadMs) {
  Options o;
  o.flags = flags;
  o.videoStart = videoStart;
  o.leadMs = leadMs;
  return o;
}

// With MP4_FLAG_KEEP_TRACK_STARTS the audio starts at 0 and the video at
// 0.5 s; with a long lead the video track starts first and only later turns
// out to start late.
const struct Case {
  const char* file;
  Options options;
  long long videoMs;
  bool pageKills;  // kills inside the first two updates
  bool powerCuts;  // their stages landed in part
} kCases[] = {
    {"plain.mp4", With(0, 0, 0), 0, true, true},
    {"in_time_order.mp4", With(MP4_FLAG_KEEP_TRACK_STARTS, kLateVideo, 0), 500, true, false},
    {"video_first.mp4", With(MP4_FLAG_KEEP_TRACK_STARTS, kLateVideo, 2500), 500, false, false},
    {"video_first.mov", With(MP4_FLAG_KEEP_TRACK_STARTS | MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, kLateVideo, 2500),
     500, true, true},
};

bv::CMp4Muxer* g_muxer = nullptr;
uint32_t g_updateWrites[2];  // stages of the first two updates
Kill g_kill;
std::string g_path;
std::vector<std::vector<uint8_t>> g_stageFiles[2];  // the file after each stage of the first two updates

// The recording run here to its close. A copy of the file right after each
// header update, and every 71 calls between updates, is what a kill at that
// moment leaves: it plays exactly the frames written before the video frame
// that caused the last update. Returns those frames per update, the close's
// last.
std::vector<Frames> RecordWithCopies(const TempDir& dir, const Case& k) {
  const std::string path = dir.File(std::string("reference_") + k.file);
  std::vector<std::pair<std::string, Frames>> copies;
  std::vector<Frames> updates;
  {
    StdoutCapture quiet;
    SafeRecording rec(path, k.options);
    EXPECT_EQ(0, rec.rc());
    g_muxer = &rec.muxer();
    g_updateWrites[0] = g_updateWrites[1] = 0;
    g_path = path;
    g_stageFiles[0].clear();
    g_stageFiles[1].clear();
    bv::CHeaderUpdate::SetWriteHookForTest([](uint32_t) {
      const uint32_t u = g_muxer->HeaderUpdateCount();
      if (u < 2) {
        ++g_updateWrites[u];
        g_stageFiles[u].push_back(ReadFile(g_path));
      }
    });
    for (size_t step = 1; rec.rc() == 0 && rec.video() < kFrames; ++step) {
      const Frames before{rec.video(), rec.audio()};
      const bool updated = rec.Step();
      if (updated) updates.push_back(before);
      if (updated || step % 71 == 0) {
        copies.push_back({path + ".copy" + std::to_string(copies.size()), updates.empty() ? Frames{} : updates.back()});
        CopyFile(path, copies.back().first);
      }
    }
    EXPECT_EQ(0, rec.rc());
    updates.push_back({rec.video(), rec.audio()});
    copies.push_back({path, updates.back()});
    EXPECT_EQ(0, rec.Close());
    bv::CHeaderUpdate::SetWriteHookForTest(nullptr);
  }
  bool videoAlone = false;
  for (const auto& c : copies) {
    SCOPED_TRACE(c.first);
    const Shown got = ExpectPlays(c.first, {c.second}, k.videoMs);
    videoAlone |= got.video > 0 && got.audio == 0;
  }
  EXPECT_EQ(k.options.leadMs > 0, videoAlone);
  // A power cut inside a stage lands any of its pages, in any order: each
  // changed page of each stage of the first two updates (the tracks are
  // revealed in the first) alone on top of the stage before, and the stage
  // without it. (The entries of an update's first stage lie behind counts
  // that do not list them yet.)
  constexpr size_t kPage = 4096;  // the header page of the recording's blocks
  size_t cuts = 0;
  for (size_t u = 0; k.powerCuts && u < 2; ++u) {
    const std::vector<Frames> allowed{u == 0 ? Frames{} : updates[0], updates[u]};
    for (size_t s = 1; s < g_stageFiles[u].size(); ++s) {
      const std::vector<uint8_t>& before = g_stageFiles[u][s - 1];
      const std::vector<uint8_t>& after = g_stageFiles[u][s];
      if (before.size() != after.size()) {
        ADD_FAILURE() << "stage " << s + 1 << " of update " << u + 1 << " changed the file's size";
        break;
      }
      for (size_t from = 0; from < after.size(); from += kPage) {
        const size_t to = std::min(after.size(), from + kPage);
        if (std::equal(before.begin() + from, before.begin() + to, after.begin() + from)) continue;
        for (const bool alone : {true, false}) {
          std::vector<uint8_t> bytes = alone ? before : after;
          const std::vector<uint8_t>& page = alone ? after : before;
          std::copy(page.begin() + from, page.begin() + to, bytes.begin() + from);
          const std::string cut = path + ".cut" + std::to_string(cuts++);
          WriteFile(cut, bytes);
          SCOPED_TRACE(testing::Message() << "update " << u + 1 << ", stage " << s + 1 << ", page at " << from
                                          << (alone ? " alone" : " missing"));
          ExpectPlays(cut, allowed, k.videoMs);
        }
      }
    }
  }
  EXPECT_TRUE(!k.powerCuts || cuts >= 8) << cuts << " power cuts";
  return updates;
}

TEST(CrashMatrix, SafeWriteKilledAnywherePlaysUpToItsLastUpdate) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const unsigned long kills = EnvNumber("BV_CRASH_KILLS", 10);
  std::mt19937 rng(static_cast<std::mt19937::result_type>(EnvNumber("BV_CRASH_SEED", 20261206)));
  size_t index = 0;
  for (const Case& k : kCases) {
    SCOPED_TRACE(k.file);
    const std::vector<Frames> updates = RecordWithCopies(dir, k);
    ASSERT_GE(updates.size(), 4u);
    std::vector<Kill> points;
    for (uint32_t u = 1; k.pageKills && u <= 2; ++u) {
      ASSERT_GE(g_updateWrites[u - 1], 4u);
      for (uint32_t w = 1; w <= g_updateWrites[u - 1]; ++w) points.push_back({u, w, 0, 0});
    }
    if (&k == &kCases[0]) {
      points.push_back({static_cast<uint32_t>(updates.size()), 1, 0, 0});  // inside the update at close
      for (unsigned long i = 0; i < kills; ++i) {
        points.push_back({0, 0, 1 + rng() % (kFrames - 1), static_cast<useconds_t>(rng() % 3000)});
      }
    }
    size_t bothShown = 0;
    for (const Kill& p : points) {
      const std::string path = dir.File("crash" + std::to_string(index++) + k.file);
      SCOPED_TRACE(testing::Message() << "update " << p.update << " write " << p.write << ", frame " << p.frames
                                      << " + " << p.delayUs << " us");
      int status = 0;
      RecordAndKill(
          [&](const std::function<void(size_t)>& report) {
            SafeRecording rec(path, k.options);
            g_muxer = &rec.muxer();
            g_kill = p;
            // The update in flight is the one after those counted so far.
            bv::CHeaderUpdate::SetWriteHookForTest([](uint32_t w) {
              if (g_muxer->HeaderUpdateCount() + 1 == g_kill.update && w == g_kill.write) raise(SIGKILL);
            });
            while (rec.rc() == 0 && rec.video() < kFrames) {
              const size_t before = rec.video();
              rec.Step();
              if (rec.video() != before) report(rec.video());
            }
            rec.Close();
          },
          p, &status);
      if (p.update != 0) {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      } else if (!FileExists(path) || ReadFile(path).empty()) {
        continue;  // killed before the head reached the disk: nothing recorded
      }
      // Cut inside an update: each track shows the frames of that update or
      // of the one before; at any moment, as some update left it.
      std::vector<Frames> allowed(1);
      if (p.update >= 2) allowed[0] = updates[p.update - 2];
      if (p.update != 0) allowed.push_back(updates[p.update - 1]);
      if (p.update == 0) allowed.insert(allowed.end(), updates.begin(), updates.end());
      const Shown got = ExpectPlays(path, allowed, k.videoMs);
      bothShown += got.video > 0 && got.audio > 0;
    }
    EXPECT_TRUE(points.empty() || bothShown > 0);
  }
}

// ---- Repair flag: a killed recording repairs up to its last flush ----

TEST(CrashMatrix, KilledRecordingIsRepairedUpToTheLastFlush) {
  const RecordPlan plans[] = {
      {"crash.mp4", 0, MP4_VIDEO_H264, "audio_48000_2.aac", MP4_SUBTITLE_CEA608, true, true},
      {"crash.mov", 0, MP4_VIDEO_HEVC, "", 0, false, false},
  };
  const unsigned long kills = EnvNumber("BV_CRASH_KILLS", 10);
  const unsigned long seed = EnvNumber("BV_CRASH_SEED", 20261206);
  std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
  size_t repaired = 0, empty = 0, midway = 0;
  for (const RecordPlan& plan : plans) {
    TempDir dir;
    // The same recording closed normally: the samples every repair must match.
    const std::string reference = dir.File("reference_" + plan.file);
    {
      StdoutCapture quiet;
      RepairRecorder rec(plan, reference);
      ASSERT_TRUE(rec.Open() && rec.WriteUntilVideo(kFrames) && rec.Close() == 0) << plan.file;
    }
    const auto expected = PacketsByKind(reference);
    const std::string path = dir.File(plan.file);
    for (unsigned long k = 0; k < kills; ++k) {
      const Kill at{0, 0, 1 + rng() % (kFrames - 1), static_cast<useconds_t>(rng() % 3000)};
      int status = 0;
      const size_t reported = RecordAndKill(
          [&](const std::function<void(size_t)>& report) {
            RepairRecorder rec(plan, path);
            rec.onVideo = report;
            if (rec.Open() && mp4_repair_set_flush_interval(rec.handle(), kFlushInterval) == 0) {
              rec.WriteUntilVideo(kFrames);
            }
            _exit(0);  // never closed: the files stay as a crash leaves them
          },
          at, &status);
      const size_t flushed = reported / kFlushInterval * kFlushInterval;
      if (reported < kFrames) ++midway;
      const std::string where = plan.file + " seed " + std::to_string(seed) + " kill " + std::to_string(k) +
                                " after " + std::to_string(reported) + " frames";
      const std::vector<uint8_t> before = ReadFile(path), infoBefore = ReadFile(path + ".info");
      StdoutCapture quiet;
      const int rc = mp4_repair_file_ex(path.c_str(), 1);
      quiet.Take();
      if (flushed == 0 && rc != MP4_SUCCESS) {
        // Killed before the first flush: no track record (4), or not even
        // the media-data header (1), reached the disk. Nothing to repair.
        EXPECT_TRUE(rc == MP4_ERR_INVALID_PARAM || rc == MP4_ERR_FAILED) << where << ": " << rc;
        EXPECT_TRUE(before == ReadFile(path) && infoBefore == ReadFile(path + ".info")) << where;
        ++empty;
        continue;
      }
      ASSERT_EQ(MP4_SUCCESS, rc) << where;
      ++repaired;
      const ProbeResult probe = Probe(path);
      EXPECT_EQ("", probe.errors) << where;
      EXPECT_EQ("", DecodeErrors(path)) << where;
      ASSERT_NE(nullptr, probe.Stream("video")) << where;
      EXPECT_LE(static_cast<long long>(flushed), probe.Stream("video")->Int("nb_read_frames")) << where;
      // Every sample is whole: each stream is a prefix of the closed file's.
      for (const auto& [kind, got] : PacketsByKind(path)) {
        const auto want = expected.find(kind);
        ASSERT_TRUE(want != expected.end() && got.size() <= want->second.size()) << where << " " << kind;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want->second.begin())) << where << " " << kind;
      }
    }
  }
  std::printf("crash matrix: seed %lu, %zu kills repaired, %zu before the first flush, %zu mid-recording\n", seed,
              repaired, empty, midway);
}

}  // namespace

#endif
