// The media headers and data-information boxes of the media-information box,
// and the small user-data box of the time-code track.
#pragma once

#include <cstdint>

#include "atom.h"

namespace bv {

// Video media header (constant).
class CMp4VmhdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 20; }
};

// Sound media header (constant).
class CMp4SmhdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 16; }
};

// One self-reference: the media data is in this file (constant).
class CMp4DrefAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 28; }
};

class CMp4DinfAtom : public CMp4Atom {
 public:
  explicit CMp4DinfAtom(IBaseIO* io) : CMp4Atom(io), m_dref(io) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + m_dref.GetSize(); }

  CMp4DrefAtom m_dref;
};

// Base media information: graphics mode, colour and balance.
class CMp4GminAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 24; }
};

// Text media information: a transformation matrix.
class CMp4TextAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 44; }
};

// The "tmcd" box holding the time-code media information "tcmi".
class CMp4TcmiAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 8 + kTcmiSize; }

  static constexpr uint32_t kTcmiSize = 46;
};

// Generic media header of the QuickTime time-code and closed-caption tracks.
class CMp4GmhdAtom : public CMp4Atom {
 public:
  explicit CMp4GmhdAtom(IBaseIO* io) : CMp4Atom(io), m_gmin(io), m_text(io), m_tcmi(io) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + m_gmin.GetSize() + m_text.GetSize() + m_tcmi.GetSize(); }

  CMp4GminAtom m_gmin;
  CMp4TextAtom m_text;
  CMp4TcmiAtom m_tcmi;
};

// Media header of the MP4 time-code track: a plain container of gmin and
// text (not a full box).
class CMp4NmhdAtom : public CMp4Atom {
 public:
  explicit CMp4NmhdAtom(IBaseIO* io) : CMp4Atom(io), m_gmin(io), m_text(io) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + m_gmin.GetSize() + m_text.GetSize(); }

  CMp4GminAtom m_gmin;
  CMp4TextAtom m_text;
};

// User data of the time-code track: a "name" box.
class CMp4TMCDUdatAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return 28; }
};

}  // namespace bv
