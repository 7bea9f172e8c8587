#include "ftyp.h"

namespace bv {

void CMp4FtypAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "ftyp");
  if (m_bQuickTime) {
    PutFourCC(*m_pIO, "qt  ");
    PutU32(*m_pIO, 0x20050300u);
    PutFourCC(*m_pIO, "qt  ");
  } else {
    PutFourCC(*m_pIO, "isom");
    PutU32(*m_pIO, 0x00000200u);
    PutFourCC(*m_pIO, "isom");
    PutFourCC(*m_pIO, "iso2");
    PutFourCC(*m_pIO, "mp41");
  }
  UpdateSize(start);
}

void CMp4FreeAtom::Write() { PutHeader(*m_pIO, 8, "free"); }

}  // namespace bv
