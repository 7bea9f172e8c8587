#include "stco.h"

#include "byte_order.h"

namespace bv {

CMp4StcoAtom::CMp4StcoAtom(IBaseIO* io) : CMp4EntryTableAtom(io, "stco", 4, false, __FILE__) {}

bool CMp4StcoAtom::AddChunk(uint64_t offset) {
  const Room room = CheckRoom();
  if (room != Room::kFree) {
    LogRefusal(room, __func__);
    return false;
  }
  uint8_t entry[4];
  StoreBE32(entry, static_cast<uint32_t>(offset));
  Append(entry);
  return true;
}

}  // namespace bv
