// Muxing cost against two references on the same frames in one run: a plain
// buffered fwrite of the same bytes (the floor) and libavformat's mp4 muxer
// (another muxer doing the same job). Ratios, not absolute times, are the
// result: the machine is shared.
//
// Cases: 100-byte frames (per-frame overhead), 1 MiB frames (throughput) and
// a 24-hour 60 fps + 48 kHz AAC recording of tiny frames (memory per sample
// and the cost of writing the movie box at close).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tools/adts_reader.h"
#include "../tools/annexb_reader.h"
#include "../tools/sps_dimensions.h"
#include "bench_common.h"
#include "bv_mp4.h"

#if BV_HAVE_LIBAVFORMAT
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}
#endif

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

// ---------------------------------------------------------------------------
// Inputs

// Parameter sets and audio configuration of the bundled clip, so that both
// muxers describe the tracks as a real recording would.
struct StreamSetup {
  Bytes sps, pps;
  uint16_t width = 640, height = 360;
  uint32_t sample_rate = 48000;
  uint8_t channels = 2, object_type = 2;
  bool ok = false;
};

const StreamSetup& Setup() {
  static const StreamSetup setup = [] {
    StreamSetup s;
    bvtool::FileSource vsrc(std::string(BV_SAMPLES_DIR) + "/sample.h264");
    bvtool::AccessUnitReader vr(vsrc, bvtool::VideoCodec::kH264);
    bvtool::AccessUnit au;
    if (vsrc.ok() && vr.Next(au)) {
      s.sps = vr.sps();
      s.pps = vr.pps();
      bvtool::PictureSize size;
      if (bvtool::PictureSizeFromSps(bvtool::VideoCodec::kH264, s.sps, &size)) {
        s.width = static_cast<uint16_t>(size.width);
        s.height = static_cast<uint16_t>(size.height);
      }
    }
    bvtool::FileSource asrc(std::string(BV_SAMPLES_DIR) + "/sample.aac");
    bvtool::AdtsReader ar(asrc);
    bvtool::AdtsFrame af;
    if (asrc.ok() && ar.Next(af)) {
      s.sample_rate = af.header.sample_rate;
      s.channels = af.header.channels;
      s.object_type = af.header.object_type;
    }
    s.ok = !s.sps.empty() && !s.pps.empty();
    return s;
  }();
  return setup;
}

// A synthetic H.264 frame of exactly `size` bytes: a 4-byte start code, a
// slice header byte (IDR or non-IDR) and payload free of zero bytes, so it
// holds exactly one NAL unit however the muxer scans for start codes.
Bytes MakeVideoFrame(size_t size, bool key, uint32_t seed) {
  Bytes f(size);
  f[0] = 0;
  f[1] = 0;
  f[2] = 0;
  f[3] = 1;
  f[4] = key ? 0x65 : 0x41;
  std::mt19937 rng(seed);
  for (size_t i = 5; i < size; ++i) f[i] = static_cast<uint8_t>(1 + rng() % 255);
  return f;
}

class TempFolder {
 public:
  TempFolder() {
    std::string tmpl = (fs::temp_directory_path() / "bv_mp4_bench_XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

TempFolder& Temp() {
  static TempFolder t;
  return t;
}

// The frames one case writes: `video` frames of one size at 25 fps with a
// key frame every 25 and, when asked, raw AAC frames of the same size at
// 48 kHz (1024 samples each), interleaved by time as a capture host would.
struct Step {
  bool audio;
  uint64_t ts;  // in the track's timescale: 25000 for video, 48000 for audio
  uint32_t index;
};

struct Workload {
  std::vector<Bytes> video;  // a few distinct frames, reused in turn
  Bytes audio;
  std::vector<Step> steps;
  size_t frame_size = 0;
  bool with_audio = false;
};

Workload MakeWorkload(size_t frame_size, uint32_t video_frames, bool with_audio) {
  Workload w;
  w.frame_size = frame_size;
  w.with_audio = with_audio;
  for (uint32_t i = 0; i < 4; ++i) w.video.push_back(MakeVideoFrame(frame_size, i == 0, i + 1));
  w.audio.assign(frame_size, 0x21);
  uint64_t a = 0;
  for (uint32_t v = 0; v < video_frames; ++v) {
    // Audio frame a starts at a*1024/48000 s, video frame v at v/25 s.
    while (with_audio && a * 1024 * 25 < uint64_t{v} * 48000) {
      w.steps.push_back({true, a * 1024, static_cast<uint32_t>(a)});
      ++a;
    }
    w.steps.push_back({false, uint64_t{v} * 1000, v});
  }
  return w;
}

const Bytes& FrameOf(const Workload& w, const Step& st) {
  if (st.audio) return w.audio;
  return st.index % 25 == 0 ? w.video[0] : w.video[1 + st.index % 3];
}

// Results collected for the ratio table printed after the run.
std::map<std::string, double>& Results() {
  static std::map<std::string, double> r;
  return r;
}

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------
// The three writers

bool WriteWithFwrite(const std::string& path, const Workload& w) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const Step& st : w.steps) {
    const Bytes& fr = FrameOf(w, st);
    ok = ok && std::fwrite(fr.data(), 1, fr.size(), f) == fr.size();
  }
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

// Track descriptions shared by every bv_mp4 case: H.264 with the sample's
// parameter sets, raw AAC LC.
mp4_video_track_info_t VideoTrack(const StreamSetup& s, uint32_t timescale) {
  mp4_video_track_info_t vi{};
  vi.timescale = timescale;
  vi.frame_duration = 1000;
  vi.codec_type = MP4_VIDEO_H264;
  vi.width = s.width;
  vi.height = s.height;
  vi.sps = s.sps.data();
  vi.sps_size = static_cast<uint16_t>(s.sps.size());
  vi.pps = s.pps.data();
  vi.pps_size = static_cast<uint16_t>(s.pps.size());
  return vi;
}

mp4_audio_track_info_t AudioTrack(uint32_t rate, uint16_t channels, uint8_t objectType) {
  mp4_audio_track_info_t ai{};
  ai.timescale = rate;
  ai.frame_duration = 1024;
  ai.codec_type = MP4_AUDIO_AAC;
  ai.sample_rate = static_cast<uint16_t>(rate);
  ai.channels = channels;
  ai.profile = objectType;
  return ai;
}

bool WriteWithBvMp4(const std::string& path, const Workload& w) {
  const StreamSetup& s = Setup();
  mp4_handle h = nullptr;
  if (mp4_create_file_ex(path.c_str(), 0, &h) != MP4_SUCCESS) return false;
  const mp4_video_track_info_t vi = VideoTrack(s, 25000);
  bool ok = mp4_set_video_track(h, &vi) == MP4_SUCCESS;
  if (ok && w.with_audio) {
    const mp4_audio_track_info_t ai = AudioTrack(s.sample_rate, s.channels, s.object_type);
    ok = mp4_set_audio_track(h, &ai) == MP4_SUCCESS;
  }
  for (size_t i = 0; ok && i < w.steps.size(); ++i) {
    const Step& st = w.steps[i];
    const Bytes& fr = FrameOf(w, st);
    const uint32_t n = static_cast<uint32_t>(fr.size());
    ok = (st.audio ? mp4_write_audio_frame(h, fr.data(), n, st.ts) : mp4_write_video_frame(h, fr.data(), n, st.ts)) ==
         MP4_SUCCESS;
  }
  ok = mp4_close_file(h) == MP4_SUCCESS && ok;
  return ok;
}

#if BV_HAVE_LIBAVFORMAT
struct FormatContextCloser {
  void operator()(AVFormatContext* c) const {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

bool WriteWithLibavformat(const std::string& path, const Workload& w) {
  const StreamSetup& s = Setup();
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()) < 0 || !raw) return false;
  std::unique_ptr<AVFormatContext, FormatContextCloser> ctx(raw);
  AVStream* st = avformat_new_stream(ctx.get(), nullptr);
  if (!st) return false;
  st->time_base = AVRational{1, 25000};
  AVCodecParameters* par = st->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_H264;
  par->width = s.width;
  par->height = s.height;
  if (!bvbench::SetAnnexBExtradata(par, s.sps, s.pps)) return false;
  AVStream* ast = nullptr;
  if (w.with_audio) {
    ast = avformat_new_stream(ctx.get(), nullptr);
    if (!ast) return false;
    ast->time_base = AVRational{1, static_cast<int>(s.sample_rate)};
    AVCodecParameters* ap = ast->codecpar;
    if (!bvbench::SetAacParameters(ap, s.sample_rate, s.channels, s.object_type, bvbench::SamplingIndex(s.sample_rate, 4)))
      return false;
  }
  if (avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
  if (avformat_write_header(ctx.get(), nullptr) < 0) return false;
  std::unique_ptr<AVPacket, PacketFreer> pkt(av_packet_alloc());
  if (!pkt) return false;
  const AVRational vtb{1, 25000};
  const AVRational atb{1, static_cast<int>(s.sample_rate)};
  bool ok = true;
  for (size_t i = 0; ok && i < w.steps.size(); ++i) {
    const Step& stp = w.steps[i];
    const Bytes& fr = FrameOf(w, stp);
    AVStream* target = stp.audio ? ast : st;
    const AVRational tb = stp.audio ? atb : vtb;
    // Not reference-counted: the muxer reads the caller's bytes in place.
    pkt->data = const_cast<uint8_t*>(fr.data());
    pkt->size = static_cast<int>(fr.size());
    pkt->pts = pkt->dts = av_rescale_q(static_cast<int64_t>(stp.ts), tb, target->time_base);
    pkt->duration = av_rescale_q(stp.audio ? 1024 : 1000, tb, target->time_base);
    pkt->stream_index = target->index;
    pkt->flags = stp.audio || stp.index % 25 == 0 ? AV_PKT_FLAG_KEY : 0;
    ok = av_write_frame(ctx.get(), pkt.get()) >= 0;
  }
  ok = av_write_trailer(ctx.get()) >= 0 && ok;
  return ok;
}
#endif

// ---------------------------------------------------------------------------
// Benchmarks

using Writer = bool (*)(const std::string&, const Workload&);

void RunCase(benchmark::State& state, Writer write, const std::string& key, size_t frame_size, uint32_t video_frames,
             bool with_audio) {
  if (!Setup().ok) {
    state.SkipWithError("bundled sample missing: no SPS/PPS to describe the track");
    return;
  }
  const Workload w = MakeWorkload(frame_size, video_frames, with_audio);
  const uint64_t count = w.steps.size();
  std::string name = key + ".mp4";
  for (char& c : name) c = c == '/' ? '_' : c;
  const std::string path = Temp().File(name.c_str());
  double seconds = 0;
  uint64_t files = 0;
  for (auto _ : state) {
    const double t0 = NowSeconds();
    if (!write(path, w)) {
      state.SkipWithError("write failed");
      break;
    }
    seconds += NowSeconds() - t0;
    ++files;
    state.PauseTiming();
    std::error_code ec;
    fs::remove(path, ec);
    state.ResumeTiming();
  }
  if (files == 0) return;
  const double frames = static_cast<double>(files) * count;
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.SetBytesProcessed(static_cast<int64_t>(frames * static_cast<double>(frame_size)));
  state.counters["ns_per_frame"] = seconds * 1e9 / frames;
  state.counters["MB_per_s"] = frames * static_cast<double>(frame_size) / 1e6 / seconds;
  Results()[key + "/ns_per_frame"] = seconds * 1e9 / frames;
  Results()[key + "/MB_per_s"] = frames * static_cast<double>(frame_size) / 1e6 / seconds;
}

constexpr uint32_t kSmallFrames = 25000;  // 1000 s of 25 fps video (+ 46,875 audio frames) per file
constexpr uint32_t kLargeFrames = 64;     // 64 MiB of video per file

void BM_SmallFrames_Fwrite(benchmark::State& s) { RunCase(s, WriteWithFwrite, "small/fwrite", 100, kSmallFrames, true); }
void BM_SmallFrames_BvMp4(benchmark::State& s) { RunCase(s, WriteWithBvMp4, "small/bv_mp4", 100, kSmallFrames, true); }
void BM_LargeFrames_Fwrite(benchmark::State& s) { RunCase(s, WriteWithFwrite, "large/fwrite", 1 << 20, kLargeFrames, false); }
void BM_LargeFrames_BvMp4(benchmark::State& s) { RunCase(s, WriteWithBvMp4, "large/bv_mp4", 1 << 20, kLargeFrames, false); }
BENCHMARK(BM_SmallFrames_Fwrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_SmallFrames_BvMp4)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LargeFrames_Fwrite)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LargeFrames_BvMp4)->Unit(benchmark::kMillisecond)->MinTime(1.0);
#if BV_HAVE_LIBAVFORMAT
void BM_SmallFrames_Libavformat(benchmark::State& s) {
  RunCase(s, WriteWithLibavformat, "small/libavformat", 100, kSmallFrames, true);
}
void BM_LargeFrames_Libavformat(benchmark::State& s) {
  RunCase(s, WriteWithLibavformat, "large/libavformat", 1 << 20, kLargeFrames, false);
}
BENCHMARK(BM_SmallFrames_Libavformat)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_LargeFrames_Libavformat)->Unit(benchmark::kMillisecond)->MinTime(1.0);
#endif

// Resident-set figures of this process in bytes, from /proc/self/status.
uint64_t ProcStatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t len = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
      return std::strtoull(line.c_str() + len + 1, nullptr, 10) * 1024;  // kB
  }
  return 0;
}

// Restarts VmHWM at the current RSS, so the peak seen afterwards belongs to
// this case and not to the large-frame cases before it.
void ResetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// A whole day at 60 fps with 48 kHz AAC: 5,184,000 video and 4,050,000 audio
// samples. The tables grow in memory until close writes the movie box, so
// the figures are memory per sample and the time of that final write.
void BM_LongRecording24h(benchmark::State& state) {
  const StreamSetup& s = Setup();
  if (!s.ok) {
    state.SkipWithError("bundled sample missing");
    return;
  }
  constexpr uint64_t kSeconds = 24 * 3600;
  constexpr uint64_t kVideo = kSeconds * 60;
  constexpr uint64_t kAudio = kSeconds * 48000 / 1024;
  // Argument: the create flags; 32-bit chunk offsets (stco) or the
  // large-file layout (co64, 8 bytes per chunk).
  const uint8_t flags = static_cast<uint8_t>(state.range(0));
  const std::string prefix = flags & MP4_FLAG_LARGE_FILE ? "long64/" : "long32/";
  const std::string path = Temp().File("long.mp4");
  uint8_t key[8] = {0, 0, 0, 1, 0x65, 0x88, 0x80, 0x40};
  uint8_t inter[8] = {0, 0, 0, 1, 0x41, 0x9A, 0x80, 0x40};
  uint8_t aac[8] = {0x21, 0x10, 0x04, 0x60, 0x8C, 0x1C, 0x21, 0x10};
  for (auto _ : state) {
    ResetPeakRss();
    const uint64_t rss_before = ProcStatusBytes("VmRSS");
    mp4_handle h = nullptr;
    if (mp4_create_file_ex(path.c_str(), flags, &h) != MP4_SUCCESS) {
      state.SkipWithError("create failed");
      return;
    }
    const mp4_video_track_info_t vi = VideoTrack(s, 60000);
    const mp4_audio_track_info_t ai = AudioTrack(48000, 2, 2);
    int rc = mp4_set_video_track(h, &vi);
    if (rc == MP4_SUCCESS) rc = mp4_set_audio_track(h, &ai);
    const double t0 = NowSeconds();
    uint64_t v = 0, a = 0;
    while (rc == MP4_SUCCESS && (v < kVideo || a < kAudio)) {
      // Earlier in time first: video v at v/60 s, audio a at a*1024/48000 s.
      if (a >= kAudio || (v < kVideo && v * 48000 <= a * 1024 * 60)) {
        uint8_t* f = v % 60 == 0 ? key : inter;
        f[7] = static_cast<uint8_t>(v | 1);
        rc = mp4_write_video_frame(h, f, sizeof key, v * 1000);
        ++v;
      } else {
        rc = mp4_write_audio_frame(h, aac, sizeof aac, a * 1024);
        ++a;
      }
    }
    const double t1 = NowSeconds();
    const uint64_t rss_open = ProcStatusBytes("VmRSS");
    const int close_rc = mp4_close_file(h);
    const double t2 = NowSeconds();
    const uint64_t hwm = ProcStatusBytes("VmHWM");
    std::error_code ec;
    const uint64_t file_size = fs::file_size(path, ec);
    fs::remove(path, ec);
    if (rc != MP4_SUCCESS || close_rc != MP4_SUCCESS) {
      state.SkipWithError("a write or the close failed");
      return;
    }
    const double samples = static_cast<double>(v + a);
    state.counters["samples"] = samples;
    state.counters["ns_per_sample"] = (t1 - t0) * 1e9 / samples;
    state.counters["peak_rss_growth_B_per_sample"] = static_cast<double>(hwm - rss_before) / samples;
    state.counters["open_rss_growth_B_per_sample"] = static_cast<double>(rss_open - rss_before) / samples;
    state.counters["close_ms"] = (t2 - t1) * 1e3;
    state.counters["file_MB"] = static_cast<double>(file_size) / 1e6;
    Results()[prefix + "samples"] = samples;
    Results()[prefix + "peak_B_per_sample"] = static_cast<double>(hwm - rss_before) / samples;
    Results()[prefix + "close_ms"] = (t2 - t1) * 1e3;
    Results()[prefix + "ns_per_sample"] = (t1 - t0) * 1e9 / samples;
  }
}
BENCHMARK(BM_LongRecording24h)->Unit(benchmark::kSecond)->Iterations(1)->Arg(0)->Arg(MP4_FLAG_LARGE_FILE);

void PrintRatios() {
  const auto& r = Results();
  auto get = [&](const std::string& k) {
    auto it = r.find(k);
    return it == r.end() ? 0.0 : it->second;
  };
  auto ratio = [](double a, double b) { return b > 0 && a > 0 ? a / b : 0.0; };
  std::printf("\n---- ratios (same frames, same run) ----\n");
  const double sf = get("small/fwrite/ns_per_frame"), sb = get("small/bv_mp4/ns_per_frame"),
               sl = get("small/libavformat/ns_per_frame");
  if (sb > 0) {
    std::printf("100-byte frames: fwrite %.0f ns, bv_mp4 %.0f ns, libavformat %.0f ns per frame\n", sf, sb, sl);
    std::printf("  bv_mp4 / fwrite      = %.2f  (cost of muxing over the raw write)\n", ratio(sb, sf));
    if (sl > 0) std::printf("  bv_mp4 / libavformat = %.2f  (below 1: bv_mp4 is faster)\n", ratio(sb, sl));
  }
  const double lf = get("large/fwrite/MB_per_s"), lb = get("large/bv_mp4/MB_per_s"),
               ll = get("large/libavformat/MB_per_s");
  if (lb > 0) {
    std::printf("1 MiB frames: fwrite %.0f MB/s, bv_mp4 %.0f MB/s, libavformat %.0f MB/s\n", lf, lb, ll);
    std::printf("  bv_mp4 / fwrite throughput      = %.2f  (1.0: no cost over the raw write)\n", ratio(lb, lf));
    if (ll > 0) std::printf("  bv_mp4 / libavformat throughput = %.2f\n", ratio(lb, ll));
  }
  for (const char* p : {"long32/", "long64/"}) {
    const std::string k(p);
    if (get(k + "samples") <= 0) continue;
    std::printf("24 h at 60 fps + 48 kHz AAC, %s: %.0f samples, %.0f ns per sample, peak RSS growth %.1f B per sample, "
                "close (moov write) %.0f ms\n",
                k == "long32/" ? "32-bit offsets" : "large file", get(k + "samples"), get(k + "ns_per_sample"),
                get(k + "peak_B_per_sample"), get(k + "close_ms"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintRatios();
  return 0;
}
