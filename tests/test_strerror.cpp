// mp4_strerror: every result code has its own fixed text; any other value
// reads "unknown result code".
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "bv_mp4.h"

TEST(ResultText, EachCodeHasItsOwnTextAndOthersAreUnknown) {
  const int codes[] = {MP4_SUCCESS, MP4_ERR_FAILED, MP4_ERR_INVALID_HANDLE, MP4_ERR_INVALID_PARAM,
                       MP4_ERR_INVALID_CODEC, MP4_ERR_SUBTITLE_CODEC, MP4_ERR_INVALID_ADTS, MP4_ERR_PARSE_VIDEO,
                       MP4_ERR_INVALID_VIDEO_TRACK, MP4_ERR_NOT_SUPPORTED, MP4_ERR_PERMISSION, MP4_ERR_NO_ENTRY,
                       MP4_ERR_ACCESS, MP4_ERR_BUSY, MP4_ERR_TOO_MANY_FILES, MP4_ERR_NO_SPACE, MP4_ERR_READ_ONLY,
                       MP4_ERR_EXTERNAL_OPEN, MP4_ERR_FILE_NOT_OPEN, MP4_ERR_TABLE_FULL};
  const std::string unknown = "unknown result code";
  std::set<std::string> seen;
  for (int c : codes) {
    const char* text = mp4_strerror(c);
    ASSERT_NE(text, nullptr) << c;
    EXPECT_GT(std::strlen(text), 3u) << c;
    EXPECT_NE(text, unknown) << c;
    EXPECT_TRUE(seen.insert(text).second) << "text shared by code " << c << ": " << text;
  }
  EXPECT_STREQ(mp4_strerror(MP4_ERR_NO_SPACE), "no space left on device");
  for (int c : {-1, 3, 5, 22, 1000, INT32_MIN}) EXPECT_EQ(unknown, mp4_strerror(c)) << c;
}
