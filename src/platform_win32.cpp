// Win32 side of the platform layer.
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <io.h>
#include <share.h>

#include "platform.h"

namespace bv {
namespace plat {

FILE* OpenFile(const wchar_t* path, const char* mode, int* err) {
  wchar_t wmode[8] = {};
  for (size_t i = 0; i + 1 < 8 && mode[i]; ++i) wmode[i] = static_cast<wchar_t>(mode[i]);
  // Secure wide open: other openers may read the recording but not write it.
  FILE* f = _wfsopen(path, wmode, _SH_DENYWR);
  if (f == nullptr) *err = errno ? errno : EIO;
  return f;
}

int Seek64(FILE* f, int64_t offset, int origin) {
  static const int kWhence[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (origin < 0 || origin > 2) {
    errno = EINVAL;
    return -1;
  }
  return _fseeki64(f, offset, kWhence[origin]);
}

int64_t Tell64(FILE* f) { return _ftelli64(f); }

int RemoveFile(const wchar_t* path) { return _wremove(path) == 0 ? 0 : errno; }

namespace {
int ErrnoFromWin32(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    default: return EIO;
  }
}
}  // namespace

int TruncateFile(const wchar_t* path, uint64_t size) {
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ErrnoFromWin32(GetLastError());
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(size);
  int r = 0;
  if (!SetFilePointerEx(h, pos, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) r = ErrnoFromWin32(GetLastError());
  CloseHandle(h);
  return r;
}

RawFile::~RawFile() { Close(); }

int RawFile::Create(const wchar_t* path) {
  Close();
  // Unshared, write-through: every completed WriteFile is on the device.
  HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    sysError_ = GetLastError();
    return ErrnoFromWin32(sysError_);
  }
  handle_ = h;
  return 0;
}

int RawFile::WriteAt(uint64_t offset, const void* data, uint32_t size, uint32_t* written) {
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  DWORD done = 0;
  *written = 0;
  if (!SetFilePointerEx(handle_, pos, nullptr, FILE_BEGIN)) {
    sysError_ = GetLastError();
    return ErrnoFromWin32(sysError_);
  }
  const BOOL ok = WriteFile(handle_, data, size, &done, nullptr);
  *written = done;
  if (!ok) {
    sysError_ = GetLastError();
    return ErrnoFromWin32(sysError_);
  }
  if (done != size) {
    sysError_ = ERROR_WRITE_FAULT;
    return EIO;
  }
  return 0;
}

// The handle is write-through: a deferred write is on the device when it
// returns, like any other, and there is nothing left for Sync to do.
int RawFile::WriteAtDeferred(uint64_t offset, const void* data, uint32_t size, uint32_t* written) {
  return WriteAt(offset, data, size, written);
}

int RawFile::Sync() { return 0; }

int RawFile::ReadAt(uint64_t offset, void* data, uint32_t size, uint32_t* got) {
  *got = 0;
  LARGE_INTEGER pos;
  pos.QuadPart = static_cast<LONGLONG>(offset);
  DWORD read = 0;
  if (!SetFilePointerEx(handle_, pos, nullptr, FILE_BEGIN) || !ReadFile(handle_, data, size, &read, nullptr)) {
    sysError_ = GetLastError();
    return ErrnoFromWin32(sysError_);
  }
  *got = read;
  return 0;
}

int RawFile::Close() {
  if (handle_ == nullptr) return 0;
  const BOOL ok = CloseHandle(handle_);
  handle_ = nullptr;
  if (!ok) {
    sysError_ = GetLastError();
    return ErrnoFromWin32(sysError_);
  }
  return 0;
}

bool RawFile::IsOpen() const { return handle_ != nullptr; }

std::string RawFile::LastErrorText() const {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(sysError_), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                 reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) {
    char buf[64];
    std::snprintf(buf, sizeof(buf), "undefined error code %lu", sysError_);
    return buf;
  }
  std::string out(text, n);
  LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

uint64_t PreciseTime100ns() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return t - 116444736000000000ull;  // 1601-01-01 -> 1970-01-01
}

void LocalTime(std::time_t t, std::tm* out) { localtime_s(out, &t); }

uint64_t TickMs() { return GetTickCount64(); }

std::string ErrorText(int err) {
  char buf[256];
  if (strerror_s(buf, sizeof(buf), err) != 0) return "Unknown error";
  return buf;
}

int SetStdoutUnbuffered() { return std::setvbuf(stdout, nullptr, _IONBF, 0); }

}  // namespace plat
}  // namespace bv
