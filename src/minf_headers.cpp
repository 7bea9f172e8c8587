#include "minf_headers.h"

namespace bv {

void CMp4VmhdAtom::Write() {
  static const uint8_t kBytes[20] = {0, 0, 0, 20, 'v', 'm', 'h', 'd', 0, 0, 0, 1};
  PutBytes(*m_pIO, kBytes, sizeof(kBytes));
}

void CMp4SmhdAtom::Write() {
  static const uint8_t kBytes[16] = {0, 0, 0, 16, 's', 'm', 'h', 'd'};
  PutBytes(*m_pIO, kBytes, sizeof(kBytes));
}

void CMp4DrefAtom::Write() {
  static const uint8_t kBytes[28] = {
      0, 0, 0, 28, 'd', 'r', 'e', 'f', 0, 0, 0, 0, 0, 0, 0, 1,  // one entry
      0, 0, 0, 12, 'u', 'r', 'l', ' ', 0, 0, 0, 1,              // flag 1: data in this file
  };
  PutBytes(*m_pIO, kBytes, sizeof(kBytes));
}

void CMp4DinfAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "dinf");
  m_dref.Write();
  UpdateSize(start);
}

void CMp4GminAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutFullHeader(*m_pIO, 12, "gmin", 0, 0);
  PutU16(*m_pIO, 0x0040);  // graphics mode: dither copy
  PutU16(*m_pIO, 0x8000);
  PutU16(*m_pIO, 0x8000);
  PutU16(*m_pIO, 0x8000);
  PutU16(*m_pIO, 0);  // balance
  PutU16(*m_pIO, 0);
  UpdateSize(start);
}

void CMp4TextAtom::Write() {
  const int64_t start = m_buffer.Ftell();
  PutHeader(m_buffer, 8, "text");
  WriteMatrix(1, 0, 0, 1, 0, 0);
  UpdateBufferSize(start);
  m_buffer.Flush();
}

void CMp4TcmiAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "tmcd");

  static const char kFont[] = "Lucida Grande";
  const int64_t inner = m_buffer.Ftell();
  PutFullHeader(m_buffer, 12, "tcmi", 0, 0);
  PutU16(m_buffer, 0);       // text font
  PutU16(m_buffer, 0x0001);  // text face
  PutU16(m_buffer, 12);      // text size
  PutU16(m_buffer, 0);
  PutU16(m_buffer, 0xFFFF);  // text colour
  PutU16(m_buffer, 0xFFFF);
  PutU16(m_buffer, 0xFFFF);
  PutZeros(m_buffer, 6);  // background colour
  PutU8(m_buffer, static_cast<uint8_t>(sizeof(kFont) - 1));
  PutBytes(m_buffer, kFont, sizeof(kFont) - 1);
  UpdateBufferSize(inner);
  m_buffer.Flush();

  UpdateSize(start);
}

void CMp4GmhdAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "gmhd");
  m_gmin.Write();
  m_text.Write();
  m_tcmi.Write();
  UpdateSize(start);
}

void CMp4NmhdAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "nmhd");
  m_gmin.Write();
  m_text.Write();
  UpdateSize(start);
}

void CMp4TMCDUdatAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "udta");
  static const uint8_t kName[20] = {0, 0, 0, 20, 'n', 'a', 'm', 'e', 'B', 'r', 'e', 'l', 'v', 'a', 'n', 'e'};
  PutBytes(*m_pIO, kName, sizeof(kName));
  UpdateSize(start);
}

}  // namespace bv
