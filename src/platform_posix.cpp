// POSIX side of the platform layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform.h"

namespace bv {
namespace plat {

FILE* OpenFile(const wchar_t* path, const char* mode, int* err) {
  std::string narrow;
  if (!WideToUtf8(path, narrow)) {
    *err = EINVAL;
    return nullptr;
  }
  errno = 0;
  FILE* f = std::fopen(narrow.c_str(), mode);
  if (f == nullptr) *err = errno ? errno : EIO;
  return f;
}

int Seek64(FILE* f, int64_t offset, int origin) {
  static const int kWhence[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) {
    errno = EINVAL;
    return -1;
  }
  return fseeko(f, static_cast<off_t>(offset), kWhence[origin]);
}

int64_t Tell64(FILE* f) { return static_cast<int64_t>(ftello(f)); }

int RemoveFile(const wchar_t* path) {
  std::string narrow;
  if (!WideToUtf8(path, narrow)) return EINVAL;
  return ::unlink(narrow.c_str()) == 0 ? 0 : errno;
}

int TruncateFile(const wchar_t* path, uint64_t size) {
  std::string narrow;
  if (!WideToUtf8(path, narrow)) return EINVAL;
  return ::truncate(narrow.c_str(), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

RawFile::~RawFile() { Close(); }

namespace {

// What a descriptor opened with O_DIRECT asks of a transfer on the common
// devices: memory, file offset and length on 4 KiB boundaries.
constexpr uint64_t kDirectAlignment = 4096;

bool DirectAligned(const void* p, uint64_t offset, uint32_t size) {
  return ((static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)) | offset | size) & (kDirectAlignment - 1)) == 0;
}

}  // namespace

int RawFile::Create(const wchar_t* path) {
  Close();
  std::string narrow;
  if (!WideToUtf8(path, narrow)) return static_cast<int>(sysError_ = EINVAL);
  // O_DSYNC: a completed write is on the device, the promise the direct-I/O
  // cache makes to the recording. Where the file system allows it, O_DIRECT
  // too: the cache's aligned windows then go to the device without a copy
  // into the page cache (the kernel's copy costs more processor time than
  // the whole muxer); transfers off the 4 KiB grid take a second, cached
  // descriptor. File systems without O_DIRECT (tmpfs) refuse the flag.
#if defined(O_DIRECT)
  fd_ = ::open(narrow.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_DIRECT | O_CLOEXEC, 0644);
  if (fd_ >= 0) {
    buffered_ = ::open(narrow.c_str(), O_RDWR | O_DSYNC | O_CLOEXEC);
    if (buffered_ < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) fd_ = ::open(narrow.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0644);
#else
  fd_ = ::open(narrow.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_DSYNC | O_CLOEXEC, 0644);
#endif
  if (fd_ < 0) return static_cast<int>(sysError_ = static_cast<unsigned long>(errno));
  // Without it the deferred writes are plain write-through ones.
  lazy_ = ::open(narrow.c_str(), O_RDWR | O_CLOEXEC);
  return 0;
}

int RawFile::WriteAt(uint64_t offset, const void* data, uint32_t size, uint32_t* written) {
  return WriteAll(false, offset, data, size, written);
}

int RawFile::WriteAtDeferred(uint64_t offset, const void* data, uint32_t size, uint32_t* written) {
  if (lazy_ < 0) return WriteAll(false, offset, data, size, written);
  pending_ = true;
  return WriteAll(true, offset, data, size, written);
}

int RawFile::WriteAll(bool deferred, uint64_t offset, const void* data, uint32_t size, uint32_t* written) {
  const char* p = static_cast<const char*>(data);
  *written = 0;
  bool direct = !deferred && buffered_ >= 0;
  while (size > 0) {
    const int fd = deferred ? lazy_ : direct && DirectAligned(p, offset, size) ? fd_ : (buffered_ >= 0 ? buffered_ : fd_);
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      // A device with a grid larger than 4 KiB: the cached descriptor.
      if (errno == EINVAL && fd == fd_ && buffered_ >= 0) {
        direct = false;
        continue;
      }
      return static_cast<int>(sysError_ = static_cast<unsigned long>(errno));
    }
    // A device that accepts nothing and reports no error would loop forever.
    if (n == 0) return static_cast<int>(sysError_ = EIO);
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<uint32_t>(n);
    *written += static_cast<uint32_t>(n);
  }
  return 0;
}

int RawFile::Sync() {
  if (!pending_) return 0;
  int r;
  do {
    r = ::fdatasync(lazy_);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return static_cast<int>(sysError_ = static_cast<unsigned long>(errno));
  pending_ = false;
  return 0;
}

int RawFile::ReadAt(uint64_t offset, void* data, uint32_t size, uint32_t* got) {
  char* p = static_cast<char*>(data);
  *got = 0;
  bool direct = buffered_ >= 0;
  while (size > 0) {
    const int fd = direct && DirectAligned(p, offset, size) ? fd_ : (buffered_ >= 0 ? buffered_ : fd_);
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL && fd == fd_ && buffered_ >= 0) {
        direct = false;
        continue;
      }
      return static_cast<int>(sysError_ = static_cast<unsigned long>(errno));
    }
    if (n == 0) break;
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<uint32_t>(n);
    *got += static_cast<uint32_t>(n);
  }
  return 0;
}

int RawFile::Close() {
  if (buffered_ >= 0) ::close(buffered_);
  buffered_ = -1;
  // Deferred writes not yet synced are the caller's to sync: a close does
  // not wait for the device.
  if (lazy_ >= 0) ::close(lazy_);
  lazy_ = -1;
  pending_ = false;
  if (fd_ < 0) return 0;
  const int r = ::close(fd_);
  fd_ = -1;
  if (r != 0) return static_cast<int>(sysError_ = static_cast<unsigned long>(errno));
  return 0;
}

bool RawFile::IsOpen() const { return fd_ >= 0; }

std::string RawFile::LastErrorText() const { return ErrorText(static_cast<int>(sysError_)); }

uint64_t PreciseTime100ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

void LocalTime(std::time_t t, std::tm* out) { localtime_r(&t, out); }

uint64_t TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

std::string ErrorText(int err) {
  char buf[256];
  buf[0] = '\0';
  // The GNU and XSI variants differ in their result; handle both.
  auto pick = [&](auto r) -> const char* {
    if constexpr (std::is_same_v<decltype(r), char*>) {
      return r;
    } else {
      return r == 0 ? buf : "Unknown error";
    }
  };
  return pick(strerror_r(err, buf, sizeof(buf)));
}

int SetStdoutUnbuffered() { return std::setvbuf(stdout, nullptr, _IONBF, 0); }

}  // namespace plat
}  // namespace bv
