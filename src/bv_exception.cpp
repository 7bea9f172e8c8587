#include "bv_exception.h"

#include <cerrno>

#include "bv_mp4.h"
#include "platform.h"

namespace bv {

bv_mp4_exception::bv_mp4_exception(int32_t code) : std::runtime_error(plat::ErrorText(code)), code_(code) {}

int MapErrorCode(int32_t err) {
  switch (err) {
    case 1: return MP4_ERR_PERMISSION;
    case 2: return MP4_ERR_NO_ENTRY;
    case 13: return MP4_ERR_ACCESS;
    case 16: return MP4_ERR_BUSY;
    case 24: return MP4_ERR_TOO_MANY_FILES;
    case 28: return MP4_ERR_NO_SPACE;
    case 30: return MP4_ERR_READ_ONLY;
    case 1000: return MP4_SUCCESS;
    default: return MP4_ERR_FAILED;
  }
}

}  // namespace bv
