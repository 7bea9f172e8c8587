// One in-place update of the reserved header: the boxes first say what they
// want rewritten (new table entries, counts, durations, the mdat size), then
// the whole set is written in an order that keeps the file readable after
// any prefix of its page writes.
//
// The header lives in memory pages of the safe-mode stream, and a page reaches
// the disk when the stream leaves the header region. A process can die
// between two such page writes, so the stages are written one after the
// other, each to disk before the next starts:
//   1. entries: new entries land behind the counts on disk, so readers ignore
//      them until stage 2;
//   2. counts, in file order: within a track the sizes come before the chunk
//      offsets, so no chunk ever points at a sample the sizes do not cover;
//   3. durations of the movie, the tracks and their media;
//   4. edit lists that gained an empty edit switch to that form; before the
//      tracks are revealed, so that a track that starts late is never shown
//      beside another without its offset;
//   5. tracks that received their first samples are revealed: a track is
//      written as a "free" box until then, because readers refuse a track
//      whose time, size and chunk counts are not all zero or all set, and
//      those three counts lie pages apart;
//   6. the mdat size.
// Within a stage, writes are made in ascending file order and handed to disk
// one run of consecutive pages at a time (exactly the ranges the stream
// would merge itself), so that every disk write of an update is a point at
// which the test seam can stop the process.
#pragma once

#include <cstdint>
#include <vector>

#include "BaseIO.h"

namespace bv {

class CHeaderUpdate {
 public:
  enum Stage : uint8_t { kEntries = 0, kCounts = 1, kDurations = 2, kEdits = 3, kTracks = 4, kMediaSize = 5 };

  // `data` is borrowed and must stay unchanged until Apply returns.
  void AddBytes(Stage stage, uint64_t offset, const uint8_t* data, uint64_t size);
  void AddU32(Stage stage, uint64_t offset, uint32_t value);
  void AddU64(Stage stage, uint64_t offset, uint64_t value);
  // A duration field: 64 bits when `wide`, else its low 32 bits.
  void AddTime(uint64_t offset, bool wide, uint64_t value);

  // Writes everything through `io` and leaves it at the position it had.
  // `pageSize` is the unit in which `io` writes changed header pages (0 for
  // a stream that writes at once). Returns the number of page-run writes.
  uint32_t Apply(IBaseIO& io, uint64_t pageSize);

  bool Empty() const { return m_patches.empty(); }
  // Bytes the patches change (pages written are counted by Apply).
  uint64_t PatchBytes() const;

  // Test seam: called after each page-run write of every update with the
  // run's index within its update (from 1). A crash test stops the process
  // there to leave the file exactly as a power cut at that point would.
  using WriteHook = void (*)(uint32_t writeIndex);
  static void SetWriteHookForTest(WriteHook hook);

 private:
  struct Patch {
    Stage stage;
    uint64_t offset;
    const uint8_t* data;  // null: the bytes are in `value`
    uint64_t size;
    uint8_t value[8];
  };
  std::vector<Patch> m_patches;
};

}  // namespace bv
