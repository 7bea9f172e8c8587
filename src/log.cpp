// The log writers: one line per call, "[MM-DD hh:mm:ss.mmm] [level]
// [file:line] message", on standard output or to the host's callback, for
// lines at or above the host's threshold.
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "bv_mp4.h"
#include "platform.h"

namespace {

const char* BaseName(const char* path) {
  if (path == nullptr) return "(null)";
  const char* slash = std::strrchr(path, '/');
  const char* back = std::strrchr(path, '\\');
  const char* last = slash > back ? slash : back;
  return last ? last + 1 : path;
}

// "debug", "info", "warn"/"warning", "error", "none" in any case, or the
// level's number; anything else leaves every line on.
int LevelFromEnvironment() {
  const char* value = std::getenv("BV_MP4_LOG_LEVEL");
  if (value == nullptr) return MM_LOG_DEBUG;
  char word[16] = {};
  for (size_t i = 0; value[i] != '\0'; ++i) {
    if (i + 1 >= sizeof(word)) return MM_LOG_DEBUG;
    word[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(value[i])));
  }
  static const struct {
    const char* name;
    int level;
  } kNames[] = {{"debug", MM_LOG_DEBUG}, {"info", MM_LOG_INFO},   {"warn", MM_LOG_WARN}, {"warning", MM_LOG_WARN},
                {"error", MM_LOG_ERROR}, {"none", MM_LOG_NONE},   {"0", MM_LOG_DEBUG},   {"1", MM_LOG_INFO},
                {"2", MM_LOG_WARN},      {"3", MM_LOG_ERROR},     {"4", MM_LOG_NONE}};
  for (const auto& n : kNames) {
    if (std::strcmp(word, n.name) == 0) return n.level;
  }
  return MM_LOG_DEBUG;
}

// The threshold is read on every line without a lock; the environment is
// consulted once, when the library first logs or sets a level.
std::atomic<int>& Threshold() {
  static std::atomic<int> level{LevelFromEnvironment()};
  return level;
}

// Where finished lines go. One lock covers the choice of sink and the
// delivery, so a line reaches exactly one sink whole and a callback that was
// replaced is never called after the replacement returned. The lock is
// recursive so that a callback may itself replace the callback.
struct Sink {
  std::recursive_mutex lock;
  mm_log_callback_t callback = nullptr;
  void* ctx = nullptr;
};

// Never destroyed: other objects' destructors may still log at exit.
Sink& TheSink() {
  static Sink* const sink = new Sink;
  return *sink;
}

// Set while this thread is inside the host's callback: a line the callback
// logs itself goes to standard output instead of recursing into it.
thread_local bool t_inCallback = false;

void Deliver(int level, const char* text, size_t length) {
  if (!t_inCallback) {
    Sink& sink = TheSink();
    std::lock_guard<std::recursive_mutex> hold(sink.lock);
    if (sink.callback != nullptr) {
      t_inCallback = true;
      sink.callback(sink.ctx, level, text);
      t_inCallback = false;
      return;
    }
  }
  // One output call per line: the runtime serialises it on the stream.
  std::fwrite(text, 1, length, stdout);
}

int WriteLine(int level, const char* lineFormat, const char* fmt, const char* file, int line, va_list args) {
  if (level < Threshold().load(std::memory_order_relaxed)) return 0;
  char message[1024];
  if (fmt == nullptr) {
    message[0] = '\0';
  } else {
    std::vsnprintf(message, sizeof(message), fmt, args);
  }
  // One clock reading gives both the calendar fields and the milliseconds,
  // so a line never shows the seconds of one instant with the milliseconds
  // of another.
  const uint64_t ticks = bv::plat::PreciseTime100ns();
  const std::time_t seconds = static_cast<std::time_t>(ticks / 10000000u);
  const int millis = static_cast<int>(ticks / 10000u - (ticks / 10000000u) * 1000u);
  std::tm local{};
  bv::plat::LocalTime(seconds, &local);
  char stamp[24];
  // Each field is bounded to its width so the stamp always fits.
  auto two = [](int v) { return static_cast<unsigned>(v) % 100u; };
  std::snprintf(stamp, sizeof(stamp), "%02u-%02u %02u:%02u:%02u.%03u", two(local.tm_mon + 1), two(local.tm_mday),
                two(local.tm_hour), two(local.tm_min), two(local.tm_sec), static_cast<unsigned>(millis) % 1000u);
  // The whole line is built first so that it leaves in one piece; a line
  // longer than the stack buffer (a very long source path) goes to the heap
  // rather than being cut.
  const char* base = BaseName(file);
  char text[1024 + 256];
  const int n = std::snprintf(text, sizeof(text), lineFormat, stamp, base, line, message);
  if (n < 0) return n;
  if (static_cast<size_t>(n) < sizeof(text)) {
    Deliver(level, text, static_cast<size_t>(n));
    return n;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::snprintf(big.data(), big.size(), lineFormat, stamp, base, line, message);
  Deliver(level, big.data(), static_cast<size_t>(n));
  return n;
}

}  // namespace

#define BV_DEFINE_LOG_WRITER(name, level, lineFormat)                            \
  extern "C" BV_MP4_API int BV_MP4_CALL name(const char* fmt, const char* file, int line, \
                                             const char* func, ...) {            \
    (void)func;                                                                  \
    va_list args;                                                                \
    va_start(args, func);                                                        \
    const int n = WriteLine(level, lineFormat, fmt, file, line, args);           \
    va_end(args);                                                                \
    return n;                                                                    \
  }

BV_DEFINE_LOG_WRITER(mm_log_debug, MM_LOG_DEBUG, "[%s] [DEBUG] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_info, MM_LOG_INFO, "[%s] [info] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_warn, MM_LOG_WARN, "[%s] [warn] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_error, MM_LOG_ERROR, "[%s] [error] [%s:%d] %s\n")

extern "C" BV_MP4_API int BV_MP4_CALL mm_log_init(void) { return bv::plat::SetStdoutUnbuffered(); }

extern "C" BV_MP4_API int BV_MP4_CALL mm_log_set_level(int level) {
  if (level < MM_LOG_DEBUG || level > MM_LOG_NONE) return MP4_ERR_INVALID_PARAM;
  Threshold().store(level, std::memory_order_relaxed);
  return MP4_SUCCESS;
}

extern "C" BV_MP4_API void BV_MP4_CALL mm_log_set_callback(mm_log_callback_t callback, void* ctx) {
  Sink& sink = TheSink();
  std::lock_guard<std::recursive_mutex> hold(sink.lock);
  sink.callback = callback;
  sink.ctx = ctx;
}
