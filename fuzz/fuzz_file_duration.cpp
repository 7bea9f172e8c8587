// Arbitrary files through the duration query of a finished file, and the same
// bytes through bvmp4's box-tree reader: nothing may crash, hang or read out
// of bounds, and a duration is only found behind a box header the reader saw.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "../tools/box_tree.h"
#include "bv_mp4.h"

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::QuietStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/bv_mp4_fuzz_duration_" + std::to_string(getpid()) + ".mp4";
  static const std::wstring wide(path.begin(), path.end());
  fuzz::WriteAll(path, data, size);

  const uint64_t ms = mp4_get_file_duration(wide.c_str());

  bvtool::MemoryFile file(std::vector<uint8_t>(data, data + size));
  const bvtool::BoxTree tree = bvtool::ReadBoxTree(file);
  bvtool::SummariseTracks(file, tree);
  // A movie header needs at least a box header and its fields.
  if (ms != 0 && (size < 8 + 20 || tree.top.empty())) std::abort();
  return 0;
}
