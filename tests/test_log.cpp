// The log line format.
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <string>

#include "bv_mp4.h"
#include "test_support.h"

using bvtest::StdoutCapture;

namespace {

std::string Capture(int (*writer)(const char*, const char*, int, const char*, ...), const char* fmt,
                    const char* file, int line, const char* arg = nullptr) {
  StdoutCapture cap;
  writer(fmt, file, line, "fn", arg);
  return cap.Take();
}

// "[MM-DD hh:mm:ss.mmm] [level] [x.cpp:42] hello 7\n", field by field.
TEST(Log, LineShapeAndLevelWords) {
  struct Case {
    int (*writer)(const char*, const char*, int, const char*, ...);
    const char* word;
  };
  for (const Case& c : {Case{mm_log_debug, "DEBUG"}, Case{mm_log_info, "info"}, Case{mm_log_warn, "warn"},
                        Case{mm_log_error, "error"}}) {
    StdoutCapture cap;
    c.writer("hello %d", "src/x.cpp", 42, "fn", 7);
    const std::string line = cap.Take();
    ASSERT_GE(line.size(), 21u) << line;
    const std::string stamp = line.substr(0, 21);
    const std::string shape = "[dd-dd dd:dd:dd.ddd]";
    for (size_t i = 0; i < shape.size(); ++i) {
      if (shape[i] == 'd') {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamp[i]))) << line;
      } else {
        EXPECT_EQ(shape[i], stamp[i]) << line;
      }
    }
    EXPECT_EQ(std::string(" [") + c.word + "] [x.cpp:42] hello 7\n", line.substr(20)) << line;
    const int month = std::stoi(stamp.substr(1, 2)), day = std::stoi(stamp.substr(4, 2));
    const int hour = std::stoi(stamp.substr(7, 2)), second = std::stoi(stamp.substr(13, 2));
    EXPECT_TRUE(month >= 1 && month <= 12) << line;
    EXPECT_TRUE(day >= 1 && day <= 31) << line;
    EXPECT_TRUE(hour >= 0 && hour <= 23) << line;
    EXPECT_LE(second, 60);
  }
}

TEST(Log, BaseNameIsCutAfterTheLastSeparator) {
  struct Case {
    const char* path;
    const char* shown;
  };
  for (const Case& c : {Case{"C:\\a\\b\\file.cpp", "[file.cpp:1]"}, Case{"/a/b/file.cpp", "[file.cpp:1]"},
                        Case{"a/b\\c/d\\mixed.cpp", "[mixed.cpp:1]"}, Case{"a\\b/c\\d/mixed2.cpp", "[mixed2.cpp:1]"},
                        Case{"plain.cpp", "[plain.cpp:1]"}}) {
    const std::string line = Capture(mm_log_info, "m", c.path, 1);
    EXPECT_NE(std::string::npos, line.find(c.shown)) << line;
  }
}

TEST(Log, MessagesAreCutAt1023Characters) {
  const std::string longText(2000, 'z');
  const std::string line = Capture(mm_log_error, "%s", "f.cpp", 3, longText.c_str());
  const size_t start = line.find("] z") + 2;
  ASSERT_NE(std::string::npos, start);
  const std::string message = line.substr(start, line.size() - start - 1);
  EXPECT_EQ(std::string(1023, 'z'), message);
  EXPECT_EQ('\n', line.back());
}

TEST(Log, NullFileNameDoesNotCrash) {
  const std::string line = Capture(mm_log_warn, "m", nullptr, 5);
  EXPECT_NE(std::string::npos, line.find("[warn]"));
  EXPECT_NE(std::string::npos, line.find(":5] m"));
}

// The stamp is the local time of the call: one of the seconds the clock
// showed between just before and just after it.
TEST(Log, StampIsTheLocalTimeOfTheCall) {
  const std::time_t before = std::time(nullptr);
  const std::string line = Capture(mm_log_info, "m", "x.cpp", 1);
  const std::time_t after = std::time(nullptr);
  ASSERT_GE(line.size(), 15u);
  const std::string got = line.substr(1, 14);
  bool seen = false;
  for (std::time_t t = before; t <= after && !seen; ++t) {
    char want[32];
    std::strftime(want, sizeof(want), "%m-%d %H:%M:%S", std::localtime(&t));
    seen = got == want;
  }
  EXPECT_TRUE(seen) << line;
}

}  // namespace
