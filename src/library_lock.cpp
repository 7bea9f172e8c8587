#include "library_lock.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "mp4_registry.h"

namespace bv {

namespace {

// The frame gate: frame calls count themselves in, the exclusive side shuts
// the gate and waits for the count to fall to zero. A frame call pays two
// atomic additions and a load, no lock word shared with a mutex's waiters.
// Counting in before looking at the flag (and the flag being raised before
// the count is read, all sequentially consistent) means that a frame call
// either sees the gate shut or is seen by the one shutting it.
std::atomic<unsigned> g_inFlight{0};
std::atomic<bool> g_shut{false};

// How deep this thread holds the exclusive side: only the outermost holder
// shuts and opens the gate, and a frame call made while holding it (from a
// host's I/O callback) passes, as it would through the recursive lock.
thread_local unsigned t_depth = 0;
// 1 while this thread is inside a counted frame call: an export made from
// there (a host's I/O callback) waits for the other threads' frame calls only.
thread_local unsigned t_inFrame = 0;

// Frame calls last microseconds, a slow disk's write milliseconds: yield
// first, then sleep briefly.
void Pause(unsigned& spins) {
  if (++spins < 64) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

CLibraryLock::CLibraryLock() {
  LibraryLock().lock();
  if (t_depth++ > 0) return;
  g_shut.store(true);
  unsigned spins = 0;
  while (g_inFlight.load() != t_inFrame) Pause(spins);
}

CLibraryLock::~CLibraryLock() {
  if (--t_depth == 0) g_shut.store(false);
  LibraryLock().unlock();
}

// A frame call made inside another one of this thread (or inside its
// exclusive hold) rides on the outer hold.
CFrameCallLock::CFrameCallLock() : m_counted(t_depth == 0 && t_inFrame == 0) {
  if (!m_counted) return;
  unsigned spins = 0;
  for (;;) {
    g_inFlight.fetch_add(1);
    if (!g_shut.load()) {
      t_inFrame = 1;
      return;
    }
    g_inFlight.fetch_sub(1);
    while (g_shut.load()) Pause(spins);
  }
}

CFrameCallLock::~CFrameCallLock() {
  if (!m_counted) return;
  t_inFrame = 0;
  g_inFlight.fetch_sub(1);
}

}  // namespace bv
