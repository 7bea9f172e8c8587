// The real players' tooling as the oracle: ffprobe's view of a file and
// ffmpeg's decode of every frame. Available on Linux builds where ffmpeg is
// installed (BV_FFPROBE/BV_FFMPEG defined); elsewhere Available() is false.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace bvtest {

struct ProbedStream {
  std::map<std::string, std::string> fields;  // codec_name, codec_type, nb_frames, nb_read_frames, duration, ...
  std::string Get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
  }
  long long Int(const std::string& key) const;
  double Real(const std::string& key) const;
};

struct ProbeResult {
  std::string errors;  // what `ffprobe -v error` printed on stderr (must be empty)
  std::vector<ProbedStream> streams;
  std::map<std::string, std::string> format;  // duration, format tags as "TAG:key"
  const ProbedStream* Stream(const std::string& codecType) const;
};

bool ConformanceToolsAvailable();
// Runs ffprobe with frame counting.
ProbeResult Probe(const std::string& path);
// Runs `ffmpeg -v error -i FILE -f null -` and returns what it printed.
std::string DecodeErrors(const std::string& path);
// mp4box.js, the strict ISO parser that web pages use, reading a file:
// its complaints and the sample count of each track in file order. Not
// available where node or the mp4box package is missing (the test command
// installs it with npm when the registry can be reached).
struct StrictIsoView {
  bool available = false;
  std::string errors;  // one line per error the reader reported
  std::vector<long long> samples;
};
StrictIsoView ReadWithMp4Box(const std::string& path);
// Runs a shell command and returns its standard output (stderr discarded);
// *status receives the exit status.
std::string RunCommand(const std::string& command, int* status = nullptr);

}  // namespace bvtest
