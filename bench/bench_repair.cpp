// Repair mode on a one-hour recording: 1080p30 H.264 and 48 kHz AAC, that is
// 108,000 video and 168,750 audio frames, 276,750 side-file records.
//
// - RepairHour: mp4_repair_file on the side file of that recording, as a
//   crash right after the last frame leaves it: records per second, and the
//   peak memory one repair adds to a fresh process.
// - RepairFlagCost: the same hour recorded with and without the repair flag,
//   alternately; the ratio of the (lower) median times is the cost of keeping
//   the side file. Small pictures make per-frame work, which is what the flag
//   adds to, weigh more than real 1080p frames do: the /600 case is the worst
//   case, /16000 a realistic one. RepairHour uses the small pictures (the
//   repair never reads them).

#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bv_mp4.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kVideoFrames = 108000;  // one hour at 30 fps
constexpr uint32_t kAudioFrames = 168750;  // one hour at 48 kHz, 1024 per frame
std::string g_self;  // this executable, for the memory probe

const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5, 0x84, 0x00,
                    0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xF0, 0x3C, 0x60, 0xC6, 0x58};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

Bytes MakeVideoFrame(size_t size, bool key, uint32_t seed) {
  Bytes f(size);
  f[3] = 1;
  f[4] = key ? 0x65 : 0x41;
  std::mt19937 rng(seed);
  for (size_t i = 5; i < size; ++i) f[i] = static_cast<uint8_t>(1 + rng() % 255);
  return f;
}

struct Step {
  bool audio;
  uint32_t index;
};

// Interleaved by time; the audio frame due after the last picture goes just
// before it, so that the last call is the video frame that flushes the side
// file (108,000 is a multiple of the default interval of 900).
std::vector<Step> HourSteps() {
  std::vector<Step> steps;
  steps.reserve(kVideoFrames + kAudioFrames);
  uint32_t a = 0;
  for (uint32_t v = 0; v < kVideoFrames; ++v) {
    const bool last = v + 1 == kVideoFrames;
    while (a < kAudioFrames && (last || uint64_t{a} * 1024 * 30 <= uint64_t{v} * 48000)) steps.push_back({true, a++});
    steps.push_back({false, v});
  }
  return steps;
}

struct Frames {
  explicit Frames(size_t picture)
      : key(MakeVideoFrame(picture * 4, true, 1)),
        other{MakeVideoFrame(picture, false, 2), MakeVideoFrame(picture, false, 3)} {}
  Bytes key;
  std::vector<Bytes> other;
  Bytes audio = Bytes(200, 0x21);
  std::vector<Step> steps = HourSteps();
};

// Records the hour into `path`. With `copyTo`, both files are copied before
// the close, as a crash after the last frame would leave them.
double RecordHour(const Frames& f, const std::string& path, uint8_t flags, const std::string& copyTo = "") {
  // Truncating the previous run's file would be timed otherwise.
  fs::remove(path);
  fs::remove(path + ".info");
  const auto t0 = std::chrono::steady_clock::now();
  mp4_handle h = nullptr;
  if (mp4_create_file_ex(path.c_str(), flags, &h) != 0) return -1;
  mp4_video_track_info_t vi{};
  vi.timescale = 30000;
  vi.frame_duration = 1000;
  vi.codec_type = MP4_VIDEO_H264;
  vi.width = 1920;
  vi.height = 1080;
  vi.sps = kSps.data();
  vi.sps_size = static_cast<uint16_t>(kSps.size());
  vi.pps = kPps.data();
  vi.pps_size = static_cast<uint16_t>(kPps.size());
  mp4_audio_track_info_t ai{};
  ai.timescale = 48000;
  ai.frame_duration = 1024;
  ai.codec_type = MP4_AUDIO_AAC;
  ai.sample_rate = 48000;
  ai.channels = 2;
  ai.profile = 2;
  bool ok = mp4_set_video_track(h, &vi) == 0 && mp4_set_audio_track(h, &ai) == 0;
  for (const Step& s : f.steps) {
    if (!ok) break;
    if (s.audio) {
      ok = mp4_write_audio_frame(h, f.audio.data(), uint32_t(f.audio.size()), uint64_t{s.index} * 1024) == 0;
    } else {
      const Bytes& v = s.index % 30 == 0 ? f.key : f.other[s.index % 2];
      ok = mp4_write_video_frame(h, v.data(), uint32_t(v.size()), uint64_t{s.index} * 1000) == 0;
    }
  }
  if (!copyTo.empty()) {
    fs::copy_file(path, copyTo, fs::copy_options::overwrite_existing);
    fs::copy_file(path + ".info", copyTo + ".info", fs::copy_options::overwrite_existing);
  }
  ok = mp4_close_file(h) == 0 && ok;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return ok ? secs : -1;
}

std::string TempBase() {
  static const std::string base = [] {
    const std::string d = (fs::temp_directory_path() / ("bv_mp4_bench_repair_" + std::to_string(getpid()))).string();
    fs::create_directories(d);
    return d;
  }();
  return base;
}

long StatusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof(line), f)) {
    if (std::strncmp(line, field, n) == 0) kb = std::strtol(line + n + 1, nullptr, 10);
  }
  std::fclose(f);
  return kb;
}

// In a fresh process (this program with --bench-repair-once): the peak
// resident memory one repair adds, in KiB (VmHWM after it, the peak reset
// before it through /proc/self/clear_refs, minus VmRSS before it).
long RepairPeakKb(const std::string& path) {
  const std::string result = TempBase() + "/peak.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    execl(g_self.c_str(), g_self.c_str(), "--bench-repair-once", path.c_str(), result.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  long kb = -1;
  if (FILE* f = std::fopen(result.c_str(), "r")) {
    if (std::fscanf(f, "%ld", &kb) != 1) kb = -1;
    std::fclose(f);
  }
  return kb;
}

int RepairOnce(const char* path, const char* result) {
  if (!std::freopen("/dev/null", "w", stdout)) return 1;
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
  const long before = StatusKb("VmRSS:");
  if (mp4_repair_file_ex(path, 0) != 0) return 1;
  const long peak = StatusKb("VmHWM:");
  FILE* f = std::fopen(result, "w");
  if (!f) return 1;
  std::fprintf(f, "%ld\n", peak - before);
  std::fclose(f);
  return 0;
}

void BM_RepairHour(benchmark::State& state) {
  const std::string recorded = TempBase() + "/hour.mp4";
  const std::string crashed = TempBase() + "/crashed.mp4";
  if (RecordHour(Frames(600), recorded, MP4_FLAG_REPAIR, crashed) < 0) {
    state.SkipWithError("recording failed");
    return;
  }
  fs::remove(recorded);
  const uintmax_t length = fs::file_size(crashed);
  const uintmax_t infoBytes = fs::file_size(crashed + ".info");
  for (auto _ : state) {
    state.PauseTiming();
    fs::resize_file(crashed, length);  // back to the state of the crash
    state.ResumeTiming();
    if (mp4_repair_file_ex(crashed.c_str(), 0) != 0) {
      state.SkipWithError("repair failed");
      return;
    }
  }
  state.counters["records/s"] =
      benchmark::Counter(double(kVideoFrames + kAudioFrames), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["side_file_MB"] = double(infoBytes) / 1e6;
  fs::resize_file(crashed, length);
  state.counters["peak_MB"] = RepairPeakKb(crashed) / 1024.0;
  fs::remove(crashed);
  fs::remove(crashed + ".info");
}
BENCHMARK(BM_RepairHour)->Unit(benchmark::kMillisecond)->Iterations(5);

// Argument: the bytes of a picture (key frames four times as many). 600 keeps
// the hour near 100 MB (five rounds); 16,000 is a 1080p30 stream of about
// 4 Mbit/s, 1.8 GB per hour (two rounds).
void BM_RepairFlagCost(benchmark::State& state) {
  const Frames frames(static_cast<size_t>(state.range(0)));
  const int rounds = state.range(0) > 4000 ? 2 : 5;
  const std::string path = TempBase() + "/flag.mp4";
  std::vector<double> off, on;
  for (auto _ : state) {
    for (int round = 0; round < rounds; ++round) {
      off.push_back(RecordHour(frames, path, 0));
      on.push_back(RecordHour(frames, path, MP4_FLAG_REPAIR));
    }
    fs::remove(path);
    fs::remove(path + ".info");
  }
  if (*std::min_element(off.begin(), off.end()) < 0 || *std::min_element(on.begin(), on.end()) < 0) {
    state.SkipWithError("recording failed");
    return;
  }
  std::sort(off.begin(), off.end());
  std::sort(on.begin(), on.end());
  const double without = off[(off.size() - 1) / 2], with = on[(on.size() - 1) / 2];
  state.counters["without_s"] = without;
  state.counters["with_s"] = with;
  state.counters["cost_%"] = (with / without - 1.0) * 100.0;
}
BENCHMARK(BM_RepairFlagCost)->Unit(benchmark::kSecond)->Iterations(1)->Arg(600)->Arg(16000);

}  // namespace

int main(int argc, char** argv) {
  g_self = fs::canonical("/proc/self/exe").string();
  if (argc >= 4 && std::strcmp(argv[1], "--bench-repair-once") == 0) return RepairOnce(argv[2], argv[3]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(TempBase());
  return 0;
}
