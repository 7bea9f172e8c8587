// The log line: its shape, where it goes (standard output or the host's
// callback), the threshold, and concurrent writers.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bv_mp4.h"
#include "test_support.h"

using bvtest::CountOf;
using bvtest::StdoutCapture;

namespace {

using Writer = int (*)(const char*, const char*, int, const char*, ...);

// "[MM-DD hh:mm:ss.mmm] [level] [x.cpp:42] hello 7\n": the stamp is the
// local time of the call (one of the seconds the clock showed around it),
// then the level word, the base name of the source file (cut after its last
// separator of either kind; a null one is no crash) and the message (cut
// after 1023 characters).
TEST(Log, LineShapeStampLevelWordsAndCuts) {
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
    const int n = c.writer("%s", c.path, 42, "fn", c.text);
    const std::string line = cap.Take();
    const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    ASSERT_GE(line.size(), 21u) << line;
    EXPECT_EQ(static_cast<int>(line.size()), n);
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
// set of lines to prove that a line went to exactly one of them. Each line
// received logs one of its own, which must go to standard output.
struct Received {
  std::vector<std::pair<int, std::string>> lines;
  static void BV_MP4_CALL Take(void* ctx, int level, const char* line) {
    static_cast<Received*>(ctx)->lines.emplace_back(level, line);
    mm_log_error("from inside", "cb.cpp", 2, "cb");
  }
};

// Restores the default sink and threshold however a test ends.
struct LogDefaults {
  ~LogDefaults() {
    mm_log_set_callback(nullptr, nullptr);
    mm_log_set_level(MM_LOG_DEBUG);
  }
};

// At each threshold the lines at it and above reach the callback, as
// finished lines, and nothing else; a null callback gives standard output
// back; levels outside the range are refused.
TEST(Log, ThresholdAndCallbackDecideWhereLinesGo) {
  LogDefaults restore;
  const Writer writers[] = {mm_log_debug, mm_log_info, mm_log_warn, mm_log_error};
  const char* const words[] = {"DEBUG", "info", "warn", "error"};
  for (int threshold = MM_LOG_DEBUG; threshold <= MM_LOG_NONE; ++threshold) {
    SCOPED_TRACE(threshold);
    ASSERT_EQ(MP4_SUCCESS, mm_log_set_level(threshold));
    Received got;
    mm_log_set_callback(Received::Take, &got);
    StdoutCapture cap;
    for (Writer w : writers) w("to %s", "/src/x.cpp", 42, "fn", "callback");
    mm_log_set_callback(nullptr, nullptr);
    for (Writer w : writers) w("to %s", "y.cpp", 3, "fn", "stdout");
    const std::string printed = cap.Take();
    ASSERT_EQ(static_cast<size_t>(MM_LOG_NONE - threshold), got.lines.size());
    for (size_t i = 0; i < got.lines.size(); ++i) {
      const int level = threshold + static_cast<int>(i);
      EXPECT_EQ(level, got.lines[i].first);
      ASSERT_GE(got.lines[i].second.size(), 20u);
      EXPECT_EQ(std::string(" [") + words[level] + "] [x.cpp:42] to callback\n", got.lines[i].second.substr(20));
    }
    EXPECT_EQ(got.lines.size(), CountOf(printed, "] [error] [cb.cpp:2] from inside\n")) << printed;
    EXPECT_EQ(got.lines.size(), CountOf(printed, "] [y.cpp:3] to stdout\n")) << printed;
    EXPECT_EQ(0u, CountOf(printed, "callback")) << printed;
  }
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mm_log_set_level(-1));
  EXPECT_EQ(MP4_ERR_INVALID_PARAM, mm_log_set_level(MM_LOG_NONE + 1));
}

// Eight threads log at once while a ninth keeps switching between two
// callbacks: every line arrives whole, exactly once, at one of them.
TEST(LogThreads, ConcurrentLinesArriveWholeAndOnce) {
  LogDefaults restore;
  constexpr int kThreads = 8, kLines = 400;
  Received a, b;
  StdoutCapture inside;
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
  for (const Received* r : {&a, &b}) {
    for (const auto& l : r->lines) {
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
  const size_t total = a.lines.size() + b.lines.size();
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), total);
  EXPECT_EQ(total, seen.size());
  EXPECT_EQ(total, CountOf(inside.Take(), "from inside\n"));
}

}  // namespace
