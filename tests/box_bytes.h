// Worked examples of box bytes: big-endian words and four-character codes to
// write them by hand, and an in-memory stream for a box to write itself into.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BaseIO.h"
#include "atom.h"

namespace bvtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(w >> s));
  return b;
}
inline uint32_t Code(const char* c) {
  return uint32_t(uint8_t(c[0])) << 24 | uint32_t(uint8_t(c[1])) << 16 | uint32_t(uint8_t(c[2])) << 8 | uint8_t(c[3]);
}
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
inline Bytes operator+(Bytes a, const std::string& s) {
  a.insert(a.end(), s.begin(), s.end());
  return a;
}

// A buffer stream without a target: what is written stays in memory.
struct MemoryStream : bv::CBufferIO {
  MemoryStream() { SetTarget(nullptr); }
  Bytes All() const { return Bytes(Data(), Data() + Size()); }
};

// Writes `box` at the end of `out` and returns the bytes it appended, having
// checked that GetSize announced exactly that many.
inline Bytes WriteChecked(bv::CMp4Atom& box, MemoryStream& out) {
  out.Seek(0, 2);
  const size_t from = out.Size();
  const uint64_t announced = box.GetSize();
  box.Write();
  const Bytes all = out.All();
  EXPECT_EQ(announced, all.size() - from);
  return Bytes(all.begin() + static_cast<long>(from), all.end());
}

}  // namespace bvtest
