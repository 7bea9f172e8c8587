// The colour box "colr" of a video sample entry: the stream's colour
// description repeated for players that read colour from the container.
// MP4 files get the "nclx" form with the full-range flag, QuickTime movies
// the "nclc" form without it. Written only when the stream names all three
// code points (primaries, transfer, matrix) and none is "unspecified";
// otherwise the box is absent and takes no bytes.
#pragma once

#include "atom.h"
#include "vui.h"

namespace bv {

class CMp4ColrAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  void Set(const VideoUsability& vui);
  void Clear() { m_bPresent = false; }
  bool IsPresent() const { return m_bPresent; }

  void Write() override;
  uint32_t GetSize() override;

  bool m_bQuickTime = false;

 private:
  bool m_bPresent = false;
  uint8_t m_primaries = 2;
  uint8_t m_transfer = 2;
  uint8_t m_matrix = 2;
  bool m_bFullRange = false;
};

}  // namespace bv
