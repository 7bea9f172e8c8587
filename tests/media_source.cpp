#include "media_source.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "test_support.h"

namespace bvtest {

std::vector<MediaFrame> LoadAccessUnits(const std::string& name) {
  const std::vector<uint8_t> stream = ReadFile(DataPath(name));
  std::ifstream list(DataPath(name + ".packets.txt"));
  std::vector<MediaFrame> frames;
  std::string line;
  size_t pos = 0;
  while (std::getline(list, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    const size_t size = std::stoul(line.substr(0, comma));
    if (pos + size > stream.size()) break;
    MediaFrame f;
    f.bytes.assign(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + size));
    f.key = line.find('K', comma) != std::string::npos;
    frames.push_back(std::move(f));
    pos += size;
  }
  return frames;
}

std::vector<MediaFrame> LoadAdtsFrames(const std::string& name) {
  const std::vector<uint8_t> b = ReadFile(DataPath(name));
  std::vector<MediaFrame> frames;
  size_t pos = 0;
  while (pos + 7 <= b.size() && b[pos] == 0xFF && (b[pos + 1] & 0xF0) == 0xF0) {
    const size_t len = ((b[pos + 3] & 0x03u) << 11) | (b[pos + 4] << 3) | (b[pos + 5] >> 5);
    if (len < 7 || pos + len > b.size()) break;
    MediaFrame f;
    f.bytes.assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + len));
    f.key = true;
    frames.push_back(std::move(f));
    pos += len;
  }
  return frames;
}

std::vector<MediaFrame> LoadProResFrames(const std::string& name) {
  const std::vector<uint8_t> b = ReadFile(DataPath(name));
  std::vector<MediaFrame> frames;
  for (size_t i = 4; i + 4 <= b.size(); ++i) {
    if (std::memcmp(&b[i], "icpf", 4) != 0) continue;
    const size_t size = BE32(b, i - 4);
    if (size < 8 || i - 4 + size > b.size()) continue;
    MediaFrame f;
    f.bytes.assign(b.begin() + static_cast<long>(i - 4), b.begin() + static_cast<long>(i - 4 + size));
    f.key = true;
    frames.push_back(std::move(f));
    i += size - 5;
  }
  return frames;
}

mp4_video_track_info_t H264TrackWithParameterSets() {
  static const std::vector<uint8_t> avcc = ReadFile(DataPath("ffmpeg_avcC.bin"));
  const size_t spsEnd = 16u + (avcc.at(14) << 8 | avcc.at(15));
  mp4_video_track_info_t v{};
  v.timescale = 90000;
  v.frame_duration = 3600;
  v.codec_type = MP4_VIDEO_H264;
  v.width = 320;
  v.height = 240;
  v.sps = avcc.data() + 16;
  v.sps_size = static_cast<uint16_t>(spsEnd - 16);
  v.pps = avcc.data() + spsEnd + 3;
  v.pps_size = static_cast<uint16_t>(avcc.at(spsEnd + 1) << 8 | avcc.at(spsEnd + 2));
  return v;
}

mp4_audio_track_info_t AacTrack(uint32_t codec) {
  mp4_audio_track_info_t a{};
  a.timescale = 48000;
  a.frame_duration = 1024;
  a.codec_type = codec;
  a.sample_rate = 48000;
  a.channels = 2;
  a.profile = 2;
  return a;
}

}  // namespace bvtest
