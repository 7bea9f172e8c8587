#include "ReadBuffer.h"

#include <cstdio>
#include <new>

#include "log.h"

namespace bv {

void CReadBuffer::Realloc(uint32_t n) {
  if (n < m_capacity) {
    m_data[n] = 0;
    return;
  }
  try {
    m_data.resize(size_t{n} + 1);
  } catch (const std::bad_alloc&) {
    m_capacity = 0;
    m_data.clear();
    LOGE("realloc buffer failed, size:%d", static_cast<int>(n));
    throw;
  }
  m_capacity = n + 1;
  m_data[n] = 0;
}

void CReadBuffer::Release() {
  if (--m_refs > 0) return;
  m_refs = 0;
  m_sink->ReleaseBuffer(this);
}

CReadBufferPool::~CReadBufferPool() {
  m_created -= static_cast<uint32_t>(m_free.size());
  m_free.clear();
  if (m_created != 0) {
    std::printf("\n!!! Memory LEAK in CReadBufferPool !\n\n");
    std::fflush(stdout);
  }
}

CReadBuffer* CReadBufferPool::Take() {
  if (!m_free.empty()) {
    CReadBuffer* b = m_free.back();
    m_free.pop_back();
    return b;
  }
  try {
    m_owned.push_back(std::make_unique<CReadBuffer>(this));
  } catch (const std::bad_alloc&) {
    LOGE("new CReadBuffer");
    throw;
  }
  ++m_created;
  return m_owned.back().get();
}

void CReadBufferPool::ReleaseBuffer(CReadBuffer* buffer) { m_free.push_back(buffer); }

CReadBuffer* CReadBufferList::Get(uint32_t n) {
  m_inUse.reserve(4);
  CReadBuffer* b = m_pool.Take();
  m_inUse.push_back(b);
  b->AddRef();
  b->Realloc(n);
  return b;
}

void CReadBufferList::ReleaseAll() {
  while (!m_inUse.empty()) {
    CReadBuffer* b = m_inUse.back();
    m_inUse.pop_back();
    b->Release();
  }
}

}  // namespace bv
