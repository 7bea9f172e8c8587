// The log line format.
#include <gtest/gtest.h>


#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <set>
#include <ctime>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bv_mp4.h"
#include "test_support.h"

using bvtest::StdoutCapture;

namespace {

// "[MM-DD hh:mm:ss.mmm] [level] [x.cpp:42] hello 7\n": the stamp is the
// local time of the call (one of the seconds the clock showed around it),
// then the level word, the base name of the source file (cut after its last
// separator of either kind; a null one is no crash) and the message (cut
// after 1023 characters).
TEST(Log, LineShapeStampLevelWordsAndCuts) {
  using Writer = int (*)(const char*, const char*, int, const char*, ...);
  const std::string longText(2000, 'z');
  const struct {
    Writer writer;
    const char* path;
    const char* text;
    std::string rest;  // the line behind the stamp's milliseconds
  } cases[] = {
      {mm_log_debug, "src/x.cpp", "hello 7", "] [DEBUG] [x.cpp:42] hello 7\n"},
      {mm_log_info, "src/x.cpp", "hello 7", "] [info] [x.cpp:42] hello 7\n"},
      {mm_log_warn, "src/x.cpp", "hello 7", "] [warn] [x.cpp:42] hello 7\n"},
      {mm_log_error, "src/x.cpp", "hello 7", "] [error] [x.cpp:42] hello 7\n"},
      {mm_log_warn, "C:\\a\\b\\file.cpp", "m", "] [warn] [file.cpp:42] m\n"},
      {mm_log_warn, "/a/b/file.cpp", "m", "] [warn] [file.cpp:42] m\n"},
      {mm_log_warn, "a/b\\c/d\\mixed.cpp", "m", "] [warn] [mixed.cpp:42] m\n"},
      {mm_log_warn, "a\\b/c\\d/mixed2.cpp", "m", "] [warn] [mixed2.cpp:42] m\n"},
      {mm_log_warn, "plain.cpp", "m", "] [warn] [plain.cpp:42] m\n"},
      {mm_log_warn, nullptr, "m", "] [warn] [(null):42] m\n"},
      {mm_log_warn, "f.cpp", longText.c_str(), "] [warn] [f.cpp:42] " + std::string(1023, 'z') + "\n"},
  };
  for (const auto& c : cases) {
    // time() may read a coarse clock that lags the precise one the stamp
    // uses by a tick, so both bounds come from the precise clock.
    const std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    StdoutCapture cap;
    c.writer("%s", c.path, 42, "fn", c.text);
    const std::string line = cap.Take();
    const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    ASSERT_GE(line.size(), 21u) << line;
    bool seen = false;
    for (std::time_t t = before; t <= after && !seen; ++t) {
      char want[32];
      std::strftime(want, sizeof(want), "[%m-%d %H:%M:%S.", std::localtime(&t));
      seen = line.compare(0, 16, want) == 0;
    }
    EXPECT_TRUE(seen) << line;
    for (size_t i = 16; i < 19; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[i]))) << line;
    EXPECT_EQ(c.rest, line.substr(19));
  }
}

// Lines the host's callback received, by level; several sinks may share one
// set of lines to prove that a line went to exactly one of them.
struct Received {
  std::vector<std::pair<int, std::string>> lines;
  static void BV_MP4_CALL Take(void* ctx, int level, const char* line) {
    static_cast<Received*>(ctx)->lines.emplace_back(level, line);
  }
};

// Restores the default sink and threshold however a test ends.
struct LogDefaults {
  ~LogDefaults() {
    mm_log_set_callback(nullptr, nullptr);
    mm_log_set_level(MM_LOG_DEBUG);
  }
};

TEST(Log, ThresholdPassesItsLevelAndAbove) {
  LogDefaults restore;
  using Writer = int (*)(const char*, const char*, int, const char*, ...);
  const Writer writers[] = {mm_log_debug, mm_log_info, mm_log_warn, mm_log_error};
  for (int threshold = MM_LOG_DEBUG; threshold <= MM_LOG_NONE; ++threshold) {
    ASSERT_EQ(MP4_SUCCESS, mm_log_set_level(threshold));
    Received got;
    mm_log_set_callback(Received::Take, &got);
    for (Writer w : writers) w("m", "f.cpp", 1, "fn");
    mm_log_set_callback(nullptr, nullptr);
    StdoutCapture cap;
    for (Writer w : writers) w("m", "f.cpp", 1, "fn");
    const std::string printed = cap.Take();
    std::vector<int> levels;
    for (const auto& l : got.lines) levels.push_back(l.first);
    std::vector<int> want;
    for (int level = threshold; level < MM_LOG_NONE; ++level) want.push_back(level);
    EXPECT_EQ(want, levels) << "threshold " << threshold;
    EXPECT_EQ(want.size(), static_cast<size_t>(std::count(printed.begin(), printed.end(), '\n')))
        << "threshold " << threshold << ": " << printed;
  }
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mm_log_set_level(-1));
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mm_log_set_level(MM_LOG_NONE + 1));
}

// The callback gets the text standard output would get; a line the callback
// logs itself goes to standard output; a null callback restores it.
TEST(Log, CallbackReceivesTheFinishedLine) {
  LogDefaults restore;
  struct Echo {
    std::string line;
    static void BV_MP4_CALL Take(void* ctx, int, const char* line) {
      static_cast<Echo*>(ctx)->line = line;
      mm_log_warn("from inside", "cb.cpp", 2, "cb");
    }
  } echo;
  mm_log_set_callback(Echo::Take, &echo);
  StdoutCapture cap;
  const int n = mm_log_info("hello %d", "/src/x.cpp", 42, "fn", 7);
  mm_log_set_callback(nullptr, nullptr);
  mm_log_info("after", "y.cpp", 3, "fn");
  const std::string printed = cap.Take();
  EXPECT_EQ(static_cast<int>(echo.line.size()), n);
  ASSERT_GE(echo.line.size(), 20u);
  EXPECT_EQ(" [info] [x.cpp:42] hello 7\n", echo.line.substr(20));
  EXPECT_NE(std::string::npos, printed.find("] [warn] [cb.cpp:2] from inside\n")) << printed;
  EXPECT_NE(std::string::npos, printed.find("] [info] [y.cpp:3] after\n")) << printed;
  EXPECT_EQ(std::string::npos, printed.find("hello")) << printed;
}

// Eight threads log at once while a ninth keeps switching between two
// callbacks: every line arrives whole, exactly once, at one of them.
TEST(LogThreads, ConcurrentLinesArriveWholeAndOnce) {
  LogDefaults restore;
  constexpr int kThreads = 8, kLines = 400;
  Received a, b;
  mm_log_set_callback(Received::Take, &a);
  std::atomic<int> running{kThreads};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([t, &running] {
      const std::string padding(200 + t * 50, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) mm_log_warn("t%d n%d %s", "thr.cpp", t, "fn", t, i, padding.c_str());
      running.fetch_sub(1);
    });
  }
  for (bool useA = false; running.load() > 0; useA = !useA) {
    mm_log_set_callback(Received::Take, useA ? &a : &b);
    mm_log_set_level(MM_LOG_DEBUG);
    std::this_thread::yield();
  }
  for (std::thread& th : loggers) th.join();
  mm_log_set_callback(nullptr, nullptr);
  std::set<std::string> seen;
  size_t total = 0;
  for (const Received* r : {&a, &b}) {
    for (const auto& l : r->lines) {
      ++total;
      EXPECT_EQ(MM_LOG_WARN, l.first);
      int t = -1, i = -1;
      ASSERT_EQ(2, std::sscanf(l.second.c_str() + 20, " [warn] [thr.cpp:%*d] t%d n%d", &t, &i)) << l.second;
      ASSERT_TRUE(t >= 0 && t < kThreads) << l.second;
      const std::string want = "t" + std::to_string(t) + " n" + std::to_string(i) + " " +
                               std::string(200 + t * 50, static_cast<char>('a' + t)) + "\n";
      EXPECT_EQ(want, l.second.substr(l.second.size() - want.size())) << l.second;
      seen.insert(std::to_string(t) + "/" + std::to_string(i));
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), total);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

}  // namespace
