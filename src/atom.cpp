#include "atom.h"

namespace bv {

CMp4Atom::CMp4Atom(IBaseIO* io) : m_pIO(io) { m_buffer.SetTarget(io); }

void CMp4Atom::UpdateSize(int64_t start) {
  const int64_t end = m_pIO->Ftell();
  m_pIO->Seek(start, 0);
  PutU32(*m_pIO, static_cast<uint32_t>(end - start));
  m_pIO->Seek(end, 0);
}

void CMp4Atom::UpdateBufferSize(int64_t start) {
  const int64_t end = m_buffer.Ftell();
  m_buffer.Seek(start, 0);
  PutU32(m_buffer, static_cast<uint32_t>(end - start));
  m_buffer.Seek(end, 0);
}

void CMp4Atom::WriteMatrix(int16_t a, int16_t b, int16_t c, int16_t d, int16_t tx, int16_t ty) {
  auto fixed = [](int16_t v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)) << 16; };
  PutU32(m_buffer, fixed(a));
  PutU32(m_buffer, fixed(b));
  PutU32(m_buffer, 0);
  PutU32(m_buffer, fixed(c));
  PutU32(m_buffer, fixed(d));
  PutU32(m_buffer, 0);
  PutU32(m_buffer, fixed(tx));
  PutU32(m_buffer, fixed(ty));
  PutU32(m_buffer, 0x40000000u);
}

void CMp4Atom::PutHeader(IBaseIO& io, uint32_t size, const char* type) {
  PutU32(io, size);
  PutFourCC(io, type);
}

void CMp4Atom::PutFullHeader(IBaseIO& io, uint32_t size, const char* type, uint8_t version, uint32_t flags) {
  PutHeader(io, size, type);
  PutU8(io, version);
  PutU24(io, flags);
}

}  // namespace bv
