// The output stream of external I/O: every operation goes to the host's
// table of callbacks. The table must stay valid until the stream is closed.
#pragma once

#include <cstdint>

#include "BaseIO.h"
#include "bv_mp4.h"

namespace bv {

class ExternalWriter : public IFileIO {
 public:
  explicit ExternalWriter(const ExternalIoFuncs* funcs) : m_funcs(funcs) {}
  // Does not call the host: the owner closes first.
  ~ExternalWriter() override = default;

  // 0; 4 without a usable table; 19 when the host's open refuses.
  int32_t Init(const wchar_t* path, uint32_t a, uint32_t b) override;
  // Calls the host's close once; false when there is nothing to close.
  bool Close() override;
  int64_t Ftell() override;
  int32_t Seek(int64_t offset, int32_t origin) override;
  int32_t Flush() override;
  bool Control(uint32_t, uint32_t, uint32_t) override { return false; }
  // A host result other than 1 is a failed transfer: the stream fails and
  // throws; nothing is retried.
  int32_t Read(void* dst, uint32_t n) override;
  int32_t Write(const void* src, uint32_t n) override;

 private:
  const ExternalIoFuncs* m_funcs;
  void* m_handle = nullptr;
};

}  // namespace bv
