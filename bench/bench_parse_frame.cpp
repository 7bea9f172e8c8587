// ParseFrame against a plain memchr over the same 1 MiB of real slice data
// (the payload of the biggest test frame, repeated, with a four-byte start
// code before each copy). memchr looks for a byte the buffer does not hold,
// so it scans every byte (wall-clock rates): the rate any start-code scan can hope for.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "VideoFrameParser.h"

namespace {

std::vector<uint8_t> Load(const char* name) {
  std::ifstream f(std::string(BV_TEST_DATA_DIR) + "/" + name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The largest NAL unit of the H.264 test stream, without its start code.
std::vector<uint8_t> BiggestSlice() {
  const std::vector<uint8_t> s = Load("video_h264.h264");
  bv::CVideoFrameParser p;
  p.ParseFrame(s.data(), static_cast<uint32_t>(s.size()));
  bv::_VIDEO_SLICE best{0, nullptr};
  for (const bv::_VIDEO_SLICE& x : p)
    if (x.size > best.size) best = x;
  return std::vector<uint8_t>(best.data, best.data + best.size);
}

const std::vector<uint8_t>& Frame() {
  static const std::vector<uint8_t> frame = [] {
    const std::vector<uint8_t> slice = BiggestSlice();
    std::vector<uint8_t> f;
    const size_t target = 1 << 20;
    while (f.size() < target) {
      const uint8_t code[] = {0, 0, 0, 1};
      f.insert(f.end(), code, code + 4);
      f.insert(f.end(), slice.begin(), slice.end());
    }
    f.resize(target);
    return f;
  }();
  return frame;
}

// The frame with every 0xFF turned into 0xFE, so that memchr for 0xFF reads
// all of it (its speed does not depend on the other bytes).
const std::vector<uint8_t>& FrameWithoutFF() {
  static const std::vector<uint8_t> frame = [] {
    std::vector<uint8_t> f = Frame();
    for (uint8_t& b : f)
      if (b == 0xFF) b = 0xFE;
    return f;
  }();
  return frame;
}

void BM_ParseFrame(benchmark::State& state) {
  const std::vector<uint8_t>& f = Frame();
  bv::CVideoFrameParser p;
  p.reserve(4096);
  for (auto _ : state) {
    p.clear();
    benchmark::DoNotOptimize(p.ParseFrame(f.data(), static_cast<uint32_t>(f.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.size()));
  state.counters["slices"] = static_cast<double>(p.size());
}

void BM_Memchr(benchmark::State& state) {
  const std::vector<uint8_t>& f = FrameWithoutFF();
  for (auto _ : state) {
    const void* hit = std::memchr(f.data(), 0xFF, f.size());
    benchmark::DoNotOptimize(hit);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.size()));
}

// memchr for the byte 01 with a check of the two bytes before each hit: the
// straightforward way to find start codes with the C library.
void BM_MemchrStartCodes(benchmark::State& state) {
  const std::vector<uint8_t>& f = Frame();
  for (auto _ : state) {
    size_t n = 0;
    const uint8_t* p = f.data() + 2;
    const uint8_t* end = f.data() + f.size() - 1;
    while (p < end) {
      const uint8_t* q = static_cast<const uint8_t*>(std::memchr(p, 1, static_cast<size_t>(end - p)));
      if (q == nullptr) break;
      n += (q[-1] == 0 && q[-2] == 0);
      p = q + 1;
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.size()));
}

}  // namespace

BENCHMARK(BM_ParseFrame)->UseRealTime();
BENCHMARK(BM_Memchr)->UseRealTime();
BENCHMARK(BM_MemchrStartCodes)->UseRealTime();
BENCHMARK_MAIN();
