// Sample tables written to an in-memory stream and read back by the separate
// box reader: the edges recordings do not reach (long chunk runs, offsets
// past 4 GiB, reservations near the box size limit, safe-mode capacities
// and in-place updates).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_bytes.h"
#include "box_reader.h"
#include "bv_exception.h"
#include "co64.h"
#include "stbl.h"
#include "stbl_kinds.h"
#include "stco.h"
#include "stsc.h"
#include "stss.h"
#include "stsz.h"
#include "stts.h"
#include "test_support.h"

using namespace bv;
using bvtest::BE32;
using bvtest::BE64;
using bvtest::Bytes;
using bvtest::MemoryStream;
using bvtest::StdoutCapture;
using Words = std::vector<uint32_t>;

namespace {

// The bytes `box` appends to the end of its stream.
Bytes Render(CMp4Atom& box) { return bvtest::WriteChecked(box, *static_cast<MemoryStream*>(box.Stream())); }

// `n` words of the table `type` (the first one in `b` at or below the top)
// from `skip` bytes behind its version/flags word, which must be zero; the
// count at `skip` gives n when n is -1.
Words Table(const Bytes& b, const char* type, size_t skip = 4, int n = -1) {
  const bvtest::BoxTree t(b);
  const bvtest::Box* box = t.Find(type);
  if (!box) box = t.Find(std::string("stbl/") + type);
  if (!box) {
    ADD_FAILURE() << "no " << type;
    return {};
  }
  const size_t at = box->offset;
  EXPECT_EQ(0u, BE32(b, at + 8)) << type << " version and flags";
  const uint32_t count = n < 0 ? BE32(b, at + 8 + skip) : static_cast<uint32_t>(n);
  Words w;
  for (uint32_t i = 0; i < count; ++i) w.push_back(BE32(b, at + 12 + skip + 4 * i));
  return w;
}

// The video and audio track tables, with a ProRes or AAC description
// (neither needs parameter sets).
struct VideoStbl : CMp4VideoStblAtom {
  explicit VideoStbl(IBaseIO* io) : CMp4VideoStblAtom(io) {
    mp4_video_track_info_t v{};
    v.codec_type = MP4_VIDEO_PRORES;
    v.width = 64;
    v.height = 48;
    Stsd().SetVideo(v);
  }
};

}  // namespace

// Runs of equal samples per chunk make one entry each, over several blocks
// of entries; a first sample the caller did not mark as a chunk start still
// opens a chunk.
TEST(StscChunkRuns, EntriesStartWhereTheSamplesPerChunkChange) {
  std::vector<Words> lists = {{3, 3, 2, 2, 2}, {2, 1, 2}, {}, {127, 128, 128, 16384, 1, 300}};
  lists.emplace_back(20000);  // more than one 64 KiB block of entries
  for (size_t i = 0; i < lists.back().size(); ++i) lists.back()[i] = 1 + i % 2;
  for (const Words& counts : lists) {
    MemoryStream out;
    CMp4StscAtom stsc(&out);
    for (uint32_t c : counts) {
      ASSERT_TRUE(stsc.NewChunk());
      for (uint32_t i = 1; i < c; ++i) ASSERT_TRUE(stsc.AddToLastChunk());
    }
    Words oracle;  // first chunk, samples per chunk, description index
    for (size_t i = 0; i < counts.size(); ++i)
      if (i == 0 || counts[i] != counts[i - 1]) oracle.insert(oracle.end(), {uint32_t(i + 1), counts[i], 1});
    const Bytes b = Render(stsc);
    EXPECT_EQ(oracle, Table(b, "stsc", 4, static_cast<int>(3 * BE32(b, 12)))) << "chunks: " << counts.size();
    EXPECT_EQ(b, Render(stsc)) << "a second write rebuilds the same box";
  }
  MemoryStream out;
  CMp4StscAtom stsc(&out);
  EXPECT_FALSE(stsc.AddToLastChunk()) << "no sample joins a chunk before one is open";

  VideoStbl stbl(&out);
  ASSERT_TRUE(stbl.AddSample(0x10, 10, 0, 0, false));
  ASSERT_TRUE(stbl.AddSample(0x1A, 11, 20, 20, false));
  ASSERT_TRUE(stbl.AddSample(0x100, 12, 40, 40, true));
  const Bytes b = Render(stbl);
  EXPECT_EQ((Words{1, 2, 1, 2, 1, 1}), Table(b, "stsc", 4, 6));
  EXPECT_EQ((Words{0x10, 0x100}), Table(b, "stco"));
}

// In memory the large-file table keeps 4 bytes per chunk; what it writes
// must still be every offset whole, whatever the sequence.
TEST(ChunkOffsetWidth, Co64WritesEveryOffsetWhole) {
  std::vector<std::vector<uint64_t>> cases;
  std::vector<uint64_t> growing;  // passes 4 GiB several times, over several blocks
  for (uint64_t o = 40, i = 0; i < 70000; ++i, o += 150000 + i % 7) growing.push_back(o);
  cases.push_back(growing);
  cases.push_back(
      {0x200000000ull, 5, 0xFFFFFFFFull, 0x100000000ull, 0x100000000ull, 0x7FFFFFFFFFFFull, 1, 0x123456789Aull});
  cases.push_back({});
  for (const auto& offsets : cases) {
    for (const bool reserveLater : {false, true}) {
      MemoryStream out;
      CMp4Co64Atom co64(&out);
      for (uint64_t o : offsets) ASSERT_TRUE(co64.AddChunk(o));
      if (reserveLater) co64.SetMaxFrame(static_cast<uint32_t>(offsets.size() + 3));
      const Bytes c = Render(co64);
      Table(c, "co64", 4, 0);
      const size_t entries = reserveLater ? offsets.size() + 3 : offsets.size();
      ASSERT_EQ(16 + 8 * entries, c.size());
      EXPECT_EQ(offsets.size(), BE32(c, 12));
      for (size_t i = 0; i < offsets.size(); ++i) ASSERT_EQ(offsets[i], BE64(c, 16 + 8 * i)) << "entry " << i;
      for (size_t i = offsets.size(); i < entries; ++i) EXPECT_EQ(0u, BE64(c, 16 + 8 * i)) << "reserved " << i;
      if (!reserveLater && offsets.size() > 65536) {
        EXPECT_LE(co64.MemoryBytes(), offsets.size() * 4 + 300000) << "4 bytes per chunk plus one block";
      }
    }
  }
  // Reservations past the 4 GiB box size throw before allocating.
  MemoryStream out;
  CMp4Co64Atom co64(&out);
  CMp4StszAtom stsz(&out);
  StdoutCapture cap;
  EXPECT_THROW(co64.SetMaxFrame(0x20000000u), bv_mp4_exception);  // 16 + 2^32 bytes
  EXPECT_THROW(stsz.SetMaxFrame(0x3FFFFFFFu), bv_mp4_exception);  // 20 + 2^32 - 4 bytes
  EXPECT_EQ(0u, co64.MemoryBytes());
  EXPECT_NE(std::string::npos, cap.Take().find("would pass the 4 GiB box limit"));
}

TEST(SafeModeCapacity, TablesAreFullSizeFromTheFirstWriteAndAreRefusedWhenFull) {
  MemoryStream out;
  VideoStbl stbl(&out);
  stbl.SetMaxFrame(100, 5);
  const Bytes head = Render(stbl);
  // Reserved areas: size, then zeros behind the header (stsz also has a
  // zero sample size); stsc holds its one fixed entry.
  const struct {
    const char* type;
    uint32_t size, zerosFrom;
  } areas[] = {{"stts", 16 + 8 * 100, 16}, {"stsz", 20 + 4 * 100, 12}, {"stco", 16 + 4 * 100, 16}, {"stss", 16 + 4 * 5, 16}};
  const bvtest::BoxTree tree(head);
  for (const auto& a : areas) {
    const bvtest::Box* box = tree.Find(std::string("stbl/") + a.type);
    ASSERT_NE(nullptr, box) << a.type;
    EXPECT_EQ(a.size, box->size) << a.type;
    for (size_t p = box->offset + a.zerosFrom; p < box->offset + a.size; ++p) ASSERT_EQ(0, head[p]) << a.type;
  }
  EXPECT_EQ((Words{1, 1, 1, 1}), Table(head, "stsc", 0, 4));

  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(stbl.AddSample(1000 + 10 * i, 10, 40 * i, 40 * i, false)) << i;
  StdoutCapture cap;
  EXPECT_FALSE(stbl.AddSample(5000, 10, 4000, 4000, false));
  EXPECT_NE(std::string::npos, cap.Take().find("reach the max frame num 100"));
  EXPECT_EQ(100u, stbl.GetSampleCount());
  EXPECT_EQ(100u, stbl.Stco().Count());
  EXPECT_EQ(head.size(), stbl.GetSize());
  for (uint32_t i = 1; i <= 5; ++i) ASSERT_TRUE(stbl.Stss().AddSyncSample(20 * i));
  StdoutCapture scap;
  EXPECT_FALSE(stbl.Stss().AddSyncSample(101));
  EXPECT_NE(std::string::npos, scap.Take().find("video sync frame box(stss) have no left space"));
  EXPECT_EQ(5u, stbl.Stss().Count());

  // Audio reserves one time entry: refused at the first duration change,
  // leaving no trace, while the constant duration goes on.
  CMp4AudioStblAtom audio(&out);
  audio.Stsd().SetAudio({48000, 1024, MP4_AUDIO_AAC, 48000, 2, 2}, 1);
  audio.SetMaxFrame(1000, 0);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(audio.AddSample(100 * i, 6, 1024 * i, 1024 * i, false));
  StdoutCapture acap;
  EXPECT_FALSE(audio.AddSample(900, 6, 4 * 1024 + 1025, 4 * 1024 + 1025, false));
  EXPECT_NE(std::string::npos, acap.Take().find("reach the max frame num 1"));
  EXPECT_EQ(5u, audio.GetSampleCount());
  EXPECT_EQ(5u, audio.Stco().Count());
  EXPECT_EQ(30u, audio.GetSampleDataSize());
  EXPECT_TRUE(audio.AddSample(900, 6, 5 * 1024, 5 * 1024, false));
  EXPECT_EQ(1u, audio.Stts().EntryCount());

  // A reserved time table never holds more than its entries.
  CMp4SttsAtom stts(&out);
  stts.SetMaxFrame(2);
  StdoutCapture quiet;
  for (uint64_t t : {10, 30, 60, 100}) stts.AddEntry(t);  // a new duration with every sample
  EXPECT_EQ(2u, stts.EntryCount());
  EXPECT_EQ(16u + 8 * 2, Render(stts).size());
}

// A cut below what the last update wrote is rewritten by the next update
// even when no entry was added since. Tables never written reserved report
// a logic error and write nothing.
TEST(UpdateInPlace, ACutAloneRewritesTheCountAndUnreservedTablesRefuse) {
  MemoryStream file;
  file.Write("lead", 4);  // a table at offset 0 counts as never written
  CMp4StszAtom stsz(&file);
  stsz.SetMaxFrame(10);
  for (uint32_t size = 1; size <= 5; ++size) ASSERT_TRUE(stsz.AddEntry(size));
  stsz.Write();
  stsz.Update();
  EXPECT_EQ(5u, BE32(file.All(), 4 + 16));
  stsz.KeepFirst(3);
  stsz.Update();
  EXPECT_EQ(3u, BE32(file.All(), 4 + 16));

  MemoryStream unreserved;
  VideoStbl stbl(&unreserved);
  stbl.AddSample(10, 5, 0, 0, true);
  StdoutCapture cap;
  stbl.Update();
  CMp4StcoAtom(&unreserved).Update();
  CMp4SttsAtom(&unreserved).Update();
  EXPECT_NE(std::string::npos, cap.Take().find("not in safe mode, logic error"));
  EXPECT_EQ(0u, unreserved.Size());
}
