#include "box_reader.h"

#include <map>
#include <sstream>

namespace bvtest {

namespace {

// Boxes whose payload is a list of boxes, with the bytes to skip first.
bool ContainerSkip(const std::string& type, const std::string& parent, uint64_t* skip) {
  static const std::map<std::string, uint64_t> kContainers = {
      {"moov", 0}, {"trak", 0}, {"edts", 0}, {"mdia", 0}, {"minf", 0}, {"dinf", 0}, {"stbl", 0}, {"udta", 0},
      {"tref", 0}, {"gmhd", 0}, {"nmhd", 0}, {"ilst", 0}, {"wave", 0},
      {"meta", 4},  // full box in the item-list form; the keys form has no version word (the caller peeks)
      {"stsd", 8}};
  const bool visual = type == "avc1" || type == "hvc1" || type.rfind("ap", 0) == 0;
  if (kContainers.count(type)) {
    *skip = kContainers.at(type);
  } else if (parent == "ilst" || (parent == "gmhd" && type == "tmcd")) {
    *skip = 0;
  } else if (parent == "stsd" && visual) {
    *skip = 78;  // visual sample entry
  } else if (parent == "stsd" && type == "mp4a") {
    *skip = 28;  // version 0 sound entry; the caller adjusts for version 1
  } else {
    return false;
  }
  return true;
}

}  // namespace

BoxTree::BoxTree(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) { Parse(0, bytes_.size(), top_, 0); }

uint8_t BoxTree::U8(uint64_t off) const { return bytes_.at(off); }
uint16_t BoxTree::U16(uint64_t off) const { return static_cast<uint16_t>((bytes_.at(off) << 8) | bytes_.at(off + 1)); }
uint32_t BoxTree::U32(uint64_t off) const {
  return (uint32_t{bytes_.at(off)} << 24) | (uint32_t{bytes_.at(off + 1)} << 16) | (uint32_t{bytes_.at(off + 2)} << 8) |
         bytes_.at(off + 3);
}
uint64_t BoxTree::U64(uint64_t off) const { return (uint64_t{U32(off)} << 32) | U32(off + 4); }
std::string BoxTree::Code(uint64_t off) const {
  return std::string(reinterpret_cast<const char*>(&bytes_.at(off)), 4);
}

void BoxTree::Parse(uint64_t begin, uint64_t end, std::vector<Box>& out, int depth) {
  static thread_local std::vector<std::string> parents;
  uint64_t pos = begin;
  while (pos + 8 <= end) {
    Box b;
    b.offset = pos;
    b.size = U32(pos);
    b.type = Code(pos + 4);
    if (b.size == 1) {
      if (pos + 16 > end) break;
      b.size = U64(pos + 8);
      b.header = 16;
    } else if (b.size == 0) {
      b.size = end - pos;
    }
    if (b.size < b.header || pos + b.size > end) {
      std::ostringstream msg;
      msg << "box " << b.type << " at " << pos << " of size " << b.size << " passes its parent's end " << end;
      errors_.push_back(msg.str());
      return;
    }
    uint64_t skip = 0;
    const std::string parent = parents.empty() ? "" : parents.back();
    if (depth < 16 && ContainerSkip(b.type, parent, &skip)) {
      if (b.type == "meta" && b.size >= 16 && U32(b.PayloadOffset()) != 0) skip = 0;  // keys form
      if (b.type == "mp4a" && b.size >= 26 && U16(b.PayloadOffset() + 8) == 1) skip = 44;  // sound v1
      parents.push_back(b.type);
      Parse(b.PayloadOffset() + skip, pos + b.size, b.children, depth + 1);
      parents.pop_back();
    }
    out.push_back(std::move(b));
    pos += out.back().size;
  }
}

const Box* BoxTree::Find(const std::string& path) const {
  const std::vector<Box>* level = &top_;
  const Box* found = nullptr;
  std::istringstream in(path);
  std::string part;
  while (std::getline(in, part, '/')) {
    size_t index = 0;
    const size_t bracket = part.find('[');
    if (bracket != std::string::npos) {
      index = std::stoul(part.substr(bracket + 1));
      part = part.substr(0, bracket);
    }
    found = nullptr;
    size_t seen = 0;
    for (const Box& b : *level) {
      if (b.type == part && seen++ == index) {
        found = &b;
        break;
      }
    }
    if (!found) return nullptr;
    level = &found->children;
  }
  return found;
}

size_t BoxTree::Count(const std::string& parentPath, const std::string& type) const {
  const std::vector<Box>* level = &top_;
  if (!parentPath.empty()) {
    const Box* p = Find(parentPath);
    if (!p) return 0;
    level = &p->children;
  }
  size_t n = 0;
  for (const Box& b : *level) n += b.type == type;
  return n;
}

}  // namespace bvtest
