// The two ways an export holds the library.
//
// Creating, closing, configuring and querying a handle are rare and change
// or read state that frame writers of the same handle use, so they exclude
// every other call. Frame writers are the hot path: they only need the
// handle to stay registered (and alive) for the length of the call, so they
// share the library with each other, and the muxer's own lock orders the
// writers of one handle. A close therefore waits for the frames in flight
// and no frame call can find a handle that a close has begun to destroy.
#pragma once

namespace bv {

// Exclusive: the recursive library lock, then the frame gate shut and the
// frame calls in flight waited for. A thread that already holds it may take
// it again (the inner holder then changes nothing).
class CLibraryLock {
 public:
  CLibraryLock();
  ~CLibraryLock();
  CLibraryLock(const CLibraryLock&) = delete;
  CLibraryLock& operator=(const CLibraryLock&) = delete;
};

// Shared: held by the frame writers for the whole call.
class CFrameCallLock {
 public:
  CFrameCallLock();
  ~CFrameCallLock();
  CFrameCallLock(const CFrameCallLock&) = delete;
  CFrameCallLock& operator=(const CFrameCallLock&) = delete;

 private:
  const bool m_counted;  // false when this thread already holds either side
};

}  // namespace bv
