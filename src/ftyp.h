// The two small boxes at the head of every file: the file type and the
// eight-byte free box that MP4 output puts after it.
#pragma once

#include "atom.h"

namespace bv {

class CMp4FtypAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return m_bQuickTime ? 20 : 28; }

  bool m_bQuickTime = false;
};

class CMp4FreeAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 8; }
};

}  // namespace bv
