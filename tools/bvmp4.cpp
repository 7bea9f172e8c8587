// bvmp4: records raw H.264/HEVC and ADTS AAC elementary streams into an MP4
// or QuickTime file through the library's public interface, the same way a
// capture host would: one access unit or audio frame per call, interleaved
// by time.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define BVMP4_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define BVMP4_ISATTY(fd) isatty(fd)
#endif

#include "adts_reader.h"
#include "annexb_reader.h"
#include "poc_order.h"
#include "bv_mp4.h"
#include "repair_command.h"
#include "info_command.h"
#include "result_names.h"
#include "sps_dimensions.h"

namespace fs = std::filesystem;
using bvtool::ResultName;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Below this the whole job takes a blink; a bar would only flicker.
constexpr uint64_t kProgressThreshold = 4u << 20;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: bvmp4 mux [options] [-o OUT]\n"
               "       bvmp4 repair FILE [--keep-info]\n"
               "       bvmp4 info FILE\n"
               "       bvmp4 version\n"
               "       bvmp4 --help\n"
               "\n"
               "Records an Annex-B H.264/HEVC stream and/or an ADTS AAC stream into OUT\n"
               "(default out.mp4). A name containing \"mov\" gives a QuickTime movie.\n"
               "Without any input, the bundled sample clip is recorded into demo.mp4.\n"
               "info prints FILE's duration, its box tree and one line per track.\n"
               "\n"
               "options:\n"
               "  --video FILE            Annex-B elementary stream\n"
               "  --codec h264|hevc       video codec (default: from the extension\n"
               "                          .h264/.264/.h265/.hevc)\n"
               "  --fps N | N/D           frame rate (default 25; 29.97, 59.94 and 23.976\n"
               "                          are taken as 30000/1001, 60000/1001, 24000/1001)\n"
               "  --timescale T --frame-duration D\n"
               "                          explicit video time base instead of --fps\n"
               "  --size WxH              picture size (default: from the stream's SPS)\n"
               "  --audio FILE            ADTS AAC stream\n"
               "  --large-file            64-bit chunk offsets and mdat size (flag 0x02)\n"
               "  --time64                64-bit time fields (flag 0x01)\n"
               "  --io-callbacks          send every byte through host callbacks (external I/O)\n"
               "  --meta KEY=VALUE        metadata item (repeatable)\n"
               "  --timecode              add a time-code track starting at 00:00:00:00\n"
               "  --safe                  safe write: header reserved ahead and updated in place\n"
               "  --max-duration S        safe write: longest recording in seconds (default 1800)\n"
               "  --update-interval S     safe write: seconds between header updates (default 30)\n"
               "  --repair                keep a FILE.info side file so that `bvmp4 repair`\n"
               "                          can finish the file after a crash (flag 0x10)\n"
               "  --flush-interval N      video frames between side-file flushes (>= 10)\n"
               "  --realtime              pace the frames at their own rate, like a live\n"
               "                          capture (for trying out a crash and its repair)\n"
               "  -o, --output OUT        output file\n");
}

struct Options {
  std::string video;
  std::string audio;
  std::string output;
  bool codec_given = false;
  bvtool::VideoCodec codec = bvtool::VideoCodec::kH264;
  uint32_t timescale = 25000;
  uint64_t frame_duration = 1000;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t flags = 0;
  bool timecode = false;
  bool io_callbacks = false;
  bool demo = false;
  // Safe write (io_mode 3) and its settings; block words are the library's
  // page and window units.
  bool safe = false;
  mp4_config_t safe_config{0, MP4_IO_SAFE_WRITE, 0, 0, nullptr, 4096, 32, 0, 0, 0};
  uint32_t flush_interval = 0;  // 0: the library's default
  bool realtime = false;
  std::vector<std::pair<std::string, std::string>> meta;
};

bool ParseUnsigned(const std::string& s, uint64_t* v) {
  if (s.empty() || s[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long x = std::strtoull(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *v = x;
  return true;
}

// Integral rates get a timescale of 1000 ticks per frame so that a later
// edit at millisecond precision stays exact; the NTSC rates map to their
// exact fractions.
bool ParseFps(const std::string& s, uint32_t* timescale, uint64_t* duration) {
  if (s == "29.97") {
    *timescale = 30000;
    *duration = 1001;
  } else if (s == "59.94") {
    *timescale = 60000;
    *duration = 1001;
  } else if (s == "23.976" || s == "23.98") {
    *timescale = 24000;
    *duration = 1001;
  } else {
    const size_t slash = s.find('/');
    uint64_t num = 0, den = 1;
    if (slash == std::string::npos) {
      if (!ParseUnsigned(s, &num)) return false;
    } else if (!ParseUnsigned(s.substr(0, slash), &num) || !ParseUnsigned(s.substr(slash + 1), &den)) {
      return false;
    }
    if (num == 0 || den == 0 || num > 1000000 || den > 1000000) return false;
    const uint64_t scale = num < 1000 ? 1000 : 1;
    *timescale = static_cast<uint32_t>(num * scale);
    *duration = den * scale;
  }
  return true;
}

bool ParseSize(const std::string& s, uint32_t* w, uint32_t* h) {
  const size_t x = s.find('x');
  uint64_t a = 0, b = 0;
  if (x == std::string::npos || !ParseUnsigned(s.substr(0, x), &a) || !ParseUnsigned(s.substr(x + 1), &b))
    return false;
  if (a == 0 || b == 0 || a > 65535 || b > 65535) return false;
  *w = static_cast<uint32_t>(a);
  *h = static_cast<uint32_t>(b);
  return true;
}

// Returns kExitOk, or kExitUsage after printing why.
int ParseMuxArgs(int argc, char** argv, int first, Options* o) {
  bool fps_given = false, ts_given = false, fd_given = false;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "bvmp4: %s needs a value\n", a.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--video") {
      if (!value(&o->video)) return kExitUsage;
    } else if (a == "--audio") {
      if (!value(&o->audio)) return kExitUsage;
    } else if (a == "-o" || a == "--output") {
      if (!value(&o->output)) return kExitUsage;
    } else if (a == "--codec") {
      if (!value(&v)) return kExitUsage;
      if (v == "h264" || v == "avc") o->codec = bvtool::VideoCodec::kH264;
      else if (v == "hevc" || v == "h265") o->codec = bvtool::VideoCodec::kHevc;
      else {
        std::fprintf(stderr, "bvmp4: unknown codec '%s' (h264 or hevc)\n", v.c_str());
        return kExitUsage;
      }
      o->codec_given = true;
    } else if (a == "--fps") {
      if (!value(&v)) return kExitUsage;
      if (!ParseFps(v, &o->timescale, &o->frame_duration)) {
        std::fprintf(stderr, "bvmp4: bad frame rate '%s'\n", v.c_str());
        return kExitUsage;
      }
      fps_given = true;
    } else if (a == "--timescale" || a == "--frame-duration") {
      uint64_t n = 0;
      if (!value(&v)) return kExitUsage;
      if (!ParseUnsigned(v, &n) || n == 0 || (a == "--timescale" && n > UINT32_MAX)) {
        std::fprintf(stderr, "bvmp4: bad value '%s' for %s\n", v.c_str(), a.c_str());
        return kExitUsage;
      }
      if (a == "--timescale") {
        o->timescale = static_cast<uint32_t>(n);
        ts_given = true;
      } else {
        o->frame_duration = n;
        fd_given = true;
      }
    } else if (a == "--size") {
      if (!value(&v)) return kExitUsage;
      if (!ParseSize(v, &o->width, &o->height)) {
        std::fprintf(stderr, "bvmp4: bad size '%s' (WxH)\n", v.c_str());
        return kExitUsage;
      }
    } else if (a == "--large-file") {
      o->flags |= MP4_FLAG_LARGE_FILE;
    } else if (a == "--io-callbacks") {
      o->io_callbacks = true;
    } else if (a == "--time64") {
      o->flags |= MP4_FLAG_TIME64;
    } else if (a == "--timecode") {
      o->timecode = true;
    } else if (a == "--safe") {
      o->safe = true;
    } else if (a == "--max-duration" || a == "--update-interval") {
      uint64_t n = 0;
      if (!value(&v)) return kExitUsage;
      if (!ParseUnsigned(v, &n) || n > UINT32_MAX) {
        std::fprintf(stderr, "bvmp4: bad %s '%s'\n", a.c_str(), v.c_str());
        return kExitUsage;
      }
      (a == "--max-duration" ? o->safe_config.max_duration : o->safe_config.update_interval) = static_cast<uint32_t>(n);
    } else if (a == "--repair") {
      o->flags |= MP4_FLAG_REPAIR;
    } else if (a == "--realtime") {
      o->realtime = true;
    } else if (a == "--flush-interval") {
      uint64_t n = 0;
      if (!value(&v)) return kExitUsage;
      if (!ParseUnsigned(v, &n) || n < 10 || n > UINT32_MAX) {
        std::fprintf(stderr, "bvmp4: bad flush interval '%s' (10 or more)\n", v.c_str());
        return kExitUsage;
      }
      o->flush_interval = static_cast<uint32_t>(n);
    } else if (a == "--meta") {
      if (!value(&v)) return kExitUsage;
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "bvmp4: --meta wants KEY=VALUE, got '%s'\n", v.c_str());
        return kExitUsage;
      }
      o->meta.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else {
      std::fprintf(stderr, "bvmp4: unknown option '%s'\n", a.c_str());
      return kExitUsage;
    }
  }
  if (fps_given && (ts_given || fd_given)) {
    std::fprintf(stderr, "bvmp4: give either --fps or --timescale/--frame-duration\n");
    return kExitUsage;
  }
  if (ts_given != fd_given) {
    std::fprintf(stderr, "bvmp4: --timescale and --frame-duration go together\n");
    return kExitUsage;
  }
  return kExitOk;
}

// The bundled clip lives in the source tree; an installed copy of the tool
// falls back to ./samples.
void UseBundledSample(Options* o) {
  const std::string dirs[] = {BVMP4_SAMPLES_DIR, "samples"};
  for (const std::string& d : dirs) {
    if (fs::exists(d + "/sample.h264")) {
      o->video = d + "/sample.h264";
      if (fs::exists(d + "/sample.aac")) o->audio = d + "/sample.aac";
      break;
    }
  }
  if (o->output.empty()) o->output = "demo.mp4";
  o->demo = true;
}

// External I/O as a host would do it: the library hands every byte, seek and
// flush to these callbacks, here over a C FILE*.
namespace host_io {

FILE* OpenWide(const wchar_t* path) {
#if defined(_WIN32)
  return _wfopen(path, L"wb");
#else
  std::string utf8;  // wchar_t holds UTF-32 here
  for (; *path; ++path) {
    const uint32_t c = static_cast<uint32_t>(*path);
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else if (c < 0x800) {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return std::fopen(utf8.c_str(), "wb");
#endif
}

FILE* F(void* h) { return static_cast<FILE*>(h); }
uint8_t Open(void** h, const wchar_t* path, uint32_t, uint32_t) {
  *h = OpenWide(path);
  return *h != nullptr;
}
int32_t Close(void* h) { return std::fclose(F(h)); }
#if defined(_WIN32)
int64_t Tell(void* h) { return _ftelli64(F(h)); }
int32_t Seek(void* h, int64_t off, int32_t origin) { return _fseeki64(F(h), off, origin); }
#else
int64_t Tell(void* h) { return ftello(F(h)); }
int32_t Seek(void* h, int64_t off, int32_t origin) { return fseeko(F(h), static_cast<off_t>(off), origin); }
#endif
int32_t Flush(void* h) { return std::fflush(F(h)); }
int32_t Read(void* h, void* dst, uint32_t n) { return std::fread(dst, n, 1, F(h)) == 1; }
int32_t Write(void* h, const void* src, uint32_t n) { return std::fwrite(src, n, 1, F(h)) == 1; }

ExternalIoFuncs table{Open, Close, Tell, Seek, Flush, Read, Write};

}  // namespace host_io

// Owns an open recording; a recording abandoned on an error is still closed
// so the library releases the file.
class Recording {
 public:
  Recording() = default;
  ~Recording() {
    if (h_) mp4_close_file(h_);
  }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  int Create(const std::string& path, uint8_t flags, const mp4_config_t* config) {
    if (config) return mp4_create_file_full_ex(path.c_str(), config, &h_);
    return mp4_create_file_ex(path.c_str(), flags, &h_);
  }
  int Close() {
    const int rc = mp4_close_file(h_);
    h_ = nullptr;
    return rc;
  }
  mp4_handle get() const { return h_; }

 private:
  mp4_handle h_ = nullptr;
};

// A one-line bar on standard error, redrawn at most ten times a second.
class ProgressBar {
 public:
  ProgressBar(uint64_t total, bool enabled) : total_(total), enabled_(enabled && total > 0) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Update(uint64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    const double frac = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
    const int width = 40;
    const int fill = static_cast<int>(frac * width);
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double mbps = secs > 0 ? static_cast<double>(done) / 1e6 / secs : 0.0;
    std::fprintf(stderr, "\r[%.*s%*s] %5.1f%%  %7.1f MB/s", fill, "########################################",
                 width - fill, "", frac * 100.0, mbps);
    std::fflush(stderr);
  }
  void Finish() {
    if (enabled_ && drawn_) std::fputc('\n', stderr);
    drawn_ = false;
    enabled_ = false;
  }

 private:
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
};

struct Counters {
  uint64_t video_frames = 0;
  uint64_t key_frames = 0;
  uint64_t audio_frames = 0;
  uint64_t input_bytes = 0;
};

int Fail(const char* what, int rc) {
  std::fflush(stdout);
  std::fprintf(stderr, "bvmp4: %s failed: %s (%d)\n", what, ResultName(rc), rc);
  return kExitFailure;
}

const char* CodecName(bvtool::VideoCodec c) { return c == bvtool::VideoCodec::kH264 ? "H.264" : "HEVC"; }

std::string Thousands(uint64_t v) {
  std::string s = std::to_string(v);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}

int RunMux(Options& o) {
  if (o.video.empty() && o.audio.empty()) {
    UseBundledSample(&o);
    if (o.video.empty()) {
      std::fprintf(stderr, "bvmp4: no input given and no bundled sample found (samples/sample.h264)\n");
      return kExitFailure;
    }
  }
  if (o.output.empty()) o.output = "out.mp4";
  if (!o.video.empty() && !o.codec_given && !bvtool::GuessVideoCodec(o.video, &o.codec)) {
    std::fprintf(stderr, "bvmp4: cannot tell the codec of '%s'; use --codec h264|hevc\n", o.video.c_str());
    return kExitUsage;
  }

  std::unique_ptr<bvtool::FileSource> vsrc, asrc;
  std::unique_ptr<bvtool::AccessUnitReader> vreader;
  std::unique_ptr<bvtool::AdtsReader> areader;
  if (!o.video.empty()) {
    vsrc = std::make_unique<bvtool::FileSource>(o.video);
    if (!vsrc->ok()) {
      std::fprintf(stderr, "bvmp4: cannot open '%s': %s\n", o.video.c_str(), std::strerror(errno));
      return kExitFailure;
    }
    vreader = std::make_unique<bvtool::AccessUnitReader>(*vsrc, o.codec);
  }
  if (!o.audio.empty()) {
    asrc = std::make_unique<bvtool::FileSource>(o.audio);
    if (!asrc->ok()) {
      std::fprintf(stderr, "bvmp4: cannot open '%s': %s\n", o.audio.c_str(), std::strerror(errno));
      return kExitFailure;
    }
    areader = std::make_unique<bvtool::AdtsReader>(*asrc);
  }

  // The first frame of each stream is read before the tracks are declared:
  // the video track needs the picture size from the SPS and the audio track
  // its rate from the first ADTS header.
  bvtool::AccessUnit au;
  bvtool::AdtsFrame af;
  bool have_video = vreader && vreader->Next(au);
  bool have_audio = areader && areader->Next(af);
  if (vreader && !have_video) {
    std::fprintf(stderr, "bvmp4: no access unit found in '%s'\n", o.video.c_str());
    return kExitFailure;
  }
  if (areader && !have_audio) {
    std::fprintf(stderr, "bvmp4: no ADTS frame found in '%s'\n", o.audio.c_str());
    return kExitFailure;
  }
  if (have_video && o.width == 0) {
    bvtool::PictureSize size;
    if (!bvtool::PictureSizeFromSps(o.codec, vreader->sps(), &size) || size.width > 65535 ||
        size.height > 65535) {
      std::fprintf(stderr, "bvmp4: no readable SPS before the first picture; give --size WxH\n");
      return kExitFailure;
    }
    o.width = size.width;
    o.height = size.height;
  }
  const uint32_t sample_rate = have_audio ? af.header.sample_rate : 0;
  const uint32_t channels = have_audio ? af.header.channels : 0;
  if (have_audio && sample_rate > 65535) {
    std::fprintf(stderr, "bvmp4: %u Hz audio does not fit the track description\n", sample_rate);
    return kExitFailure;
  }

  const auto t0 = std::chrono::steady_clock::now();
  Recording rec;
  mp4_config_t callbacks{};
  callbacks.flags = o.flags;
  callbacks.io_mode = MP4_IO_EXTERNAL;
  callbacks.pFunc = &host_io::table;
  mp4_config_t safe = o.safe_config;
  safe.flags = o.flags;
  int rc = rec.Create(o.output, o.flags, o.io_callbacks ? &callbacks : o.safe ? &safe : nullptr);
  if (rc != MP4_SUCCESS) return Fail(("creating " + o.output).c_str(), rc);
  if (o.flush_interval) {
    rc = mp4_repair_set_flush_interval(rec.get(), o.flush_interval);
    if (rc != MP4_SUCCESS) return Fail("setting the flush interval", rc);
  }

  for (const auto& kv : o.meta) {
    rc = mp4_set_metadata(rec.get(), kv.first.c_str(), kv.second.c_str());
    if (rc != MP4_SUCCESS) return Fail(("metadata " + kv.first).c_str(), rc);
  }
  if (have_video) {
    // No parameter sets: the library picks them out of the first frames.
    mp4_video_track_info_t vi{};
    vi.timescale = o.timescale;
    vi.frame_duration = o.frame_duration;
    vi.codec_type = o.codec == bvtool::VideoCodec::kH264 ? MP4_VIDEO_H264 : MP4_VIDEO_HEVC;
    vi.width = static_cast<uint16_t>(o.width);
    vi.height = static_cast<uint16_t>(o.height);
    if (o.safe) {  // safe write wants them up front
      vi.sps = vreader->sps().data();
      vi.sps_size = static_cast<uint16_t>(vreader->sps().size());
      vi.pps = vreader->pps().data();
      vi.pps_size = static_cast<uint16_t>(vreader->pps().size());
      vi.vps = vreader->vps().data();
      vi.vps_size = static_cast<uint16_t>(vreader->vps().size());
    }
    rc = mp4_set_video_track(rec.get(), &vi);
    if (rc != MP4_SUCCESS) return Fail("declaring the video track", rc);
  }
  if (have_audio) {
    mp4_audio_track_info_t ai{};
    ai.timescale = sample_rate;
    ai.frame_duration = 1024;
    ai.codec_type = MP4_AUDIO_AAC_ADTS;
    ai.sample_rate = static_cast<uint16_t>(sample_rate);
    ai.channels = static_cast<uint16_t>(channels);
    ai.profile = af.header.object_type;
    rc = mp4_set_audio_track(rec.get(), &ai);
    if (rc != MP4_SUCCESS) return Fail("declaring the audio track", rc);
  }
  if (o.timecode && have_video) {
    mp4_time_code_track_info_t ti{};
    ti.timescale = o.timescale;
    ti.frame_duration = o.frame_duration;
    const double fps = static_cast<double>(o.timescale) / static_cast<double>(o.frame_duration);
    ti.number_of_frames = static_cast<uint8_t>(std::min(255.0, std::ceil(fps - 0.01)));
    // Drop-frame counting only makes sense for the 1001-based NTSC rates.
    ti.tc_flags = (o.frame_duration % 1001 == 0 && o.timescale % 1000 == 0) ? 0x01u : 0u;
    rc = mp4_set_time_code_track(rec.get(), &ti);
    if (rc != MP4_SUCCESS) return Fail("declaring the time-code track", rc);
    rc = mp4_write_time_code(rec.get(), 0);
    if (rc != MP4_SUCCESS) return Fail("writing the time code", rc);
  } else if (o.timecode) {
    std::fprintf(stderr, "bvmp4: --timecode needs a video stream; ignored\n");
  }

  // Presentation order from the picture order counts; a stream without
  // reordering keeps one time per frame.
  uint64_t reorder_delay = 0;
  const std::vector<uint64_t> slots =
      have_video ? bvtool::PresentationSlots(o.video, o.codec, &reorder_delay) : std::vector<uint64_t>();
  const uint64_t total_in = (vsrc ? vsrc->size() : 0) + (asrc ? asrc->size() : 0);
  ProgressBar bar(total_in, BVMP4_ISATTY(2) != 0 && total_in > kProgressThreshold);
  Counters n;
  while (have_video || have_audio) {
    // Earlier in seconds goes first; a tie goes to video so that a picture
    // opens the file.
    bool video_next = have_video;
    if (have_video && have_audio) {
      const long double tv = static_cast<long double>(n.video_frames) * o.frame_duration / o.timescale;
      const long double ta = static_cast<long double>(n.audio_frames) * 1024 / sample_rate;
      video_next = tv <= ta;
    }
    if (o.realtime) {
      const double at = video_next ? static_cast<double>(n.video_frames) * o.frame_duration / o.timescale
                                   : static_cast<double>(n.audio_frames) * 1024 / sample_rate;
      std::this_thread::sleep_until(t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                             std::chrono::duration<double>(at)));
    }
    if (video_next) {
      const uint64_t ts = n.video_frames * o.frame_duration;
      if (reorder_delay != 0 && n.video_frames < slots.size()) {
        // B-frames: presented in picture order, decoded in stream order.
        const uint64_t pts = (slots[n.video_frames] + reorder_delay) * o.frame_duration;
        rc = mp4_write_video_frame_ex(rec.get(), au.data.data(), static_cast<uint32_t>(au.data.size()), ts, pts);
      } else {
        rc = mp4_write_video_frame(rec.get(), au.data.data(), static_cast<uint32_t>(au.data.size()), ts);
      }
      if (rc != MP4_SUCCESS) {
        bar.Finish();
        return Fail(("writing video frame " + std::to_string(n.video_frames)).c_str(), rc);
      }
      n.input_bytes += au.data.size();
      n.key_frames += au.key ? 1 : 0;
      ++n.video_frames;
      have_video = vreader->Next(au);
    } else {
      const uint64_t ts = n.audio_frames * 1024;
      rc = mp4_write_audio_frame(rec.get(), af.data.data(), static_cast<uint32_t>(af.data.size()), ts);
      if (rc != MP4_SUCCESS) {
        bar.Finish();
        return Fail(("writing audio frame " + std::to_string(n.audio_frames)).c_str(), rc);
      }
      n.input_bytes += af.data.size();
      ++n.audio_frames;
      have_audio = areader->Next(af);
    }
    if (((n.video_frames + n.audio_frames) & 63) == 0)
      bar.Update((vsrc ? vsrc->consumed() : 0) + (asrc ? asrc->consumed() : 0));
  }
  bar.Finish();

  const uint64_t duration_ms = mp4_get_duration_ms(rec.get());
  rc = rec.Close();
  if (rc != MP4_SUCCESS) return Fail(("closing " + o.output).c_str(), rc);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  std::error_code ec;
  const uint64_t out_bytes = fs::file_size(o.output, ec);
  const double secs = static_cast<double>(duration_ms) / 1000.0;
  const bool quicktime = o.output.find("mov") != std::string::npos;

  // The library logs on stdout as well; flush its lines before the summary
  // and set the summary apart from them.
  std::fflush(stdout);
  std::printf("\n==================== bvmp4 summary ====================\n");
  std::printf("output     %s (%s)%s\n", o.output.c_str(), quicktime ? "QuickTime" : "MP4",
              o.demo ? "  [bundled sample]" : "");
  if (n.video_frames)
    std::printf("video      %s %ux%u, %" PRIu64 " frames (%" PRIu64 " key), %.3f fps\n", CodecName(o.codec),
                o.width, o.height, n.video_frames, n.key_frames,
                static_cast<double>(o.timescale) / static_cast<double>(o.frame_duration));
  if (n.audio_frames)
    std::printf("audio      AAC %u Hz, %u ch, %" PRIu64 " frames\n", sample_rate, channels, n.audio_frames);
  if (areader && (areader->skipped_bytes() || areader->truncated_tail()))
    std::printf("audio      %" PRIu64 " byte(s) skipped%s\n", areader->skipped_bytes(),
                areader->truncated_tail() ? " (incomplete last frame)" : "");
  std::printf("duration   %.3f s\n", secs);
  std::printf("size       %s bytes (media %s bytes)\n", Thousands(out_bytes).c_str(),
              Thousands(n.input_bytes).c_str());
  if (secs > 0) std::printf("bitrate    %.1f kbit/s\n", static_cast<double>(out_bytes) * 8.0 / secs / 1000.0);
  std::printf("elapsed    %.3f s (%.1f MB/s)\n", elapsed,
              elapsed > 0 ? static_cast<double>(n.input_bytes) / 1e6 / elapsed : 0.0);
  std::printf("=======================================================\n");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Options o;
    return RunMux(o);
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (cmd == "version" || cmd == "--version") {
    std::printf("bv_mp4 %s\n", BVMP4_VERSION);
    return kExitOk;
  }
  if (cmd == "repair") return bvtool::RunRepair(argc, argv, 2);
  if (cmd == "info") {
    if (argc != 3) {
      std::fprintf(stderr, "usage: bvmp4 info FILE\n");
      return kExitUsage;
    }
    return bvtool::RunInfo(argv[2]);
  }
  if (cmd == "mux") {
    Options o;
    const int rc = ParseMuxArgs(argc, argv, 2, &o);
    if (rc != kExitOk) {
      std::fprintf(stderr, "(bvmp4 --help for usage)\n");
      return rc;
    }
    return RunMux(o);
  }
  std::fprintf(stderr, "bvmp4: unknown command '%s'\n\n", cmd.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
