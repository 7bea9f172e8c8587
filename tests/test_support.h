// Shared helpers of the tests: temporary folders, reading files back, and
// capturing the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bv_mp4.h"

namespace bvtest {

// A fresh, empty folder removed with its content at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);
std::wstring Widen(const std::string& utf8);
std::string DataPath(const std::string& name);  // tests/data/<name>

// Captures what the library prints on standard output during its lifetime.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture() { Take(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  std::string Take();  // stops capturing and returns the text

 private:
  bool active_;
};

uint32_t BE32(const std::vector<uint8_t>& b, size_t off);
uint64_t BE64(const std::vector<uint8_t>& b, size_t off);
std::string FourCC(const std::vector<uint8_t>& b, size_t off);
// Byte-for-byte copy, as a crash leaves a file for another process to find.
void CopyFile(const std::string& from, const std::string& to);

// Replaces the file with `bytes` (a failure to write fails the test).
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A recording's configuration at the tests' small safe-write sizes: 4 KiB
// blocks, the reserved header updated every second.
mp4_config_t RecordingConfig(uint32_t ioMode, uint8_t flags, uint32_t blockNum, uint32_t maxDuration);

}  // namespace bvtest

// ---- Recordings of the committed clip and the checks made on them ----
#include <functional>

namespace bvtest {

// ffprobe reads the file silently and ffmpeg decodes every frame (where the
// tools are installed).
void ExpectPlayable(const std::string& path);
// How often `what` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& what);
// Copies a recording and its side file, as a crash at this moment would leave
// them for another process.
void CopyWithSideFile(const std::string& from, const std::string& to);
// Declares on `h` the clip's H.264 video (parameter sets up front, the given
// frame duration; 0 lets the library measure both tracks'), its ADTS audio,
// CEA-608 captions (except in safe write) and a time code, sets a title and a
// free-form key, then records `frames` steps of two audio frames, a caption
// and a video frame, so that a step ends on the call that may flush a side
// file. The ninth video frame comes late and the last one early, so that the
// time-to-sample table holds several runs and its last delta differs. Every
// call's result goes to `result`.
void RecordClip(mp4_handle h, bool safeWrite, size_t frames, const std::function<void(int)>& result,
                uint64_t frameDuration = 3600);

}  // namespace bvtest
