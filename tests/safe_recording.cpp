#include "safe_recording.h"

#include <sstream>

#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#endif

namespace bvtest {

namespace {

const std::vector<MediaFrame>& Video() {
  static const std::vector<MediaFrame> v = LoadAccessUnits("video_h264.h264");
  return v;
}
const std::vector<MediaFrame>& Audio() {
  static const std::vector<MediaFrame> a = LoadAdtsFrames("audio_48000_2.aac");
  return a;
}

}  // namespace

SafeRecording::SafeRecording(const std::string& path, const Options& o) : o_(o) {
  const mp4_config_t c = RecordingConfig(o.ioMode, o.flags, o.blockNum, o.maxDuration);
  if ((rc_ = mp4_create_file_full_ex(path.c_str(), &c, &h_)) != 0) return;
  const mp4_video_track_info_t v = H264TrackWithParameterSets();
  const mp4_audio_track_info_t a = AacTrack(MP4_AUDIO_AAC_ADTS);
  rc_ = mp4_set_video_track(h_, &v);
  if (rc_ == 0) rc_ = mp4_set_audio_track(h_, &a);
  if (rc_ == 0 && o.flushInterval != 0) rc_ = mp4_repair_set_flush_interval(h_, o.flushInterval);
}

SafeRecording::~SafeRecording() {
  if (h_ != nullptr) mp4_close_file(h_);
}

uint64_t SafeRecording::VideoTime(const Options& o, uint64_t i) {
  return o.videoStart + 3600 * (i + (o.gaps ? i / 7 + i / 11 : 0));
}

bool SafeRecording::VideoNext(const Options& o, size_t video, size_t audio) {
  // Both times in 1/(90000 x 48000) s: video at 90 kHz, audio at 48 kHz.
  const int64_t videoTime = static_cast<int64_t>(VideoTime(o, video)) - o.leadMs * 90;
  return videoTime * 48000 <= static_cast<int64_t>(audio * 1024) * 90000;
}

std::vector<SafeRecording::Call> SafeRecording::Schedule(const Options& o, size_t n) {
  std::vector<Call> calls;
  size_t video = 0, audio = 0;
  while (calls.size() < n) {
    const bool v = VideoNext(o, video, audio);
    calls.push_back({v, v ? video++ : audio++});
  }
  return calls;
}

bool SafeRecording::Step() {
  if (h_ == nullptr) return false;
  const uint32_t before = muxer().HeaderUpdateCount();
  const bool video = VideoNext(o_, video_, audio_);
  const Call call{video, video ? video_++ : audio_++};
  const std::vector<uint8_t>& f = Bytes(call);
  const uint32_t n = static_cast<uint32_t>(f.size());
  rc_ = video ? mp4_write_video_frame(h_, f.data(), n, VideoTime(o_, call.index))
              : mp4_write_audio_frame(h_, f.data(), n, call.index * 1024);
  return muxer().HeaderUpdateCount() != before;
}

void SafeRecording::RunUntilVideo(size_t videoFrames) {
  while (rc_ == 0 && video_ < videoFrames) Step();
}

int SafeRecording::Close() {
  const int rc = mp4_close_file(h_);
  h_ = nullptr;
  return rc;
}

const std::vector<uint8_t>& SafeRecording::Bytes(const Call& c) {
  return c.video ? Video()[c.index % Video().size()].bytes : Audio()[c.index % Audio().size()].bytes;
}

uint64_t SafeRecording::StoredSize(const Call& c) {
  const std::vector<uint8_t>& f = Bytes(c);
  if (!c.video) return f.size() - ((f[1] & 1) ? 7 : 9);
  uint64_t n = f.size();
  for (size_t i = 0; i + 2 < f.size(); ++i) {
    if (f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1 && (i == 0 || f[i - 1] != 0)) ++n;
  }
  return n;
}

std::map<std::string, std::vector<std::string>> PacketsByKind(const std::string& path) {
  std::map<std::string, std::vector<std::string>> kinds;
#if defined(BV_FFPROBE) && !defined(_WIN32)
  std::istringstream in(RunCommand(std::string(BV_FFPROBE) + " -v error -show_data_hash md5 -show_entries " +
                                   "packet=codec_type,pts,dts,flags,size,data_hash -of csv=p=0 '" + path + "'"));
  for (std::string line; std::getline(in, line);) {
    const size_t comma = line.find(',');
    kinds[line.substr(0, comma)].push_back(line.substr(comma + 1));
  }
#endif
  (void)path;
  return kinds;
}

#if !defined(_WIN32)
int RunInChild(const std::function<int(int)>& child, const std::function<void(int, int)>& parent) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::FILE* null = std::freopen("/dev/null", "w", stdout);
    (void)null;
    _exit(child(fds[1]));
  }
  close(fds[1]);
  if (pid > 0) parent(pid, fds[0]);
  close(fds[0]);
  int status = -1;
  if (pid > 0) waitpid(pid, &status, 0);
  return status;
}
#endif

}  // namespace bvtest
