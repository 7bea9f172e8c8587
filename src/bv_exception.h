#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace bv {

// The one exception type thrown inside the library. It carries a system
// error number (errno) or one of the library's own result codes; exported
// functions turn it into a result code with MapErrorCode.
class bv_mp4_exception : public std::runtime_error {
 public:
  explicit bv_mp4_exception(int32_t code);
  int32_t code() const noexcept { return code_; }

 private:
  int32_t code_;
};

// Maps a system error number to the library's result code.
int MapErrorCode(int32_t err);

}  // namespace bv
