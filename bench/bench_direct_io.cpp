// Raw throughput of the safe-write stream (the aligned writer over the
// direct-I/O cache) against the write-through limit of the same machine,
// measured in the same run: dd with oflag=dsync at the same block sizes, and
// against plain buffered writes of the same frames.
//
//   bench_direct_io [MiB] [folder] [rounds]   (default 1024 MiB, temp folder, 3)
//
// Every figure is the best of the rounds, the methods interleaved within a
// round; files are removed after each run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "AlignFileWriter.h"
#include "BaseIO.h"

namespace fs = std::filesystem;

namespace {

double Seconds(const std::function<void()>& run) {
  const auto t0 = std::chrono::steady_clock::now();
  run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Frames of uneven sizes around 50 KB, as a video encoder hands them over.
std::vector<std::vector<uint8_t>> MakeFrames() {
  std::vector<std::vector<uint8_t>> frames;
  for (uint32_t i = 0; i < 64; ++i) frames.emplace_back(40000 + (i * 7919) % 25000, static_cast<uint8_t>(i));
  return frames;
}

template <typename Sink>
void WriteFrames(uint64_t total, const std::vector<std::vector<uint8_t>>& frames, Sink&& sink) {
  uint64_t done = 0;
  for (size_t i = 0; done < total; ++i) {
    const auto& f = frames[i % frames.size()];
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(f.size(), total - done));
    sink(f.data(), n);
    done += n;
  }
}

double AlignedWriter(const std::string& path, uint64_t total, uint32_t blockSize, uint32_t blockNum,
                     const std::vector<std::vector<uint8_t>>& frames) {
  const std::wstring wide(path.begin(), path.end());
  const double s = Seconds([&] {
    bv::CAlignFileWriterEx w;
    w.Init(wide.c_str(), blockSize, blockNum);
    w.SetHeaderSize(1 << 20);
    if (w.create() != 0) std::abort();
    WriteFrames(total, frames, [&](const uint8_t* p, uint32_t n) { w.Write(p, n); });
    if (!w.Close()) std::abort();
  });
  fs::remove(path);
  return s;
}

double Buffered(const std::string& path, uint64_t total, const std::vector<std::vector<uint8_t>>& frames) {
  const std::wstring wide(path.begin(), path.end());
  const double s = Seconds([&] {
    bv::CFileWriter w;
    if (w.Init(wide.c_str(), 0, 0) != 0) std::abort();
    WriteFrames(total, frames, [&](const uint8_t* p, uint32_t n) { w.Write(p, n); });
    w.Flush();
    w.Close();
  });
  fs::remove(path);
  return s;
}

// dd from /dev/zero, or from a file holding the recording's own bytes (a
// virtual disk may store runs of zeros for less).
double Dd(const std::string& path, uint64_t total, uint32_t bs, const std::string& from = "/dev/zero") {
  const std::string cmd = "dd if='" + from + "' of='" + path + "' iflag=fullblock oflag=dsync bs=" +
                          std::to_string(bs) + " count=" + std::to_string(total / bs) + " 2>/dev/null";
  const double s = Seconds([&] {
    if (std::system(cmd.c_str()) != 0) std::abort();
  });
  fs::remove(path);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const std::string dir = argc > 2 ? argv[2] : fs::temp_directory_path().string();
  const uint64_t total = mib << 20;
  const std::string path = dir + "/bench_direct_io.bin";
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  const auto frames = MakeFrames();
  // The frames' bytes as dd's source, kept in the page cache.
  const std::string source = dir + "/bench_direct_io.src";
  {
    FILE* f = std::fopen(source.c_str(), "wb");
    if (f == nullptr) return 1;
    WriteFrames(total, frames, [&](const uint8_t* p, uint32_t n) { std::fwrite(p, n, 1, f); });
    std::fclose(f);
  }

  struct Row {
    const char* name;
    std::function<double()> run;
    double best = 1e30;
  };
  std::vector<Row> rows = {
      {"dd oflag=dsync bs=128K", [&] { return Dd(path, total, 128 << 10); }},
      {"dd oflag=dsync bs=1M", [&] { return Dd(path, total, 1 << 20); }},
      {"dd oflag=dsync bs=4M", [&] { return Dd(path, total, 4 << 20); }},
      {"dd same bytes bs=128K", [&] { return Dd(path, total, 128 << 10, source); }},
      {"dd same bytes bs=1M", [&] { return Dd(path, total, 1 << 20, source); }},
      {"dd same bytes bs=4M", [&] { return Dd(path, total, 4 << 20, source); }},
      {"aligned 4096 x 32 (128K)", [&] { return AlignedWriter(path, total, 4096, 32, frames); }},
      {"aligned 4096 x 256 (1M)", [&] { return AlignedWriter(path, total, 4096, 256, frames); }},
      {"aligned 4096 x 1024 (4M)", [&] { return AlignedWriter(path, total, 4096, 1024, frames); }},
      {"buffered CFileWriter", [&] { return Buffered(path, total, frames); }},
  };
  for (int round = 0; round < rounds; ++round) {
    for (auto& r : rows) r.best = std::min(r.best, r.run());
  }
  auto mbps = [&](const Row& r) { return static_cast<double>(total) / 1e6 / r.best; };
  fs::remove(source);
  std::printf("%llu MiB per run, best of %d\n", static_cast<unsigned long long>(mib), rounds);
  for (const auto& r : rows) std::printf("%-28s %8.1f MB/s\n", r.name, mbps(r));
  const auto ratio = [&](size_t a, size_t b) { return rows[b].best == 0 ? 0 : rows[a].best / rows[b].best; };
  std::printf("time ratio aligned/dd zero:  128K %.2f   1M %.2f   4M %.2f\n", ratio(6, 0), ratio(7, 1), ratio(8, 2));
  std::printf("time ratio aligned/dd same:  128K %.2f   1M %.2f   4M %.2f\n", ratio(6, 3), ratio(7, 4), ratio(8, 5));
  std::printf("time ratio aligned/buffered: 128K %.2f   1M %.2f   4M %.2f\n", ratio(6, 9), ratio(7, 9), ratio(8, 9));
  return 0;
}
