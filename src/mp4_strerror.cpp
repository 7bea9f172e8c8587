// Fixed English texts for the result codes, for hosts and the tool to print.
// The texts are part of the interface: callers may show or log them, so a
// code keeps its wording once released.
#include "bv_mp4.h"

extern "C" {

BV_MP4_API const char* BV_MP4_CALL mp4_strerror(int code) {
  switch (code) {
    case MP4_SUCCESS: return "success";
    case MP4_ERR_FAILED: return "operation failed";
    case MP4_ERR_INVALID_HANDLE: return "invalid or closed handle";
    case MP4_ERR_INVALID_PARAM: return "invalid parameter";
    case MP4_ERR_INVALID_CODEC: return "unsupported video codec";
    case MP4_ERR_SUBTITLE_CODEC: return "unsupported subtitle codec or no subtitle track";
    case MP4_ERR_INVALID_ADTS: return "audio frame has no valid ADTS header";
    case MP4_ERR_PARSE_VIDEO: return "video frame has no Annex-B start code";
    case MP4_ERR_INVALID_VIDEO_TRACK: return "no video track declared";
    case MP4_ERR_NOT_SUPPORTED: return "not supported in this mode";
    case MP4_ERR_PERMISSION: return "operation not permitted";
    case MP4_ERR_NO_ENTRY: return "no such file or directory";
    case MP4_ERR_ACCESS: return "permission denied";
    case MP4_ERR_BUSY: return "device or resource busy";
    case MP4_ERR_TOO_MANY_FILES: return "too many open files";
    case MP4_ERR_NO_SPACE: return "no space left on device";
    case MP4_ERR_READ_ONLY: return "read-only file system";
    case MP4_ERR_EXTERNAL_OPEN: return "external open callback failed";
    case MP4_ERR_FILE_NOT_OPEN: return "file not open";
    case MP4_ERR_TABLE_FULL: return "file or sample table limit reached";
    default: return "unknown result code";
  }
}

}  // extern "C"
