// The base of every box. A box holds its fields with the widths of the file
// format, writes itself (children included) to its stream and reports in
// advance how many bytes that write produces.
//
// Box sizes are measured while writing and patched by seeking back, never
// taken from GetSize; GetSize must nevertheless equal what Write produces,
// because the movie box is sized from it before it is written.
//
// Write patterns:
//  - direct:   start = Ftell(); header straight to m_pIO; children; UpdateSize(start)
//  - buffered: header and fields into m_buffer; UpdateBufferSize(0); m_buffer.Flush()
//  - staged:   header and fixed fields into m_buffer, Flush(); children; UpdateSize(start)
//  - constant: finished bytes with their final size, no patch
#pragma once

#include <cstdint>

#include "BaseIO.h"

namespace bv {

class CMp4Atom {
 public:
  explicit CMp4Atom(IBaseIO* io);
  virtual ~CMp4Atom() = default;
  CMp4Atom(const CMp4Atom&) = delete;
  CMp4Atom& operator=(const CMp4Atom&) = delete;

  virtual void Write() = 0;
  virtual uint32_t GetSize() = 0;

  IBaseIO* Stream() const { return m_pIO; }

 protected:
  // Patches the 32-bit size of a box written straight to m_pIO at `start`
  // and returns to the end.
  void UpdateSize(int64_t start);
  // The same inside the box's own buffer.
  void UpdateBufferSize(int64_t start);
  // The unity transformation matrix into m_buffer (36 bytes).
  void WriteMatrix(int16_t a, int16_t b, int16_t c, int16_t d, int16_t tx, int16_t ty);

  // Header helpers: size placeholder and type (and version/flags for a full
  // box), to a stream of the caller's choice.
  static void PutHeader(IBaseIO& io, uint32_t size, const char* type);
  static void PutFullHeader(IBaseIO& io, uint32_t size, const char* type, uint8_t version, uint32_t flags);

  IBaseIO* m_pIO;      // not owned
  CBufferIO m_buffer;  // staging buffer, target m_pIO
};

}  // namespace bv
