// The pixel aspect ratio box "pasp" of an H.264 or HEVC sample entry: the
// stream's sample aspect ratio, reduced, when it is known and not square.
// Square or unknown pixels write no box. (ProRes entries carry their own
// fixed square "pasp".)
#pragma once

#include "atom.h"

namespace bv {

class CMp4PaspAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  void Set(uint32_t sarWidth, uint32_t sarHeight);
  void Clear() { m_hSpacing = m_vSpacing = 0; }
  bool IsPresent() const { return m_hSpacing != 0 && m_hSpacing != m_vSpacing; }

  void Write() override;
  uint32_t GetSize() override { return IsPresent() ? 16 : 0; }

 private:
  uint32_t m_hSpacing = 0;
  uint32_t m_vSpacing = 0;
};

}  // namespace bv
