#include "co64.h"

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
  uint8_t entry[8];
  StoreBE64(entry, offset);
  Append(entry);
  return true;
}

void CMp4Co64Atom::SetMaxFrame(uint32_t frames) {
  ReserveEntries(frames);
  LOGI("max frame number:%u", frames);
}

}  // namespace bv
