// Frames of the committed test media, cut independently of the library:
// H.264/HEVC access units by the packet sizes ffprobe listed when the media
// was made, ADTS frames by their own length fields, ProRes frames by their
// "icpf" frame headers.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "bv_mp4.h"

namespace bvtest {

struct MediaFrame {
  std::vector<uint8_t> bytes;
  bool key = false;
};

// Access units of tests/data/<name> (with <name>.packets.txt beside it).
std::vector<MediaFrame> LoadAccessUnits(const std::string& name);
// Whole ADTS frames (header included) of tests/data/<name>.
std::vector<MediaFrame> LoadAdtsFrames(const std::string& name);
// A video track without parameter sets (found in the stream).
mp4_video_track_info_t VideoTrack(uint32_t codec, uint32_t timescale, uint64_t frameDuration, uint16_t width,
                                  uint16_t height);
// The H.264 track of video_h264.h264 (320x240, 90 kHz, 25 fps) with its
// parameter sets (those of FFmpeg's avcC for it), for modes that want them
// up front.
mp4_video_track_info_t H264TrackWithParameterSets();
// A 48 kHz stereo AAC-LC track of 1024-sample frames (raw or ADTS), described
// in full as modes that want the configuration up front need it.
mp4_audio_track_info_t AacTrack(uint32_t codec);

// The first VPS, SPS and PPS of the Annex-B stream tests/data/<name> (or of
// `stream`), NAL headers included (an H.264 stream has no VPS), found by a
// plain scan.
struct ParameterSets {
  std::vector<uint8_t> vps, sps, pps;
  void Fill(mp4_video_track_info_t& v) const;  // points v at these sets
};
ParameterSets FirstParameterSets(const std::string& name, bool hevc);
ParameterSets FirstParameterSetsIn(const std::vector<uint8_t>& stream, bool hevc);

// Runs `body` once under each start-code scan this machine has (the vector
// ones where the processor has them, the portable one, the best), then leaves
// the best in use; returns how many ran.
int ForEachStartCodeScan(const std::function<void()>& body);

// ProRes frames found in tests/data/<name> (a QuickTime file).
std::vector<MediaFrame> LoadProResFrames(const std::string& name);

// Syntax elements MSB first, for parameter sets and slice headers built by
// hand; Nal() adds the stop bit and the emulation prevention bytes.
class BitWriter {
 public:
  BitWriter& U(uint64_t v, unsigned n);
  BitWriter& Ue(std::initializer_list<uint32_t> values);
  BitWriter& Se(int32_t v);
  std::vector<uint8_t> Rbsp();
  std::vector<uint8_t> Nal();
  std::vector<uint8_t> AnnexB();  // Nal() behind a four-byte start code

 private:
  std::vector<uint8_t> out_;
  unsigned bit_ = 0;
};

}  // namespace bvtest
