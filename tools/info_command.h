// `bvmp4 info FILE`: the duration as the library reads it, the box tree and
// one line per track.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <string>

#include "box_tree.h"
#include "bv_mp4.h"

namespace bvtool {

inline void PrintBoxes(const std::vector<BoxNode>& boxes, int depth) {
  for (const BoxNode& b : boxes) {
    std::printf("  %*s%-4s  offset %" PRIu64 "  size %" PRIu64, depth * 2, "", b.type.c_str(), b.offset, b.size);
    if (b.header == 16) std::printf(" (64-bit size)");
    if (b.cut) std::printf(" (cut: declares %" PRIu64 ")", b.declared);
    std::printf("\n");
    PrintBoxes(b.children, depth + 1);
  }
}

// 0 when the file could be read (damaged or not), 1 when it cannot be opened.
inline int RunInfo(const std::string& path) {
  DiskFile file(path);
  if (!file.ok()) {
    std::fprintf(stderr, "bvmp4: cannot open %s\n", path.c_str());
    return 1;
  }
  const uint64_t ms = mp4_get_file_duration_ex(path.c_str());
  const BoxTree tree = ReadBoxTree(file);
  const std::vector<TrackSummary> tracks = SummariseTracks(file, tree);

  std::printf("file      %s (%" PRIu64 " bytes)\n", path.c_str(), file.size());
  std::printf("duration  %" PRIu64 " ms\n", ms);
  std::printf("boxes\n");
  PrintBoxes(tree.top, 0);
  for (const std::string& p : tree.problems) std::printf("damaged   %s\n", p.c_str());
  if (tracks.empty()) std::printf("tracks    none (no movie box: an unfinished recording?)\n");
  for (const TrackSummary& t : tracks) {
    std::printf("track %-3u %-9s %-4s  ", t.id, t.kind.c_str(), t.codec.c_str());
    if (t.has_samples) {
      std::printf("%" PRIu64 " samples", t.samples);
    } else {
      std::printf("? samples");
    }
    if (t.has_duration) {
      std::printf("  %.3f s\n", t.seconds);
    } else {
      std::printf("  ? s\n");
    }
  }
  return 0;
}

}  // namespace bvtool
