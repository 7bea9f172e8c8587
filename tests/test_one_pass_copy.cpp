// Cutting a frame and building its sample in one pass: the sample must be
// what cutting and then writing unit by unit gives, for every scan, at every
// alignment against the vector blocks and across the stream's 1 MiB block.
// The oracle is a plain byte-by-byte cutter written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AlignFileWriter.h"
#include "BaseIO.h"
#include "VideoFrameParser.h"
#include "box_reader.h"
#include "media_source.h"
#include "test_support.h"

using Bytes = std::vector<uint8_t>;

namespace {

// Each unit behind its 32-bit big-endian length, units cut by trying every
// position (a start code 00 00 01 needs a byte after it; one zero before it
// leaves the unit before).
Bytes ReferenceSample(const Bytes& b) {
  std::vector<std::pair<size_t, size_t>> units;
  for (size_t i = 0; i + 4 <= b.size(); ++i) {
    if (!(b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1)) continue;
    if (!units.empty()) units.back().second = (i > 0 && b[i - 1] == 0 ? i - 1 : i) - units.back().first;
    units.emplace_back(i + 3, b.size() - i - 3);
  }
  Bytes out;
  for (const auto& u : units) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(u.second >> shift));
    out.insert(out.end(), b.begin() + static_cast<long>(u.first), b.begin() + static_cast<long>(u.first + u.second));
  }
  return out;
}

// Slice data with a zero byte every `zeroEvery` bytes on average (0: none)
// and start codes of three or four bytes, sometimes with extra zeros before.
Bytes RandomFrame(std::mt19937& rng, size_t length, uint32_t zeroEvery) {
  Bytes b(length);
  for (uint8_t& x : b) x = static_cast<uint8_t>(1 + rng() % 255);
  for (size_t i = 0; zeroEvery != 0 && i < length; ++i)
    if (rng() % zeroEvery == 0) b[i] = 0;
  const size_t codes = rng() % 6;
  for (size_t k = 0; k < codes && length >= 5; ++k) {
    const size_t at = rng() % (length - 4);
    const size_t zeros = 2 + rng() % 3;
    for (size_t z = 0; z < zeros && at + z + 1 < length; ++z) b[at + z] = 0;
    if (at + zeros < length) b[at + zeros] = 1;
  }
  return b;
}

}  // namespace

TEST(OnePassCopy, SampleEqualsUnitByUnitWriteAndStaysInsideItsSpace) {
  constexpr uint8_t kGuard = 0xA5;
  const int scans = bvtest::ForEachStartCodeScan([&] {
    std::mt19937 rng(77);
    for (int round = 0; round < 4000; ++round) {
      const size_t length = rng() % 1200;  // several 128-byte blocks, every alignment
      const Bytes frame = RandomFrame(rng, length, round % 3 == 0 ? 0 : 4 + rng() % 200);
      const Bytes want = ReferenceSample(frame);
      // The exact size fits; one byte less is refused with nothing added.
      for (const size_t capacity : {want.size(), want.size() - 1}) {
        if (want.empty() && capacity != 0) continue;
        Bytes out(capacity + 256, kGuard);
        bv::CVideoFrameParser slices;
        slices.push_back({1, frame.data()});  // slices of an earlier call stay
        const uint32_t n = slices.ParseFrameInto(frame.data(), static_cast<uint32_t>(length), out.data(),
                                                 static_cast<uint32_t>(capacity));
        for (size_t i = capacity; i < out.size(); ++i)
          ASSERT_EQ(kGuard, out[i]) << "round " << round << ": wrote past its space at " << i;
        if (capacity < want.size() || want.empty()) {
          ASSERT_EQ(0u, n) << "round " << round;
          ASSERT_EQ(1u, slices.size()) << "round " << round;
          continue;
        }
        ASSERT_EQ(want.size(), n) << "round " << round;
        ASSERT_EQ(want, Bytes(out.begin(), out.begin() + static_cast<long>(n))) << "round " << round;
        bv::CVideoFrameParser cut;
        cut.ParseFrame(frame.data(), static_cast<uint32_t>(length));
        ASSERT_EQ(cut.size() + 1, slices.size());
        for (size_t i = 0; i < cut.size(); ++i) {
          ASSERT_EQ(cut[i].data, slices[i + 1].data);
          ASSERT_EQ(cut[i].size, slices[i + 1].size);
        }
      }
    }
  });
  EXPECT_GE(scans, 2);
}

namespace {

// Frames that fill the 1 MiB output block (or safe write's window) to just
// short of, exactly at and past its end, a frame with more units than the
// in-place build takes, and frames at and past the size that is written
// straight from the caller: the media data must hold every frame's
// reference sample, in order.

void MediaDataEqualsReferenceSamples(const std::string& path, const mp4_config_t& config) {
  mp4_handle h = nullptr;
  ASSERT_EQ(MP4_SUCCESS, mp4_create_file_full_ex(path.c_str(), &config, &h));
  mp4_video_track_info_t track = bvtest::H264TrackWithParameterSets();
  ASSERT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &track));

  std::mt19937 rng(5);
  auto slice = [&rng](size_t payload, uint8_t header, bool fourByteCode) {
    Bytes u = fourByteCode ? Bytes{0, 0, 0, 1, header} : Bytes{0, 0, 1, header};
    for (size_t i = 0; i < payload; ++i) u.push_back(static_cast<uint8_t>(1 + rng() % 255));
    return u;
  };
  std::vector<Bytes> frames;
  const size_t kKiB = 1024;
  for (size_t payload : std::initializer_list<size_t>{1000 * kKiB / 3, 1000 * kKiB / 3, 300 * kKiB, 100, 511 * kKiB, 512 * kKiB, 700 * kKiB, 5}) {
    Bytes f = slice(payload, frames.empty() ? 0x65 : 0x41, frames.size() % 2 == 0);
    Bytes sei = slice(20, 0x06, true);  // a second unit, with a zero kept before the next code
    sei.push_back(0);
    f.insert(f.begin(), sei.begin(), sei.end());
    frames.push_back(std::move(f));
  }
  Bytes many;  // 400 units: more length prefixes than the in-place slack
  for (int i = 0; i < 400; ++i) {
    const Bytes u = slice(10, 0x41, false);
    many.insert(many.end(), u.begin(), u.end());
  }
  frames.insert(frames.begin() + 3, many);

  Bytes want;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, frames[i].data(), static_cast<uint32_t>(frames[i].size()),
                                                 i * 3600)) << "frame " << i;
    const Bytes s = ReferenceSample(frames[i]);
    want.insert(want.end(), s.begin(), s.end());
  }
  ASSERT_EQ(MP4_SUCCESS, mp4_close_file(h));

  const bvtest::BoxTree tree(bvtest::ReadFile(path));
  ASSERT_TRUE(tree.Errors().empty());
  const bvtest::Box* mdat = tree.Find("mdat");
  ASSERT_NE(nullptr, mdat);
  const Bytes& file = tree.Bytes();
  ASSERT_EQ(want.size(), mdat->size - mdat->header);
  EXPECT_TRUE(want == Bytes(file.begin() + static_cast<long>(mdat->PayloadOffset()),
                            file.begin() + static_cast<long>(mdat->offset + mdat->size)));
  const bvtest::Box* stsz = tree.Find("moov/trak/mdia/minf/stbl/stsz");
  ASSERT_NE(nullptr, stsz);
  EXPECT_EQ(frames.size(), tree.U32(stsz->PayloadOffset() + 8));
}

}  // namespace

TEST(OnePassCopy, MediaDataAcrossOutputBlocksEqualsReferenceSamples) {
  for (const bool safe : {false, true}) {
    SCOPED_TRACE(safe ? "safe write" : "plain");
    bvtest::TempDir dir;
    const std::string path = dir.File("blocks.mp4");
    mp4_config_t config{};
    if (safe) {  // a 1 MiB window, as the output block of the plain stream
      config.io_mode = MP4_IO_SAFE_WRITE;
      config.block_size = 4096;
      config.block_num = 256;
      config.max_duration = 600;
    }
    MediaDataEqualsReferenceSamples(path, config);
  }
}

// The lending contract of both buffering streams: lent bytes join the file
// only through a commit that follows the lend untouched, a lend never
// writes out what was collected (safe write refuses rather than cross its
// window), and no byte the file was not given (scribbled in lent space, or
// left in safe write's window by an earlier one) reaches it, in a gap or as
// the padding of the last block.
TEST(OnePassCopy, LentSpaceJoinsTheFileOnlyThroughAnUntouchedCommit) {
  constexpr uint32_t kBlock = 4096, kWindow = 4 * kBlock;
  for (const bool safe : {false, true}) {
    SCOPED_TRACE(safe ? "safe write" : "plain");
    bvtest::TempDir dir;
    const std::string path = dir.File("lent.bin");
    const std::wstring wpath(path.begin(), path.end());
    auto aligned = std::make_unique<bv::CAlignFileWriterEx>();
    auto plain = std::make_unique<bv::CFileWriter>();
    aligned->Init(wpath.c_str(), kBlock, kWindow / kBlock);
    aligned->SetHeaderSize(kBlock);
    ASSERT_EQ(0, safe ? aligned->create() : plain->Init(wpath.c_str(), 0, 0));
    bv::IBaseIO& io = safe ? static_cast<bv::IBaseIO&>(*aligned) : *plain;
    Bytes want;
    auto append = [&](uint32_t n, uint8_t v) {
      const Bytes b(n, v);
      io.Write(b.data(), n);
      want.insert(want.end(), b.begin(), b.end());
    };
    uint32_t capacity = 0;
    auto lend = [&](uint32_t need, uint32_t commit, uint8_t v) {  // scribbles, then fills `commit` bytes
      uint8_t* p = io.Lend(need, &capacity);
      if (p == nullptr) return false;
      std::fill(p, p + capacity, 0xEE);
      std::fill_n(p, std::min(commit, capacity), v);
      return true;
    };
    append(kBlock + 100, 0x11);  // into the media data window
    ASSERT_TRUE(lend(1000, 300, 0x22));
    EXPECT_TRUE(io.Commit(300));
    want.insert(want.end(), 300, 0x22);
    EXPECT_FALSE(io.Commit(10)) << "a second commit of one lend";
    ASSERT_TRUE(lend(100, 0, 0));
    append(3, 0x33);
    EXPECT_FALSE(io.Commit(50)) << "written in between";
    ASSERT_TRUE(lend(100, 0, 0));
    io.Seek(io.Ftell(), 0);
    EXPECT_FALSE(io.Commit(50)) << "moved in between";
    ASSERT_TRUE(lend(100, 0, 0));
    EXPECT_FALSE(io.Commit(capacity + 1)) << "past the space lent";
    EXPECT_FALSE(lend(2u << 20, 0, 0)) << "more than a block";
    if (safe) {  // fill the window to 10 bytes short of its end, then exactly
      append(static_cast<uint32_t>(kBlock + kWindow - 10 - want.size()), 0x44);
      const uint64_t onDisk = io.GetFileSize();
      EXPECT_FALSE(lend(11, 0, 0)) << "would span the window's write";
      ASSERT_TRUE(lend(10, 10, 0x55));
      EXPECT_TRUE(io.Commit(capacity));
      want.insert(want.end(), 10, 0x55);
      EXPECT_EQ(onDisk, io.GetFileSize()) << "a lend wrote the window";
      append(5000, 0x66);  // the next window, over the last one's bytes
    }
    io.Flush();  // the window written padded, and then lent
    ASSERT_TRUE(lend(100, 0, 0));
    io.Seek(io.Ftell() + 100, 0);  // a gap reads as zeros
    want.insert(want.end(), 100, 0);
    append(10, 0x77);
    ASSERT_TRUE(lend(100, 0, 0));  // left uncommitted at close
    EXPECT_TRUE(io.Close());

    Bytes file = bvtest::ReadFile(path);
    if (safe) {  // whole blocks: the padding behind the content is zeros
      ASSERT_EQ(0u, file.size() % kBlock);
      if (file.size() > want.size()) want.resize(file.size(), 0);
    }
    EXPECT_TRUE(want == file);
  }
}
