// The same frames give the same file on every platform. The Linux suite
// keeps its recordings in the folder named by BV_MP4_PLATFORM_BYTES (the
// test command sets it); the Windows suite, run afterwards under wine with
// the same folder, records the same frames and compares byte for byte. A
// recording cut off is not repeatable between runs, so the damaged pair the
// Linux suite kept is repaired on both and the repairs are compared.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "repair_recorder.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Bytes = std::vector<uint8_t>;

#ifdef _WIN32
constexpr bool kReferencePlatform = false;
#else
constexpr bool kReferencePlatform = true;
#endif

void WriteBytes(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  EXPECT_EQ(bytes.size(), std::fwrite(bytes.data(), 1, bytes.size(), f)) << path;
  std::fclose(f);
}

// Where two files part: the offset and the innermost box holding it.
std::string FirstDifference(const Bytes& ours, const Bytes& theirs) {
  size_t i = 0;
  while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i]) ++i;
  std::string where;
  const BoxTree tree(theirs);
  const std::vector<Box>* level = &tree.Top();
  for (bool deeper = true; deeper;) {
    deeper = false;
    for (const Box& b : *level) {
      if (i >= b.offset && i < b.offset + b.size) {
        where += "/" + b.type;
        level = &b.children;
        deeper = true;
        break;
      }
    }
  }
  return "sizes " + std::to_string(ours.size()) + " and " + std::to_string(theirs.size()) + ", first difference at " +
         std::to_string(i) + " in " + (where.empty() ? "?" : where);
}

// Plain recordings: every track kind, both flavours, both layouts.
const RecordPlan kPlans[] = {
    {"av_cc_meta_tc.mp4", 0, MP4_VIDEO_H264, "audio_48000_2.aac", MP4_SUBTITLE_CEA608, true, true},
    {"hevc_large_time64.mov", MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, MP4_VIDEO_HEVC, "audio_44100_2.aac", 0, false,
     false},
    {"prores_aac.mov", MP4_FLAG_LARGE_FILE, MP4_VIDEO_PRORES, "audio_44100_2.aac", 0, true, true},
    {"h264_cea708_time64.mp4", MP4_FLAG_TIME64, MP4_VIDEO_H264, "audio_96000_2.aac", MP4_SUBTITLE_CEA708, false,
     false},
    {"audio_only.mp4", 0, -1, "audio_22050_6.aac", 0, true, false},
};

bool RecordPlain(const RecordPlan& plan, const std::string& path) {
  StdoutCapture quiet;
  RepairRecorder rec(plan, path);
  return rec.Open() && rec.WriteUntilVideo(60) && rec.Close() == MP4_SUCCESS;
}

// Safe write with its header updated in place every second of video.
bool RecordSafe(const std::string& path) {
  StdoutCapture quiet;
  const mp4_config_t c = RecordingConfig(MP4_IO_SAFE_WRITE, 0, 8, 120);
  mp4_handle h = nullptr;
  if (mp4_create_file_full_ex(path.c_str(), &c, &h) != MP4_SUCCESS) return false;
  const std::vector<MediaFrame> video = LoadAccessUnits("video_h264.h264");
  const std::vector<MediaFrame> audio = LoadAdtsFrames("audio_48000_2.aac");
  const mp4_video_track_info_t v = H264TrackWithParameterSets();
  const mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
  bool ok = mp4_set_video_track(h, &v) == MP4_SUCCESS && mp4_set_audio_track(h, &a) == MP4_SUCCESS;
  size_t ai = 0;
  for (size_t vi = 0; ok && vi < video.size(); ++vi) {
    for (; ok && ai < audio.size() && ai * 1024 * 25 <= vi * 48000; ++ai) {
      ok = mp4_write_audio_frame(h, audio[ai].bytes.data(), static_cast<uint32_t>(audio[ai].bytes.size()),
                                 ai * 1024) == MP4_SUCCESS;
    }
    ok = ok && mp4_write_video_frame(h, video[vi].bytes.data(), static_cast<uint32_t>(video[vi].bytes.size()),
                                     vi * 3600) == MP4_SUCCESS;
  }
  return mp4_close_file(h) == MP4_SUCCESS && ok;
}

// A repair-mode recording as a kill leaves it: both files copied right after
// the side file's flush, before the close.
bool RecordCrashed(const std::string& path) {
  const RecordPlan plan = {"crashed.mov", 0, MP4_VIDEO_H264, "audio_48000_2.aac", MP4_SUBTITLE_CEA608, true, true};
  const std::string live = path + ".live.mov";
  StdoutCapture quiet;
  RepairRecorder rec(plan, live);
  const bool ok = rec.Open() && mp4_repair_set_flush_interval(rec.handle(), 10) == MP4_SUCCESS &&
                  rec.WriteUntilVideo(40);
  WriteBytes(path, ReadFile(live));
  WriteBytes(path + ".info", ReadFile(live + ".info"));
  rec.Close();
  std::remove(live.c_str());
  return ok;
}

bool Repair(const std::string& path) {
  StdoutCapture quiet;
  return mp4_repair_file_ex(path.c_str(), 1) == MP4_SUCCESS;
}

// Plain recordings, safe write as closed, and a repair after a kill: the
// Linux files are the reference, those made on Windows must equal them.
TEST(PlatformBytes, RecordingsEqualTheReferencePlatformsByteForByte) {
  const char* env = std::getenv("BV_MP4_PLATFORM_BYTES");
  TempDir scratch;
  const std::string refDir = env != nullptr && *env != '\0' ? env : scratch.path();
  if (!kReferencePlatform && (env == nullptr || !FileExists(refDir + "/crashed.mov")))
    GTEST_SKIP() << "no reference recordings: set BV_MP4_PLATFORM_BYTES to the folder the Linux suite filled";
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::u8path(refDir), ec);

  TempDir dir;
  std::vector<std::string> names;
  for (const RecordPlan& plan : kPlans) {
    EXPECT_TRUE(RecordPlain(plan, dir.File(plan.file))) << plan.file;
    names.push_back(plan.file);
  }
  EXPECT_TRUE(RecordSafe(dir.File("safe.mp4")));
  names.push_back("safe.mp4");
  EXPECT_TRUE(RecordCrashed(dir.File("own_crashed.mov")));
  names.push_back("own_crashed.mov");
  names.push_back("own_crashed.mov.info");
  if (kReferencePlatform) {
    ASSERT_TRUE(RecordCrashed(refDir + "/crashed.mov"));
  }
  // The repair works on the pair the reference platform kept.
  WriteBytes(dir.File("crashed.mov"), ReadFile(refDir + "/crashed.mov"));
  WriteBytes(dir.File("crashed.mov.info"), ReadFile(refDir + "/crashed.mov.info"));
  EXPECT_TRUE(Repair(dir.File("crashed.mov")));
  names.push_back("crashed.mov");

  for (const std::string& name : names) {
    const Bytes ours = ReadFile(dir.File(name));
    ASSERT_FALSE(ours.empty()) << name;
    // The repaired pair sits under its own name beside the damaged one.
    const std::string ref = refDir + "/" + (name == "crashed.mov" ? "repaired.mov" : name);
    if (kReferencePlatform) {
      WriteBytes(ref, ours);
      // The damaged pair plays only once repaired.
      if (name.rfind("own_crashed", 0) == 0 || !ConformanceToolsAvailable()) continue;
      EXPECT_EQ("", Probe(dir.File(name)).errors) << name;
      EXPECT_EQ("", DecodeErrors(dir.File(name))) << name;
    } else {
      const Bytes theirs = ReadFile(ref);
      ASSERT_FALSE(theirs.empty()) << ref;
      EXPECT_TRUE(ours == theirs) << name << ": " << FirstDifference(ours, theirs);
    }
  }
}

}  // namespace
