// Cost of recording samples into the tables of an interleaved video+audio
// recording (29.97 fps video, 48 kHz AAC audio, 9.2 million samples: about
// 33 hours) and of writing those tables out.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "BaseIO.h"
#include "stbl.h"

namespace {

constexpr uint64_t kSamples = 9200000;

class BenchStbl : public bv::CMp4StblAtom {
 public:
  using CMp4StblAtom::CMp4StblAtom;

 protected:
  void WriteSampleDescription() override {}
  uint32_t SampleDescriptionSize() override { return 0; }
};

struct Recording {
  explicit Recording(bv::IBaseIO* io, bool wide) : video(io), audio(io) {
    video.SetUse64BitOffsets(wide);
    audio.SetUse64BitOffsets(wide);
  }
  BenchStbl video;
  BenchStbl audio;
  uint64_t Memory() const { return video.MemoryBytes() + audio.MemoryBytes(); }
};

// Feeds the samples in presentation order, each track's sample opening a
// chunk when the other track wrote last, as the frame writer does.
void Record(Recording& r) {
  uint64_t v = 0, a = 0, offset = 48;
  int last = -1;
  uint32_t seed = 12345;
  for (uint64_t n = 0; n < kSamples; ++n) {
    seed = seed * 1664525u + 1013904223u;
    // v * 1001 / 30000 s against a * 1024 / 48000 s.
    const bool isVideo = v * 1001u * 48000u <= a * 1024u * 30000u;
    const int track = isVideo ? 0 : 1;
    const uint32_t size = isVideo ? 2000 + (seed >> 16) % 60000 : 300 + (seed >> 16) % 200;
    if (isVideo) {
      r.video.AddSample(offset, size, v * 1001, v * 1001, track != last);
      ++v;
    } else {
      r.audio.AddSample(offset, size, a * 1024, a * 1024, track != last);
      ++a;
    }
    last = track;
    offset += size;
  }
}

void BM_AddSample(benchmark::State& state) {
  const bool wide = state.range(0) != 0;
  double memory = 0;
  double seconds = 0;
  for (auto _ : state) {
    bv::CBufferIO out;
    out.SetTarget(nullptr);
    auto r = std::make_unique<Recording>(&out, wide);
    const auto t0 = std::chrono::steady_clock::now();
    Record(*r);
    const auto t1 = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    memory = static_cast<double>(r->Memory());
    benchmark::DoNotOptimize(r->video.GetSampleCount());
  }
  state.counters["ns_per_AddSample"] =
      seconds * 1e9 / (static_cast<double>(kSamples) * static_cast<double>(state.iterations()));
  state.counters["table_bytes_per_sample"] = memory / static_cast<double>(kSamples);
  state.SetLabel(wide ? "co64" : "stco");
}
BENCHMARK(BM_AddSample)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_WriteTables(benchmark::State& state) {
  const bool toFile = state.range(0) != 0;
  const wchar_t* path = L"/tmp/bench_sample_tables.bin";
  bv::CBufferIO memoryOut;
  memoryOut.SetTarget(nullptr);
  bv::CFileWriter fileOut;
  bv::IBaseIO* io = &memoryOut;
  if (toFile) {
    if (fileOut.Init(path, 0, 0) != 0) {
      state.SkipWithError("cannot create /tmp/bench_sample_tables.bin");
      return;
    }
    io = &fileOut;
  }
  Recording r(io, true);
  Record(r);
  uint64_t bytes = 0;
  for (auto _ : state) {
    if (toFile) {
      fileOut.Seek(0, 0);
    } else {
      memoryOut.Seek(0, 0);
    }
    const auto t0 = std::chrono::steady_clock::now();
    r.video.Write();
    r.audio.Write();
    if (toFile) fileOut.Flush();
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    bytes = static_cast<uint64_t>(io->Ftell());
  }
  state.counters["MB_written"] = static_cast<double>(bytes) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * static_cast<int64_t>(state.iterations()));
  state.SetLabel(toFile ? "file" : "CBufferIO");
  if (toFile) {
    fileOut.Close();
    std::remove("/tmp/bench_sample_tables.bin");
  }
}
BENCHMARK(BM_WriteTables)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
