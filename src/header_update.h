// One in-place update of the reserved header: the boxes first say what they
// want rewritten (new table entries, counts, durations, the mdat size), then
// the whole set is written in an order that keeps the file readable whatever
// part of it a power cut lets reach the disk.
//
// The header lives in memory pages of the safe-mode stream, and the changed
// pages reach the disk when the stream leaves the header region: rewritten
// in place, in any order, with one barrier (the device has them all) before
// the stream returns. The patches are therefore grouped in stages, each
// written and made durable before the next starts, such that any subset of
// one stage's pages on top of the stages before leaves a readable file:
//   1. entries: new entries land behind the counts on disk, so readers ignore
//      them until the counts move;
//   2. counts of the times, sync samples, composition offsets and sizes (a
//      count ahead of another only lists samples the others do not, which
//      readers pass over);
//   3. chunk counts, once the sizes of the samples they point at are on disk;
//   4. durations of the movie, the tracks and their media;
//   5. edit lists that gained an empty edit switch to that form; before the
//      tracks are revealed, so that a track that starts late is never shown
//      beside another without its offset;
//   6. tracks that received their first samples are revealed: a track is
//      written as a "free" box until then, because readers refuse a track
//      whose time, size and chunk counts are not all zero or all set, and
//      those three counts lie pages apart;
//   7. the mdat size.
// A process that dies in a stage leaves a prefix of its pages in file order,
// one of those subsets.
#pragma once

#include <cstdint>
#include <vector>

#include "BaseIO.h"

namespace bv {

class CHeaderUpdate {
 public:
  enum Stage : uint8_t {
    kEntries = 0,
    kCounts = 1,
    kChunkCounts = 2,
    kDurations = 3,
    kEdits = 4,
    kTracks = 5,
    kMediaSize = 6
  };

  // `data` is borrowed and must stay unchanged until Apply returns.
  void AddBytes(Stage stage, uint64_t offset, const uint8_t* data, uint64_t size);
  void AddU32(Stage stage, uint64_t offset, uint32_t value);
  void AddU64(Stage stage, uint64_t offset, uint64_t value);
  // A duration field: 64 bits when `wide`, else its low 32 bits.
  void AddTime(uint64_t offset, bool wide, uint64_t value);

  // Writes everything through `io`, returning to the position it had after
  // each stage (which puts a safe-mode stream's changed pages on the disk),
  // and leaves it there. Returns the number of stages written.
  uint32_t Apply(IBaseIO& io);

  bool Empty() const { return m_patches.empty(); }
  // Bytes the patches change (pages written are counted by Apply).
  uint64_t PatchBytes() const;

  // Test seam: called after each stage of every update with the stage's
  // index among those written (from 1). A crash test stops the process
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
