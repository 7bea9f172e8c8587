// The exported functions: argument and handle checks, the registry of open
// handles and the library lock. Every handle-based call holds the lock for
// its whole run: exclusively, except the frame writers, which share it (see
// library_lock.h).
#include <cwchar>
#include <exception>
#include <mutex>
#include <new>
#include <cstdint>
#include <map>

#include "bv_mp4.h"
#include "library_lock.h"
#include "log.h"
#include "mp4_registry.h"
#include "Mp4FileInfo.h"
#include "Mp4Muxer.h"
#include "platform.h"

namespace bv {

std::recursive_mutex& LibraryLock() {
  static std::recursive_mutex lock;
  return lock;
}

namespace {

// A handle is a token that is never issued twice, not the muxer's address:
// memory freed by a close is soon reused by the next create, and a host that
// calls with a handle it already closed must be refused, not handed the
// other recording that now lives at the same address.
using Token = uintptr_t;

std::map<Token, CMp4Muxer*>& Registry() {
  static std::map<Token, CMp4Muxer*> registry;
  return registry;
}

// Far from small integers and from the addresses a heap hands out, so that a
// made-up or uninitialised handle is unlikely to name an open file either.
Token NextToken() {
  static Token next = static_cast<Token>(0x4d503400) << (sizeof(Token) > 4 ? 24 : 0);
  next += 16;
  return next;
}

}  // namespace

void CheckInit() {
  static std::once_flag once;
  std::call_once(once, [] { LOGI("brelvane mp4 library %s", BV_MP4_VERSION); });
}

CMp4Muxer* LookupHandle(mp4_handle h, const char* func) {
  if (h == nullptr) {
    LOGE_IN(func, "null handle");
    return nullptr;
  }
  auto& registry = Registry();
  auto it = registry.find(reinterpret_cast<Token>(h));
  if (it == registry.end()) {
    LOGE_IN(func, "invalid handle %p", h);
    return nullptr;
  }
  return it->second;
}

int ConvertPath(const char* path, wchar_t (&out)[CMp4Muxer::kMaxPath], const char* func) {
  std::wmemset(out, L'\0', CMp4Muxer::kMaxPath);
  const long n = plat::Utf8ToWide(path, nullptr, 0);
  if (n < 0) {
    LOGE_IN(func, "wcstombs failed");
    return MP4_ERR_FAILED;
  }
  if (n >= static_cast<long>(CMp4Muxer::kMaxPath) - 1) {
    LOGE_IN(func, "file path reach the max path size 1024");
    return MP4_ERR_FAILED;
  }
  plat::Utf8ToWide(path, out, CMp4Muxer::kMaxPath - 1);
  return 0;
}

namespace {

mp4_config_t SimpleConfig(uint8_t flags, uint32_t ioMode, uint32_t dio1, uint32_t dio2, ExternalIoFuncs* funcs) {
  mp4_config_t c{};
  c.flags = flags;
  c.io_mode = ioMode;
  c.dio_param1 = dio1;
  c.dio_param2 = dio2;
  c.pFunc = funcs;
  return c;
}

// The create sequence, under the library lock.
int CreateSequence(const wchar_t* path, const mp4_config_t& config, mp4_handle* out, const char* func) {
  // The output path is kept in a fixed field of kMaxPath wide characters.
  if (std::wcslen(path) >= CMp4Muxer::kMaxPath) {
    LOGE_IN(func, "file path reach the max path size 1024");
    return MP4_ERR_INVALID_PARAM;
  }
  std::unique_ptr<CMp4Muxer> muxer;
  try {
    muxer = std::make_unique<CMp4Muxer>();
  } catch (const std::bad_alloc&) {
    LOGE_IN(func, "out of memory");
    return MP4_ERR_FAILED;
  }
  const int rc = muxer->Create(path, config);
  if (rc != 0) return rc;
  const Token token = NextToken();
  Registry().emplace(token, muxer.get());
  muxer.release();  // owned through the registry until mp4_close_file
  *out = reinterpret_cast<mp4_handle>(token);
  return 0;
}

}  // namespace
}  // namespace bv

using namespace bv;

#define BV_GUARD_EXCEPTIONS(func, body)               \
  try {                                               \
    body                                              \
  } catch (const bv_mp4_exception& e) {               \
    return MapErrorCode(e.code());                    \
  } catch (const std::exception& e) {                 \
    LOGE_IN(func, "exception:%s", e.what());          \
    return MP4_ERR_FAILED;                            \
  }

extern "C" {

BV_MP4_API int BV_MP4_CALL mp4_create_file(const wchar_t* path, uint8_t flags, mp4_handle* out) {
  CLibraryLock lock;
  CheckInit();
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  BV_GUARD_EXCEPTIONS(__func__, return CreateSequence(path, SimpleConfig(flags, MP4_IO_FILE, 4096, 32, nullptr), out,
                                                      __func__);)
}

BV_MP4_API int BV_MP4_CALL mp4_create_file_ex(const char* path, uint8_t flags, mp4_handle* out) {
  CheckInit();
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  wchar_t wide[CMp4Muxer::kMaxPath];
  const int rc = ConvertPath(path, wide, __func__);
  if (rc != 0) return rc;
  return mp4_create_file(wide, flags, out);
}

BV_MP4_API int BV_MP4_CALL mp4_create_file_adv(const wchar_t* path, uint8_t flags, uint32_t dio_param1,
                                               uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                               mp4_handle* out) {
  CLibraryLock lock;
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  CheckInit();
  BV_GUARD_EXCEPTIONS(__func__, return CreateSequence(path, SimpleConfig(flags, io_mode, dio_param1, dio_param2, pFunc),
                                                      out, __func__);)
}

BV_MP4_API int BV_MP4_CALL mp4_create_file_adv_ex(const char* path, uint8_t flags, uint32_t dio_param1,
                                                  uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                                  mp4_handle* out) {
  CheckInit();
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  // Checked like the other converting forms: a path that cannot be converted
  // whole must not be opened truncated.
  wchar_t wide[CMp4Muxer::kMaxPath];
  const int rc = ConvertPath(path, wide, __func__);
  if (rc != 0) return rc;
  return mp4_create_file_adv(wide, flags, dio_param1, dio_param2, io_mode, pFunc, out);
}

BV_MP4_API int BV_MP4_CALL mp4_create_file_full(const wchar_t* path, const mp4_config_t* config, mp4_handle* out) {
  CLibraryLock lock;
  CheckInit();
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (config == nullptr) {
    LOGE("config is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  const mp4_config_t copy = *config;
  BV_GUARD_EXCEPTIONS(__func__, return CreateSequence(path, copy, out, __func__);)
}

BV_MP4_API int BV_MP4_CALL mp4_create_file_full_ex(const char* path, const mp4_config_t* config, mp4_handle* out) {
  CheckInit();
  if (path == nullptr) {
    LOGE("path is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (config == nullptr) {
    LOGE("config is null");
    return MP4_ERR_INVALID_PARAM;
  }
  if (out == nullptr) {
    LOGE("handle is null");
    return MP4_ERR_INVALID_PARAM;
  }
  wchar_t wide[CMp4Muxer::kMaxPath];
  const int rc = ConvertPath(path, wide, __func__);
  if (rc != 0) return rc;
  return mp4_create_file_full(wide, config, out);
}

BV_MP4_API int BV_MP4_CALL mp4_close_file(mp4_handle h) {
  // Held from the lookup to the erase: two threads closing the same handle
  // cannot both find it.
  CLibraryLock lock;
  CMp4Muxer* muxer = LookupHandle(h, __func__);
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;
  Registry().erase(reinterpret_cast<Token>(h));
  int rc = MP4_ERR_FAILED;
  try {
    rc = muxer->Close();
  } catch (...) {
    rc = MP4_ERR_FAILED;
  }
  delete muxer;  // owned through the registry since its creation
  return rc;
}

// The handle frame of every handle-based export: library lock, handle
// check, own pointer check, then the muxer operation.
#define BV_HANDLE_CALL(h, pointer, pointerMessage, call)          \
  CLibraryLock lock;                                              \
  CMp4Muxer* muxer = LookupHandle(h, __func__);                   \
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;            \
  if ((pointer) == nullptr) {                                     \
    LOGE(pointerMessage);                                         \
    return MP4_ERR_INVALID_PARAM;                                 \
  }                                                               \
  BV_GUARD_EXCEPTIONS(__func__, return muxer->call;)

// The frame writers' frame: the library held shared (see library_lock.h).
#define BV_FRAME_CALL(h, call)                         \
  CFrameCallLock lock;                                 \
  CMp4Muxer* muxer = LookupHandle(h, __func__);        \
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE; \
  BV_GUARD_EXCEPTIONS(__func__, return muxer->call;)

BV_MP4_API int BV_MP4_CALL mp4_set_video_track(mp4_handle h, const mp4_video_track_info_t* info) {
  BV_HANDLE_CALL(h, info, "track info is null", SetVideoTrack(*info));
}

BV_MP4_API int BV_MP4_CALL mp4_set_audio_track(mp4_handle h, const mp4_audio_track_info_t* info) {
  BV_HANDLE_CALL(h, info, "track info is null", SetAudioTrack(*info));
}

BV_MP4_API int BV_MP4_CALL mp4_set_subtitle_track(mp4_handle h, const mp4_subtitle_track_info_t* info) {
  BV_HANDLE_CALL(h, info, "track info is null", SetSubtitleTrack(*info));
}

BV_MP4_API int BV_MP4_CALL mp4_set_time_code_track(mp4_handle h, const mp4_time_code_track_info_t* info) {
  BV_HANDLE_CALL(h, info, "track info is null", SetTimeCodeTrack(*info));
}

BV_MP4_API int BV_MP4_CALL mp4_set_metadata(mp4_handle h, const char* key, const char* value) {
  static const char kNoPointer = 0;
  BV_HANDLE_CALL(h, &kNoPointer, "", SetMetadata(key, value, 0, MP4_META_UTF8, nullptr));
}

BV_MP4_API int BV_MP4_CALL mp4_set_metadata_ex(mp4_handle h, const char* key, const void* value, uint32_t length,
                                               int32_t data_type, const char* key_namespace) {
  static const char kNoPointer = 0;
  BV_HANDLE_CALL(h, &kNoPointer, "", SetMetadata(key, value, length, data_type, key_namespace));
}

BV_MP4_API int BV_MP4_CALL mp4_write_video_frame(mp4_handle h, const uint8_t* buf, uint32_t size,
                                                 uint64_t timestamp) {
  BV_FRAME_CALL(h, WriteVideoFrame(buf, size, timestamp, timestamp));
}

BV_MP4_API int BV_MP4_CALL mp4_write_video_frame_ex(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t dts,
                                                    uint64_t pts) {
  BV_FRAME_CALL(h, WriteVideoFrame(buf, size, dts, pts));
}

BV_MP4_API int BV_MP4_CALL mp4_write_audio_frame(mp4_handle h, const uint8_t* buf, uint32_t size,
                                                 uint64_t timestamp) {
  BV_FRAME_CALL(h, WriteAudioFrame(buf, size, timestamp));
}

BV_MP4_API int BV_MP4_CALL mp4_write_subtitle_frame(mp4_handle h, const uint8_t* buf, uint32_t size,
                                                    uint64_t timestamp) {
  BV_FRAME_CALL(h, WriteSubtitleFrame(buf, size, timestamp));
}

BV_MP4_API int BV_MP4_CALL mp4_write_time_code(mp4_handle h, uint32_t value) {
  BV_FRAME_CALL(h, WriteTimeCode(value));
}

BV_MP4_API uint64_t BV_MP4_CALL mp4_get_duration_ms(mp4_handle h) {
  CLibraryLock lock;
  CMp4Muxer* muxer = LookupHandle(h, __func__);
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;
  try {
    return muxer->GetDurationMS();
  } catch (const std::exception&) {
    return 0;
  }
}

BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration(const wchar_t* path) {
  if (path == nullptr) {
    LOGE("path pointer is null");
    return MP4_ERR_INVALID_PARAM;
  }
  return GetFileDurationMs(path);
}

BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration_ex(const char* path) {
  if (path == nullptr) {
    LOGE("path pointer is null");
    return MP4_ERR_INVALID_PARAM;
  }
  // A path that does not convert whole names no file we could answer for.
  wchar_t wide[CMp4Muxer::kMaxPath];
  if (ConvertPath(path, wide, __func__) != 0) return 0;
  return GetFileDurationMs(wide);
}

BV_MP4_API int BV_MP4_CALL mp4_get_file_size(mp4_handle h, uint64_t* size) {
  CLibraryLock lock;
  CMp4Muxer* muxer = LookupHandle(h, __func__);
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;
  if (size == nullptr) {
    LOGE("size is null");
    return MP4_ERR_INVALID_PARAM;
  }
  *size = muxer->FileSize();
  return 0;
}

BV_MP4_API uint32_t BV_MP4_CALL mp4_get_moov_size(mp4_handle h) {
  CLibraryLock lock;
  CMp4Muxer* muxer = LookupHandle(h, __func__);
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;
  return muxer->GetMoovSize();
}

BV_MP4_API int BV_MP4_CALL mp4_get_video_bitrate(mp4_handle h, double* bitrate) {
  BV_HANDLE_CALL(h, bitrate, "bitrate pointer is null", GetBitrate(true, bitrate));
}

BV_MP4_API int BV_MP4_CALL mp4_get_audio_bitrate(mp4_handle h, double* bitrate) {
  BV_HANDLE_CALL(h, bitrate, "bitrate pointer is null", GetBitrate(false, bitrate));
}

BV_MP4_API int BV_MP4_CALL mp4_set_safe_param(void) {
  LOGW("function %s deprecated", __func__);
  return 0;
}

BV_MP4_API int BV_MP4_CALL mp4_get_safe_param(void) {
  LOGW("function %s deprecated", __func__);
  return 0;
}

}  // extern "C"
