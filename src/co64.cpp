#include "co64.h"

#include <cstring>

#include "byte_order.h"
#include "log.h"

namespace bv {

CMp4Co64Atom::CMp4Co64Atom(IBaseIO* io) : CMp4EntryTableAtom(io, "co64", 8, false, __FILE__) {}

bool CMp4Co64Atom::AddChunk(uint64_t offset) {
  const Room room = CheckRoom();
  if (room != Room::kFree) {
    LogRefusal(room, __func__);
    return false;
  }
  if (!IsReserved()) {
    m_offsets.Add(offset);
    CountEntry();
    return true;
  }
  uint8_t entry[8];
  StoreBE64(entry, offset);
  Append(entry);
  return true;
}

void CMp4Co64Atom::SetMaxFrame(uint32_t frames) {
  // Entries held compactly move to the file layout first (already counted).
  uint8_t entry[8];
  for (uint32_t i = 0; i < m_offsets.Count(); ++i) {
    m_offsets.CopyBigEndian(i, 1, entry);
    PutBytes(m_buffer, entry, sizeof(entry));
  }
  m_offsets = CChunkOffsetList();
  ReserveEntries(frames);
  LOGI("max frame number:%u", frames);
}

void CMp4Co64Atom::Write() {
  if (IsReserved()) {
    CMp4EntryTableAtom::Write();
    return;
  }
  uint8_t header[16];
  StoreBE32(header, static_cast<uint32_t>(BoxSize()));
  std::memcpy(header + 4, "co64", 4);
  StoreBE32(header + 8, 0);  // version 0, flags 0
  StoreBE32(header + 12, Count());
  PutBytes(*m_pIO, header, sizeof(header));
  // Expanded in blocks: the stream takes large writes, memory stays small.
  uint8_t block[8 * 4096];
  for (uint32_t first = 0; first < Count() && m_pIO->state == IBaseIO::kOpen; first += 4096) {
    const uint32_t n = Count() - first < 4096 ? Count() - first : 4096;
    m_offsets.CopyBigEndian(first, n, block);
    PutBytes(*m_pIO, block, 8 * n);
  }
}

}  // namespace bv
