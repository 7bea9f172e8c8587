#include "stsz.h"

#include "byte_order.h"

namespace bv {

CMp4StszAtom::CMp4StszAtom(IBaseIO* io) : CMp4EntryTableAtom(io, "stsz", 4, true, __FILE__) {}

bool CMp4StszAtom::AddEntry(uint32_t size) {
  const Room room = CheckRoom();
  if (room != Room::kFree) {
    LogRefusal(room, __func__);
    return false;
  }
  uint8_t entry[4];
  StoreBE32(entry, size);
  if (Count() == 0) {
    m_firstSize = size;
  } else if (size != m_firstSize) {
    m_allEqual = false;
  }
  Append(entry);
  m_total += size;
  return true;
}

bool CMp4StszAtom::CompactValue(uint32_t* value) const {
  if (IsReserved() || !m_allEqual) return false;
  *value = Count() > 0 ? m_firstSize : 0;
  return true;
}

}  // namespace bv
