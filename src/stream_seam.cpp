#include "stream_seam.h"

#include <atomic>

namespace bv {

namespace {
std::atomic<StreamWrapper> g_wrapper{nullptr};
}  // namespace

void SetStreamWrapperForTest(StreamWrapper wrapper) { g_wrapper.store(wrapper); }

std::unique_ptr<IBaseIO> WrapStream(std::unique_ptr<IBaseIO> opened) {
  const StreamWrapper wrapper = g_wrapper.load();
  return wrapper != nullptr ? wrapper(std::move(opened)) : std::move(opened);
}

}  // namespace bv
