// Repair mode end to end: recordings cut off with their side file, repaired
// through the export, and checked against the file a normal close writes for
// the same frames, against ffprobe/ffmpeg, and against damaged side files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

namespace fs = std::filesystem;

// Records `plan` with the repair flag up to a side-file flush and keeps a copy
// of both files as a crash would leave them (the copy); then closes the
// recording normally (the reference).
struct CrashCopy {
  std::string closed, crashed;
};

CrashCopy RecordAndCopy(const TempDir& dir, const RecordPlan& plan, size_t videoFrames,
                        const std::string& videoFile = "") {
  CrashCopy c;
  c.closed = dir.File(plan.file);
  c.crashed = dir.File("crashed_" + plan.file);
  StdoutCapture quiet;
  RepairRecorder rec(plan, c.closed);
  rec.videoFile = videoFile;
  // The last call writes the frame that flushes both files.
  const bool recorded = rec.Open() && mp4_repair_set_flush_interval(rec.handle(), 10) == 0 &&
                        rec.WriteUntilVideo(videoFrames);
  CopyWithSideFile(c.closed, c.crashed);
  const int closed = rec.Close();
  quiet.Take();
  EXPECT_TRUE(recorded) << plan.file;
  EXPECT_EQ(MP4_SUCCESS, closed);
  EXPECT_FALSE(FileExists(c.closed + ".info")) << "a normal close deletes the side file";
  return c;
}

// Same frames, same configuration: the repaired file is the closed file, byte
// for byte. The side file carries every value the movie box is built from, so
// there is no exception to list (the movie and track headers hold no clock
// times); colour and pixel shape come back from the parameter sets it carries.
TEST(Repair, RepairedFileEqualsClosedFile) {
  struct Case {
    RecordPlan plan;
    const char* stream;  // Annex-B stream instead of the codec's default
    const char* colour;  // sample entry that must hold a colr box
  };
  const Case cases[] = {
      {{"av.mp4", 0, MP4_VIDEO_H264, "audio_48000_2.aac", MP4_SUBTITLE_CEA608, true, true}, "", nullptr},
      {{"hevc.mov", MP4_FLAG_LARGE_FILE | MP4_FLAG_TIME64, MP4_VIDEO_HEVC, "", 0, false, false}, "", nullptr},
      {{"hi_rate.mp4", MP4_FLAG_TIME64, MP4_VIDEO_H264, "audio_96000_2.aac", MP4_SUBTITLE_CEA708, true, false}, "",
       nullptr},
      {{"prores.mov", MP4_FLAG_LARGE_FILE, MP4_VIDEO_PRORES, "audio_44100_2.aac", 0, false, true}, "", nullptr},
      {{"audio_only.mp4", 0, -1, "audio_48000_1.aac", 0, true, false}, "", nullptr},
      {{"colour.mp4", 0, MP4_VIDEO_H264, "", 0, false, false}, "colour_h264_bt709.h264", "avc1"},
      {{"colour.mov", 0, MP4_VIDEO_HEVC, "", 0, false, false}, "colour_hevc_pq.h265", "hvc1"},
  };
  int round = 0;
  for (const Case& k : cases) {
    const RecordPlan& plan = k.plan;
    TempDir dir;
    const CrashCopy c = RecordAndCopy(dir, plan, k.colour ? 20 : 30, k.stream);
    const bool keep = (round++ % 2) == 0;
    StdoutCapture quiet;
    const int rc = mp4_repair_file_ex(c.crashed.c_str(), keep ? 0 : 1);
    quiet.Take();
    ASSERT_EQ(MP4_SUCCESS, rc) << plan.file;
    EXPECT_EQ(keep, FileExists(c.crashed + ".info")) << plan.file;
    const std::vector<uint8_t> closed = ReadFile(c.closed), repaired = ReadFile(c.crashed);
    EXPECT_TRUE(closed == repaired) << plan.file << ": " << closed.size() << " vs " << repaired.size();
    const BoxTree tree(repaired);
    EXPECT_TRUE(tree.Errors().empty()) << plan.file;
    if (k.colour) {
      EXPECT_NE(nullptr, tree.Find(std::string("moov/trak/mdia/minf/stbl/stsd/") + k.colour + "/colr")) << k.stream;
    }
    ExpectPlayable(c.crashed);
    if (ConformanceToolsAvailable() && plan.audio == "audio_96000_2.aac") {
      const ProbeResult p = Probe(c.crashed);
      ASSERT_NE(nullptr, p.Stream("audio"));
      EXPECT_EQ("96000", p.Stream("audio")->Get("sample_rate"));
      EXPECT_EQ("repaired", p.format.at("TAG:com.example.state")) << "free-form key";
    }
  }
}

// Input we do not control: a side file cut inside a record, ending in zeros,
// carrying a lying length, an unknown record or a sample beyond the output.
// Each ends the usable records; the records before them are repaired.
TEST(Repair, DamagedSideFileEndsTheRecords) {
  const RecordPlan plan{"d.mp4", 0, MP4_VIDEO_H264, "", 0, false, false};
  struct Case {
    const char* name;
    long cut;  // bytes removed from the end of the side file
    std::vector<uint8_t> tail;
    int videoFrames;
  };
  const std::vector<uint8_t> video = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 8};
  std::vector<uint8_t> pastEnd = video;
  pastEnd[18] = 0x7F;  // a sample of 2 GiB
  const Case cases[] = {
      {"intact", 0, {}, 20},
      {"cut inside the last record", 5, {}, 19},
      {"cut after the type byte", 21, {}, 19},
      {"last ten records lost", 10 * 22, {}, 10},
      {"zero tail", 0, std::vector<uint8_t>(4096, 0), 20},
      {"metadata length beyond the file", 0, {1, 1, 0xFF, 0xFF, 0xFF, 0xF0, 'k'}, 20},
      {"video track with a huge parameter set", 0, {2, 0, 0, 0, 25, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0,
                                                    0x01, 0, 0, 0}, 20},
      {"unknown record type", 0, {0x42, 1, 2, 3}, 20},
      {"sample past the end of the output", 0, pastEnd, 20},
  };
  TempDir dir;
  const CrashCopy base = RecordAndCopy(dir, plan, 20);
  for (const Case& k : cases) {
    const std::string out = dir.File("case.mp4");
    WriteFile(out, ReadFile(base.crashed));
    std::vector<uint8_t> info = ReadFile(base.crashed + ".info");
    info.resize(info.size() - static_cast<size_t>(k.cut));
    info.insert(info.end(), k.tail.begin(), k.tail.end());
    WriteFile(out + ".info", info);
    StdoutCapture quiet;
    const int rc = mp4_repair_file_ex(out.c_str(), 1);
    quiet.Take();
    ASSERT_EQ(MP4_SUCCESS, rc) << k.name;
    const BoxTree tree(ReadFile(out));
    EXPECT_TRUE(tree.Errors().empty()) << k.name;
    // Cut right behind the movie, whatever was left of the old tail.
    ASSERT_FALSE(tree.Top().empty());
    EXPECT_EQ("moov", tree.Top().back().type) << k.name;
    const Box* stsz = tree.Find("moov/trak[0]/mdia/minf/stbl/stsz");
    ASSERT_NE(nullptr, stsz) << k.name;
    EXPECT_EQ(uint32_t(k.videoFrames), tree.U32(stsz->PayloadOffset() + 8)) << k.name;
    if (ConformanceToolsAvailable()) {
      const ProbeResult p = Probe(out);
      EXPECT_EQ("", p.errors) << k.name;
      ASSERT_NE(nullptr, p.Stream("video")) << k.name;
      EXPECT_EQ(k.videoFrames, p.Stream("video")->Int("nb_read_frames")) << k.name;
    }
  }
}

// Whenever a repair fails, both files are as they were.
TEST(Repair, FailedRepairLeavesBothFilesUntouched) {
  const RecordPlan plan{"u.mp4", 0, MP4_VIDEO_H264, "audio_48000_2.aac", 0, false, true};
  TempDir dir;
  const CrashCopy base = RecordAndCopy(dir, plan, 10);
  const std::vector<uint8_t> info = ReadFile(base.crashed + ".info");
  // Header (flags and mdat position) and a metadata record only.
  std::vector<uint8_t> onlyMeta(info.begin(), info.begin() + 5);
  const std::vector<uint8_t> meta = {1, 1, 0, 0, 0, 6, 't', 'i', 't', 'l', 'e', 0, 0, 0, 0, 2, 'x', 0, 0, 0, 0, 0};
  onlyMeta.insert(onlyMeta.end(), meta.begin(), meta.end());
  const long mdat = long(BE32(info, 1));
  std::vector<uint8_t> wrongPosition = info;
  wrongPosition[4] ^= 0x04;  // the mdat position no longer points at "mdat"
  std::vector<uint8_t> wrongLayout = info;
  wrongLayout[0] ^= MP4_FLAG_LARGE_FILE;  // a 64-bit mdat size the file does not have
  struct Case {
    const char* name;
    std::vector<uint8_t> info;
    long outputLength;  // -1: as recorded
    int code;
    const char* message;
  };
  const Case cases[] = {
      {"only header and metadata", onlyMeta, -1, MP4_ERR_INVALID_PARAM, "no enough info to repair mp4, repair failed"},
      {"output shorter than the mdat header", info, mdat + 4, MP4_ERR_FAILED, "too short"},
      {"side file without its mdat position", {0x10, 0, 0}, -1, MP4_ERR_FAILED, "nothing to repair"},
      {"mdat position elsewhere", wrongPosition, -1, MP4_ERR_FAILED, "does not belong"},
      {"large-file flag without a large mdat header", wrongLayout, -1, MP4_ERR_FAILED, "does not belong"},
  };
  for (const Case& k : cases) {
    const std::string out = dir.File("case.mp4");
    WriteFile(out, ReadFile(base.crashed));
    if (k.outputLength >= 0) fs::resize_file(out, static_cast<uintmax_t>(k.outputLength));
    WriteFile(out + ".info", k.info);
    const std::vector<uint8_t> outBefore = ReadFile(out), infoBefore = ReadFile(out + ".info");
    StdoutCapture cap;
    const int rc = mp4_repair_file_ex(out.c_str(), 1);
    const std::string log = cap.Take();
    EXPECT_EQ(k.code, rc) << k.name;
    EXPECT_NE(std::string::npos, log.find(k.message)) << k.name << "\n" << log;
    EXPECT_TRUE(outBefore == ReadFile(out)) << k.name;
    EXPECT_TRUE(infoBefore == ReadFile(out + ".info")) << k.name;
  }
  StdoutCapture cap;
  const int missing = mp4_repair_file_ex(dir.File("missing.mp4").c_str(), 1);
  const int null = mp4_repair_file(nullptr, 1);
  cap.Take();
  EXPECT_EQ(MP4_ERR_NO_ENTRY, missing);
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, null);
}

// The side file reaches the disk at the header and every `interval` video
// frames, not in between; intervals below 10 are refused. A create that
// fails after the side file was opened removes it again.
TEST(Repair, SideFileFlushesAtTheIntervalAndGoesWithAFailedCreate) {
  TempDir dir;
  const RecordPlan plan{"f.mp4", 0, MP4_VIDEO_H264, "", 0, false, false};
  const std::string path = dir.File(plan.file);
  StdoutCapture cap;
  RepairRecorder rec(plan, path);
  ASSERT_TRUE(rec.Open());
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_repair_set_flush_interval(rec.handle(), 9));
  EXPECT_EQ(MP4_SUCCESS, mp4_repair_set_flush_interval(rec.handle(), 10));
  const std::string log = cap.Take();
  EXPECT_NE(std::string::npos, log.find("ERROR:info file flush interval(9) too small\n"));
  EXPECT_NE(std::string::npos, log.find("change info file flush interval from 900 to 10\n"));
  StdoutCapture quiet;
  std::vector<uintmax_t> sizes;
  for (size_t frames : {1, 9, 10}) {
    EXPECT_TRUE(rec.WriteUntilVideo(frames));
    sizes.push_back(fs::file_size(path + ".info"));
  }
  EXPECT_EQ(MP4_SUCCESS, rec.Close());
  EXPECT_EQ(5u, sizes[0]) << "flags and mdat position";
  EXPECT_EQ(sizes[0], sizes[1]);
  EXPECT_LT(sizes[0] + 10 * 22, sizes[2]);

  const std::string busy = dir.File("busy.mp4");
  fs::create_directory(busy);  // the output itself cannot be opened
  mp4_handle h = nullptr;
  EXPECT_NE(MP4_SUCCESS, mp4_create_file_ex(busy.c_str(), MP4_FLAG_REPAIR, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_FALSE(FileExists(busy + ".info"));
}

}  // namespace
