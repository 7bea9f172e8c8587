// Arbitrary side files through the repair, against one fixed output file (a
// real recording cut off before its close). Nothing may crash or read out of
// bounds, a successful repair must leave a file whose top-level boxes tile it
// exactly and end with a movie box, and a failed one must leave the output
// byte for byte as it was.
//
// BV_FUZZ_REPAIR_SEED=FILE writes the recording's own side file to FILE (the
// seed corpus is made that way).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "bv_mp4.h"

#include "fuzz_support.h"

namespace {

using fuzz::ReadAll;
using fuzz::WriteAll;

namespace fs = std::filesystem;

std::string g_dir;
std::vector<uint8_t> g_output;  // the cut-off recording

// Records every kind of track and record, then copies both files as a crash
// after a side-file flush would leave them.
bool MakeRecording(const std::string& path, std::vector<uint8_t>* sideFile) {
  mp4_handle h = nullptr;
  if (mp4_create_file_ex(path.c_str(), MP4_FLAG_REPAIR, &h) != 0) return false;
  mp4_repair_set_flush_interval(h, 10);
  mp4_set_metadata(h, "title", "fuzz");
  const int32_t n = 7;
  mp4_set_metadata_ex(h, "com.example.n", &n, 4, MP4_META_INT_BE, "mdta");
  mp4_video_track_info_t v{25, 1, MP4_VIDEO_PRORES, 64, 48, {}, 0, nullptr, 0, nullptr, 0};
  v.prores_profile = MP4_PRORES_HQ;
  const mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC, 48000, 2, 2};
  const mp4_subtitle_track_info_t s{MP4_SUBTITLE_CEA608, 1000};
  const mp4_time_code_track_info_t t{25, 1, 25, 0};
  mp4_set_video_track(h, &v);
  mp4_set_audio_track(h, &a);
  mp4_set_subtitle_track(h, &s);
  mp4_set_time_code_track(h, &t);
  mp4_write_time_code(h, 0);
  std::vector<uint8_t> frame(120);
  for (uint32_t i = 0; i < 20; ++i) {
    for (size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<uint8_t>(i * 31 + k);
    mp4_write_audio_frame(h, frame.data(), 40 + i, uint64_t{i} * 1920);
    const uint8_t cc[] = {0x61, 2, 1, 0, 0x94, static_cast<uint8_t>(0x20 + i)};
    mp4_write_subtitle_frame(h, cc, sizeof(cc), uint64_t{i} * 40);
    mp4_write_video_frame(h, frame.data(), 60 + i, i);
  }
  g_output = ReadAll(path);
  *sideFile = ReadAll(path + ".info");
  mp4_close_file(h);
  return !g_output.empty() && !sideFile->empty();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietStdout();
  g_dir = "/tmp/bv_mp4_fuzz_repair_" + std::to_string(getpid());
  fs::create_directories(g_dir);
  std::vector<uint8_t> side;
  if (!MakeRecording(g_dir + "/rec.mp4", &side)) std::abort();
  if (const char* seed = std::getenv("BV_FUZZ_REPAIR_SEED")) WriteAll(seed, side.data(), side.size());
  std::atexit([] { fs::remove_all(g_dir); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string out = g_dir + "/out.mp4";
  WriteAll(out, g_output.data(), g_output.size());
  WriteAll(out + ".info", data, size);
  const int rc = mp4_repair_file_ex(out.c_str(), 0);
  const std::vector<uint8_t> after = ReadAll(out);
  if (rc != 0) {
    if (after != g_output) std::abort();  // a failed repair changed the file
    return 0;
  }
  // Top-level boxes tile the file; the last is the movie box or the free box
  // that covers what could not be cut.
  std::vector<std::string> t;
  if (!fuzz::TopLevelTypes(after, &t) || t.empty()) std::abort();
  if (t.back() != "moov" && !(t.back() == "free" && t.size() >= 2 && t[t.size() - 2] == "moov")) std::abort();
  return 0;
}
