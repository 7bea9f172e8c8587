// The point where a test may stand between the library and its output
// streams: every stream the muxer or the side-file writer opens is handed to
// the installed wrapper, which returns the stream to use. Without one (every
// real use) the stream is used as opened. This is how the fault tests make
// the Nth write, seek, flush or read fail with a chosen error number.
#pragma once

#include <memory>

#include "BaseIO.h"

namespace bv {

using StreamWrapper = std::unique_ptr<IBaseIO> (*)(std::unique_ptr<IBaseIO> opened);

// Installs `wrapper` for the streams opened from now on; null removes it.
void SetStreamWrapperForTest(StreamWrapper wrapper);
std::unique_ptr<IBaseIO> WrapStream(std::unique_ptr<IBaseIO> opened);

}  // namespace bv
