// A small, independent reader of the boxes a test file holds: walks the
// tree from the sizes in the file and answers paths such as
// "moov/trak[1]/mdia/minf/stbl/stts" (index counts boxes of that type).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvtest {

struct Box {
  std::string type;
  uint64_t offset = 0;  // of the size field
  uint64_t size = 0;    // the whole box
  uint32_t header = 8;  // 8, or 16 for a 64-bit size
  std::vector<Box> children;

  uint64_t PayloadOffset() const { return offset + header; }
};

class BoxTree {
 public:
  explicit BoxTree(std::vector<uint8_t> bytes);
  const std::vector<Box>& Top() const { return top_; }
  // Null when the path does not exist.
  const Box* Find(const std::string& path) const;
  size_t Count(const std::string& parentPath, const std::string& type) const;
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  uint32_t U32(uint64_t off) const;
  uint64_t U64(uint64_t off) const;
  uint16_t U16(uint64_t off) const;
  uint8_t U8(uint64_t off) const;
  std::string Code(uint64_t off) const;
  // Problems found while walking (a size that lies, a box past its parent).
  const std::vector<std::string>& Errors() const { return errors_; }

 private:
  void Parse(uint64_t begin, uint64_t end, std::vector<Box>& out, int depth);
  std::vector<uint8_t> bytes_;
  std::vector<Box> top_;
  std::vector<std::string> errors_;
};

}  // namespace bvtest
