#include "mdat.h"

#include "log.h"

namespace bv {

void CMp4MdatAtom::Write() {
  m_startPos = static_cast<uint64_t>(m_pIO->Ftell());
  if (m_bLargeSize) {
    PutU32(*m_pIO, 1);
    PutFourCC(*m_pIO, "mdat");
    PutU64(*m_pIO, 1);
  } else {
    PutHeader(*m_pIO, 8, "mdat");
  }
}

void CMp4MdatAtom::Update(CHeaderUpdate& plan) { Update(plan, static_cast<uint64_t>(m_pIO->Ftell())); }

void CMp4MdatAtom::Update(CHeaderUpdate& plan, uint64_t end) {
  const uint64_t size = end - m_startPos;
  if (m_bLargeSize) {
    plan.AddU64(CHeaderUpdate::kMediaSize, m_startPos + 8, size);
  } else {
    plan.AddU32(CHeaderUpdate::kMediaSize, m_startPos, static_cast<uint32_t>(size));
  }
  LOGI("update mdat size to %lld", static_cast<long long>(size));
}

void CMp4MdatAtom::Update() {
  const int64_t end = m_pIO->Ftell();
  const uint64_t size = static_cast<uint64_t>(end) - m_startPos;
  if (m_bLargeSize) {
    m_pIO->Seek(static_cast<int64_t>(m_startPos + 8), 0);
    PutU64(*m_pIO, size);
  } else {
    m_pIO->Seek(static_cast<int64_t>(m_startPos), 0);
    PutU32(*m_pIO, static_cast<uint32_t>(size));
  }
  LOGI("update mdat size to %lld", static_cast<long long>(size));
  m_pIO->Seek(end, 0);
}

}  // namespace bv
