// The file head written by the muxer (ftyp, free, mdat) in both flavours and
// both mdat forms, the flavour chosen from the path, and close without data.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "box_reader.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using bv::CMp4Muxer;
using bvtest::BE32;
using bvtest::BE64;
using bvtest::FourCC;
using bvtest::ReadFile;
using bvtest::StdoutCapture;
using bvtest::TempDir;
using bvtest::Widen;

namespace {

mp4_config_t Config(uint32_t flags) {
  mp4_config_t c{};
  c.flags = flags;
  c.dio_param1 = 4096;
  c.dio_param2 = 32;
  return c;
}

std::vector<uint8_t> HeadOnly(const std::string& path, uint32_t flags) {
  CMp4Muxer m;
  EXPECT_EQ(0, m.Create(Widen(path).c_str(), Config(flags)));
  EXPECT_EQ(0, m.WriteHeader());
  EXPECT_EQ(0, m.Close());
  return ReadFile(path);
}

TEST(FileHead, Mp4HeadIsFtypFreeAndMdat) {
  TempDir dir;
  const auto b = HeadOnly(dir.File("a.mp4"), 0);
  const bvtest::BoxTree tree(b);
  ASSERT_EQ(4u, tree.Top().size());
  EXPECT_EQ("moov", tree.Top()[3].type);  // behind the media data
  EXPECT_EQ(44u, tree.Top()[3].offset);
  EXPECT_EQ(28u, BE32(b, 0));
  EXPECT_EQ("ftyp", FourCC(b, 4));
  EXPECT_EQ("isom", FourCC(b, 8));
  EXPECT_EQ(0x00000200u, BE32(b, 12));
  EXPECT_EQ("isom", FourCC(b, 16));
  EXPECT_EQ("iso2", FourCC(b, 20));
  EXPECT_EQ("mp41", FourCC(b, 24));
  EXPECT_EQ(8u, BE32(b, 28));
  EXPECT_EQ("free", FourCC(b, 32));
  EXPECT_EQ(8u, BE32(b, 36));  // empty mdat after its size was patched
  EXPECT_EQ("mdat", FourCC(b, 40));
}

TEST(FileHead, QuickTimeHeadHasNoFreeBox) {
  TempDir dir;
  const auto b = HeadOnly(dir.File("a.mov"), 0);
  const bvtest::BoxTree tree(b);
  ASSERT_EQ(3u, tree.Top().size());
  EXPECT_EQ("moov", tree.Top()[2].type);
  EXPECT_EQ(20u, BE32(b, 0));
  EXPECT_EQ("qt  ", FourCC(b, 8));
  EXPECT_EQ(0x20050300u, BE32(b, 12));
  EXPECT_EQ("qt  ", FourCC(b, 16));
  EXPECT_EQ("mdat", FourCC(b, 24));
}

TEST(FileHead, LargeFileMdatCarriesASixtyFourBitSize) {
  TempDir dir;
  for (const char* name : {"l.mp4", "l.mov"}) {
    const auto b = HeadOnly(dir.File(name), MP4_FLAG_LARGE_FILE);
    const bvtest::BoxTree tree(b);
    const bvtest::Box* mdat = tree.Find("mdat");
    ASSERT_NE(nullptr, mdat);
    const size_t at = mdat->offset;
    EXPECT_EQ(1u, BE32(b, at)) << name;
    EXPECT_EQ("mdat", FourCC(b, at + 4));
    EXPECT_EQ(16u, BE64(b, at + 8)) << name;
  }
}

TEST(FileHead, FlavourComesFromMovAnywhereInThePathCaseSensitive) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(dir.File("movies"))));
  struct Case {
    std::string path;
    bool quickTime;
  };
  const std::vector<Case> cases = {{dir.File("movies/clip.mp4"), true},
                                   {dir.File("clip.MOV"), false},
                                   {dir.File("clip.mov"), true},
                                   {dir.File("clip.mp4"), false}};
  for (const auto& c : cases) {
    CMp4Muxer m;
    ASSERT_EQ(0, m.Create(Widen(c.path).c_str(), Config(0)));
    EXPECT_EQ(c.quickTime, m.IsQuickTime()) << c.path;
    EXPECT_EQ(0, m.Close());
  }
}

TEST(FileHead, SecondHeaderWriteChangesNothing) {
  TempDir dir;
  const std::string path = dir.File("h.mp4");
  CMp4Muxer m;
  ASSERT_EQ(0, m.Create(Widen(path).c_str(), Config(0)));
  ASSERT_EQ(0, m.WriteHeader());
  const uint64_t size = m.FileSize();
  StdoutCapture cap;
  EXPECT_EQ(0, m.WriteHeader());
  EXPECT_NE(std::string::npos, cap.Take().find("header already write"));
  EXPECT_EQ(size, m.FileSize());
  EXPECT_EQ(0, m.Close());
  const bvtest::BoxTree tree(ReadFile(path));
  ASSERT_EQ(4u, tree.Top().size());
  EXPECT_EQ("mdat", tree.Top()[2].type);
  EXPECT_EQ(8u, tree.Top()[2].size);
}

TEST(FileHead, CloseWithoutDataWritesNothing) {
  TempDir dir;
  const std::string path = dir.File("e.mp4");
  CMp4Muxer m;
  ASSERT_EQ(0, m.Create(Widen(path).c_str(), Config(0)));
  StdoutCapture cap;
  EXPECT_EQ(0, m.Close());
  EXPECT_NE(std::string::npos, cap.Take().find("no data, ignore finish call"));
  EXPECT_TRUE(ReadFile(path).empty());
}

TEST(FileHead, RepairPathLengthLimit) {
  TempDir dir;
  // 1019 + 6 passes the 1024-character side-file path: refused with 4 before
  // anything is opened.
  std::wstring path = Widen(dir.path()) + L"/";
  path += std::wstring(1019 - path.size(), L'r');
  ASSERT_EQ(1019u, path.size());
  CMp4Muxer m;
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, m.Create(path.c_str(), Config(MP4_FLAG_REPAIR)));
  path.pop_back();
  CMp4Muxer m2;
  EXPECT_NE(MP4_ERR_INVALID_PARAM, m2.Create(path.c_str(), Config(MP4_FLAG_REPAIR)));
}

#if !defined(_WIN32)
// The size patch of ftyp seeks, which pushes the buffered bytes to the full
// device: the header write reports 17, the stream stays failed and close
// reports the same error rather than success.
TEST(FileHead, FullDiskIsReportedAsSeventeen) {
  CMp4Muxer m;
  ASSERT_EQ(0, m.Create(L"/dev/full", Config(0)));
  StdoutCapture cap;
  const int header = m.WriteHeader();
  const int close = m.Close();
  const std::string out = cap.Take();
  EXPECT_EQ(MP4_ERR_NO_SPACE, header);
  EXPECT_EQ(MP4_ERR_NO_SPACE, close);
  EXPECT_NE(std::string::npos, out.find("No space left on device")) << out;
}
#endif

}  // namespace
