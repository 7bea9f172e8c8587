// Safe write through the exports: defaults and refusals, reserved tables
// that fill up, updates past 4 GiB, and a disk that fills mid-recording
// (the library's own fault seam at every write, and for real: a file-size
// limit and a small tmpfs in a child process). A full disk must leave a
// header that describes no frame whose bytes are not in the file, and every
// frame whose bytes (and, for repair, whose records) reached the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_direct_io.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "ctts.h"
#include "safe_recording.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace bvtest;

namespace {

using Call = SafeRecording::Call;
using Options = SafeRecording::Options;

#if defined(__linux__)
size_t ThreadsOfThisProcess() {
  size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) n += task.is_directory() ? 1 : 0;
  return n;
}
#endif

// Safe-mode defaults at create (nothing is opened before the header size is
// known), refusals, and a recording whose reserved tables fill up: the
// frames that fitted stay playable after close.
TEST(SafeWrite, DefaultsRefusalsAndFullTables) {
  TempDir dir;
  const struct {
    uint32_t maxDuration, updateInterval;
    const char* message;
  } defaults[] = {{0, 5, "set max duration to:1800000"},
                  {604800, 5, "set max duration to:604800000"},
                  {60, 0, "update interval is 0, use 30 seconds"}};
  for (const auto& c : defaults) {
    mp4_config_t config = RecordingConfig(MP4_IO_SAFE_WRITE, 0, 8, c.maxDuration);
    config.update_interval = c.updateInterval;
    mp4_handle h = nullptr;
    StdoutCapture cap;
    EXPECT_EQ(MP4_SUCCESS, mp4_create_file_full_ex(dir.File("d.mp4").c_str(), &config, &h)) << c.message;
    EXPECT_FALSE(FileExists(dir.File("d.mp4")));
    EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
    EXPECT_NE(std::string::npos, cap.Take().find(c.message)) << c.message;
  }
  StdoutCapture quiet;
  {
    const mp4_config_t c = RecordingConfig(MP4_IO_SAFE_WRITE, 0, 2, 60);
    mp4_handle h = nullptr;
    ASSERT_EQ(0, mp4_create_file_full_ex(dir.File("refused.mp4").c_str(), &c, &h));
    const mp4_subtitle_track_info_t cc{MP4_SUBTITLE_CEA608, 0};
    EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, mp4_set_subtitle_track(h, &cc));
    const uint8_t frame[] = {0x61, 2, 0, 0, 0x94, 0x20};
    EXPECT_EQ(MP4_ERR_NOT_SUPPORTED, mp4_write_subtitle_frame(h, frame, sizeof(frame), 0));
    // Audio alone: the update interval is counted in video frames.
    const mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC_ADTS, 48000, 2, 2};
    ASSERT_EQ(0, mp4_set_audio_track(h, &a));
    const std::vector<uint8_t>& adts = SafeRecording::Bytes({false, 0});
    EXPECT_EQ(MP4_ERR_INVALID_PARAM, mp4_write_audio_frame(h, adts.data(), static_cast<uint32_t>(adts.size()), 0));
    EXPECT_NE(std::string::npos, quiet.Take().find("invalid video frame duration"));
    mp4_close_file(h);
  }

  // One second reserved: 25 video and 46 audio frames fit.
  Options o;
  o.maxDuration = 1;
  const std::string full = dir.File("full.mp4");
#if defined(__linux__)
  const size_t threads = ThreadsOfThisProcess();
  ASSERT_GE(threads, 1u);
#endif
  SafeRecording rec(full, o);
  ASSERT_EQ(0, rec.rc());
  StdoutCapture cap;
  size_t refused = 0, accepted = 0;
  while (rec.video() < 50) {
    rec.Step();
    EXPECT_TRUE(rec.rc() == 0 || rec.rc() == MP4_ERR_TABLE_FULL) << rec.rc();
    (rec.rc() == 0 ? accepted : refused) += 1;
  }
#if defined(__linux__)
  // The header's promise: safe mode's writes, header updates included, run
  // on the caller's thread, and no writer is left running between calls.
  EXPECT_EQ(threads, ThreadsOfThisProcess());
#endif
  EXPECT_EQ(0, rec.Close());
  EXPECT_NE(std::string::npos, cap.Take().find("reach the max frame num 25"));
  EXPECT_EQ(25u + 46u, accepted);
  EXPECT_EQ(rec.video() + rec.audio() - accepted, refused);
  if (!ConformanceToolsAvailable()) return;
  ExpectPlayable(full);
  auto packets = PacketsByKind(full);
  EXPECT_EQ(25u, packets["video"].size());
  EXPECT_EQ(46u, packets["audio"].size());
}

// Past 4 GiB (a hole in the media data, so nothing near 4 GiB is written):
// updates keep coming and the large-file layout addresses every sample.
TEST(SafeWrite, UpdatesContinuePastFourGiB) {
  if (!ConformanceToolsAvailable()) GTEST_SKIP() << "ffprobe/ffmpeg not available";
  TempDir dir;
  const std::string path = dir.File("big.mp4");
  StdoutCapture quiet;
  Options o;
  o.flags = MP4_FLAG_LARGE_FILE;
  SafeRecording rec(path, o);
  rec.RunUntilVideo(100);
  const uint32_t updatesBefore = rec.muxer().HeaderUpdateCount();
  rec.muxer().SkipMediaBytesForTest((4ull << 30) + 12345);
  rec.RunUntilVideo(300);
  ASSERT_EQ(0, rec.rc());
  EXPECT_GE(rec.muxer().HeaderUpdateCount(), updatesBefore + 3);
  ASSERT_EQ(0, rec.Close());
  ExpectPlayable(path);
  auto packets = PacketsByKind(path);
  EXPECT_EQ(rec.video(), packets["video"].size());
  EXPECT_EQ(rec.audio(), packets["audio"].size());
}

// ---- A disk that fills mid-recording ----

struct Outcome {
  int mountRefused = 0;  // errno of a refused tmpfs mount
  int accepted = 0;      // calls that returned 0 before the first refusal
  int refusal = 0;
  int later = 0;  // a call after the refusal
  int close = 0;
};

// Video times with gaps (frames a capture dropped), so that the time table
// holds many runs.
Options Mode(uint32_t ioMode, uint8_t flags) {
  Options o;
  o.ioMode = ioMode;
  o.flags = flags;
  o.blockNum = 4;
  o.gaps = true;
  o.flushInterval = flags & MP4_FLAG_REPAIR ? 10 : 0;
  return o;
}

Outcome Record(const std::string& path, const Options& o, size_t videoFrames) {
  Outcome out;
  SafeRecording rec(path, o);
  rec.RunUntilVideo(videoFrames);
  out.refusal = rec.rc();
  out.accepted = std::max(0, static_cast<int>(rec.calls()) - (rec.rc() != 0 ? 1 : 0));
  if (rec.rc() != 0) {
    rec.Step();
    out.later = rec.rc();
  }
  out.close = rec.Close();
  return out;
}

// The offset of the first media byte: behind the mdat header.
uint64_t MediaStart(const std::vector<uint8_t>& file) {
  for (uint64_t at = 0; at + 16 <= file.size();) {
    uint64_t size = BE32(file, at);
    const uint32_t header = size == 1 ? 16 : 8;
    if (size == 1) size = BE64(file, at + 8);
    if (FourCC(file, at + 4) == "mdat") return at + header;
    if (size < 8) break;
    at += size;
  }
  return 0;
}

#if !defined(_WIN32) && defined(BV_FFMPEG)
// Records in a child process whose files may not grow past `limit` bytes
// (0: no limit; SIGXFSZ ignored, so writes fail with EFBIG), or whose folder
// is a fresh tmpfs of `tmpfsBytes` in a private mount namespace. The output
// (and the side file) are copied to `path` and `path`.info afterwards.
Outcome InChild(const std::string& path, const Options& m, size_t videoFrames, rlim_t limit, uint64_t tmpfsBytes) {
  Outcome o{0, -1, -1, -1, -1};
  ssize_t got = 0;
  const int status = RunInChild(
      [&](int out) {
        Outcome c;
        std::string target = path;
        const std::string mountPoint = path + ".mnt";
        if (tmpfsBytes != 0) {
          const std::string size = "size=" + std::to_string(tmpfsBytes);
          if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
              mkdir(mountPoint.c_str(), 0700) != 0 ||
              mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, size.c_str()) != 0) {
            c.mountRefused = errno != 0 ? errno : EPERM;
          }
          target = mountPoint + "/out.mp4";
        }
        if (c.mountRefused == 0) {
          std::signal(SIGXFSZ, SIG_IGN);
          const rlimit lim{limit, limit};
          if (limit != 0) setrlimit(RLIMIT_FSIZE, &lim);
          c = Record(target, m, videoFrames);
          if (tmpfsBytes != 0) {
            CopyWithSideFile(target, path);
            umount(mountPoint.c_str());
          }
        }
        return write(out, &c, sizeof(c)) == sizeof(c) ? 0 : 1;
      },
      [&](int, int in) { got = read(in, &o, sizeof(o)); });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == sizeof(o)) << "child status " << status;
  return o;
}
#endif

// The disk fills at any write (the library's own fault seam, so it runs on
// every platform) and for real, in a child process: a file-size limit
// (EFBIG, which has no code of its own) and a small tmpfs (ENOSPC), for safe
// write and for the repair flag. Every call from the refusing one on and
// close report it. No track's header describes a frame whose bytes are not
// in the file, and its time table covers exactly the frames it lists. When
// the fault hits media data (the first write of a call: a call writes its
// media before it updates the header; a real disk fills only there) the
// header holds every frame that reached the disk; a fault inside a header
// update leaves what the update had written so far. What reached the disk
// is the longest run of media bytes equal to the media data of a plain
// recording of the same calls, counted in frames from the clip's own sizes;
// the players see each stream as a prefix of the plain recording's packets
// (times, flags, sizes and data hashes).
TEST(SafeFullDisk, HeaderHoldsExactlyTheFramesThatReachedTheDisk) {
  TempDir plainDir;
  const std::string plainPath = plainDir.File("plain.mp4");
  {
    StdoutCapture quiet;
    ASSERT_EQ(0, Record(plainPath, Mode(MP4_IO_FILE, 0), 600).close);
  }
  const std::vector<uint8_t> plain = ReadFile(plainPath);
  const uint64_t plainStart = MediaStart(plain);
  const auto plainPackets = PacketsByKind(plainPath);
  struct Row {
    std::string name;
    Options mode;
    uint32_t failAt;  // seam: the write that fails
    uint64_t limit, tmpfs;
    int refusal;
  };
  std::vector<Row> rows;
  for (const char* name : {"full.mp4", "full.mov"}) {
    for (uint32_t failAt = 2; failAt < 40; ++failAt) {
      rows.push_back({name, Mode(MP4_IO_SAFE_WRITE, 0), failAt, 0, 0, MP4_ERR_NO_SPACE});
    }
  }
#if !defined(_WIN32) && defined(BV_FFMPEG)
  rows.push_back({"limit.mp4", Mode(MP4_IO_SAFE_WRITE, 0), 0, 400000, 0, MP4_ERR_FAILED});
  rows.push_back({"tmpfs.mp4", Mode(MP4_IO_SAFE_WRITE, 0), 0, 0, 400 * 1024, MP4_ERR_NO_SPACE});
  rows.push_back({"tmpfs_repair.mp4", Mode(MP4_IO_FILE, MP4_FLAG_REPAIR), 0, 0, 400 * 1024, MP4_ERR_NO_SPACE});
#endif
  std::map<std::string, int> mediaFaults;
  int lastAccepted = -1;
  bool mountRefused = false;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.name << ", disk full at write " << row.failAt);
    TempDir dir;
    const std::string path = dir.File(row.name);
    Outcome o;
    StdoutCapture quiet;
    if (row.failAt != 0) {
      bv::bv_direct_io::FailWriteForTest(row.failAt, ENOSPC);
      o = Record(path, row.mode, 150);
      bv::bv_direct_io::FailWriteForTest(0, 0);
    } else {
#if !defined(_WIN32) && defined(BV_FFMPEG)
      o = InChild(path, row.mode, 1200, row.limit, row.tmpfs);
#endif
    }
    const int repaired = row.mode.flags & MP4_FLAG_REPAIR ? mp4_repair_file_ex(path.c_str(), 1) : 0;
    quiet.Take();
    mountRefused |= o.mountRefused != 0;
    if (o.mountRefused != 0) continue;
    if (row.failAt == 0) {
      ASSERT_GT(o.accepted, 100);
    }
    EXPECT_EQ(row.refusal, o.refusal);
    EXPECT_NE(0, o.later);
    EXPECT_NE(0, o.close);
    ASSERT_EQ(0, repaired);
    const std::vector<uint8_t> file = ReadFile(path);
    if (row.limit != 0) {
      EXPECT_LE(file.size(), row.limit);
    }
    const uint64_t start = MediaStart(file);
    ASSERT_NE(0u, start);
    uint64_t same = 0;
    while (start + same < file.size() && plainStart + same < plain.size() &&
           file[start + same] == plain[plainStart + same]) {
      ++same;
    }
    long long onDisk[2] = {0, 0};  // video, audio
    uint64_t end = 0;
    for (const Call& c : SafeRecording::Schedule(row.mode, static_cast<size_t>(o.accepted))) {
      end += SafeRecording::StoredSize(c);
      if (end > same) break;
      ++onDisk[c.video ? 0 : 1];
    }
    // A fault in the media data (the first write of a call: a call writes
    // its media before it updates the header; a real disk fills only there)
    // has the header rewritten for what is on disk: whole time tables, and a
    // block written in part inside the media data, not behind it as a stray
    // box. A fault inside a header update leaves what it had written so far.
    const bool mediaFault = o.accepted != lastAccepted || row.failAt == 0;
    mediaFaults[row.name] += mediaFault;
    const BoxTree tree(file);
    EXPECT_TRUE(!mediaFault || tree.Errors().empty()) << tree.Errors().front();
    ASSERT_FALSE(tree.Top().empty());
    const Box& last = tree.Top().back();
    const bool lastIsMedia = last.type == "mdat" || last.type == "moov";
    EXPECT_TRUE(!mediaFault || (lastIsMedia && last.offset + last.size == file.size()))
        << last.type << " at " << last.offset << " of size " << last.size << " ends the file";
    long long samples[2] = {0, 0};  // a track still hidden holds none
    for (size_t t = 0; t < tree.Count("moov", "trak"); ++t) {
      const std::string stbl = "moov/trak[" + std::to_string(t) + "]/mdia/minf/stbl/";
      const Box* stsz = tree.Find(stbl + "stsz");
      const Box* hdlr = tree.Find("moov/trak[" + std::to_string(t) + "]/mdia/hdlr");
      ASSERT_TRUE(stsz && hdlr);
      const uint32_t n = tree.U32(stsz->PayloadOffset() + 8);
      for (const char* runs : {"stts", "ctts"}) {
        const Box* b = tree.Find(stbl + runs);
        uint64_t covered = 0;
        for (uint32_t e = 0; b && e < tree.U32(b->PayloadOffset() + 4); ++e) {
          covered += tree.U32(b->PayloadOffset() + 8 + 8 * e);
        }
        EXPECT_TRUE(!mediaFault || covered == n || (b == nullptr && runs[0] == 'c')) << runs << " covers " << covered;
      }
      samples[tree.Code(hdlr->PayloadOffset() + 8) == "vide" ? 0 : 1] = n;
    }
    EXPECT_LE(samples[0], onDisk[0]);
    EXPECT_LE(samples[1], onDisk[1]);
    if (mediaFault) {
      EXPECT_EQ(onDisk[0], samples[0]);
      EXPECT_EQ(onDisk[1], samples[1]);
    }
    lastAccepted = o.accepted;
    if (!mediaFault || !ConformanceToolsAvailable()) continue;
    if (row.failAt == 0) {
      ExpectPlayable(path);
      std::printf("[ figures ] %s: %d calls accepted, %lld video and %lld audio frames play\n", row.name.c_str(),
                  o.accepted, samples[0], samples[1]);
    }
    // Whole tables: the players see each stream as the plain recording's
    // first packets.
    auto packets = PacketsByKind(path);
    const char* kinds[] = {"video", "audio"};
    for (int k = 0; k < 2; ++k) {
      const std::vector<std::string>& all = plainPackets.at(kinds[k]);
      ASSERT_LE(samples[k], static_cast<long long>(all.size()));
      EXPECT_TRUE(std::vector<std::string>(all.begin(), all.begin() + samples[k]) == packets[kinds[k]]) << kinds[k];
    }
  }
  EXPECT_GT(mediaFaults["full.mp4"], 3);
  EXPECT_GT(mediaFaults["full.mov"], 3);
  if (mountRefused) GTEST_SKIP() << "this machine refuses a private tmpfs mount (needs CAP_SYS_ADMIN)";
}

// A composition-offset table cut back to its first n samples holds the
// entries of a table that stopped after them. The clip of the recordings has
// no reordered frames, so no recording above reaches this cut. Each list
// starts with a non-zero offset, so that the fresh table has seen one like
// the cut one; the version byte follows every offset ever seen (a negative
// one makes it 1), so only the entries are compared.
TEST(SafeFullDisk, CutOffsetTablesEqualTablesThatStoppedThere) {
  const std::vector<std::vector<int64_t>> lists = {
      {5, 5, 5, 5}, {2, 0, 0, 4, 2, 2, 2, -1, -1, 3}, {-3, 6, 6, 6, 0, 0, 9}};
  for (const std::vector<int64_t>& o : lists) {
    for (uint32_t n = 1; n <= o.size(); ++n) {
      SCOPED_TRACE(testing::Message() << o.size() << " offsets cut to " << n);
      bv::CBufferIO cutIO, freshIO;
      cutIO.SetTarget(nullptr);
      freshIO.SetTarget(nullptr);
      bv::CMp4CttsAtom cut(&cutIO), fresh(&freshIO);
      cut.SetMaxFrame(16);
      fresh.SetMaxFrame(16);
      for (int64_t v : o) cut.AddEntry(v);
      for (uint32_t i = 0; i < n; ++i) fresh.AddEntry(o[i]);
      cut.KeepFirst(n);
      cut.Write();
      fresh.Write();
      EXPECT_EQ(std::vector<uint8_t>(freshIO.Data() + 12, freshIO.Data() + freshIO.Size()),
                std::vector<uint8_t>(cutIO.Data() + 12, cutIO.Data() + cutIO.Size()));
    }
  }
}

}  // namespace
