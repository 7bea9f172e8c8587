// The platform layer: everything that differs between Windows and POSIX
// systems lives behind these few functions and classes. The rest of the
// library is portable C++.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace bv {
namespace plat {

// Buffered file opened from a wide path with a C runtime mode ("wb", "rb+",
// "rb"). Returns null and sets *err to the system error number on failure.
FILE* OpenFile(const wchar_t* path, const char* mode, int* err);
int Seek64(FILE* f, int64_t offset, int origin);  // 0 or -1 with errno set
int64_t Tell64(FILE* f);
// Removes a file by wide path; 0 on success, else the error number.
int RemoveFile(const wchar_t* path);
// Cuts or extends a file to `size` bytes; 0 on success, else the error number.
int TruncateFile(const wchar_t* path, uint64_t size);

// Unbuffered, write-through file for the direct-I/O cache. Only whole-file
// operations the cache needs: sequential and positioned writes and reads.
// Results are error numbers (errno values); LastErrorText gives the system's
// own text for the last failure (strerror, or FormatMessageA on Windows).
class RawFile {
 public:
  RawFile() = default;
  ~RawFile();
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  // Creates or truncates; 0 on success, else the system error number.
  int Create(const wchar_t* path);
  // 0 or the error; *written receives the bytes that landed, also when a
  // full device took only part of them.
  int WriteAt(uint64_t offset, const void* data, uint32_t size, uint32_t* written);
  // WriteAt whose bytes need only be on the device after the next Sync: a
  // group of writes that may land in any order then costs one wait for the
  // device instead of one each. Where every write is through to the device
  // anyway (Windows: the handle is write-through), the same as WriteAt.
  int WriteAtDeferred(uint64_t offset, const void* data, uint32_t size, uint32_t* written);
  // Puts the deferred writes on the device: 0 or the error.
  int Sync();
  int ReadAt(uint64_t offset, void* data, uint32_t size, uint32_t* got);
  int Close();
  bool IsOpen() const;
  std::string LastErrorText() const;

 private:
  // The system's own code of the last failure (GetLastError or errno).
  unsigned long sysError_ = 0;
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  // pwrite until all of it landed: through lazy_ when `deferred`, else
  // through fd_ (or buffered_ off the 4 KiB grid).
  int WriteAll(bool deferred, uint64_t offset, const void* data, uint32_t size, uint32_t* written);

  int fd_ = -1;
  // Where fd_ bypasses the page cache: a second descriptor of the same file
  // for the transfers that are not on 4 KiB boundaries, which such a
  // descriptor refuses. -1 when fd_ itself goes through the cache.
  int buffered_ = -1;
  // The descriptor of the deferred writes: through the page cache, without
  // O_DSYNC. `pending_`: written since the last Sync.
  int lazy_ = -1;
  bool pending_ = false;
#endif
};

// UTF-8 <-> wide conversion with an explicit codec: independent of the
// process locale and safe to call from any thread. Decoding rejects what a
// strict UTF-8 decoder rejects (overlong forms, surrogates, values above
// U+10FFFF, truncated sequences).
// Returns the number of wide units the conversion needs (without the
// terminator), or -1 for invalid input. Writes at most `cap` units plus a
// terminator when `out` is not null and the result fits.
long Utf8ToWide(const char* in, wchar_t* out, size_t cap);
bool WideToUtf8(const wchar_t* in, std::string& out);

// Clocks.
uint64_t PreciseTime100ns();  // 100-ns ticks since 1970-01-01 UTC
void LocalTime(std::time_t t, std::tm* out);
uint64_t TickMs();  // monotonic milliseconds

// The system's text for an error number.
std::string ErrorText(int err);

// Makes standard output unbuffered; the runtime's result.
int SetStdoutUnbuffered();

}  // namespace plat
}  // namespace bv
