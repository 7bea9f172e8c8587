// The same frames give the same file on every platform. The Linux suite
// keeps its recordings in the folder named by BV_MP4_PLATFORM_BYTES (the
// test command sets it); the Windows suite, run afterwards under wine with
// the same folder, records the same frames and compares byte for byte. A
// recording cut off is not repeatable between runs, so the damaged pair the
// Linux suite kept is repaired on both and the repairs are compared.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_direct_io.h"
#include "bv_mp4.h"
#include "repair_recorder.h"
#include "safe_recording.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Bytes = std::vector<uint8_t>;

#ifdef _WIN32
constexpr bool kReferencePlatform = false;
#else
constexpr bool kReferencePlatform = true;
#endif

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

// Safe write with its header updated in place every second of video; with
// `failAt`, the disk is full from that write on.
bool RecordSafe(const std::string& path, uint32_t failAt) {
  SafeRecording::Options o;
  o.blockNum = 4;
  o.gaps = true;
  bv::bv_direct_io::FailWriteForTest(failAt, ENOSPC);
  SafeRecording rec(path, o);
  rec.RunUntilVideo(150);
  const int rc = rec.Close();
  bv::bv_direct_io::FailWriteForTest(0, 0);
  return failAt == 0 ? rc == MP4_SUCCESS : rc == MP4_ERR_NO_SPACE;
}

// A repair-mode recording as a kill leaves it: both files copied right after
// the side file's flush, before the close.
bool RecordCrashed(const std::string& path) {
  const RecordPlan plan = {"crashed.mov", 0, MP4_VIDEO_H264, "audio_48000_2.aac", MP4_SUBTITLE_CEA608, true, true};
  const std::string live = path + ".live.mov";
  RepairRecorder rec(plan, live);
  const bool ok = rec.Open() && mp4_repair_set_flush_interval(rec.handle(), 10) == MP4_SUCCESS &&
                  rec.WriteUntilVideo(40);
  CopyWithSideFile(live, path);
  rec.Close();
  std::remove(live.c_str());
  return ok;
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
  StdoutCapture quiet;
  for (const RecordPlan& plan : kPlans) {
    RepairRecorder rec(plan, dir.File(plan.file));
    EXPECT_TRUE(rec.Open() && rec.WriteUntilVideo(60) && rec.Close() == MP4_SUCCESS) << plan.file;
    names.push_back(plan.file);
  }
  // Disk full in the head, in a media write and in a header update.
  for (const auto& safe : {std::make_pair("safe.mp4", 0u), std::make_pair("safe_full.mp4", 3u),
                           std::make_pair("safe_full.mov", 17u), std::make_pair("safe_upd.mp4", 20u)}) {
    EXPECT_TRUE(RecordSafe(dir.File(safe.first), safe.second)) << safe.first;
    names.push_back(safe.first);
  }
  EXPECT_TRUE(RecordCrashed(dir.File("own_crashed.mov")));
  names.push_back("own_crashed.mov");
  names.push_back("own_crashed.mov.info");
  if (kReferencePlatform) {
    ASSERT_TRUE(RecordCrashed(refDir + "/crashed.mov"));
  }
  // The repair works on the pair the reference platform kept.
  CopyWithSideFile(refDir + "/crashed.mov", dir.File("crashed.mov"));
  EXPECT_EQ(MP4_SUCCESS, mp4_repair_file_ex(dir.File("crashed.mov").c_str(), 1));
  names.push_back("crashed.mov");
  quiet.Take();

  for (const std::string& name : names) {
    const Bytes ours = ReadFile(dir.File(name));
    ASSERT_FALSE(ours.empty()) << name;
    // A closed file ends with its media data or movie: padding after it
    // would read as a box running to the end of the file, which strict
    // readers refuse.
    const bool damaged = name.find("_full") != std::string::npos || name.find("_upd") != std::string::npos ||
                         name.rfind("own_crashed", 0) == 0;
    if (!damaged) {
      const BoxTree tree(ours);
      ASSERT_FALSE(tree.Top().empty()) << name;
      const Box& last = tree.Top().back();
      EXPECT_TRUE(last.type == "mdat" || last.type == "moov") << name << ": " << last.type;
      EXPECT_EQ(ours.size(), last.offset + last.size) << name;
    }
    // The repaired pair sits under its own name beside the damaged one.
    const std::string ref = refDir + "/" + (name == "crashed.mov" ? "repaired.mov" : name);
    if (kReferencePlatform) {
      WriteFile(ref, ours);
      // The damaged pair plays only once repaired.
      if (!damaged) ExpectPlayable(dir.File(name));
    } else {
      const Bytes theirs = ReadFile(ref);
      ASSERT_FALSE(theirs.empty()) << ref;
      size_t i = 0;
      while (i < ours.size() && i < theirs.size() && ours[i] == theirs[i]) ++i;
      EXPECT_TRUE(ours == theirs) << name << ": sizes " << ours.size() << " and " << theirs.size()
                                  << ", first difference at " << i;
    }
  }
}

}  // namespace
