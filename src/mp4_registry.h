// What every exported function shares: the library lock, the handle lookup,
// the one-time initialisation and the conversion of UTF-8 paths.
#pragma once

#include <mutex>

#include "bv_mp4.h"
#include "Mp4Muxer.h"

namespace bv {

// The recursive library lock, taken through CLibraryLock (library_lock.h).
std::recursive_mutex& LibraryLock();
// The muxer behind a registered handle, or null after logging "null handle"
// or "invalid handle %p" under the export's name. Call with the library lock
// held, either side.
CMp4Muxer* LookupHandle(mp4_handle h, const char* func);
// Logs the version banner once per process.
void CheckInit();
// Converts a UTF-8 path into `out`; 0, or 1 after logging "wcstombs failed"
// or "file path reach the max path size 1024".
int ConvertPath(const char* path, wchar_t (&out)[CMp4Muxer::kMaxPath], const char* func);

}  // namespace bv
