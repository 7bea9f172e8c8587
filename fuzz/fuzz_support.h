// Helpers shared by the fuzz targets: a reader that turns the fuzzer's bytes
// into decisions, and whole-file reads and writes for targets that go
// through real files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BaseIO.h"

namespace fuzz {

// Reads past the end give zeros, so a short input still drives a full run.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ >= end_; }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  // A slice of at most `max` bytes; it may be shorter at the end.
  std::vector<uint8_t> Bytes(size_t max) {
    const size_t n = std::min<size_t>(max, static_cast<size_t>(end_ - p_));
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    return out;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

// A target that cannot set up its files has nothing to test: stop loudly.
inline void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// The types of the top-level boxes, false unless they tile the file exactly
// (a size field of 1 is followed by the 64-bit size).
inline bool TopLevelTypes(const std::vector<uint8_t>& b, std::vector<std::string>* types) {
  auto be = [&b](size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + static_cast<size_t>(i)];
    return v;
  };
  types->clear();
  for (size_t pos = 0; pos < b.size();) {
    if (pos + 8 > b.size()) return false;
    uint64_t size = be(pos, 4);
    if (size == 1 && pos + 16 > b.size()) return false;
    if (size == 1) size = be(pos + 8, 8);
    if (size < 8 || size > b.size() - pos) return false;
    types->emplace_back(reinterpret_cast<const char*>(&b[pos + 4]), 4);
    pos += size;
  }
  return true;
}

// The library logs every call on standard output; the fuzzer's own output
// stays readable.
inline int QuietStdout() {
  std::FILE* null = std::freopen("/dev/null", "w", stdout);
  (void)null;
  return 0;
}

// Builds a box of type B on a memory stream, lets `set` fill it and writes
// it. The run stops when the bytes written differ from the size the box
// reports, or when a write that throws has staged anything.
template <class B, class Set>
void WriteBox(Set set) {
  bv::CBufferIO out;
  out.SetTarget(nullptr);
  B box(&out);
  set(box);
  try {
    box.Write();
  } catch (...) {
    if (out.Size() != 0) __builtin_trap();
    throw;
  }
  if (out.Size() != box.GetSize()) __builtin_trap();
}

}  // namespace fuzz
