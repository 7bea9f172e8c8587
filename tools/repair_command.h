// bvmp4 repair: finishes a recording that was cut off, from its ".info" side
// file, through the library's mp4_repair_file_ex.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "bv_mp4.h"

namespace bvtool {

// Exit status 0 after a repair, 1 when the library refused, 2 for a usage
// error. Prints one line on standard output (success) or standard error.
inline int RunRepair(int argc, char** argv, int first) {
  std::string file;
  bool keepInfo = false;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf("usage: bvmp4 repair FILE [--keep-info]\n"
                  "Finishes a recording made with --repair that was cut off, from FILE.info;\n"
                  "--keep-info keeps the side file afterwards.\n");
      return 0;
    } else if (a == "--keep-info") {
      keepInfo = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "bvmp4: unknown option '%s'\nusage: bvmp4 repair FILE [--keep-info]\n", a.c_str());
      return 2;
    } else if (file.empty()) {
      file = a;
    } else {
      std::fprintf(stderr, "bvmp4: repair takes one file\nusage: bvmp4 repair FILE [--keep-info]\n");
      return 2;
    }
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: bvmp4 repair FILE [--keep-info]\n");
    return 2;
  }
  std::error_code ec;
  const uintmax_t before = std::filesystem::file_size(file, ec);
  const int rc = mp4_repair_file_ex(file.c_str(), keepInfo ? 0 : 1);
  // The library logs on standard output too; the result line comes last.
  std::fflush(stdout);
  if (rc != MP4_SUCCESS) {
    std::fprintf(stderr, "bvmp4: repair of %s failed: %s (result %d); file and side file unchanged\n",
                 file.c_str(), mp4_strerror(rc), rc);
    return 1;
  }
  const uintmax_t after = std::filesystem::file_size(file, ec);
  std::printf("repaired %s: %" PRIuMAX " -> %" PRIuMAX " bytes%s\n", file.c_str(), before, after,
              keepInfo ? " (side file kept)" : "");
  return 0;
}

}  // namespace bvtool
