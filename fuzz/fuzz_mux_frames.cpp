// Drives the exports with fuzzed track descriptions and frames: nothing may
// crash, and every file that was closed must still be a well-formed tree of
// boxes whose top level covers the file exactly, with a movie box when any
// sample was accepted, and of the size the open-file queries announced.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "bv_mp4.h"

#include "fuzz_support.h"

namespace {

using fuzz::Input;
using fuzz::ReadAll;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::QuietStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = "/tmp/bv_mp4_fuzz_" + std::to_string(getpid());
  Input in(data, size);
  const uint8_t setup = in.Byte();
  const std::string path = base + ((setup & 1) ? ".mov" : ".mp4");
  const uint8_t flags = static_cast<uint8_t>(setup & (MP4_FLAG_TIME64 | MP4_FLAG_LARGE_FILE | MP4_FLAG_KEEP_TRACK_STARTS));
  mp4_handle h = nullptr;
  if (mp4_create_file_ex(path.c_str(), flags, &h) != MP4_SUCCESS) return 0;

  mp4_video_track_info_t v{};
  v.timescale = 1 + in.U16();
  v.frame_duration = in.Byte();
  v.codec_type = in.Byte() % 4;
  v.width = in.U16();
  v.height = in.U16();
  std::vector<uint8_t> sps = in.Bytes(in.Byte() % 48), pps = in.Bytes(in.Byte() % 16), vps = in.Bytes(in.Byte() % 32);
  if (v.codec_type == MP4_VIDEO_PRORES) {
    v.prores_profile = in.Byte() % 7;
  } else {
    v.sps = sps.data();
    v.sps_size = static_cast<uint16_t>(sps.size());
  }
  v.pps = pps.data();
  v.pps_size = static_cast<uint16_t>(pps.size());
  v.vps = vps.data();
  v.vps_size = static_cast<uint16_t>(vps.size());
  if (setup & 2) mp4_set_video_track(h, &v);

  mp4_audio_track_info_t a{};
  a.timescale = in.U16();
  a.frame_duration = in.Byte();
  a.codec_type = in.Byte() % 4;
  a.sample_rate = in.U16();
  a.channels = in.Byte() % 9;
  a.profile = in.Byte() % 5;
  if (setup & 4) mp4_set_audio_track(h, &a);
  if (setup & 8) {
    mp4_subtitle_track_info_t s{static_cast<uint32_t>(in.Byte() % 4), in.U16()};
    mp4_set_subtitle_track(h, &s);
  }
  if (setup & 16) {
    mp4_time_code_track_info_t t{};
    t.timescale = in.U16();
    t.frame_duration = in.Byte();
    t.number_of_frames = in.Byte();
    mp4_set_time_code_track(h, &t);
  }
  if (setup & 32) {
    const std::vector<uint8_t> key = in.Bytes(in.Byte() % 12), value = in.Bytes(in.Byte() % 12);
    const std::string k(key.begin(), key.end()), val(value.begin(), value.end());
    mp4_set_metadata_ex(h, k.c_str(), value.data(), static_cast<uint32_t>(value.size()),
                        static_cast<int32_t>(in.Byte() % 23), nullptr);
  }

  uint64_t t = 0;
  while (!in.empty()) {
    const uint8_t op = in.Byte();
    t += op >> 3;
    const std::vector<uint8_t> frame = in.Bytes(in.U16() % 8192);
    switch (op & 3) {
      case 0:
        if (op & 4) {
          // A presentation time of its own: small offsets either way, or
          // (high bit) one that may pass 32 bits or reach before 0.
          const uint8_t k = in.Byte();
          const uint64_t pts = (k & 0x80) ? t + (uint64_t{k} << 25) - (uint64_t{1} << 31)
                                          : t + static_cast<uint64_t>(static_cast<int64_t>(k & 0x7F) - 32);
          mp4_write_video_frame_ex(h, frame.data(), static_cast<uint32_t>(frame.size()), t, pts);
        } else {
          mp4_write_video_frame(h, frame.data(), static_cast<uint32_t>(frame.size()), t);
        }
        break;
      case 1: mp4_write_audio_frame(h, frame.data(), static_cast<uint32_t>(frame.size()), t); break;
      case 2: mp4_write_subtitle_frame(h, frame.data(), static_cast<uint32_t>(frame.size()), t); break;
      default: mp4_write_time_code(h, static_cast<uint32_t>(t)); break;
    }
    mp4_get_duration_ms(h);
  }
  // What close will write: the media data ends at the file size so far and
  // the movie box behind it has the size announced now.
  uint64_t mediaEnd = 0;
  mp4_get_file_size(h, &mediaEnd);
  const uint32_t moovSize = mp4_get_moov_size(h);
  const int closed = mp4_close_file(h);
  if (closed == MP4_SUCCESS) {
    const std::vector<uint8_t> file = ReadAll(path);
    std::vector<std::string> types;
    const bool tiled = fuzz::TopLevelTypes(file, &types);
    if (!file.empty() && (!tiled || std::find(types.begin(), types.end(), "moov") == types.end())) {
      std::fprintf(stderr, "malformed file after a successful close (%zu bytes)\n", file.size());
      std::abort();
    }
    if (file.size() != mediaEnd + moovSize) {
      std::fprintf(stderr, "file of %zu bytes, announced %llu + %u\n", file.size(),
                   static_cast<unsigned long long>(mediaEnd), moovSize);
      std::abort();
    }
  }
  std::remove(path.c_str());
  return 0;
}
