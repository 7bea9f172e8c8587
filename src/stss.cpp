#include "stss.h"

#include "byte_order.h"
#include "log.h"

namespace bv {

CMp4StssAtom::CMp4StssAtom(IBaseIO* io) : CMp4EntryTableAtom(io, "stss", 4, false, __FILE__) {}

bool CMp4StssAtom::AddSyncSample(uint32_t sampleNumber) {
  const Room room = CheckRoom();
  if (room == Room::kReservedFull) {
    LOGE("video sync frame box(stss) have no left space");
    return false;
  }
  if (room != Room::kFree) {
    LogRefusal(room, __func__);
    return false;
  }
  uint8_t entry[4];
  StoreBE32(entry, sampleNumber);
  Append(entry);
  return true;
}

}  // namespace bv
