// Frames of the committed test media, cut independently of the library:
// H.264/HEVC access units by the packet sizes ffprobe listed when the media
// was made, ADTS frames by their own length fields, ProRes frames by their
// "icpf" frame headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvtest {

struct MediaFrame {
  std::vector<uint8_t> bytes;
  bool key = false;
};

// Access units of tests/data/<name> (with <name>.packets.txt beside it).
std::vector<MediaFrame> LoadAccessUnits(const std::string& name);
// Whole ADTS frames (header included) of tests/data/<name>.
std::vector<MediaFrame> LoadAdtsFrames(const std::string& name);
// ProRes frames found in tests/data/<name> (a QuickTime file).
std::vector<MediaFrame> LoadProResFrames(const std::string& name);

}  // namespace bvtest
