// Sample tables written to an in-memory stream and read back by a small,
// separate reader of the box bytes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bv_exception.h"
#include "co64.h"
#include "stbl.h"
#include "stco.h"
#include "stsc.h"
#include "stss.h"
#include "stsz.h"
#include "stts.h"
#include "test_support.h"

using namespace bv;
using bvtest::BE32;
using bvtest::BE64;
using bvtest::FourCC;
using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

namespace {

struct OpenBuffer : CBufferIO {
  OpenBuffer() { SetTarget(nullptr); }
  Bytes Bytes_() const { return Bytes(Data(), Data() + Size()); }
};

Bytes Render(CMp4Atom& box) {
  auto* out = static_cast<OpenBuffer*>(box.Stream());
  out->Seek(0, 2);
  const uint64_t from = out->Size();
  box.Write();
  const Bytes all = out->Bytes_();
  return Bytes(all.begin() + static_cast<long>(from), all.end());
}

// Reader of a full box holding a count at `countAt` and fixed-width entries
// behind it; checks the header on the way.
struct Table {
  uint32_t size = 0;
  uint32_t count = 0;
  Bytes body;  // bytes behind the count
};
Table ReadTable(const Bytes& b, size_t at, const char* type, size_t countAt = 12) {
  Table t;
  t.size = BE32(b, at);
  EXPECT_EQ(type, FourCC(b, at + 4));
  EXPECT_EQ(0u, BE32(b, at + 8)) << "version and flags";
  t.count = BE32(b, at + countAt);
  EXPECT_LE(at + t.size, b.size());
  t.body.assign(b.begin() + static_cast<long>(at + countAt + 4), b.begin() + static_cast<long>(at + t.size));
  return t;
}
Pairs SttsEntries(const Bytes& b, size_t at = 0) {
  const Table t = ReadTable(b, at, "stts");
  Pairs out;
  for (uint32_t i = 0; i < t.count; ++i) out.emplace_back(BE32(t.body, 8 * i), BE32(t.body, 8 * i + 4));
  return out;
}
std::vector<uint32_t> Words(const Bytes& body, uint32_t n) {
  std::vector<uint32_t> w;
  for (uint32_t i = 0; i < n; ++i) w.push_back(BE32(body, 4 * i));
  return w;
}

// Locates the children of a container by walking the size fields.
std::vector<std::pair<std::string, size_t>> Children(const Bytes& b, size_t at) {
  std::vector<std::pair<std::string, size_t>> out;
  const size_t end = at + BE32(b, at);
  for (size_t p = at + 8; p < end; p += BE32(b, p)) {
    EXPECT_GE(BE32(b, p), 8u);
    if (BE32(b, p) < 8) break;
    out.emplace_back(FourCC(b, p + 4), p);
  }
  return out;
}

// A track table with a stand-in description and an optional sync table.
class TestStbl : public CMp4StblAtom {
 public:
  explicit TestStbl(IBaseIO* io, bool audio = false) : CMp4StblAtom(io), m_stss(io), m_audio(audio) {}
  void SetMaxFrame(uint32_t frames, uint32_t syncFrames) override {
    if (m_audio) {
      ReserveTables(frames, 1);
      return;
    }
    CMp4StblAtom::SetMaxFrame(frames, syncFrames);
    m_stss.SetMaxFrame(syncFrames);
  }
  CMp4StssAtom& Stss() { return m_stss; }

 protected:
  void WriteSampleDescription() override {
    static const uint8_t kStsd[16] = {0, 0, 0, 16, 's', 't', 's', 'd', 0, 0, 0, 0, 0, 0, 0, 0};
    PutBytes(*m_pIO, kStsd, sizeof(kStsd));
  }
  uint32_t SampleDescriptionSize() override { return 16; }
  void WriteSyncTable() override {
    if (!m_audio) m_stss.Write();
  }
  uint32_t SyncTableSize() override { return m_audio ? 0 : m_stss.GetSize(); }
  void UpdateSyncTable() override {
    if (m_stss.IsReserved()) m_stss.Update();
  }

 private:
  CMp4StssAtom m_stss;
  bool m_audio;
};

Bytes Image(std::initializer_list<uint8_t> b) { return Bytes(b); }

}  // namespace

// ---------------------------------------------------------------------------
// stts

TEST(SttsRunLength, RunsCloseOnDurationChangeAndLastSampleTakesItsRunDuration) {
  struct Case {
    std::vector<uint64_t> times;
    Pairs expected;
  };
  const std::vector<Case> cases = {
      {{0, 40, 80, 120}, {{4, 40}}},
      {{0}, {{1, 33}}},  // a lone sample lasts the default delta
      {{0, 40, 80, 160, 200}, {{2, 40}, {1, 80}, {2, 40}}},
      {{1000, 1050}, {{2, 50}}},
      {{0, 10, 30, 60}, {{1, 10}, {1, 20}, {2, 30}}},
      // Durations are 32-bit differences even for timestamps above 2^32.
      {{0x100000000ull, 0x100000000ull + 7, 0x100000000ull + 14}, {{3, 7}}},
      {{}, {}},
  };
  for (const Case& c : cases) {
    OpenBuffer out;
    CMp4SttsAtom stts(&out);
    stts.SetDefaultDelta(33);
    for (uint64_t t : c.times) ASSERT_TRUE(stts.AddEntry(t));
    const Bytes b = Render(stts);
    EXPECT_EQ(c.expected, SttsEntries(b)) << "samples: " << c.times.size();
    EXPECT_EQ(16 + 8 * c.expected.size(), b.size());
  }
}

TEST(SttsRunLength, BytesOfOneRunAreTheBoxFormat) {
  OpenBuffer out;
  CMp4SttsAtom stts(&out);
  for (uint64_t t : {0, 40, 80, 120}) stts.AddEntry(t);
  EXPECT_EQ(Image({0, 0, 0, 24, 's', 't', 't', 's', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 40}), Render(stts));
}

TEST(SttsRunLength, FinalEntryIsReplacedWhenTheRunCloses) {
  OpenBuffer out;
  CMp4SttsAtom stts(&out);
  for (uint64_t t : {0, 40, 80}) stts.AddEntry(t);
  EXPECT_EQ((Pairs{{3, 40}}), SttsEntries(Render(stts)));
  for (uint64_t t : {100, 120, 160}) stts.AddEntry(t);  // 20, 20, 40
  EXPECT_EQ((Pairs{{2, 40}, {2, 20}, {2, 40}}), SttsEntries(Render(stts)));
  // A second write with nothing new is identical.
  EXPECT_EQ(Render(stts), Render(stts));
}

// ---------------------------------------------------------------------------
// stsz

TEST(StszCompactForm, EqualSizesGiveTwentyBytesDifferentSizesTheFullTable) {
  struct Case {
    std::vector<uint32_t> sizes;
    uint32_t sampleSize;  // 0 for the full table
  };
  const std::vector<Case> cases = {
      {{}, 0}, {{512}, 512}, {{300, 300, 300}, 300}, {{300, 300, 301}, 0}, {{1, 2}, 0}, {{7, 9, 9, 9}, 0},
  };
  for (const Case& c : cases) {
    OpenBuffer out;
    CMp4StszAtom stsz(&out);
    uint64_t total = 0;
    for (uint32_t s : c.sizes) {
      ASSERT_TRUE(stsz.AddEntry(s));
      total += s;
    }
    const Bytes b = Render(stsz);
    const Table t = ReadTable(b, 0, "stsz", 16);
    EXPECT_EQ(c.sampleSize, BE32(b, 12));
    EXPECT_EQ(c.sizes.size(), t.count);
    EXPECT_EQ(total, stsz.TotalSize());
    if (c.sampleSize != 0 || c.sizes.empty()) {
      EXPECT_EQ(20u, b.size());
    } else {
      EXPECT_EQ(c.sizes, Words(t.body, t.count));
      EXPECT_EQ(20 + 4 * c.sizes.size(), b.size());
    }
  }
}

TEST(StszCompactForm, BytesOfTheCompactForm) {
  OpenBuffer out;
  CMp4StszAtom stsz(&out);
  for (int i = 0; i < 3; ++i) stsz.AddEntry(0x1234);
  EXPECT_EQ(Image({0, 0, 0, 20, 's', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 3}), Render(stsz));
}

// ---------------------------------------------------------------------------
// stsc

namespace {
// The entries as the format defines them, from a list of per-chunk counts.
std::vector<std::vector<uint32_t>> StscOracle(const std::vector<uint32_t>& counts) {
  std::vector<std::vector<uint32_t>> out;
  uint32_t prev = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    if (counts[i] != prev) out.push_back({static_cast<uint32_t>(i + 1), counts[i], 1});
    prev = counts[i];
  }
  return out;
}
std::vector<std::vector<uint32_t>> StscEntries(const Bytes& b) {
  const Table t = ReadTable(b, 0, "stsc");
  std::vector<std::vector<uint32_t>> out;
  for (uint32_t i = 0; i < t.count; ++i) out.push_back(Words(Bytes(t.body.begin() + 12 * i, t.body.end()), 3));
  return out;
}
void Feed(CMp4StscAtom& stsc, const std::vector<uint32_t>& counts) {
  for (uint32_t c : counts) {
    ASSERT_TRUE(stsc.NewChunk());
    for (uint32_t i = 1; i < c; ++i) ASSERT_TRUE(stsc.AddToLastChunk());
  }
}
}  // namespace

TEST(StscChunkRuns, EntriesStartWhereTheSamplesPerChunkChange) {
  std::mt19937 rng(7);
  std::vector<std::vector<uint32_t>> lists = {
      {3, 3, 2, 2, 2}, {1, 1, 1}, {2, 1, 2}, {}, {127, 128, 128, 16384, 1, 300}, {5}};
  for (int n = 0; n < 20; ++n) {
    std::vector<uint32_t> l(1 + rng() % 200);
    for (auto& c : l) c = 1 + rng() % (n % 2 ? 3 : 400);
    lists.push_back(l);
  }
  for (const auto& counts : lists) {
    OpenBuffer out;
    CMp4StscAtom stsc(&out);
    Feed(stsc, counts);
    const Bytes b = Render(stsc);
    EXPECT_EQ(StscOracle(counts), StscEntries(b)) << "chunks: " << counts.size();
    EXPECT_EQ(stsc.GetSize(), b.size());
    EXPECT_EQ(b, Render(stsc)) << "a second write rebuilds the same box";
  }
  OpenBuffer out;
  CMp4StscAtom stsc(&out);
  Feed(stsc, {3, 3, 2, 2, 2});
  EXPECT_EQ(Image({0, 0, 0, 40, 's', 't', 's', 'c', 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 1, 0,
                   0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1}),
            Render(stsc));
}

TEST(StscChunkRuns, NoSampleJoinsAChunkBeforeOneIsOpen) {
  OpenBuffer out;
  CMp4StscAtom stsc(&out);
  EXPECT_FALSE(stsc.AddToLastChunk());
  EXPECT_EQ(16u, Render(stsc).size());
}

TEST(StscChunkRuns, LongTablesAreWrittenInBlocksWithTheSameBytes) {
  // More than one 64 KiB block of entries.
  std::vector<uint32_t> counts(20000);
  for (size_t i = 0; i < counts.size(); ++i) counts[i] = 1 + i % 2;
  OpenBuffer out;
  CMp4StscAtom stsc(&out);
  Feed(stsc, counts);
  const Bytes b = Render(stsc);
  EXPECT_EQ(16u + 12u * 20000u, b.size());
  EXPECT_EQ(StscOracle(counts), StscEntries(b));
}

// ---------------------------------------------------------------------------
// stco / co64 / stss

TEST(ChunkOffsetWidth, Co64KeepsOffsetsWholeStcoKeepsTheLow32Bits) {
  const std::vector<uint64_t> offsets = {48, 0xFFFFFFFFull, 0x100000000ull, 0x123456789Aull};
  OpenBuffer out;
  CMp4StcoAtom stco(&out);
  CMp4Co64Atom co64(&out);
  for (uint64_t o : offsets) {
    ASSERT_TRUE(stco.AddChunk(o));
    ASSERT_TRUE(co64.AddChunk(o));
  }
  const Bytes s = Render(stco);
  const Table ts = ReadTable(s, 0, "stco");
  EXPECT_EQ(4u, ts.count);
  EXPECT_EQ((std::vector<uint32_t>{48, 0xFFFFFFFFu, 0, 0x3456789Au}), Words(ts.body, 4));
  const Bytes c = Render(co64);
  const Table tc = ReadTable(c, 0, "co64");
  ASSERT_EQ(4u, tc.count);
  ASSERT_EQ(48u, c.size());
  for (size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(offsets[i], BE64(tc.body, 8 * i));
}

TEST(StssSyncSamples, NumbersInOrderAndAFullReservedTableRefuses) {
  OpenBuffer out;
  CMp4StssAtom stss(&out);
  for (uint32_t n : {1u, 31u, 61u}) ASSERT_TRUE(stss.AddSyncSample(n));
  const Bytes b = Render(stss);
  EXPECT_EQ(Image({0, 0, 0, 28, 's', 't', 's', 's', 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 31, 0, 0, 0, 61}), b);

  OpenBuffer out2;
  CMp4StssAtom reserved(&out2);
  reserved.SetMaxFrame(2);
  EXPECT_TRUE(reserved.AddSyncSample(1));
  EXPECT_TRUE(reserved.AddSyncSample(5));
  bvtest::StdoutCapture cap;
  EXPECT_FALSE(reserved.AddSyncSample(9));
  EXPECT_NE(std::string::npos, cap.Take().find("video sync frame box(stss) have no left space"));
  EXPECT_EQ(2u, reserved.Count());
}

TEST(ReservedCapacityLimit, ReservationsPastTheBoxSizeLimitThrowBeforeAllocating) {
  OpenBuffer out;
  CMp4Co64Atom co64(&out);
  CMp4StszAtom stsz(&out);
  bvtest::StdoutCapture cap;
  EXPECT_THROW(co64.SetMaxFrame(0x20000000u), bv_mp4_exception);  // 16 + 2^32 bytes
  EXPECT_THROW(stsz.SetMaxFrame(0x3FFFFFFFu), bv_mp4_exception);  // 20 + 2^32 - 4 bytes
  EXPECT_FALSE(co64.IsReserved());
  EXPECT_EQ(0u, co64.MemoryBytes());
  EXPECT_NE(std::string::npos, cap.Take().find("would pass the 4 GiB box limit"));
}

// ---------------------------------------------------------------------------
// GetSize against Write, every table in every state

namespace {
struct SizeCase {
  std::string name;
  std::function<std::unique_ptr<CMp4Atom>(IBaseIO*)> make;
};
template <typename T>
std::unique_ptr<T> New(IBaseIO* io) {
  return std::make_unique<T>(io);
}
void AddVideo(TestStbl& s, int n, uint64_t base = 4096) {
  for (int i = 0; i < n; ++i)
    s.AddSample(base + 1000u * i, 900 + i % 7, 40u * i, 40u * i + (i == 5 ? 3 : 0), i % 3 == 0);
}
const std::vector<SizeCase>& SizeCases() {
  static const std::vector<SizeCase> cases = {
      {"SttsEmpty", [](IBaseIO* io) { return New<CMp4SttsAtom>(io); }},
      {"SttsOneSampleNotYetWritten",
       [](IBaseIO* io) {
         auto t = New<CMp4SttsAtom>(io);
         t->AddEntry(5);
         return t;
       }},
      {"SttsOpenRunBeforeFirstWrite",
       [](IBaseIO* io) {
         auto t = New<CMp4SttsAtom>(io);
         for (uint64_t x : {0, 10, 30, 50, 70}) t->AddEntry(x);
         return t;
       }},
      {"SttsWrittenThenGrown",
       [](IBaseIO* io) {
         auto t = New<CMp4SttsAtom>(io);
         for (uint64_t x : {0, 10, 30}) t->AddEntry(x);
         t->Write();
         for (uint64_t x : {50, 51, 52}) t->AddEntry(x);
         return t;
       }},
      {"SttsReserved",
       [](IBaseIO* io) {
         auto t = New<CMp4SttsAtom>(io);
         t->SetMaxFrame(10);
         for (uint64_t x : {0, 10, 30, 31}) t->AddEntry(x);
         return t;
       }},
      {"StszEmpty", [](IBaseIO* io) { return New<CMp4StszAtom>(io); }},
      {"StszEqual",
       [](IBaseIO* io) {
         auto t = New<CMp4StszAtom>(io);
         for (int i = 0; i < 9; ++i) t->AddEntry(77);
         return t;
       }},
      {"StszDiffer",
       [](IBaseIO* io) {
         auto t = New<CMp4StszAtom>(io);
         for (uint32_t i = 0; i < 9; ++i) t->AddEntry(77 + (i == 8));
         return t;
       }},
      {"StszReservedPartial",
       [](IBaseIO* io) {
         auto t = New<CMp4StszAtom>(io);
         t->SetMaxFrame(50);
         for (int i = 0; i < 9; ++i) t->AddEntry(77);
         return t;
       }},
      {"StszReservedFull",
       [](IBaseIO* io) {
         auto t = New<CMp4StszAtom>(io);
         t->SetMaxFrame(3);
         for (uint32_t i = 0; i < 3; ++i) t->AddEntry(i);
         return t;
       }},
      {"StscEmpty", [](IBaseIO* io) { return New<CMp4StscAtom>(io); }},
      {"StscOpenChunkGrowing",
       [](IBaseIO* io) {
         auto t = New<CMp4StscAtom>(io);
         Feed(*t, {2, 2, 3});
         t->AddToLastChunk();
         return t;
       }},
      {"StscFixed",
       [](IBaseIO* io) {
         auto t = New<CMp4StscAtom>(io);
         t->SetFixed();
         return t;
       }},
      {"StcoPlain",
       [](IBaseIO* io) {
         auto t = New<CMp4StcoAtom>(io);
         for (uint64_t o = 0; o < 5; ++o) t->AddChunk(o << 30);
         return t;
       }},
      {"StcoReserved",
       [](IBaseIO* io) {
         auto t = New<CMp4StcoAtom>(io);
         t->SetMaxFrame(100);
         t->AddChunk(8);
         return t;
       }},
      {"Co64Plain",
       [](IBaseIO* io) {
         auto t = New<CMp4Co64Atom>(io);
         for (uint64_t o = 0; o < 5; ++o) t->AddChunk(o << 33);
         return t;
       }},
      {"Co64Reserved",
       [](IBaseIO* io) {
         auto t = New<CMp4Co64Atom>(io);
         t->SetMaxFrame(7);
         return t;
       }},
      {"StssPlain",
       [](IBaseIO* io) {
         auto t = New<CMp4StssAtom>(io);
         t->AddSyncSample(1);
         return t;
       }},
      {"StssReserved",
       [](IBaseIO* io) {
         auto t = New<CMp4StssAtom>(io);
         t->SetMaxFrame(4);
         t->AddSyncSample(1);
         return t;
       }},
      {"StblEmpty", [](IBaseIO* io) { return std::make_unique<TestStbl>(io); }},
      {"StblPlain",
       [](IBaseIO* io) {
         auto t = std::make_unique<TestStbl>(io);
         AddVideo(*t, 40);
         t->Stss().AddSyncSample(1);
         return t;
       }},
      {"StblPlain64",
       [](IBaseIO* io) {
         auto t = std::make_unique<TestStbl>(io);
         t->SetUse64BitOffsets(true);
         AddVideo(*t, 40, 0x200000000ull);
         return t;
       }},
      {"StblReserved",
       [](IBaseIO* io) {
         auto t = std::make_unique<TestStbl>(io);
         t->SetMaxFrame(60, 3);
         AddVideo(*t, 40);
         return t;
       }},
      {"StblReservedAudio64",
       [](IBaseIO* io) {
         auto t = std::make_unique<TestStbl>(io, true);
         t->SetUse64BitOffsets(true);
         t->SetMaxFrame(60, 0);
         for (int i = 0; i < 10; ++i) t->AddSample(100u * i, 20, 1024u * i, 1024u * i, false);
         return t;
       }},
  };
  return cases;
}
class GetSizeMatchesWrite : public testing::TestWithParam<size_t> {};
}  // namespace

TEST_P(GetSizeMatchesWrite, SizeFieldGetSizeAndBytesWrittenAgree) {
  OpenBuffer out;
  PutZeros(out, 8);  // so that the box does not start at offset 0
  auto box = SizeCases()[GetParam()].make(&out);
  const uint32_t announced = box->GetSize();
  const Bytes b = Render(*box);
  EXPECT_EQ(announced, b.size());
  EXPECT_EQ(announced, BE32(b, 0));
  EXPECT_EQ(announced, box->GetSize()) << "writing changes nothing the size depends on";
}
INSTANTIATE_TEST_SUITE_P(AllTables, GetSizeMatchesWrite, testing::Range<size_t>(0, SizeCases().size()),
                         [](const testing::TestParamInfo<size_t>& i) { return SizeCases()[i.param].name; });

// ---------------------------------------------------------------------------
// stbl

TEST(StblLayout, ChildrenInFileOrderWithTheTablesOfTheSamples) {
  for (bool wide : {false, true}) {
    OpenBuffer out;
    TestStbl stbl(&out);
    stbl.SetUse64BitOffsets(wide);
    // Two chunks of 2 and 1 samples.
    ASSERT_TRUE(stbl.AddSample(0x100000010ull, 10, 0, 0, true));
    ASSERT_TRUE(stbl.AddSample(0x10000001Aull, 11, 20, 20, false));
    ASSERT_TRUE(stbl.AddSample(0x100000100ull, 12, 40, 40, true));
    stbl.Stss().AddSyncSample(1);
    const Bytes b = Render(stbl);
    ASSERT_EQ("stbl", FourCC(b, 4));
    ASSERT_EQ(b.size(), BE32(b, 0));
    const auto kids = Children(b, 0);
    ASSERT_EQ(6u, kids.size());
    const std::vector<std::string> order = {"stsd", "stts", "stsz", "stsc", wide ? "co64" : "stco", "stss"};
    for (size_t i = 0; i < kids.size(); ++i) EXPECT_EQ(order[i], kids[i].first);
    EXPECT_EQ((Pairs{{3, 20}}), SttsEntries(b, kids[1].second));
    const Table sz = ReadTable(b, kids[2].second, "stsz", 16);
    EXPECT_EQ((std::vector<uint32_t>{10, 11, 12}), Words(sz.body, sz.count));
    EXPECT_EQ(33u, stbl.GetSampleDataSize());
    EXPECT_EQ(3u, stbl.GetSampleCount());
    const Table co = ReadTable(b, kids[4].second, order[4].c_str());
    ASSERT_EQ(2u, co.count);
    if (wide) {
      EXPECT_EQ(0x100000010ull, BE64(co.body, 0));
      EXPECT_EQ(0x100000100ull, BE64(co.body, 8));
    } else {
      EXPECT_EQ((std::vector<uint32_t>{0x10, 0x100}), Words(co.body, 2));
    }
  }
}

TEST(StblChunkRule, CallerDecidedChunksFollowTheInterleaving) {
  // The caller opens a chunk whenever the previous sample in the file
  // belonged to the other track: V V A V gives video chunks of 2 and 1 and
  // one audio chunk.
  OpenBuffer out;
  TestStbl video(&out);
  TestStbl audio(&out, true);
  struct Frame {
    bool isVideo;
    uint32_t size;
  };
  const std::vector<Frame> frames = {{true, 100}, {true, 50}, {false, 20}, {true, 70}};
  int lastTrack = -1;
  uint64_t offset = 48;
  uint64_t vt = 0, at = 0;
  for (const Frame& f : frames) {
    const int track = f.isVideo ? 0 : 1;
    TestStbl& s = f.isVideo ? video : audio;
    uint64_t& t = f.isVideo ? vt : at;
    ASSERT_TRUE(s.AddSample(offset, f.size, t, t, track != lastTrack));
    t += f.isVideo ? 3000 : 1024;
    lastTrack = track;
    offset += f.size;
  }
  const Bytes v = Render(video);
  const auto vk = Children(v, 0);
  EXPECT_EQ((std::vector<std::vector<uint32_t>>{{1, 2, 1}, {2, 1, 1}}),
            StscEntries(Bytes(v.begin() + static_cast<long>(vk[3].second), v.end())));
  const Table vc = ReadTable(v, vk[4].second, "stco");
  EXPECT_EQ((std::vector<uint32_t>{48, 218}), Words(vc.body, vc.count));
  const Bytes a = Render(audio);
  const auto ak = Children(a, 0);
  EXPECT_EQ((std::vector<std::vector<uint32_t>>{{1, 1, 1}}),
            StscEntries(Bytes(a.begin() + static_cast<long>(ak[3].second), a.end())));
  const Table ac = ReadTable(a, ak[4].second, "stco");
  EXPECT_EQ((std::vector<uint32_t>{198}), Words(ac.body, ac.count));
}

TEST(StblChunkRule, AFirstSampleOutsideAChunkOpensOne) {
  OpenBuffer out;
  TestStbl stbl(&out);
  ASSERT_TRUE(stbl.AddSample(64, 5, 0, 0, false));
  EXPECT_EQ(1u, stbl.Stco().Count());
  EXPECT_EQ(1u, stbl.Stsc().ChunkCount());
}

TEST(SafeModeCapacity, TablesAreFullSizeFromTheFirstWriteAndThe101stSampleIsRefused) {
  OpenBuffer out;
  TestStbl stbl(&out);
  stbl.SetMaxFrame(100, 5);
  const Bytes head = Render(stbl);
  const auto kids = Children(head, 0);
  ASSERT_EQ(6u, kids.size());
  EXPECT_EQ(16u + 8 * 100, BE32(head, kids[1].second));  // stts
  EXPECT_EQ(20u + 4 * 100, BE32(head, kids[2].second));  // stsz
  EXPECT_EQ(Image({0, 0, 0, 28, 's', 't', 's', 'c', 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}),
            Bytes(head.begin() + static_cast<long>(kids[3].second),
                  head.begin() + static_cast<long>(kids[3].second) + 28));
  EXPECT_EQ(16u + 400, BE32(head, kids[4].second));  // stco
  EXPECT_EQ(16u + 4 * 5, BE32(head, kids[5].second));  // stss
  for (size_t i : {1, 2, 4, 5}) {  // every reserved area but the fixed stsc
    const size_t at = kids[i].second;
    for (size_t p = at + 16 + (i == 2 ? 4 : 0); p < at + BE32(head, at); ++p) ASSERT_EQ(0, head[p]) << kids[i].first;
  }

  for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(stbl.AddSample(1000 + 10 * i, 10, 40 * i, 40 * i, false)) << i;
  bvtest::StdoutCapture cap;
  EXPECT_FALSE(stbl.AddSample(5000, 10, 4000, 4000, false));
  const std::string log = cap.Take();
  EXPECT_NE(std::string::npos, log.find("reach the max frame num 100")) << log;
  EXPECT_EQ(100u, stbl.GetSampleCount());
  EXPECT_EQ(100u, stbl.Stco().Count());
  EXPECT_EQ(head.size(), stbl.GetSize());
}

TEST(SafeModeCapacity, AudioIsRefusedAtTheFirstDurationChangeAndLeavesNoTrace) {
  OpenBuffer out;
  TestStbl audio(&out, true);
  audio.SetMaxFrame(1000, 0);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(audio.AddSample(100 * i, 6, 1024 * i, 1024 * i, false));
  bvtest::StdoutCapture cap;
  EXPECT_FALSE(audio.AddSample(900, 6, 4 * 1024 + 1025, 4 * 1024 + 1025, false));
  EXPECT_NE(std::string::npos, cap.Take().find("reach the max frame num 1"));
  EXPECT_EQ(5u, audio.GetSampleCount());
  EXPECT_EQ(5u, audio.Stco().Count());
  EXPECT_EQ(30u, audio.GetSampleDataSize());
  // The constant duration still goes on.
  EXPECT_TRUE(audio.AddSample(900, 6, 5 * 1024, 5 * 1024, false));
  EXPECT_EQ(1u, audio.Stts().EntryCount());
}

TEST(SafeModeCapacity, ReservedSttsNeverHoldsMoreThanMaxEntries) {
  for (uint32_t max : {1u, 2u, 3u, 8u}) {
    OpenBuffer out;
    CMp4SttsAtom stts(&out);
    stts.SetMaxFrame(max);
    uint64_t t = 0;
    int refused = 0;
    for (uint32_t i = 0; i < 40; ++i) {
      t += 10 + i % 4;  // a new duration with every sample
      bvtest::StdoutCapture cap;
      if (!stts.AddEntry(t)) {
        ++refused;
        t -= 10 + i % 4;
      }
      EXPECT_LE(stts.EntryCount(), max);
    }
    EXPECT_GT(refused, 0);
    const Bytes b = Render(stts);
    EXPECT_LE(BE32(b, 12), max);
    EXPECT_EQ(16u + 8 * max, b.size());
  }
}

// ---------------------------------------------------------------------------
// In-place update of a reserved table area

namespace {
// Offsets of the bytes that differ between two images of the same length.
std::vector<size_t> Diff(const Bytes& a, const Bytes& b) {
  std::vector<size_t> d;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) d.push_back(i);
  return d;
}
bool Within(size_t p, size_t from, size_t to) { return p >= from && p < to; }
}  // namespace

TEST(UpdateInPlace, OnlyCountsAndNewEntriesChangeAtTheirOffsets) {
  OpenBuffer file;
  PutZeros(file, 40);  // what precedes the tables in the header
  TestStbl stbl(&file);
  stbl.SetMaxFrame(50, 4);
  for (uint32_t i = 0; i < 3; ++i) {
    stbl.AddSample(5000 + 100 * i, 100 + i, 40 * i, 40 * i, false);
    stbl.Stss().AddSyncSample(i + 1);
  }
  stbl.Write();
  const Bytes trailer(64, 0xEE);  // media data behind the header
  PutBytes(file, trailer.data(), 64);
  const Bytes before = file.Bytes_();
  const auto kids = Children(before, 40);
  const size_t stts = kids[1].second, stsz = kids[2].second, stco = kids[4].second, stss = kids[5].second;

  for (uint32_t i = 3; i < 6; ++i) stbl.AddSample(5000 + 100 * i, 100 + i, 40 * i, 40 * i + (i == 5 ? 5 : 0), false);
  stbl.Stss().AddSyncSample(6);
  stbl.Update();
  const Bytes after = file.Bytes_();
  ASSERT_EQ(before.size(), after.size());
  for (size_t p : Diff(before, after)) {
    const bool expected = Within(p, stts + 12, stts + 16 + 2 * 8) ||  // count, then (4,40) and (2,45)
                          Within(p, stsz + 16, stsz + 20) || Within(p, stsz + 20 + 12, stsz + 20 + 24) ||
                          Within(p, stco + 12, stco + 16) || Within(p, stco + 16 + 12, stco + 16 + 24) ||
                          Within(p, stss + 12, stss + 16) || Within(p, stss + 16 + 12, stss + 16 + 16);
    EXPECT_TRUE(expected) << "byte " << p << " changed";
  }
  EXPECT_EQ((Pairs{{4, 40}, {2, 45}}), SttsEntries(after, stts));
  EXPECT_EQ((std::vector<uint32_t>{100, 101, 102, 103, 104, 105}), Words(ReadTable(after, stsz, "stsz", 16).body, 6));
  EXPECT_EQ(6u, BE32(after, stsz + 16));
  EXPECT_EQ(6u, BE32(after, stco + 12));
  EXPECT_EQ((std::vector<uint32_t>{5000, 5100, 5200, 5300, 5400, 5500}), Words(ReadTable(after, stco, "stco").body, 6));
  EXPECT_EQ(4u, BE32(after, stss + 12));
  EXPECT_EQ(6u, BE32(after, stss + 16 + 12));
  EXPECT_EQ(Bytes(after.end() - 64, after.end()), trailer);

  // Nothing new: the image stays the same.
  stbl.Update();
  EXPECT_EQ(after, file.Bytes_());
  // The final entry is replaced by the run it stood for once that closes.
  stbl.AddSample(6000, 106, 245, 245, false);
  stbl.Update();
  EXPECT_EQ((Pairs{{4, 40}, {1, 45}, {2, 40}}), SttsEntries(file.Bytes_(), stts));
}

TEST(UpdateInPlace, TablesNotWrittenReservedReportALogicErrorAndWriteNothing) {
  OpenBuffer file;
  TestStbl stbl(&file);
  stbl.AddSample(10, 5, 0, 0, true);
  bvtest::StdoutCapture cap;
  stbl.Update();
  CMp4StcoAtom stco(&file);
  stco.Update();
  CMp4SttsAtom stts(&file);
  stts.Update();
  const std::string log = cap.Take();
  EXPECT_NE(std::string::npos, log.find("logic error"));
  EXPECT_NE(std::string::npos, log.find("not in safe mode, logic error"));
  EXPECT_EQ(0u, file.Size());
}
