// Safe write cost, all in one run on the same machine (ratios matter, the
// machine is shared):
//  - many frames recorded in safe mode with the default block settings
//    (4096 x 32) and with 4096 x 256, against plain mode and against the
//    write-through floor: the same bytes written with O_DSYNC in windows of
//    the same size (what `dd oflag=dsync bs=WINDOW` measures);
//  - one header update of a 1-hour and of a 24-hour reservation, early and
//    late in the recording, 30 s of frames after the previous update: its
//    time and the bytes it writes (from /proc/self/io);
//  - the initial reserved header of a 24-hour recording.
// Linux only (O_DSYNC, /proc/self/io). Run: build-bench/bench/bench_safe_write
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "../tools/annexb_reader.h"
#include "../tools/byte_source.h"
#include "bv_mp4.h"
#include "Mp4Muxer.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Params {
  Bytes sps, pps;
};

const Params& SampleParams() {
  static const Params p = [] {
    Params r;
    bvtool::FileSource src(std::string(BV_SAMPLES_DIR) + "/sample.h264");
    bvtool::AccessUnitReader reader(src, bvtool::VideoCodec::kH264);
    bvtool::AccessUnit au;
    if (src.ok() && reader.Next(au)) {
      r.sps = reader.sps();
      r.pps = reader.pps();
    }
    return r;
  }();
  return p;
}

// One NAL unit of exactly `size` bytes: start code, slice header byte, no
// zero byte in the payload.
Bytes Frame(size_t size, bool key) {
  Bytes f(size);
  f[3] = 1;
  f[4] = key ? 0x65 : 0x41;
  std::mt19937 rng(static_cast<uint32_t>(size));
  for (size_t i = 5; i < size; ++i) f[i] = static_cast<uint8_t>(1 + rng() % 255);
  return f;
}

uint64_t BytesWritten() {
#if defined(__linux__)
  std::FILE* f = std::fopen("/proc/self/io", "r");
  if (!f) return 0;
  char line[128];
  unsigned long long v = 0;
  while (std::fgets(line, sizeof(line), f)) {
    if (std::sscanf(line, "wchar: %llu", &v) == 1) break;
  }
  std::fclose(f);
  return v;
#else
  return 0;
#endif
}

// Keeps the library's log lines out of the figures.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

mp4_config_t Config(uint32_t ioMode, uint32_t blockNum, uint32_t maxDuration) {
  mp4_config_t c{};
  c.io_mode = ioMode;
  c.block_size = 4096;
  c.block_num = blockNum;
  c.max_duration = maxDuration;
  return c;
}

bool SetTracks(bv::CMp4Muxer& m, bool audio) {
  const Params& p = SampleParams();
  mp4_video_track_info_t v{};
  v.timescale = 30000;
  v.frame_duration = 1001;
  v.codec_type = MP4_VIDEO_H264;
  v.width = 1920;
  v.height = 1080;
  v.sps = p.sps.data();
  v.sps_size = static_cast<uint16_t>(p.sps.size());
  v.pps = p.pps.data();
  v.pps_size = static_cast<uint16_t>(p.pps.size());
  if (m.SetVideoTrack(v) != 0) return false;
  if (!audio) return true;
  mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC, 48000, 2, 2};
  return m.SetAudioTrack(a) == 0;
}

// Seconds to record `frames` frames of `size` bytes (a key frame a second).
double Record(const std::string& path, const mp4_config_t& c, int frames, size_t size) {
  const Bytes key = Frame(size, true), delta = Frame(size, false);
  const auto t0 = Clock::now();
  bv::CMp4Muxer m;
  if (m.Create(std::wstring(path.begin(), path.end()).c_str(), c) != 0 || !SetTracks(m, false)) return -1;
  for (int i = 0; i < frames; ++i) {
    const Bytes& f = i % 30 == 0 ? key : delta;
    if (m.WriteVideoFrame(f.data(), static_cast<uint32_t>(f.size()), 1001ull * i, 1001ull * i) != 0) return -1;
  }
  if (m.Close() != 0) return -1;
  return Seconds(t0);
}

// The same bytes with the write-through flag, `window` bytes per write.
double WriteThrough(const std::string& path, uint64_t total, uint32_t window) {
  void* buf = nullptr;
  if (posix_memalign(&buf, 4096, window) != 0) return -1;
  std::memset(buf, 0xA5, window);
  const auto t0 = Clock::now();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DSYNC, 0644);
  for (uint64_t done = 0; fd >= 0 && done < total; done += window) {
    if (write(fd, buf, window) != static_cast<ssize_t>(window)) break;
  }
  if (fd >= 0) close(fd);
  std::free(buf);
  return Seconds(t0);
}

struct UpdateCost {
  double ms = 0;
  uint64_t bytes = 0;
};

// Records `before` frames (tiny, with audio) under a reservation of
// `hours`, brings the header up to date, adds 30 s of frames and times the
// one update that writes them.
UpdateCost TimeUpdate(const std::string& path, uint32_t hours, int before) {
  UpdateCost cost;
  bv::CMp4Muxer m;
  mp4_config_t c = Config(MP4_IO_SAFE_WRITE, 32, hours * 3600);
  c.update_interval = 1000000;  // only the updates made here
  if (m.Create(std::wstring(path.begin(), path.end()).c_str(), c) != 0 || !SetTracks(m, true)) return cost;
  const Bytes key = Frame(200, true), delta = Frame(200, false), aac(40, 0x21);
  int video = 0, audio = 0;
  auto run = [&](int frames) {
    for (int end = video + frames; video < end; ++video) {
      const Bytes& f = video % 30 == 0 ? key : delta;
      m.WriteVideoFrame(f.data(), static_cast<uint32_t>(f.size()), 1001ull * video, 1001ull * video);
      // Audio up to the video's time.
      while (static_cast<uint64_t>(audio) * 1024 * 30000 < static_cast<uint64_t>(video) * 1001 * 48000) {
        m.WriteAudioFrame(aac.data(), static_cast<uint32_t>(aac.size()), 1024ull * audio++);
      }
    }
  };
  run(before);
  m.UpdateHeader();
  run(900);  // 30 s at 29.97 fps
  const uint64_t w0 = BytesWritten();
  const auto t0 = Clock::now();
  m.UpdateHeader();
  cost.ms = Seconds(t0) * 1000;
  cost.bytes = BytesWritten() - w0;
  m.Close();
  return cost;
}

}  // namespace

int main() {
#if !defined(__linux__)
  std::printf("bench_safe_write: Linux only\n");
  return 0;
#else
  if (SampleParams().sps.empty()) {
    std::fprintf(stderr, "bench_safe_write: no parameter sets in %s/sample.h264\n", BV_SAMPLES_DIR);
    return 1;
  }
  const std::string dir = (fs::temp_directory_path() / "bv_mp4_bench_safe").string();
  fs::create_directories(dir);
  const std::string file = dir + "/out.mp4";

  constexpr int kFrames = 1024;
  constexpr size_t kFrameSize = 64 * 1024;
  const double mib = kFrames * double{kFrameSize} / (1 << 20);
  std::printf("Recording %d frames of %zu KiB (%.0f MiB), best of 3:\n", kFrames, kFrameSize / 1024, mib);
  struct Case {
    const char* name;
    uint32_t ioMode, blockNum;
  };
  double plain = 0;
  for (const Case& k : {Case{"plain (buffered file)", MP4_IO_FILE, 32}, Case{"safe, 4096 x 32 (128 KiB)", MP4_IO_SAFE_WRITE, 32},
                        Case{"safe, 4096 x 256 (1 MiB)", MP4_IO_SAFE_WRITE, 256}}) {
    double best = 1e9, floor = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
      QuietStdout quiet;
      const double t = Record(file, Config(k.ioMode, k.blockNum, 3600), kFrames, kFrameSize);
      if (t > 0 && t < best) best = t;
      fs::remove(file);
      if (k.ioMode == MP4_IO_SAFE_WRITE) {
        const double f = WriteThrough(file, static_cast<uint64_t>(kFrames) * kFrameSize, 4096 * k.blockNum);
        if (f > 0 && f < floor) floor = f;
        fs::remove(file);
      }
    }
    if (k.ioMode == MP4_IO_FILE) {
      plain = best;
      std::printf("  %-28s %7.1f MB/s\n", k.name, mib * 1.048576 / best);
    } else {
      std::printf("  %-28s %7.1f MB/s  write-through floor %7.1f MB/s  ratio to floor %.2fx  to plain %.2fx\n", k.name,
                  mib * 1.048576 / best, mib * 1.048576 / floor, best / floor, best / plain);
    }
  }

  std::printf("One header update after 30 s of 29.97 fps video + 48 kHz AAC:\n");
  struct Point {
    uint32_t hours;
    int before;
  };
  for (const Point p : {Point{1, 1000}, Point{1, 50000}, Point{24, 1000}, Point{24, 100000}}) {
    UpdateCost c;
    {
      QuietStdout quiet;
      c = TimeUpdate(file, p.hours, p.before);
    }
    fs::remove(file);
    std::printf("  %2u h reservation, after %6d frames: %7.2f ms, %7llu bytes written\n", p.hours, p.before, c.ms,
                static_cast<unsigned long long>(c.bytes));
  }

  {
    bv::CMp4Muxer m;
    mp4_config_t c = Config(MP4_IO_SAFE_WRITE, 32, 86400);
    double ms = 0;
    uint64_t bytes = 0;
    uint32_t moov = 0;
    {
      QuietStdout quiet;
      if (m.Create(std::wstring(file.begin(), file.end()).c_str(), c) == 0 && SetTracks(m, true)) {
        const uint64_t w0 = BytesWritten();
        const auto t0 = Clock::now();
        m.WriteHeader();
        ms = Seconds(t0) * 1000;
        bytes = BytesWritten() - w0;
        moov = m.GetMoovSize();
      }
      m.Close();
    }
    fs::remove(file);
    std::printf("Initial reserved header, 24 h (moov %u bytes): %.1f ms, %llu bytes written\n", moov, ms,
                static_cast<unsigned long long>(bytes));
  }
  fs::remove_all(dir);
  return 0;
#endif
}
