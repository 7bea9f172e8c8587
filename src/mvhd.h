// The movie header. It is written once per file; in safe mode its duration is
// afterwards rewritten in place, so the box remembers where it was put.
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4MvhdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return m_bVersion1 ? 120u : 108u; }
  // Plans the rewrite of the duration field of the box written last;
  // Update() writes it at once and returns to the stream position it found.
  void Update(CHeaderUpdate& plan);
  void Update();

  bool m_bVersion1 = false;
  // The highest track ID handed out; the file carries the next free one.
  uint32_t m_nextTrackId = 1;
  uint64_t m_duration = 0;  // movie time scale (1000)
  // Stream position of the box's first byte; 0 while never written.
  uint64_t m_startPos = 0;

  static constexpr uint32_t kTimeScale = 1000;
};

}  // namespace bv
