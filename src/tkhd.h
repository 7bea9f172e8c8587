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

// One edit that maps the whole media at rate 1.
class CMp4ElstAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override { return (m_bVersion1 ? 36u : 28u) + (m_emptyDuration ? (m_bVersion1 ? 20u : 12u) : 0u); }
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
  uint64_t m_startPos = 0;         // 0 while never written
};

class CMp4EdtsAtom : public CMp4Atom {
 public:
  explicit CMp4EdtsAtom(IBaseIO* io) : CMp4Atom(io), m_elst(io) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + m_elst.GetSize(); }

  CMp4ElstAtom m_elst;
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
