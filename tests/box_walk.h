// A minimal reader of box bytes for the tests, written apart from the box
// writers: it splits a byte range into boxes by their size fields and fails
// the test when a size field runs past its parent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bvtest {

struct BoxSpan {
  std::string type;
  size_t offset = 0;  // of the size field
  uint32_t size = 0;
  size_t Body(size_t headerExtra = 0) const { return offset + 8 + headerExtra; }
  size_t End() const { return offset + size; }
};

inline uint32_t ReadBE32(const std::vector<uint8_t>& b, size_t off) {
  return (uint32_t{b.at(off)} << 24) | (uint32_t{b.at(off + 1)} << 16) | (uint32_t{b.at(off + 2)} << 8) |
         b.at(off + 3);
}

// The boxes that tile [begin, end) exactly.
inline std::vector<BoxSpan> SplitBoxes(const std::vector<uint8_t>& b, size_t begin, size_t end) {
  std::vector<BoxSpan> out;
  size_t pos = begin;
  while (pos < end) {
    if (end - pos < 8) {
      ADD_FAILURE() << "trailing " << (end - pos) << " bytes at " << pos;
      break;
    }
    BoxSpan s;
    s.offset = pos;
    s.size = ReadBE32(b, pos);
    s.type.assign(reinterpret_cast<const char*>(&b[pos + 4]), 4);
    if (s.size < 8 || pos + s.size > end) {
      ADD_FAILURE() << "box '" << s.type << "' at " << pos << " has size " << s.size << " past " << end;
      break;
    }
    out.push_back(s);
    pos += s.size;
  }
  return out;
}

inline std::vector<std::string> Types(const std::vector<BoxSpan>& boxes) {
  std::vector<std::string> t;
  for (const auto& s : boxes) t.push_back(s.type);
  return t;
}

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& b, size_t off, size_t n) {
  return std::vector<uint8_t>(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

}  // namespace bvtest
