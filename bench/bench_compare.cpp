// One writer, one workload, one process: the unit bench/run_compare.sh runs
// for every row of the comparison table, so that no writer inherits another
// one's heap or page-cache state.
//
//   bench_compare WRITER WORKLOAD OUTPUT [--quick] [--h264 FILE] [--aac FILE]
//
// WRITER: fwrite, direct (the same bytes written through in 1 MiB windows,
// Linux), libavformat, bv_mp4, bv_mp4_repair, bv_mp4_safe,
// gst_mp4mux, gst_qtmux_robust (when built with GStreamer), annexb (the video
// as a stream with in-band parameter sets).
// WORKLOAD: w1 (an hour of 1080p30 H.264 from FILE, cycled, with 48 kHz
// AAC), w1v (the same video alone: fwrite of it is also the input of the
// GStreamer rows), w2 (1 M video frames of 100 bytes), w3 (2000 frames of
// 1 MiB). --quick shortens each to a fraction of a second of work.
// Prints one line: "RESULT writer workload seconds samples bytes cpu", the
// time running from create to close; cpu is the processor time (user and
// system, every thread) the process spent in it, which other work on a shared
// machine disturbs far less than the wall time. The output is left for the caller to check.

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "../tools/adts_reader.h"
#include "../tools/annexb_reader.h"
#include "../tools/sps_dimensions.h"
#include "bench_common.h"
#include "bv_mp4.h"

#if BV_HAVE_GSTREAMER
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#endif

#if BV_HAVE_LIBAVFORMAT
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// The frames of a workload, in the order a capture host hands them over.
struct Step {
  bool audio;
  bool key;
  uint64_t ts;  // in the track's timescale
  uint32_t frame;
};

struct Workload {
  Bytes sps, pps;
  uint16_t width = 1920, height = 1080;
  uint32_t video_timescale = 30000, video_duration = 1000;
  std::vector<Bytes> video;
  std::vector<Bytes> audio;  // raw AAC payloads
  uint32_t sample_rate = 48000;
  uint8_t channels = 2, object_type = 2;
  std::vector<Step> steps;
};

// Annex-B access units without their parameter sets and SEI: every writer
// gets the parameter sets once, in the track description, and the same
// slices in every frame.
bool LoadH264(const std::string& path, Workload& w) {
  bvtool::FileSource src(path);
  bvtool::AccessUnitReader reader(src, bvtool::VideoCodec::kH264);
  bvtool::AccessUnit au;
  while (src.ok() && reader.Next(au)) {
    Bytes slices;
    size_t i = 0;
    const Bytes& d = au.data;
    while (i + 4 <= d.size()) {
      size_t j = i + 4;
      while (j + 4 <= d.size() && !(d[j] == 0 && d[j + 1] == 0 && d[j + 2] == 0 && d[j + 3] == 1)) ++j;
      if (j + 4 > d.size()) j = d.size();
      const uint8_t type = d[i + 4] & 0x1F;
      if (type >= 1 && type <= 5) slices.insert(slices.end(), d.begin() + static_cast<long>(i), d.begin() + static_cast<long>(j));
      i = j;
    }
    if (!slices.empty()) w.video.push_back(std::move(slices));
  }
  w.sps = reader.sps();
  w.pps = reader.pps();
  bvtool::PictureSize size;
  if (!w.sps.empty() && bvtool::PictureSizeFromSps(bvtool::VideoCodec::kH264, w.sps, &size)) {
    w.width = static_cast<uint16_t>(size.width);
    w.height = static_cast<uint16_t>(size.height);
  }
  return !w.video.empty() && !w.sps.empty() && !w.pps.empty();
}

bool LoadAac(const std::string& path, Workload& w) {
  bvtool::FileSource src(path);
  bvtool::AdtsReader reader(src);
  bvtool::AdtsFrame f;
  while (src.ok() && reader.Next(f)) {
    if (f.data.size() <= 7) continue;
    w.sample_rate = f.header.sample_rate;
    w.channels = static_cast<uint8_t>(f.header.channels);
    w.object_type = static_cast<uint8_t>(f.header.object_type);
    w.audio.emplace_back(f.data.begin() + 7, f.data.end());
  }
  return !w.audio.empty();
}

// One NAL unit of exactly `size` bytes (start code included) whose payload
// holds no zero byte.
Bytes SyntheticFrame(size_t size, bool key, uint32_t seed) {
  Bytes f(size);
  f[3] = 1;
  f[4] = key ? 0x65 : 0x41;
  std::mt19937 rng(seed);
  for (size_t i = 5; i < size; ++i) f[i] = static_cast<uint8_t>(1 + rng() % 255);
  return f;
}

void SyntheticVideo(Workload& w, size_t size, uint32_t frames) {
  bvtool::FileSource src(std::string(BV_SAMPLES_DIR) + "/sample.h264");
  bvtool::AccessUnitReader reader(src, bvtool::VideoCodec::kH264);
  bvtool::AccessUnit au;
  if (src.ok()) reader.Next(au);
  w.sps = reader.sps();
  w.pps = reader.pps();
  w.width = 640;
  w.height = 360;
  w.video_timescale = 25000;
  for (uint32_t i = 0; i < 4; ++i) w.video.push_back(SyntheticFrame(size, i == 0, i + 1));
  for (uint32_t v = 0; v < frames; ++v) {
    const bool key = v % 25 == 0;
    w.steps.push_back({false, key, uint64_t{v} * w.video_duration, key ? 0u : 1 + v % 3});
  }
}

void InterleaveHour(Workload& w, uint32_t seconds) {
  const uint64_t frames = uint64_t{seconds} * 30;
  const uint64_t audio = w.audio.empty() ? 0 : uint64_t{seconds} * w.sample_rate / 1024;
  uint64_t a = 0;
  const size_t gop = w.video.size();
  for (uint64_t v = 0; v < frames; ++v) {
    while (a < audio && a * 1024 * 30 < v * w.sample_rate) {
      w.steps.push_back({true, true, a * 1024, static_cast<uint32_t>(a % w.audio.size())});
      ++a;
    }
    const uint32_t f = static_cast<uint32_t>(v % gop);
    const bool key = (w.video[f][4] & 0x1F) == 5;
    w.steps.push_back({false, key, v * w.video_duration, f});
  }
}

const Bytes& FrameOf(const Workload& w, const Step& s) { return s.audio ? w.audio[s.frame] : w.video[s.frame]; }

// ---------------------------------------------------------------------------
// Writers; each returns false on any failure.

bool WriteFwrite(const std::string& path, const Workload& w) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (const Step& s : w.steps) {
    const Bytes& b = FrameOf(w, s);
    ok = ok && std::fwrite(b.data(), 1, b.size(), f) == b.size();
  }
  return std::fclose(f) == 0 && ok;
}

#if defined(__linux__)
// The floor of safe write: the same bytes as fwrite, collected in windows of
// the safe-write block size (4096 x 256) and each full window written
// through to the device (O_DIRECT, no page cache; O_DSYNC, done when on the
// device). The last window is padded to a block, then the file cut to size.
bool WriteDirect(const std::string& path, const Workload& w) {
  constexpr size_t kBlock = 4096, kWindow = kBlock * 256;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT | O_DSYNC, 0644);
  if (fd < 0) return false;
  void* mem = nullptr;
  if (posix_memalign(&mem, kBlock, kWindow) != 0) return ::close(fd), false;
  std::unique_ptr<uint8_t, decltype(&std::free)> window(static_cast<uint8_t*>(mem), &std::free);
  size_t used = 0;
  uint64_t total = 0;
  bool ok = true;
  auto flush = [&](size_t n) { ok = ok && ::write(fd, window.get(), n) == static_cast<ssize_t>(n); };
  for (const Step& s : w.steps) {
    const Bytes& b = FrameOf(w, s);
    for (size_t done = 0; done < b.size();) {
      const size_t k = std::min(b.size() - done, kWindow - used);
      std::memcpy(window.get() + used, b.data() + done, k);
      used += k;
      done += k;
      if (used == kWindow) flush(kWindow), used = 0;
    }
    total += b.size();
  }
  if (used > 0) {
    const size_t padded = (used + kBlock - 1) / kBlock * kBlock;
    std::memset(window.get() + used, 0, padded - used);
    flush(padded);
  }
  ok = ok && ::ftruncate(fd, static_cast<off_t>(total)) == 0;
  return ::close(fd) == 0 && ok;
}
#endif

// The elementary stream a parser-fed muxer (GStreamer) reads: the same
// frames with the parameter sets repeated before every key frame.
bool WriteAnnexB(const std::string& path, const Workload& w) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const uint8_t sc[4] = {0, 0, 0, 1};
  bool ok = true;
  for (const Step& s : w.steps) {
    if (s.audio) continue;
    if (s.key) {
      ok = ok && std::fwrite(sc, 1, 4, f) == 4 && std::fwrite(w.sps.data(), 1, w.sps.size(), f) == w.sps.size();
      ok = ok && std::fwrite(sc, 1, 4, f) == 4 && std::fwrite(w.pps.data(), 1, w.pps.size(), f) == w.pps.size();
    }
    const Bytes& b = FrameOf(w, s);
    ok = ok && std::fwrite(b.data(), 1, b.size(), f) == b.size();
  }
  return std::fclose(f) == 0 && ok;
}

// updateSeconds: safe write's header update interval (0: the default).
bool WriteBvMp4(const std::string& path, const Workload& w, uint32_t flags, bool safe, uint32_t updateSeconds = 0) {
  mp4_config_t config{};
  config.flags = flags;
  if (safe) {
    config.update_interval = updateSeconds;
    config.io_mode = MP4_IO_SAFE_WRITE;
    config.block_size = 4096;
    config.block_num = 256;
    // The tables are reserved for what the recording may last, as a host
    // sizes them: 2 h (what qtmux's robust mode below reserves) for the
    // workloads that fit, a day for W2's 11 h.
    uint64_t ticks = 0;
    for (const Step& s : w.steps) ticks += s.audio ? 0 : w.video_duration;
    config.max_duration = ticks / w.video_timescale <= 7200 ? 7200 : 24 * 3600;
  }
  mp4_handle h = nullptr;
  if (mp4_create_file_full_ex(path.c_str(), &config, &h) != MP4_SUCCESS) return false;
  mp4_video_track_info_t vi{};
  vi.timescale = w.video_timescale;
  vi.frame_duration = w.video_duration;
  vi.codec_type = MP4_VIDEO_H264;
  vi.width = w.width;
  vi.height = w.height;
  vi.sps = w.sps.data();
  vi.sps_size = static_cast<uint16_t>(w.sps.size());
  vi.pps = w.pps.data();
  vi.pps_size = static_cast<uint16_t>(w.pps.size());
  bool ok = mp4_set_video_track(h, &vi) == MP4_SUCCESS;
  if (ok && !w.audio.empty()) {
    mp4_audio_track_info_t ai{};
    ai.timescale = w.sample_rate;
    ai.frame_duration = 1024;
    ai.codec_type = MP4_AUDIO_AAC;
    ai.sample_rate = static_cast<uint16_t>(w.sample_rate);
    ai.channels = w.channels;
    ai.profile = w.object_type;
    ok = mp4_set_audio_track(h, &ai) == MP4_SUCCESS;
  }
  for (size_t i = 0; ok && i < w.steps.size(); ++i) {
    const Step& s = w.steps[i];
    const Bytes& b = FrameOf(w, s);
    const uint32_t n = static_cast<uint32_t>(b.size());
    ok = (s.audio ? mp4_write_audio_frame(h, b.data(), n, s.ts) : mp4_write_video_frame(h, b.data(), n, s.ts)) ==
         MP4_SUCCESS;
  }
  return mp4_close_file(h) == MP4_SUCCESS && ok;
}

#if BV_HAVE_LIBAVFORMAT
bool WriteLibavformat(const std::string& path, const Workload& w) {
  AVFormatContext* ctx = nullptr;
  if (avformat_alloc_output_context2(&ctx, nullptr, "mp4", path.c_str()) < 0 || !ctx) return false;
  auto cleanup = [&ctx] {
    if (ctx->pb) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  };
  AVStream* vs = avformat_new_stream(ctx, nullptr);
  AVStream* as = w.audio.empty() ? nullptr : avformat_new_stream(ctx, nullptr);
  if (!vs || (!w.audio.empty() && !as)) return cleanup(), false;
  vs->time_base = AVRational{1, static_cast<int>(w.video_timescale)};
  AVCodecParameters* vp = vs->codecpar;
  vp->codec_type = AVMEDIA_TYPE_VIDEO;
  vp->codec_id = AV_CODEC_ID_H264;
  vp->width = w.width;
  vp->height = w.height;
  if (!bvbench::SetAnnexBExtradata(vp, w.sps, w.pps)) return cleanup(), false;
  if (as) {
    as->time_base = AVRational{1, static_cast<int>(w.sample_rate)};
    AVCodecParameters* ap = as->codecpar;
    if (!bvbench::SetAacParameters(ap, w.sample_rate, w.channels, w.object_type, bvbench::SamplingIndex(w.sample_rate, 3)))
      return cleanup(), false;
  }
  if (avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(ctx, nullptr) < 0)
    return cleanup(), false;
  AVPacket* pkt = av_packet_alloc();
  bool ok = pkt != nullptr;
  for (size_t i = 0; ok && i < w.steps.size(); ++i) {
    const Step& s = w.steps[i];
    const Bytes& b = FrameOf(w, s);
    AVStream* st = s.audio ? as : vs;
    pkt->data = const_cast<uint8_t*>(b.data());  // not reference-counted: read in place
    pkt->size = static_cast<int>(b.size());
    pkt->pts = pkt->dts = static_cast<int64_t>(s.ts);
    pkt->duration = s.audio ? 1024 : w.video_duration;
    pkt->stream_index = st->index;
    pkt->flags = s.key ? AV_PKT_FLAG_KEY : 0;
    ok = av_write_frame(ctx, pkt) >= 0;
  }
  av_packet_free(&pkt);
  ok = av_write_trailer(ctx) >= 0 && ok;
  cleanup();
  return ok;
}
#endif

#if BV_HAVE_GSTREAMER
// GStreamer's muxers fed like every other writer: the same Annex-B frames
// (parameter sets in front of each key frame, which its parser needs in
// band) and the same AAC frames behind ADTS headers, pushed with their
// timestamps through appsrc without copies. `robust`: qtmux with its
// reserved moov rewritten once a second, the crash-safe peer of safe write.
bool WriteGstreamer(const std::string& path, const Workload& w, bool robust) {
  gst_init(nullptr, nullptr);
  const std::string mux = robust ? "qtmux reserved-max-duration=7200000000000 reserved-moov-update-period=1000000000"
                                 : "mp4mux";
  std::string desc = "appsrc name=v format=time block=true max-bytes=8000000 ! h264parse ! " + mux +
                     " name=mux ! filesink location=\"" + path + "\"";
  if (!w.audio.empty()) desc += " appsrc name=a format=time block=true max-bytes=1000000 ! aacparse ! mux.";
  GError* err = nullptr;
  GstElement* pipeline = gst_parse_launch(desc.c_str(), &err);
  if (!pipeline || err) {
    std::fprintf(stderr, "gst: %s\n", err ? err->message : "no pipeline");
    if (err) g_error_free(err);
    return false;
  }
  GstAppSrc* v = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline), "v"));
  GstAppSrc* a = w.audio.empty() ? nullptr : GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline), "a"));
  GstCaps* vcaps = gst_caps_new_simple("video/x-h264", "stream-format", G_TYPE_STRING, "byte-stream", "alignment",
                                       G_TYPE_STRING, "au", "width", G_TYPE_INT, int{w.width}, "height", G_TYPE_INT,
                                       int{w.height}, "framerate", GST_TYPE_FRACTION,
                                       static_cast<int>(w.video_timescale), static_cast<int>(w.video_duration), nullptr);
  gst_app_src_set_caps(v, vcaps);
  gst_caps_unref(vcaps);
  if (a) {
    GstCaps* acaps = gst_caps_new_simple("audio/mpeg", "mpegversion", G_TYPE_INT, 4, "stream-format", G_TYPE_STRING,
                                         "adts", "rate", G_TYPE_INT, static_cast<int>(w.sample_rate), "channels",
                                         G_TYPE_INT, int{w.channels}, nullptr);
    gst_app_src_set_caps(a, acaps);
    gst_caps_unref(acaps);
  }
  // Key frames: the parameter sets and the slices in one buffer, made once
  // per distinct frame. Audio: each frame behind its ADTS header, made once.
  const uint8_t sc[4] = {0, 0, 0, 1};
  std::vector<Bytes> keyed(w.video.size());
  for (size_t i = 0; i < w.video.size(); ++i) {
    if ((w.video[i][4] & 0x1F) != 5) continue;
    Bytes& k = keyed[i];
    k.insert(k.end(), sc, sc + 4);
    k.insert(k.end(), w.sps.begin(), w.sps.end());
    k.insert(k.end(), sc, sc + 4);
    k.insert(k.end(), w.pps.begin(), w.pps.end());
    k.insert(k.end(), w.video[i].begin(), w.video[i].end());
  }
  const uint8_t index = bvbench::SamplingIndex(w.sample_rate, 3);
  std::vector<Bytes> adts(w.audio.size());
  for (size_t i = 0; i < w.audio.size(); ++i) {
    const size_t n = w.audio[i].size() + 7;
    adts[i] = {0xFF, 0xF1, static_cast<uint8_t>(((w.object_type - 1) << 6) | (index << 2) | (w.channels >> 2)),
               static_cast<uint8_t>(((w.channels & 3) << 6) | (n >> 11)), static_cast<uint8_t>(n >> 3),
               static_cast<uint8_t>(((n & 7) << 5) | 0x1F), 0xFC};
    adts[i].insert(adts[i].end(), w.audio[i].begin(), w.audio[i].end());
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  bool ok = true;
  for (size_t i = 0; ok && i < w.steps.size(); ++i) {
    const Step& s = w.steps[i];
    const Bytes& b = s.audio ? adts[s.frame] : (keyed[s.frame].empty() ? w.video[s.frame] : keyed[s.frame]);
    // Not copied: the frames outlive the pipeline.
    GstBuffer* buf = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(b.data()), b.size(),
                                                 0, b.size(), nullptr, nullptr);
    const uint64_t scale = s.audio ? w.sample_rate : w.video_timescale;
    GST_BUFFER_PTS(buf) = GST_BUFFER_DTS(buf) = gst_util_uint64_scale(s.ts, GST_SECOND, scale);
    GST_BUFFER_DURATION(buf) = gst_util_uint64_scale(s.audio ? 1024 : w.video_duration, GST_SECOND, scale);
    if (!s.key) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
    ok = gst_app_src_push_buffer(s.audio ? a : v, buf) == GST_FLOW_OK;
  }
  gst_app_src_end_of_stream(v);
  if (a) gst_app_src_end_of_stream(a);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* msg = gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE,
                                               static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (msg == nullptr || GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
    ok = false;
    if (msg) {
      GError* e = nullptr;
      gst_message_parse_error(msg, &e, nullptr);
      std::fprintf(stderr, "gst: %s\n", e ? e->message : "error");
      if (e) g_error_free(e);
    }
  }
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(v);
  if (a) gst_object_unref(a);
  gst_object_unref(pipeline);
  return ok;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--writers") == 0) {
    std::printf("fwrite annexb bv_mp4 bv_mp4_repair bv_mp4_safe bv_mp4_safe_1s");
#if defined(__linux__)
    std::printf(" direct");
#endif
#if BV_HAVE_LIBAVFORMAT
    std::printf(" libavformat");
#endif
#if BV_HAVE_GSTREAMER
    std::printf(" gst_mp4mux gst_qtmux_robust");
#endif
    std::printf("\n");
    return 0;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s WRITER w1|w1v|w2|w3 OUTPUT [--quick] [--h264 FILE] [--aac FILE]\n", argv[0]);
    return 2;
  }
  const std::string writer = argv[1], workload = argv[2], out = argv[3];
  bool quick = false;
  std::string h264, aac = std::string(BV_SAMPLES_DIR) + "/sample.aac";
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") quick = true;
    if (a == "--h264" && i + 1 < argc) h264 = argv[++i];
    if (a == "--aac" && i + 1 < argc) aac = argv[++i];
  }
  Workload w;
  if (workload == "w1" || workload == "w1v") {
    if (!LoadH264(h264, w) || (workload == "w1" && !LoadAac(aac, w))) {
      std::fprintf(stderr, "cannot load the W1 frames from '%s' and '%s'\n", h264.c_str(), aac.c_str());
      return 2;
    }
    InterleaveHour(w, quick ? 30 : 3600);
  } else if (workload == "w2") {
    SyntheticVideo(w, 100, quick ? 100000 : 1000000);
  } else if (workload == "w3") {
    SyntheticVideo(w, size_t{1} << 20, quick ? 100 : 2000);
  } else {
    std::fprintf(stderr, "unknown workload %s\n", workload.c_str());
    return 2;
  }
  uint64_t bytes = 0;
  for (const Step& s : w.steps) bytes += FrameOf(w, s).size();

  std::timespec c0{}, c1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
  const auto t0 = std::chrono::steady_clock::now();
  bool ok = false;
  if (writer == "fwrite") {
    ok = WriteFwrite(out, w);
#if defined(__linux__)
  } else if (writer == "direct") {
    ok = WriteDirect(out, w);
#endif
  } else if (writer == "annexb") {
    ok = WriteAnnexB(out, w);
  } else if (writer == "bv_mp4") {
    ok = WriteBvMp4(out, w, 0, false);
  } else if (writer == "bv_mp4_repair") {
    ok = WriteBvMp4(out, w, MP4_FLAG_REPAIR, false);
  } else if (writer == "bv_mp4_safe") {
    ok = WriteBvMp4(out, w, 0, true);
  } else if (writer == "bv_mp4_safe_1s") {  // header updates as often as qtmux robust's moov
    ok = WriteBvMp4(out, w, 0, true, 1);
#if BV_HAVE_GSTREAMER
  } else if (writer == "gst_mp4mux") {
    ok = WriteGstreamer(out, w, false);
  } else if (writer == "gst_qtmux_robust") {
    ok = WriteGstreamer(out, w, true);
#endif
#if BV_HAVE_LIBAVFORMAT
  } else if (writer == "libavformat") {
    ok = WriteLibavformat(out, w);
#endif
  } else {
    std::fprintf(stderr, "unknown writer %s\n", writer.c_str());
    return 2;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
  const double cpu = static_cast<double>(c1.tv_sec - c0.tv_sec) + static_cast<double>(c1.tv_nsec - c0.tv_nsec) * 1e-9;
  if (!ok) {
    std::fprintf(stderr, "%s failed on %s\n", writer.c_str(), workload.c_str());
    return 1;
  }
  std::printf("RESULT %s %s %.4f %zu %llu %.4f\n", writer.c_str(), workload.c_str(), seconds, w.steps.size(),
              static_cast<unsigned long long>(bytes), cpu);
  return 0;
}
