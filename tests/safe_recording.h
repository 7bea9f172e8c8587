// The recording the safe-write, full-disk and platform tests share: the
// H.264 clip (90 kHz, 25 fps) and the 48 kHz stereo ADTS clip, looped,
// written through the exports one frame per step in time order (video first
// on a tie). A test can tell which bytes each call stored, and the muxer
// behind the handle shows its header update count.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "Mp4Muxer.h"
#include "mp4_registry.h"

namespace bvtest {

class SafeRecording {
 public:
  struct Options {
    uint32_t ioMode = MP4_IO_SAFE_WRITE;
    uint8_t flags = 0;
    uint32_t blockNum = 2, maxDuration = 60;
    uint32_t flushInterval = 0;  // side-file flush every n video frames (repair flag)
    uint64_t videoStart = 0;     // 90 kHz ticks
    long long leadMs = 0;        // video written this much ahead of the audio it goes with
    bool gaps = false;           // video times skip frames, as a capture that drops some
  };
  struct Call {
    bool video;
    size_t index;  // frame number among the calls of its kind
  };

  SafeRecording(const std::string& path, const Options& o);
  ~SafeRecording();
  SafeRecording(const SafeRecording&) = delete;
  SafeRecording& operator=(const SafeRecording&) = delete;

  // Result of the last call, creation and track declarations included.
  int rc() const { return rc_; }
  // Writes the next frame; true when the header was updated during it.
  bool Step();
  // Steps until `videoFrames` video frames were written or a call fails.
  void RunUntilVideo(size_t videoFrames);
  int Close();
  // Handles are registry tokens: the muxer is found as the exports find it.
  bv::CMp4Muxer& muxer() const {
    std::lock_guard<std::recursive_mutex> lock(bv::LibraryLock());
    return *bv::LookupHandle(h_, "muxer");
  }
  size_t video() const { return video_; }
  size_t audio() const { return audio_; }
  size_t calls() const { return video_ + audio_; }
  // The first `n` calls a recording with these options makes.
  static std::vector<Call> Schedule(const Options& o, size_t n);
  // Bytes a call adds to the media data: start codes become 4-byte lengths
  // (a 3-byte one adds a byte), ADTS headers are dropped.
  static uint64_t StoredSize(const Call& c);
  // The frame bytes a call hands over.
  static const std::vector<uint8_t>& Bytes(const Call& c);

 private:
  static uint64_t VideoTime(const Options& o, uint64_t i);
  static bool VideoNext(const Options& o, size_t video, size_t audio);

  Options o_;
  mp4_handle h_ = nullptr;
  int rc_ = 0;
  size_t video_ = 0, audio_ = 0;
};

// ffprobe's packets of each kind of stream ("video", "audio", ...) in file
// order, one line each: pts, dts, flags, size and the MD5 of the data.
// Empty where the tools are not installed.
std::map<std::string, std::vector<std::string>> PacketsByKind(const std::string& path);

#if !defined(_WIN32)
// Runs `child` in a forked process (standard output to /dev/null) that exits
// with its result; `parent` runs meanwhile with the child's pid and the read
// end of a pipe whose write end `child` gets. Returns the wait status.
int RunInChild(const std::function<int(int out)>& child, const std::function<void(int pid, int in)>& parent);
#endif

}  // namespace bvtest
