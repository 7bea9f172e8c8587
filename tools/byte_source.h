// Block-wise byte sources under the elementary-stream readers, so that the
// same reader runs over a multi-gigabyte file or over a few bytes in a test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bvtool {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to cap bytes into dst; 0 means the end was reached.
  virtual size_t Read(uint8_t* dst, size_t cap) = 0;
  // Bytes handed out so far (drives the progress display).
  uint64_t consumed() const { return consumed_; }

 protected:
  uint64_t consumed_ = 0;
};

class FileSource : public ByteSource {
 public:
  explicit FileSource(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
    if (file_ && std::fseek(file_.get(), 0, SEEK_END) == 0) {
      const long end = std::ftell(file_.get());
      size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
      std::fseek(file_.get(), 0, SEEK_SET);
    }
  }
  bool ok() const { return file_ != nullptr; }
  uint64_t size() const { return size_; }
  size_t Read(uint8_t* dst, size_t cap) override {
    if (!file_) return 0;
    const size_t n = std::fread(dst, 1, cap, file_.get());
    consumed_ += n;
    return n;
  }

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  uint64_t size_ = 0;
};

// Hands its bytes out in blocks of at most max_block so that tests can put
// block boundaries inside start codes and headers.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> data, size_t max_block = SIZE_MAX)
      : data_(std::move(data)), max_block_(max_block) {}
  size_t Read(uint8_t* dst, size_t cap) override {
    const size_t n = std::min({cap, max_block_, data_.size() - pos_});
    if (n) std::memcpy(dst, data_.data() + pos_, n);
    pos_ += n;
    consumed_ += n;
    return n;
  }

 private:
  std::vector<uint8_t> data_;
  size_t max_block_;
  size_t pos_ = 0;
};

// A sliding window over a source: readers look at [pos, size) and drop what
// lies before pos when they need more, so memory stays at one block plus the
// largest frame.
class ByteWindow {
 public:
  explicit ByteWindow(ByteSource& src, size_t block = size_t{1} << 20) : src_(src), block_(block) {}

  const uint8_t* data() const { return buf_.data(); }
  size_t size() const { return buf_.size(); }
  bool at_end() const { return eof_; }

  // Drops the bytes before keep_from and appends the next block. Offsets at
  // or after keep_from shift down by the returned amount. Returns false when
  // nothing more could be read.
  bool Refill(size_t keep_from, size_t* shift) {
    keep_from = std::min(keep_from, buf_.size());
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(keep_from));
    *shift = keep_from;
    if (eof_) return false;
    const size_t old = buf_.size();
    buf_.resize(old + block_);
    const size_t n = src_.Read(buf_.data() + old, block_);
    buf_.resize(old + n);
    if (n == 0) eof_ = true;
    return n != 0;
  }

 private:
  ByteSource& src_;
  size_t block_;
  std::vector<uint8_t> buf_;
  bool eof_ = false;
};

}  // namespace bvtool
