// A reader of the box structure of an MP4 or QuickTime file for `bvmp4 info`:
// the top-level boxes with the movie's container boxes opened, and one summary
// per track. Files may be damaged or hostile: every size is checked against
// the bytes its parent holds, every walk moves forward, and the number of
// boxes and the depth are bounded, so any byte sequence gives a finite tree.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bvtool {

// Random access to the bytes of a file or of a memory image.
class ByteFile {
 public:
  virtual ~ByteFile() = default;
  virtual uint64_t size() const = 0;
  // Exactly n bytes at offset, or false.
  virtual bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) = 0;
};

class DiskFile : public ByteFile {
 public:
  explicit DiskFile(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
    if (file_ && Seek(0, SEEK_END)) {
      const int64_t end = Tell();
      size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
  }
  bool ok() const { return file_ != nullptr; }
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) override {
    if (!file_ || offset > size_ || size_ - offset < n) return false;
    return Seek(static_cast<int64_t>(offset), SEEK_SET) && std::fread(dst, 1, n, file_.get()) == n;
  }

 private:
  bool Seek(int64_t offset, int origin) {
#if defined(_WIN32)
    return _fseeki64(file_.get(), offset, origin) == 0;
#else
    return fseeko(file_.get(), static_cast<off_t>(offset), origin) == 0;
#endif
  }
  int64_t Tell() {
#if defined(_WIN32)
    return _ftelli64(file_.get());
#else
    return static_cast<int64_t>(ftello(file_.get()));
#endif
  }
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  uint64_t size_ = 0;
};

class MemoryFile : public ByteFile {
 public:
  explicit MemoryFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  uint64_t size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, uint8_t* dst, size_t n) override {
    if (offset > bytes_.size() || bytes_.size() - offset < n) return false;
    if (n) std::memcpy(dst, bytes_.data() + offset, n);
    return true;
  }

 private:
  std::vector<uint8_t> bytes_;
};

struct BoxNode {
  std::string type;  // four characters; bytes that do not print become '?'
  uint64_t offset = 0;
  uint64_t size = 0;  // the bytes it covers, cut at the end of its parent
  uint32_t header = 8;
  uint64_t declared = 0;  // the size field's value (0: to the end of the parent)
  bool cut = false;       // it claims more than its parent holds
  std::vector<BoxNode> children;

  uint64_t payload() const { return offset + header; }
  uint64_t payload_size() const { return size - header; }
};

struct BoxTree {
  std::vector<BoxNode> top;
  // What made the walk stop early or cut a box, one line each.
  std::vector<std::string> problems;
  size_t count = 0;
  bool capped = false;  // stopped at the box limit
};

namespace box_tree_detail {

constexpr size_t kMaxBoxes = 100000;
constexpr int kMaxDepth = 8;

inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t Be64(const uint8_t* p) { return (uint64_t{Be32(p)} << 32) | Be32(p + 4); }

inline std::string Printable(const uint8_t* p) {
  std::string s(4, '?');
  for (int i = 0; i < 4; ++i)
    if (p[i] >= 0x20 && p[i] < 0x7F) s[static_cast<size_t>(i)] = static_cast<char>(p[i]);
  return s;
}

inline bool IsContainer(const std::string& t) {
  return t == "moov" || t == "trak" || t == "mdia" || t == "minf" || t == "stbl";
}

inline std::string At(uint64_t offset) { return " at offset " + std::to_string(offset); }

inline void Walk(ByteFile& f, uint64_t begin, uint64_t end, int depth, std::vector<BoxNode>& out, BoxTree& tree) {
  uint64_t pos = begin;
  while (pos < end) {
    if (tree.count >= kMaxBoxes) {
      if (!tree.capped) tree.problems.push_back("more than " + std::to_string(kMaxBoxes) + " boxes; rest not shown");
      tree.capped = true;
      return;
    }
    const uint64_t left = end - pos;
    uint8_t h[16];
    if (left < 8 || !f.ReadAt(pos, h, 8)) {
      tree.problems.push_back(std::to_string(left) + " byte(s) too few for a box header" + At(pos));
      return;
    }
    BoxNode box;
    box.type = Printable(h + 4);
    box.offset = pos;
    box.declared = Be32(h);
    uint64_t total = box.declared;
    if (box.declared == 1) {
      if (left < 16 || !f.ReadAt(pos + 8, h + 8, 8)) {
        tree.problems.push_back("64-bit size of '" + box.type + "' cut off" + At(pos));
        return;
      }
      box.header = 16;
      box.declared = total = Be64(h + 8);
      if (total < 16) {
        tree.problems.push_back("64-bit size " + std::to_string(total) + " of '" + box.type + "'" + At(pos));
        return;
      }
    } else if (box.declared == 0) {
      total = left;
    } else if (box.declared < 8) {
      tree.problems.push_back("size " + std::to_string(total) + " of '" + box.type + "'" + At(pos));
      return;
    }
    if (total > left) {
      box.cut = true;
      tree.problems.push_back("'" + box.type + "'" + At(pos) + " claims " + std::to_string(total) +
                              " bytes, " + std::to_string(left) + " left");
      total = left;
    }
    box.size = total;
    ++tree.count;
    if (IsContainer(box.type) && depth < kMaxDepth) {
      Walk(f, pos + box.header, pos + total, depth + 1, box.children, tree);
    }
    out.push_back(std::move(box));
    pos += total;
  }
}

// Reads n bytes at `at` inside the payload of `box`; false when the box is
// too small or the file too short.
inline bool Field(ByteFile& f, const BoxNode& box, uint64_t at, uint8_t* dst, size_t n) {
  return box.payload_size() >= at && box.payload_size() - at >= n && f.ReadAt(box.payload() + at, dst, n);
}

inline const BoxNode* Child(const BoxNode* parent, const char* type) {
  if (!parent) return nullptr;
  for (const BoxNode& c : parent->children)
    if (c.type == type) return &c;
  return nullptr;
}

}  // namespace box_tree_detail

inline BoxTree ReadBoxTree(ByteFile& file) {
  BoxTree tree;
  box_tree_detail::Walk(file, 0, file.size(), 0, tree.top, tree);
  return tree;
}

struct TrackSummary {
  uint32_t id = 0;
  std::string kind = "?";   // video, audio, captions, timecode, or the handler's code
  std::string codec = "?";  // type of the first sample entry
  bool has_samples = false;
  uint64_t samples = 0;
  bool has_duration = false;
  double seconds = 0;
};

inline std::string TrackKind(const std::string& handler) {
  if (handler == "vide") return "video";
  if (handler == "soun") return "audio";
  if (handler == "clcp") return "captions";
  if (handler == "tmcd") return "timecode";
  return handler;
}

// One summary per "trak" of the first "moov"; fields that the file does not
// hold readably stay unknown.
inline std::vector<TrackSummary> SummariseTracks(ByteFile& f, const BoxTree& tree) {
  using namespace box_tree_detail;
  std::vector<TrackSummary> out;
  const BoxNode* moov = nullptr;
  for (const BoxNode& b : tree.top)
    if (b.type == "moov") {
      moov = &b;
      break;
    }
  if (!moov) return out;
  for (const BoxNode& trak : moov->children) {
    if (trak.type != "trak") continue;
    TrackSummary t;
    uint8_t b[32];
    if (const BoxNode* tkhd = Child(&trak, "tkhd"); tkhd && Field(f, *tkhd, 0, b, 1)) {
      const uint64_t at = b[0] == 1 ? 20 : 12;  // version, flags and the two times
      if (Field(f, *tkhd, at, b, 4)) t.id = Be32(b);
    }
    const BoxNode* mdia = Child(&trak, "mdia");
    if (const BoxNode* hdlr = Child(mdia, "hdlr"); hdlr && Field(f, *hdlr, 8, b, 4)) t.kind = TrackKind(Printable(b));
    if (const BoxNode* mdhd = Child(mdia, "mdhd"); mdhd && Field(f, *mdhd, 0, b, 1)) {
      const bool v1 = b[0] == 1;
      if (Field(f, *mdhd, v1 ? 20 : 12, b, v1 ? 12 : 8)) {
        const uint32_t timescale = Be32(b);
        const uint64_t duration = v1 ? Be64(b + 4) : Be32(b + 4);
        if (timescale != 0) {
          t.has_duration = true;
          t.seconds = static_cast<double>(duration) / timescale;
        }
      }
    }
    const BoxNode* stbl = Child(Child(mdia, "minf"), "stbl");
    // Entry count, then the first entry's size and type.
    if (const BoxNode* stsd = Child(stbl, "stsd"); stsd && Field(f, *stsd, 4, b, 12) && Be32(b) > 0)
      t.codec = Printable(b + 8);
    if (const BoxNode* stsz = Child(stbl, "stsz"); stsz && Field(f, *stsz, 8, b, 4)) {
      t.has_samples = true;
      t.samples = Be32(b);
    }
    out.push_back(t);
  }
  return out;
}

}  // namespace bvtool
