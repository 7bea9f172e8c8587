#include "conformance.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

#include "test_support.h"

namespace bvtest {

long long ProbedStream::Int(const std::string& key) const {
  const std::string v = Get(key);
  return v.empty() || v == "N/A" ? -1 : std::atoll(v.c_str());
}

double ProbedStream::Real(const std::string& key) const {
  const std::string v = Get(key);
  return v.empty() || v == "N/A" ? -1.0 : std::atof(v.c_str());
}

const ProbedStream* ProbeResult::Stream(const std::string& codecType) const {
  for (const auto& s : streams) {
    if (s.Get("codec_type") == codecType) return &s;
  }
  return nullptr;
}

#if defined(BV_FFPROBE) && defined(BV_FFMPEG) && !defined(_WIN32)

bool ConformanceToolsAvailable() { return true; }

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

namespace {
std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

// Runs `command` and returns its standard output; its standard error goes to
// `*errors`.
std::string RunCapturingErrors(const std::string& command, std::string* errors, int* status = nullptr) {
  TempDir dir;
  const std::string errFile = dir.File("err.txt");
  const std::string out = RunCommand(command + " 2>" + Quote(errFile), status);
  const auto err = ReadFile(errFile);
  errors->assign(err.begin(), err.end());
  return out;
}
}  // namespace

ProbeResult Probe(const std::string& path) {
  ProbeResult r;
  const std::string out = RunCapturingErrors(
      std::string(BV_FFPROBE) + " -v error -count_frames -show_streams -show_format " + Quote(path), &r.errors);
  std::istringstream in(out);
  std::string line;
  enum { kNone, kStream, kFormat } section = kNone;
  while (std::getline(in, line)) {
    if (line == "[STREAM]") {
      section = kStream;
      r.streams.emplace_back();
    } else if (line == "[FORMAT]") {
      section = kFormat;
    } else if (line.rfind("[/", 0) == 0) {
      section = kNone;
    } else {
      const size_t eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (section == kStream) r.streams.back().fields[key] = value;
      if (section == kFormat) r.format[key] = value;
    }
  }
  return r;
}

std::string DecodeErrors(const std::string& path) {
  std::string text;
  int status = 0;
  RunCapturingErrors(std::string(BV_FFMPEG) + " -nostdin -v error -i " + Quote(path) + " -f null -", &text, &status);
  if (status != 0) text += "\n(ffmpeg exit status " + std::to_string(status) + ")";
  return text;
}

StrictIsoView ReadWithMp4Box(const std::string& path) {
  StrictIsoView v;
  std::string modules = BV_NODE_MODULES;
  if (const char* more = std::getenv("NODE_PATH")) modules += std::string(":") + more;
  int status = 0;
  const std::string out = RunCommand("NODE_PATH=" + Quote(modules) + " node " +
                                         Quote(DataPath("../oracles/mp4box_probe.cjs")) + " " + Quote(path) +
                                         " 2>/dev/null",
                                     &status);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return v;
  v.available = true;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("error ", 0) == 0) v.errors += line + "\n";
    if (line.rfind("track ", 0) == 0) v.samples.push_back(std::atoll(line.substr(line.rfind(' ') + 1).c_str()));
  }
  return v;
}

#else

bool ConformanceToolsAvailable() { return false; }
StrictIsoView ReadWithMp4Box(const std::string&) { return StrictIsoView(); }
std::string RunCommand(const std::string&, int* status) {
  if (status) *status = -1;
  return std::string();
}
ProbeResult Probe(const std::string&) { return ProbeResult(); }
std::string DecodeErrors(const std::string&) { return std::string(); }

#endif

}  // namespace bvtest
