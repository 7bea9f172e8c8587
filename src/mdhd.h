// The media header and the handler boxes that name what a media box holds
// (media handlers) and where its data lives (the data handler).
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4MdhdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return m_bVersion1 ? 44u : 32u; }
  // Plans the rewrite of the duration field of the box written last;
  // Update() writes it at once and returns to the stream position it found.
  void Update(CHeaderUpdate& plan);
  void Update();

  bool m_bVersion1 = false;
  uint32_t m_timeScale = 1000;
  uint64_t m_duration = 0;  // media time scale
  uint64_t m_startPos = 0;  // 0 while never written

  static constexpr uint16_t kLanguageUnd = 0x55C4;
};

// A QuickTime-style handler: component type and subtype, three zero words
// and the name as a counted string. The kinds differ only in these three.
class CMp4HdlrAtom : public CMp4Atom {
 public:
  void Write() override;
  uint32_t GetSize() override;

  const char* ComponentType() const { return m_type; }
  const char* ComponentSubtype() const { return m_subtype; }
  const char* Name() const { return m_name; }

 protected:
  CMp4HdlrAtom(IBaseIO* io, const char* type, const char* subtype, const char* name)
      : CMp4Atom(io), m_type(type), m_subtype(subtype), m_name(name) {}

 private:
  const char* const m_type;     // four characters
  const char* const m_subtype;  // four characters
  const char* const m_name;     // at most 255 characters
};

class CMp4VideoHdlrAtom : public CMp4HdlrAtom {
 public:
  explicit CMp4VideoHdlrAtom(IBaseIO* io) : CMp4HdlrAtom(io, "mhlr", "vide", "VideoHandler") {}
};

class CMp4AudioHdlrAtom : public CMp4HdlrAtom {
 public:
  explicit CMp4AudioHdlrAtom(IBaseIO* io) : CMp4HdlrAtom(io, "mhlr", "soun", "SoundHandler") {}
};

// Media handler of the time-code track.
class CMp4SubtHdlrAtom : public CMp4HdlrAtom {
 public:
  explicit CMp4SubtHdlrAtom(IBaseIO* io) : CMp4HdlrAtom(io, "mhlr", "tmcd", "TimeCodeHandler") {}
};

// Media handler of the closed-caption track.
class CMp4SubtitleHdlrAtom : public CMp4HdlrAtom {
 public:
  explicit CMp4SubtitleHdlrAtom(IBaseIO* io) : CMp4HdlrAtom(io, "mhlr", "clcp", "brelvane stream") {}
};

// Data handler inside every media-information box: data referenced by URL.
class CMp4UrlHdlrAtom : public CMp4HdlrAtom {
 public:
  explicit CMp4UrlHdlrAtom(IBaseIO* io) : CMp4HdlrAtom(io, "dhlr", "url ", "DataHandler") {}
};

}  // namespace bv
