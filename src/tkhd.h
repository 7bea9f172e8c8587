// The per-track header boxes that sit beside the media box: the track header,
// the edit list with its single edit, and the track references.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4TkhdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return m_bVersion1 ? 104u : 92u; }
  // Plans the rewrite of the duration field of the box written last;
  // Update() writes it at once and returns to the stream position it found.
  void Update(CHeaderUpdate& plan);
  void Update();

  bool m_bVersion1 = false;
  uint64_t m_duration = 0;  // movie time scale
  uint32_t m_trackId = 0;
  uint32_t m_width = 0;   // whole pixels; stored as 16.16
  uint32_t m_height = 0;
  uint16_t m_alternateGroup = 0;
  bool m_bDisabled = false;
  uint64_t m_startPos = 0;  // 0 while never written
};

// The edit list: one edit that maps the whole media at rate 1, behind an
// empty edit when the track starts after the movie does.
class CMp4ElstAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  // Writes the form the empty duration asks for.
  void Write() override;
  uint32_t GetSize() override { return SizeOf(m_emptyDuration != 0); }
  // Writes the list with or without the empty edit, whatever the duration
  // (an empty edit of 0 is written as such).
  void WriteForm(bool withEmptyEdit);
  uint32_t SizeOf(bool withEmptyEdit) const {
    return (m_bVersion1 ? 36u : 28u) + (withEmptyEdit ? (m_bVersion1 ? 20u : 12u) : 0u);
  }
  // Plans the rewrite of the durations and the media time in every form
  // written so far.
  void Update(CHeaderUpdate& plan);
  void Update();

  bool m_bVersion1 = false;
  uint64_t m_segmentDuration = 0;  // movie time scale
  // Where presentation starts in the media (media time scale): the first
  // sample's composition offset, so that it is presented at time 0.
  uint64_t m_mediaTime = 0;
  // Movie time before the track starts, written as an empty edit ahead of
  // the media; 0 writes none.
  uint64_t m_emptyDuration = 0;
  uint64_t m_startPos = 0;       // the form without empty edit; 0 while never written
  uint64_t m_startPosEmpty = 0;  // the form with it; 0 while never written
};

// Holds the edit list. Safe mode with kept track starts cannot grow the list
// in place when the track turns out to start late, so it reserves both
// forms: the one in use as "edts", the other as a "free" box of the same
// content that readers skip. Turning to the form with the empty edit takes
// two 4-byte type rewrites close together, the old form hidden first: a
// reader that sees neither plays the track from the movie's start, never
// from a wrong place.
class CMp4EdtsAtom : public CMp4Atom {
 public:
  explicit CMp4EdtsAtom(IBaseIO* io) : CMp4Atom(io), m_elst(io) {}
  void Write() override;
  uint32_t GetSize() override;
  void ReserveEmptyEdit() { m_bReserveEmptyEdit = true; }
  // Plans the list's rewrite and, once the track starts late, the switch to
  // the form with the empty edit; only after a Write.
  void Update(CHeaderUpdate& plan);

  CMp4ElstAtom m_elst;

 private:
  bool m_bReserveEmptyEdit = false;
  bool m_bShowsEmptyEdit = false;
  uint64_t m_plainPos = 0;  // box positions of the two reserved forms
  uint64_t m_emptyPos = 0;
};

// A reference of one kind from the owning track to up to kMaxIds others.
class CMp4RefTrackTypeAtom : public CMp4Atom {
 public:
  static constexpr uint32_t kTimeCode = 10;  // written as "tmcd"
  static constexpr uint32_t kMaxIds = 8;

  CMp4RefTrackTypeAtom(IBaseIO* io, uint32_t refType) : CMp4Atom(io), m_refType(refType) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + 4 * m_count; }
  // False when the ID is already listed (nothing changes) or the list is full.
  bool AddTrackId(uint32_t id);

  uint32_t m_refType;
  std::array<uint32_t, kMaxIds> m_trackIds{};
  uint32_t m_count = 0;
};

class CMp4RefTrakAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override;
  void Add(std::shared_ptr<CMp4RefTrackTypeAtom> ref) { m_refs.push_back(std::move(ref)); }

  std::vector<std::shared_ptr<CMp4RefTrackTypeAtom>> m_refs;
};

}  // namespace bv
