// The MP4_* name of a result code, for messages a user can look up.
#pragma once

#include "bv_mp4.h"

namespace bvtool {

inline const char* ResultName(int code) {
  switch (code) {
    case MP4_SUCCESS: return "MP4_SUCCESS";
    case MP4_ERR_FAILED: return "MP4_ERR_FAILED";
    case MP4_ERR_INVALID_HANDLE: return "MP4_ERR_INVALID_HANDLE";
    case MP4_ERR_INVALID_PARAM: return "MP4_ERR_INVALID_PARAM";
    case MP4_ERR_INVALID_CODEC: return "MP4_ERR_INVALID_CODEC";
    case MP4_ERR_SUBTITLE_CODEC: return "MP4_ERR_SUBTITLE_CODEC";
    case MP4_ERR_INVALID_ADTS: return "MP4_ERR_INVALID_ADTS";
    case MP4_ERR_PARSE_VIDEO: return "MP4_ERR_PARSE_VIDEO";
    case MP4_ERR_INVALID_VIDEO_TRACK: return "MP4_ERR_INVALID_VIDEO_TRACK";
    case MP4_ERR_NOT_SUPPORTED: return "MP4_ERR_NOT_SUPPORTED";
    case MP4_ERR_PERMISSION: return "MP4_ERR_PERMISSION";
    case MP4_ERR_NO_ENTRY: return "MP4_ERR_NO_ENTRY";
    case MP4_ERR_ACCESS: return "MP4_ERR_ACCESS";
    case MP4_ERR_BUSY: return "MP4_ERR_BUSY";
    case MP4_ERR_TOO_MANY_FILES: return "MP4_ERR_TOO_MANY_FILES";
    case MP4_ERR_NO_SPACE: return "MP4_ERR_NO_SPACE";
    case MP4_ERR_READ_ONLY: return "MP4_ERR_READ_ONLY";
    case MP4_ERR_EXTERNAL_OPEN: return "MP4_ERR_EXTERNAL_OPEN";
    case MP4_ERR_FILE_NOT_OPEN: return "MP4_ERR_FILE_NOT_OPEN";
    case MP4_ERR_TABLE_FULL: return "MP4_ERR_TABLE_FULL";
    default: return "MP4_ERR_UNKNOWN";
  }
}

}  // namespace bvtool
