// A disk that fills mid-recording, for real: a file-size limit (EFBIG) and a
// small tmpfs (ENOSPC), each in a child process. A safe-write file must then
// play every frame whose bytes reached the disk, and a repaired file every
// frame whose bytes and record did. Oracles: the frames' own sizes (where
// each accepted frame lies in the file, computed here from the clip), the
// file's size, ffprobe's frame counts, ffmpeg's decode and the decoded
// pictures' hashes against the clip's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "box_reader.h"
#include "bv_direct_io.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "ctts.h"
#include "safe_recording.h"
#include "stts.h"
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

namespace {

using bvtest::ReadFile;
using bvtest::SafeRecording;
using Call = SafeRecording::Call;
using Options = SafeRecording::Options;

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
    uint64_t size = bvtest::BE32(file, at);
    const uint32_t header = size == 1 ? 16 : 8;
    if (size == 1) size = bvtest::BE64(file, at + 8);
    if (bvtest::FourCC(file, at + 4) == "mdat") return at + header;
    if (size < 8) break;
    at += size;
  }
  return 0;
}

// Video and audio frames among the first `accepted` calls whose bytes lie
// wholly in the file's first `end` bytes.
struct Counts {
  long long video = 0, audio = 0;
  std::vector<size_t> videoFrames;
};
Counts FramesWithin(const Options& o, int accepted, uint64_t start, uint64_t end) {
  Counts n;
  for (const Call& c : SafeRecording::Schedule(o, static_cast<size_t>(accepted))) {
    start += SafeRecording::StoredSize(c);
    if (start > end) break;
    if (c.video) {
      ++n.video;
      n.videoFrames.push_back(c.index);
    } else {
      ++n.audio;
    }
  }
  return n;
}

#if !defined(_WIN32) && defined(BV_FFMPEG)

// Records in a child process whose files may not grow past `limit` bytes
// (0: no limit; SIGXFSZ ignored, so writes fail with EFBIG), or whose folder
// is a fresh tmpfs of `tmpfsBytes` in a private mount namespace. The output
// (and the side file) are copied to `path` and `path`.info afterwards.
Outcome InChild(const std::string& path, const Options& m, size_t videoFrames, rlim_t limit, uint64_t tmpfsBytes) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::freopen("/dev/null", "w", stdout);
    Outcome o;
    std::string target = path;
    const std::string mountPoint = path + ".mnt";
    if (tmpfsBytes != 0) {
      const std::string size = "size=" + std::to_string(tmpfsBytes);
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mkdir(mountPoint.c_str(), 0700) != 0 || mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, size.c_str()) != 0) {
        o.mountRefused = errno != 0 ? errno : EPERM;
      }
      target = mountPoint + "/out.mp4";
    }
    if (o.mountRefused == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      if (limit != 0) {
        const rlimit lim{limit, limit};
        setrlimit(RLIMIT_FSIZE, &lim);
      }
      o = Record(target, m, videoFrames);
      if (tmpfsBytes != 0) {
        const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &none);
        for (const char* ext : {"", ".info"}) {
          if (bvtest::FileExists(target + ext)) bvtest::CopyFile(target + ext, path + ext);
        }
        umount(mountPoint.c_str());
      }
    }
    const ssize_t put = write(fds[1], &o, sizeof(o));
    _exit(put == sizeof(o) ? 0 : 1);
  }
  close(fds[1]);
  Outcome o{0, -1, -1, -1, -1};
  const ssize_t got = read(fds[0], &o, sizeof(o));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == sizeof(o)) << "child status " << status;
  return o;
}

// The MD5 of each decoded picture, in order.
std::vector<std::string> PictureHashes(const std::string& path) {
  const std::string out =
      bvtest::RunCommand(std::string(BV_FFMPEG) + " -nostdin -v error -i '" + path +
                         "' -map 0:v -fps_mode passthrough -f framemd5 -");
  std::vector<std::string> hashes;
  size_t at = 0;
  while (at < out.size()) {
    const size_t eol = out.find('\n', at);
    const std::string line = out.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
    at = eol == std::string::npos ? out.size() : eol + 1;
    if (line.empty() || line[0] == '#') continue;
    hashes.push_back(line.substr(line.rfind(',') + 1));
  }
  return hashes;
}

// The disk fills mid-recording. The refusing call and every later one fail,
// close reports the error; the file then plays exactly the frames whose
// bytes (and, for repair, whose records) reached the disk, decoded as the
// clip itself decodes.
TEST(SafeFullDisk, FileKeepsEveryFrameThatReachedTheDisk) {
  if (!bvtest::ConformanceToolsAvailable()) GTEST_SKIP() << "needs ffprobe and ffmpeg";
  constexpr size_t kVideoFrames = 1200;
  const struct {
    const char* name;
    Options mode;
    rlim_t limit;
    uint64_t tmpfs;
    int refusal;  // result of the refusing call
  } cases[] = {
      {"safe write under a file-size limit", Mode(MP4_IO_SAFE_WRITE, 0), 400000, 0, MP4_ERR_FAILED},  // EFBIG has no code of its own
      {"safe write on a small tmpfs", Mode(MP4_IO_SAFE_WRITE, 0), 0, 400 * 1024, MP4_ERR_NO_SPACE},
      {"repair on a small tmpfs", Mode(MP4_IO_FILE, MP4_FLAG_REPAIR), 0, 400 * 1024, MP4_ERR_NO_SPACE},
  };
  bool mountRefused = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bvtest::TempDir dir;
    const std::string path = dir.File("full.mp4");
    const Outcome o = InChild(path, c.mode, kVideoFrames, c.limit, c.tmpfs);
    if (o.mountRefused != 0) {
      mountRefused = true;
      continue;
    }
    ASSERT_GT(o.accepted, 100);
    EXPECT_EQ(c.refusal, o.refusal);
    EXPECT_NE(0, o.later);
    EXPECT_NE(0, o.close);
    const bool repair = c.mode.flags & MP4_FLAG_REPAIR;
    if (repair) {
      bvtest::StdoutCapture quiet;
      ASSERT_EQ(0, mp4_repair_file_ex(path.c_str(), 1));
    }
    const std::vector<uint8_t> file = ReadFile(path);
    if (c.limit != 0) {
      EXPECT_LE(file.size(), c.limit);
    }
    const uint64_t start = MediaStart(file);
    ASSERT_NE(0u, start);
    // Repair appends its movie box behind the media data.
    const uint64_t mediaEnd = repair ? start - 8 + bvtest::BE32(file, start - 8) : file.size();
    const Counts want = FramesWithin(c.mode, o.accepted, start, mediaEnd);

    const bvtest::ProbeResult probe = bvtest::Probe(path);
    EXPECT_EQ("", probe.errors);
    EXPECT_EQ("", bvtest::DecodeErrors(path));
    ASSERT_NE(nullptr, probe.Stream("video"));
    ASSERT_NE(nullptr, probe.Stream("audio"));
    EXPECT_EQ(want.video, probe.Stream("video")->Int("nb_read_frames"));
    EXPECT_EQ(want.audio, probe.Stream("audio")->Int("nb_read_frames"));
    std::printf("[ figures ] %s: %d calls accepted, %lld video and %lld audio frames play\n", c.name, o.accepted,
                probe.Stream("video")->Int("nb_read_frames"), probe.Stream("audio")->Int("nb_read_frames"));

    // The pictures are the clip's own: its frames, looped, decoded alone.
    std::vector<uint8_t> clip;
    for (size_t f : want.videoFrames) {
      const std::vector<uint8_t>& au = SafeRecording::Bytes({true, f});
      clip.insert(clip.end(), au.begin(), au.end());
    }
    bvtest::WriteFile(dir.File("clip.h264"), clip);
    EXPECT_EQ(PictureHashes(dir.File("clip.h264")), PictureHashes(path));
  }
  if (mountRefused) GTEST_SKIP() << "this machine refuses a private tmpfs mount (needs CAP_SYS_ADMIN)";
}

#endif

// A run-length table cut back to its first n samples is the table of a
// recording that stopped after them: the same bytes, and the cut reports
// the decoding time it removed and the step to the last kept sample.
TEST(SafeFullDisk, CutTimeTablesEqualTablesThatStoppedThere) {
  const std::vector<std::vector<uint64_t>> times = {
      {0, 10, 20, 30, 40},
      {0, 10, 20, 25, 30, 35, 50, 65, 80, 81},
      {7, 9, 9, 20, 31, 42, 43, 44, 100},
  };
  // Each list starts with a non-zero offset, so that the fresh table has
  // seen one like the cut one.
  const std::vector<std::vector<int64_t>> offsets = {
      {5, 5, 5, 5},
      {2, 0, 0, 4, 2, 2, 2, -1, -1, 3},
      {-3, 6, 6, 6, 0, 0, 9},
  };
  auto bytes = [](bv::CMp4Atom& box, bv::CBufferIO& io) {
    box.Write();
    return std::vector<uint8_t>(io.Data(), io.Data() + io.Size());
  };
  for (const std::vector<uint64_t>& t : times) {
    for (uint32_t n = 0; n <= t.size(); ++n) {
      SCOPED_TRACE(testing::Message() << t.size() << " times cut to " << n);
      bv::CBufferIO cutIO, freshIO;
      cutIO.SetTarget(nullptr);
      freshIO.SetTarget(nullptr);
      bv::CMp4SttsAtom cut(&cutIO), fresh(&freshIO);
      for (uint64_t v : t) cut.AddEntry(v);
      for (uint32_t i = 0; i < n; ++i) fresh.AddEntry(t[i]);
      uint32_t lastDelta = 99;
      const uint64_t span = cut.KeepFirst(n, &lastDelta);
      EXPECT_EQ(n == 0 ? 0 : t.back() - t[n - 1], n == 0 ? 0 : span);
      EXPECT_EQ(n >= 2 ? t[n - 1] - t[n - 2] : 0, lastDelta);
      EXPECT_EQ(bytes(fresh, freshIO), bytes(cut, cutIO));
    }
  }
  for (const std::vector<int64_t>& o : offsets) {
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
      const std::vector<uint8_t> a = bytes(fresh, freshIO), b = bytes(cut, cutIO);
      // The version byte follows every offset ever seen (a negative one
      // makes it 1), so only the entries are compared.
      ASSERT_EQ(a.size(), b.size());
      EXPECT_EQ(std::vector<uint8_t>(a.begin() + 12, a.end()), std::vector<uint8_t>(b.begin() + 12, b.end()));
    }
  }
}

// A disk that fills at any write (the library's own fault seam, so it runs
// on every platform): every call from the refusing one on and close report
// it, and no track's header describes a frame whose bytes are not in the
// file. When the fault hits media data (the first write of a call: a call
// writes its media before it updates the header) the header holds every
// frame that reached the disk; a fault inside a header update leaves what
// the update had written so far. What reached the disk is read from the
// file: the longest run of media bytes that equals the media data of a
// plain recording of the same calls.
TEST(SafeFullDisk, DiskFullAtAnyWriteLeavesAHeaderOfWhatIsOnDisk) {
  constexpr size_t kVideoFrames = 150;
  const Options safe = Mode(MP4_IO_SAFE_WRITE, 0);
  bvtest::TempDir plainDir;
  bvtest::StdoutCapture quiet;
  ASSERT_EQ(0, Record(plainDir.File("plain.mp4"), Mode(MP4_IO_FILE, 0), kVideoFrames).close);
  const std::vector<uint8_t> plain = ReadFile(plainDir.File("plain.mp4"));
  const uint64_t plainStart = MediaStart(plain);
  for (const char* name : {"full.mp4", "full.mov"}) {
    int lastAccepted = -1;
    int mediaFaults = 0;
    for (uint32_t failAt = 2; failAt < 40; ++failAt) {
      SCOPED_TRACE(testing::Message() << name << ", disk full at write " << failAt);
      bvtest::TempDir dir;
      const std::string path = dir.File(name);
      bv::bv_direct_io::FailWriteForTest(failAt, ENOSPC);
      const Outcome o = Record(path, safe, kVideoFrames);
      bv::bv_direct_io::FailWriteForTest(0, 0);
      EXPECT_EQ(MP4_ERR_NO_SPACE, o.refusal);
      EXPECT_EQ(MP4_ERR_NO_SPACE, o.later);
      EXPECT_EQ(MP4_ERR_NO_SPACE, o.close);
      const std::vector<uint8_t> file = ReadFile(path);
      const uint64_t start = MediaStart(file);
      uint64_t same = 0;
      while (start + same < file.size() && plainStart + same < plain.size() &&
             file[start + same] == plain[plainStart + same]) {
        ++same;
      }
      const Counts onDisk = FramesWithin(safe, o.accepted, 0, same);
      const bvtest::BoxTree tree(file);
      long long samples[2] = {0, 0};  // video, audio (a track still hidden holds none)
      for (size_t t = 0; t < tree.Count("moov", "trak"); ++t) {
        const bvtest::Box* stsz = tree.Find("moov/trak[" + std::to_string(t) + "]/mdia/minf/stbl/stsz");
        const bvtest::Box* hdlr = tree.Find("moov/trak[" + std::to_string(t) + "]/mdia/hdlr");
        ASSERT_TRUE(stsz != nullptr && hdlr != nullptr);
        samples[tree.Code(hdlr->PayloadOffset() + 8) == "vide" ? 0 : 1] = tree.U32(stsz->PayloadOffset() + 8);
      }
      EXPECT_LE(samples[0], onDisk.video);
      EXPECT_LE(samples[1], onDisk.audio);
      if (o.accepted != lastAccepted) {
        ++mediaFaults;
        EXPECT_EQ(onDisk.video, samples[0]);
        EXPECT_EQ(onDisk.audio, samples[1]);
      }
      lastAccepted = o.accepted;
    }
    EXPECT_GT(mediaFaults, 3) << name;
  }
}

}  // namespace
