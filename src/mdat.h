// The media-data box. Its header is written once; frames are appended behind
// it by the muxer and its size is patched in place by Update.
#pragma once

#include "atom.h"
#include "header_update.h"

namespace bv {

class CMp4MdatAtom : public CMp4Atom {
 public:
  CMp4MdatAtom(IBaseIO* io, bool largeSize) : CMp4Atom(io), m_bLargeSize(largeSize) {}
  void Write() override;
  // The media data is never part of a size computation.
  uint32_t GetSize() override { return 0; }
  // Patches the size to cover everything up to the stream's position and
  // returns to it.
  void Update();
  // The same as the last step of a planned header update.
  void Update(CHeaderUpdate& plan);
  // The same with the media data ending at file offset `end`.
  void Update(CHeaderUpdate& plan, uint64_t end);
  // Header length: where the first sample starts relative to m_startPos.
  uint32_t HeaderSize() const { return m_bLargeSize ? 16u : 8u; }

  uint64_t m_startPos = 0;
  const bool m_bLargeSize;
};

}  // namespace bv
