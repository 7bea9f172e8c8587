#include "repair_recorder.h"

#include <utility>

namespace bvtest {

namespace {

constexpr uint32_t kVideoScale = 90000;
constexpr uint32_t kFrameDuration = 3600;  // 25 fps

std::vector<uint8_t> CaptionFrame(uint32_t codec, size_t i) {
  if (codec == MP4_SUBTITLE_CEA608) return {0x61, 0x02, 0x02, 0x00, 0x94, static_cast<uint8_t>(0x20 + i % 16)};
  return {0x61, 0x01, 0x06, 0x96, 0x69, 0x03, 0x43, 0xFC, static_cast<uint8_t>(0x80 + i % 16)};
}

// The rate of an ADTS stream from its first header.
uint32_t AdtsRate(const std::vector<MediaFrame>& frames) {
  static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};
  if (frames.empty() || frames[0].bytes.size() < 3) return 48000;
  const uint32_t index = (frames[0].bytes[2] >> 2) & 0x0F;
  return index < 13 ? kRates[index] : 48000;
}

}  // namespace

RepairRecorder::RepairRecorder(const RecordPlan& plan, std::string path) : plan_(plan), path_(std::move(path)) {}

RepairRecorder::~RepairRecorder() {
  if (h_) mp4_close_file(h_);
}

bool RepairRecorder::Open() {
  if (mp4_create_file_ex(path_.c_str(), static_cast<uint8_t>(plan_.flags | MP4_FLAG_REPAIR), &h_) != 0) return false;
  if (plan_.video == MP4_VIDEO_H264) video_ = LoadAccessUnits("video_h264.h264");
  if (plan_.video == MP4_VIDEO_HEVC) video_ = LoadAccessUnits("video_hevc.h265");
  if (plan_.video == MP4_VIDEO_PRORES) video_ = LoadProResFrames("video_prores.mov");
  if (!videoFile.empty()) video_ = LoadAccessUnits(videoFile);
  if (!plan_.audio.empty()) audio_ = LoadAdtsFrames(plan_.audio);
  if (plan_.metadata) {
    const int32_t count = 42;
    if (mp4_set_metadata(h_, "title", "bv repair") != 0 ||
        mp4_set_metadata_ex(h_, "com.example.state", "repaired", 0, MP4_META_UTF8, "mdta") != 0 ||
        mp4_set_metadata_ex(h_, "com.example.count", &count, 4, MP4_META_INT_BE, "bvtt") != 0)
      return false;
  }
  if (plan_.video >= 0) {
    // H.264 and HEVC parameter sets come from the stream.
    const bool prores = plan_.video == MP4_VIDEO_PRORES;
    mp4_video_track_info_t v = VideoTrack(static_cast<uint32_t>(plan_.video), kVideoScale, kFrameDuration,
                                          prores ? 64 : 320, prores ? 48 : 240);
    if (prores) v.prores_profile = MP4_PRORES_4444XQ;
    if (mp4_set_video_track(h_, &v) != 0) return false;
  }
  if (!audio_.empty()) {
    // The rate and channels come from the first ADTS header.
    const mp4_audio_track_info_t a{AdtsRate(audio_), 1024, MP4_AUDIO_AAC_ADTS, 0, 0, 0};
    if (mp4_set_audio_track(h_, &a) != 0) return false;
  }
  const mp4_subtitle_track_info_t s{plan_.captions, 1000};
  if (plan_.captions && mp4_set_subtitle_track(h_, &s) != 0) return false;
  const mp4_time_code_track_info_t t{25, 1, 25, 0};
  if (plan_.timecode && (mp4_set_time_code_track(h_, &t) != 0 || mp4_write_time_code(h_, 0) != 0)) return false;
  return true;
}

bool RepairRecorder::WriteUntilVideo(size_t videoFrames) {
  const double rate = audio_.empty() ? 1.0 : AdtsRate(audio_);
  while (videoDone_ < videoFrames) {
    const double vt = double(videoDone_) * kFrameDuration / kVideoScale;
    // Without video each step is one audio frame.
    while (!audio_.empty() && (video_.empty() ? audioDone_ == videoDone_ : double(audioDone_) * 1024 / rate <= vt)) {
      const auto& f = audio_[audioDone_ % audio_.size()].bytes;
      if (mp4_write_audio_frame(h_, f.data(), uint32_t(f.size()), uint64_t{audioDone_} * 1024) != 0) return false;
      ++audioDone_;
    }
    if (plan_.captions) {
      const auto cc = CaptionFrame(plan_.captions, videoDone_);
      if (mp4_write_subtitle_frame(h_, cc.data(), uint32_t(cc.size()), videoDone_ * 40) != 0) return false;
    }
    if (!video_.empty()) {
      const auto& f = video_[videoDone_ % video_.size()].bytes;
      if (mp4_write_video_frame(h_, f.data(), uint32_t(f.size()), uint64_t{videoDone_} * kFrameDuration) != 0)
        return false;
    }
    ++videoDone_;
    if (onVideo) onVideo(videoDone_);
  }
  return true;
}

int RepairRecorder::Close() {
  const int rc = mp4_close_file(h_);
  h_ = nullptr;
  return rc;
}

}  // namespace bvtest
