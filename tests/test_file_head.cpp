// The file head written by the muxer (ftyp, free, mdat) in both flavours and
// both mdat forms, the flavour chosen from the path, and close without data.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "box_bytes.h"
#include "box_reader.h"
#include "Mp4Muxer.h"
#include "test_support.h"

using bv::CMp4Muxer;
using namespace bvtest;

namespace {

mp4_config_t Config(uint32_t flags) {
  mp4_config_t c{};
  c.flags = flags;
  c.dio_param1 = 4096;
  c.dio_param2 = 32;
  return c;
}

// The head of a file closed without media, in both flavours and both mdat
// forms: ftyp, free (MP4 only), an empty mdat whose size was patched, then
// moov. A second header write changes nothing.
TEST(FileHead, FtypFreeAndMdatInBothFlavoursAndSizeForms) {
  const Bytes mp4Ftyp = Words({28, Code("ftyp"), Code("isom"), 0x200, Code("isom"), Code("iso2"), Code("mp41")});
  const Bytes movFtyp = Words({20, Code("ftyp"), Code("qt  "), 0x20050300, Code("qt  ")});
  const Bytes free = Words({8, Code("free")}), mdat = Words({8, Code("mdat")}), mdat64 = Words({1, Code("mdat"), 0, 16});
  const struct {
    const char* name;
    uint32_t flags;
    Bytes head;
  } cases[] = {
      {"a.mp4", 0, mp4Ftyp + free + mdat},
      {"a.mov", 0, movFtyp + mdat},
      {"l.mp4", MP4_FLAG_LARGE_FILE, mp4Ftyp + free + mdat64},
      {"l.mov", MP4_FLAG_LARGE_FILE, movFtyp + mdat64},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir.File(c.name);
    CMp4Muxer m;
    ASSERT_EQ(0, m.Create(Widen(path).c_str(), Config(c.flags)));
    ASSERT_EQ(0, m.WriteHeader());
    const uint64_t size = m.FileSize();
    StdoutCapture cap;
    EXPECT_EQ(0, m.WriteHeader());
    EXPECT_NE(std::string::npos, cap.Take().find("header already write"));
    EXPECT_EQ(size, m.FileSize());
    EXPECT_EQ(0, m.Close());
    const Bytes b = ReadFile(path);
    ASSERT_GT(b.size(), c.head.size() + 8) << c.name;
    EXPECT_EQ(c.head, Bytes(b.begin(), b.begin() + static_cast<long>(c.head.size()))) << c.name;
    const BoxTree tree(b);
    EXPECT_TRUE(tree.Errors().empty()) << c.name;
    EXPECT_EQ("moov", tree.Top().back().type) << c.name;
    EXPECT_EQ(c.head.size(), tree.Top().back().offset) << c.name;
  }
}

TEST(FileHead, FlavourComesFromMovAnywhereInThePathCaseSensitive) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directories(std::filesystem::u8path(dir.File("movies"))));
  const std::pair<std::string, bool> cases[] = {{dir.File("movies/clip.mp4"), true},
                                                {dir.File("clip.MOV"), false},
                                                {dir.File("clip.mov"), true},
                                                {dir.File("clip.mp4"), false}};
  for (const auto& [path, quickTime] : cases) {
    CMp4Muxer m;
    ASSERT_EQ(0, m.Create(Widen(path).c_str(), Config(0)));
    EXPECT_EQ(quickTime, m.IsQuickTime()) << path;
    EXPECT_EQ(0, m.Close());
  }
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
