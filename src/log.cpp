// The log writers: one line per call on standard output,
// "[MM-DD hh:mm:ss.mmm] [level] [file:line] message".
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

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

int WriteLine(const char* lineFormat, const char* fmt, const char* file, int line, va_list args) {
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
  return std::printf(lineFormat, stamp, BaseName(file), line, message);
}

}  // namespace

#define BV_DEFINE_LOG_WRITER(name, lineFormat)                                   \
  extern "C" BV_MP4_API int BV_MP4_CALL name(const char* fmt, const char* file, int line, \
                                             const char* func, ...) {            \
    (void)func;                                                                  \
    va_list args;                                                                \
    va_start(args, func);                                                        \
    const int n = WriteLine(lineFormat, fmt, file, line, args);                  \
    va_end(args);                                                                \
    return n;                                                                    \
  }

BV_DEFINE_LOG_WRITER(mm_log_debug, "[%s] [DEBUG] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_info, "[%s] [info] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_warn, "[%s] [warn] [%s:%d] %s\n")
BV_DEFINE_LOG_WRITER(mm_log_error, "[%s] [error] [%s:%d] %s\n")

extern "C" BV_MP4_API int BV_MP4_CALL mm_log_init(void) { return bv::plat::SetStdoutUnbuffered(); }
