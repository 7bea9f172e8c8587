// The crash matrix: a child process records with the repair flag and is
// killed with SIGKILL at seeded random moments; every kill must repair into a
// file that ffprobe reads silently and ffmpeg decodes whole, holding every
// video frame up to the last side-file flush, each sample exactly as the
// same recording closed normally holds it.
//
// 10 kill points per recording kind on every run. BV_CRASH_KILLS sets the
// number per kind and BV_CRASH_SEED the seed (scripts/crash-matrix.sh runs
// hundreds). POSIX only: the child is a fork, and the oracle tools are not
// part of the Windows build.
#include <gtest/gtest.h>

#if !defined(_WIN32) && defined(BV_FFPROBE)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "conformance.h"
#include "repair_recorder.h"
#include "test_support.h"

using namespace bvtest;

namespace {

constexpr size_t kFrames = 150;  // three passes over the test media
constexpr uint32_t kFlushInterval = 10;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoul(v, nullptr, 10) : fallback;
}

// The packet sizes of each kind of stream, in file order.
std::map<std::string, std::vector<std::string>> Packets(const std::string& path) {
  std::istringstream in(RunCommand(std::string(BV_FFPROBE) +
                                   " -v error -show_entries packet=codec_type,size -of csv=p=0 '" + path + "'"));
  std::map<std::string, std::vector<std::string>> kinds;
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.find(',');
    kinds[line.substr(0, comma)].push_back(line.substr(comma + 1));
  }
  return kinds;
}

// Records in a child and kills it once it reported `killAt` video frames
// (plus a random delay). Returns the frames the child had reported, that is
// finished calls.
size_t RecordAndKill(const RecordPlan& plan, const std::string& path, size_t killAt, useconds_t delay) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    RepairRecorder rec(plan, path);
    rec.onVideo = [fd = fds[1]](size_t n) {
      const uint32_t v = static_cast<uint32_t>(n);
      if (write(fd, &v, sizeof(v)) != sizeof(v)) _exit(3);
      usleep(500);  // a capture's pace, so that the kill lands mid-recording
    };
    if (rec.Open() && mp4_repair_set_flush_interval(rec.handle(), kFlushInterval) == 0) rec.WriteUntilVideo(kFrames);
    _exit(0);  // never closed: the files stay as a crash leaves them
  }
  close(fds[1]);
  uint32_t v = 0;
  size_t reported = 0;
  while (reported < killAt && read(fds[0], &v, sizeof(v)) == sizeof(v)) reported = v;
  usleep(delay);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  while (read(fds[0], &v, sizeof(v)) == sizeof(v)) reported = v;
  close(fds[0]);
  return reported;
}

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
    const auto expected = Packets(reference);
    const std::string path = dir.File(plan.file);
    for (unsigned long k = 0; k < kills; ++k) {
      const size_t killAt = 1 + rng() % (kFrames - 1);
      const useconds_t delay = static_cast<useconds_t>(rng() % 3000);
      const size_t reported = RecordAndKill(plan, path, killAt, delay);
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
      for (const auto& [kind, got] : Packets(path)) {
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
