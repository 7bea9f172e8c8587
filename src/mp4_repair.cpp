// The exported functions of repair mode: the repair of a cut-off recording
// (no handle, no lock: it touches only its own two files) and the flush
// interval of an open recording's side file.
#include <exception>

#include "bv_mp4.h"
#include "library_lock.h"
#include "log.h"
#include "mp4_registry.h"
#include "Mp4Repair.h"

using namespace bv;

extern "C" {

BV_MP4_API int BV_MP4_CALL mp4_repair_file(const wchar_t* path, int delete_info_file) {
  CheckInit();
  if (path == nullptr) {
    LOGE("path pointer is null");
    return MP4_ERR_INVALID_PARAM;
  }
  try {
    CMp4Repair repair;
    return repair.Repair(path, (delete_info_file & 0xFF) != 0);
  } catch (const bv_mp4_exception& e) {
    const int rc = MapErrorCode(e.code());
    return rc ? rc : MP4_ERR_FAILED;
  } catch (const std::exception& e) {
    LOGE("exception:%s", e.what());
    return MP4_ERR_FAILED;
  }
}

BV_MP4_API int BV_MP4_CALL mp4_repair_file_ex(const char* path, int delete_info_file) {
  if (path == nullptr) {
    LOGE("path pointer is null");
    return MP4_ERR_INVALID_PARAM;
  }
  CheckInit();
  // Checked like the create forms: a path that does not convert whole must
  // not lead to another file being cut.
  wchar_t wide[CMp4Muxer::kMaxPath];
  if (const int rc = ConvertPath(path, wide, __func__)) return rc;
  return mp4_repair_file(wide, delete_info_file);
}

BV_MP4_API int BV_MP4_CALL mp4_repair_set_flush_interval(mp4_handle h, uint32_t interval) {
  CLibraryLock lock;
  CMp4Muxer* muxer = LookupHandle(h, __func__);
  if (muxer == nullptr) return MP4_ERR_INVALID_HANDLE;
  return muxer->SetFlushInterval(interval);
}

}  // extern "C"
