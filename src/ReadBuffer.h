// Reusable, reference-counted buffers for the variable-length fields of the
// side file (parameter sets, metadata keys and values), so that a repair
// allocates only when a field is larger than any seen before.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

namespace bv {

class CReadBuffer;

// Takes a buffer back when its last reference is released.
class IRefBufferSink {
 public:
  virtual void ReleaseBuffer(CReadBuffer* buffer) = 0;

 protected:
  ~IRefBufferSink() = default;
};

class CReadBuffer {
 public:
  explicit CReadBuffer(IRefBufferSink* sink) : m_sink(sink) {}
  CReadBuffer(const CReadBuffer&) = delete;
  CReadBuffer& operator=(const CReadBuffer&) = delete;

  // Makes room for `n` bytes and a terminating zero behind them, so that a
  // field read as text always ends inside the buffer. Grows, never shrinks;
  // throws std::bad_alloc after logging when memory runs out.
  void Realloc(uint32_t n);
  uint8_t* Data() { return m_data.data(); }
  uint32_t Capacity() const { return m_capacity; }

  void AddRef() { ++m_refs; }
  // At zero references the buffer goes back to its sink.
  void Release();

 private:
  int32_t m_refs = 0;
  IRefBufferSink* m_sink;
  std::vector<uint8_t> m_data;
  uint32_t m_capacity = 0;
};

class CReadBufferPool : public IRefBufferSink {
 public:
  CReadBufferPool() = default;
  // Prints "\n!!! Memory LEAK in CReadBufferPool !\n\n" when a buffer never
  // came back; never throws.
  ~CReadBufferPool();
  CReadBufferPool(const CReadBufferPool&) = delete;
  CReadBufferPool& operator=(const CReadBufferPool&) = delete;

  // The most recently returned free buffer, or a new one.
  CReadBuffer* Take();
  void ReleaseBuffer(CReadBuffer* buffer) override;
  uint32_t CreatedCount() const { return m_created; }
  size_t FreeCount() const { return m_free.size(); }

 private:
  std::list<CReadBuffer*> m_free;
  // Owns every buffer it created, so a buffer that is never returned is
  // reported but not lost.
  std::vector<std::unique_ptr<CReadBuffer>> m_owned;
  uint32_t m_created = 0;
};

// The buffers taken for the record being read, released together.
class CReadBufferList {
 public:
  explicit CReadBufferList(CReadBufferPool& pool) : m_pool(pool) {}
  ~CReadBufferList() { ReleaseAll(); }
  CReadBufferList(const CReadBufferList&) = delete;
  CReadBufferList& operator=(const CReadBufferList&) = delete;

  // A buffer of at least `n` bytes (plus the terminating zero), referenced
  // until ReleaseAll.
  CReadBuffer* Get(uint32_t n);
  // Gives the buffers back, the most recently taken first.
  void ReleaseAll();

 private:
  CReadBufferPool& m_pool;
  std::vector<CReadBuffer*> m_inUse;
};

}  // namespace bv
