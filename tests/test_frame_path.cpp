// The frame path's two promises beyond the bytes themselves: frame writers
// of several handles and threads run side by side while a close stays safe,
// and large payloads leave the block buffer's order intact wherever the file
// position stands.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using bvtest::MediaFrame;
using bvtest::TempDir;

namespace {

// Two files, each fed video and audio from two threads at once; one file
// is closed by a fifth thread while its writers go on. Every call answers
// success or "invalid handle" (never anything else, and never success after
// the close), and each file holds exactly the frames its calls accepted,
// decodable to the last one.
TEST(ConcurrentFrameWriters, SameAndOtherHandlesWhileOneCloses) {
  static const std::vector<MediaFrame> video = bvtest::LoadAccessUnits("video_h264.h264");
  static const std::vector<MediaFrame> audio = bvtest::LoadAdtsFrames("audio_48000_2.aac");
  ASSERT_TRUE(!video.empty() && !audio.empty());
  TempDir dir;
  const std::string paths[2] = {dir.File("kept.mp4"), dir.File("closed.mp4")};
  mp4_handle handles[2] = {};
  bvtest::StdoutCapture quiet;
  const mp4_video_track_info_t v = bvtest::H264TrackWithParameterSets();
  const mp4_audio_track_info_t a = bvtest::AacTrack(MP4_AUDIO_AAC_ADTS);
  for (int f = 0; f < 2; ++f) {
    ASSERT_EQ(0, mp4_create_file_ex(paths[f].c_str(), 0, &handles[f]));
    ASSERT_EQ(0, mp4_set_video_track(handles[f], &v));
    ASSERT_EQ(0, mp4_set_audio_track(handles[f], &a));
  }
  std::atomic<int> accepted[2][2] = {};  // [file][0 video, 1 audio]
  std::atomic<int> wrongCodes{0}, acceptedAfterRefusal{0}, progress{0};
  auto writer = [&](int f, bool isAudio) {
    const auto& frames = isAudio ? audio : video;
    bool refused = false;
    for (size_t i = 0; i < frames.size(); ++i) {
      const auto& b = frames[i].bytes;
      const uint32_t n = static_cast<uint32_t>(b.size());
      const int rc = isAudio ? mp4_write_audio_frame(handles[f], b.data(), n, i * 1024)
                             : mp4_write_video_frame(handles[f], b.data(), n, i * 3600);
      if (rc == 0) {
        ++accepted[f][isAudio];
        if (refused) ++acceptedAfterRefusal;
      } else if (rc == MP4_ERR_INVALID_HANDLE) {
        refused = true;
      } else {
        ++wrongCodes;
      }
      ++progress;
    }
  };
  std::vector<std::thread> threads;
  for (int f = 0; f < 2; ++f) {
    threads.emplace_back(writer, f, false);
    threads.emplace_back(writer, f, true);
  }
  int closeRc = -1;
  threads.emplace_back([&] {
    // A file closed before its first frame is empty by design, so the close
    // waits for one frame of each kind in it.
    while (progress.load() < 40 || accepted[1][0].load() == 0 || accepted[1][1].load() == 0) {
      std::this_thread::yield();
    }
    closeRc = mp4_close_file(handles[1]);
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, closeRc);
  EXPECT_EQ(0, mp4_close_file(handles[0]));
  quiet.Take();
  EXPECT_EQ(0, wrongCodes.load());
  EXPECT_EQ(0, acceptedAfterRefusal.load());
  EXPECT_EQ(static_cast<int>(video.size()), accepted[0][0].load());
  EXPECT_EQ(static_cast<int>(audio.size()), accepted[0][1].load());
  if (!bvtest::ConformanceToolsAvailable()) return;
  for (int f = 0; f < 2; ++f) {
    SCOPED_TRACE(paths[f]);
    const bvtest::ProbeResult p = bvtest::Probe(paths[f]);
    EXPECT_EQ("", p.errors);
    for (const char* kind : {"video", "audio"}) {
      const bvtest::ProbedStream* s = p.Stream(kind);
      ASSERT_NE(nullptr, s) << kind;  // the close waited for a frame of each kind
      EXPECT_EQ(accepted[f][kind[0] == 'a'].load(), s->Int("nb_read_frames")) << kind;
    }
    EXPECT_EQ("", bvtest::DecodeErrors(paths[f]));
  }
}

// Large payloads go to the file from the caller's memory after the block's
// bytes, the block topped up to a page boundary first. Wherever the position
// stands (fresh file, after a patch seek, after a read-back, block nearly
// full) the file holds the bytes in the order given.
TEST(FileStreams, LargePayloadsAtEveryPositionKeepTheOrder) {
  const uint32_t block = bv::IFileIOBase::kBlockSize, direct = bv::IFileIOBase::kDirectSize;
  struct Step {
    enum Kind { kWrite, kPrefixed, kSeekStart, kSeekEnd, kReadBack } kind;
    uint32_t n;  // bytes, or the seek target
  };
  const std::vector<std::vector<Step>> cases = {
      {{Step::kWrite, 4093}, {Step::kPrefixed, direct}, {Step::kWrite, 5}, {Step::kPrefixed, direct + 4097}},
      {{Step::kWrite, block - 4100}, {Step::kPrefixed, direct + 1}, {Step::kWrite, 1}},  // no room for the top-up
      {{Step::kWrite, 100}, {Step::kSeekStart, 3}, {Step::kWrite, direct}, {Step::kSeekEnd, 0}, {Step::kWrite, direct}},
      {{Step::kWrite, 7000}, {Step::kReadBack, 16}, {Step::kPrefixed, direct}, {Step::kWrite, 9}},
  };
  TempDir dir;
  const std::wstring path = bvtest::Widen(dir.File("large.bin"));
  uint8_t seed = 1;
  for (size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    std::vector<uint8_t> oracle;
    size_t pos = 0;
    auto put = [&](const uint8_t* p, size_t n) {
      if (pos + n > oracle.size()) oracle.resize(pos + n);
      std::memcpy(oracle.data() + pos, p, n);
      pos += n;
    };
    {
      bv::CAppendFileWriter w;  // reads back too
      FILE* make = std::fopen(dir.File("large.bin").c_str(), "wb");
      ASSERT_NE(nullptr, make);
      std::fclose(make);
      ASSERT_EQ(0, w.Init(path.c_str(), 0, 0));
      for (const Step& s : cases[c]) {
        std::vector<uint8_t> bytes(s.n);
        for (uint8_t& b : bytes) b = seed = static_cast<uint8_t>(seed * 13 + 7);
        switch (s.kind) {
          case Step::kWrite:
            w.Write(bytes.data(), s.n);
            put(bytes.data(), s.n);
            break;
          case Step::kPrefixed: {
            bv::PutLengthPrefixed(w, bytes.data(), s.n);
            const uint8_t len[4] = {uint8_t(s.n >> 24), uint8_t(s.n >> 16), uint8_t(s.n >> 8), uint8_t(s.n)};
            put(len, 4);
            put(bytes.data(), s.n);
            break;
          }
          case Step::kSeekStart:
            w.Seek(s.n, 0);
            pos = s.n;
            break;
          case Step::kSeekEnd:
            w.Seek(0, 2);
            pos = oracle.size();
            break;
          case Step::kReadBack: {
            w.Seek(-static_cast<int64_t>(s.n), 1);
            std::vector<uint8_t> back(s.n);
            w.Read(back.data(), s.n);
            EXPECT_TRUE(std::equal(back.begin(), back.end(), oracle.end() - s.n));
            break;
          }
        }
        ASSERT_EQ(static_cast<int64_t>(pos), w.Ftell());
      }
      EXPECT_TRUE(w.Close());
    }
    EXPECT_TRUE(bvtest::ReadFile(dir.File("large.bin")) == oracle);
  }
}

}  // namespace
