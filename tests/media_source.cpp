#include "media_source.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "VideoFrameParser.h"
#include "test_support.h"

namespace bvtest {
namespace {

MediaFrame Slice(const std::vector<uint8_t>& b, size_t pos, size_t size, bool key) {
  return {std::vector<uint8_t>(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + size)), key};
}

}  // namespace

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
    frames.push_back(Slice(stream, pos, size, line.find('K', comma) != std::string::npos));
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
    frames.push_back(Slice(b, pos, len, true));
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
    frames.push_back(Slice(b, i - 4, size, true));
    i += size - 5;
  }
  return frames;
}

mp4_video_track_info_t VideoTrack(uint32_t codec, uint32_t timescale, uint64_t frameDuration, uint16_t width,
                                  uint16_t height) {
  mp4_video_track_info_t v{};
  v.timescale = timescale;
  v.frame_duration = frameDuration;
  v.codec_type = codec;
  v.width = width;
  v.height = height;
  return v;
}

mp4_video_track_info_t H264TrackWithParameterSets() {
  static const ParameterSets sets = FirstParameterSets("video_h264.h264", false);
  mp4_video_track_info_t v = VideoTrack(MP4_VIDEO_H264, 90000, 3600, 320, 240);
  sets.Fill(v);
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

ParameterSets FirstParameterSets(const std::string& name, bool hevc) {
  return FirstParameterSetsIn(ReadFile(DataPath(name)), hevc);
}

ParameterSets FirstParameterSetsIn(const std::vector<uint8_t>& s, bool hevc) {
  ParameterSets out;
  std::vector<uint8_t>* const slots[3] = {&out.vps, &out.sps, &out.pps};
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    size_t end = i + 3;
    while (end + 3 <= s.size() && !(s[end] == 0 && s[end + 1] == 0 && (s[end + 2] == 1 || s[end + 2] == 0))) ++end;
    if (end + 3 > s.size()) end = s.size();
    const int slot = hevc ? ((s[i + 3] >> 1) & 0x3F) - 32 : (s[i + 3] & 0x1F) - 6;
    if (slot >= (hevc ? 0 : 1) && slot < 3 && slots[slot]->empty())  // 6 is H.264's SEI, not a VPS
      slots[slot]->assign(s.begin() + static_cast<long>(i + 3), s.begin() + static_cast<long>(end));
  }
  return out;
}

void ParameterSets::Fill(mp4_video_track_info_t& v) const {
  v.sps = sps.data();
  v.sps_size = static_cast<uint16_t>(sps.size());
  v.pps = pps.data();
  v.pps_size = static_cast<uint16_t>(pps.size());
  v.vps = vps.empty() ? nullptr : vps.data();
  v.vps_size = static_cast<uint16_t>(vps.size());
}

BitWriter& BitWriter::U(uint64_t v, unsigned n) {
  while (n-- > 0) {
    if (bit_ == 0) out_.push_back(0);
    if (n < 64 && ((v >> n) & 1)) out_.back() |= static_cast<uint8_t>(0x80 >> bit_);
    bit_ = (bit_ + 1) & 7;
  }
  return *this;
}

BitWriter& BitWriter::Ue(std::initializer_list<uint32_t> values) {
  for (uint32_t v : values) {
    unsigned len = 0;
    while (((uint64_t{v} + 1) >> len) > 1) ++len;
    U(uint64_t{v} + 1, 2 * len + 1);  // len zeros, then v + 1 in len + 1 bits
  }
  return *this;
}

BitWriter& BitWriter::Se(int32_t v) {
  return Ue({v > 0 ? 2 * static_cast<uint32_t>(v) - 1 : 2 * static_cast<uint32_t>(-int64_t{v})});
}

std::vector<uint8_t> BitWriter::Rbsp() { return U(1, 1).U(0, (8 - bit_) & 7).out_; }

std::vector<uint8_t> BitWriter::Nal() {
  std::vector<uint8_t> nal;
  int zeros = 0;
  for (uint8_t x : Rbsp()) {
    if (zeros >= 2 && x <= 3) nal.push_back(3), zeros = 0;
    nal.push_back(x);
    zeros = x == 0 ? zeros + 1 : 0;
  }
  return nal;
}

std::vector<uint8_t> BitWriter::AnnexB() {
  std::vector<uint8_t> au = {0, 0, 0, 1};
  const std::vector<uint8_t> nal = Nal();
  au.insert(au.end(), nal.begin(), nal.end());
  return au;
}

int ForEachStartCodeScan(const std::function<void()>& body) {
  int scans = 0;
  for (bv::StartCodeScan kind :
       {bv::StartCodeScan::kAvx2, bv::StartCodeScan::kSse2, bv::StartCodeScan::kMemchr, bv::StartCodeScan::kBest}) {
    if (!bv::UseStartCodeScan(kind)) continue;
    ++scans;
    SCOPED_TRACE(static_cast<int>(kind));
    body();
  }
  bv::UseStartCodeScan(bv::StartCodeScan::kBest);
  return scans;
}

}  // namespace bvtest
