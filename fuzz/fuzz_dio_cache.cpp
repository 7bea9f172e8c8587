// Drives the safe-write stream with fuzzed block settings and a fuzzed
// sequence of writes, seeks and flushes, against a plain in-memory image of
// the same operations: positions must agree with the image at every step and
// the on-disk size may not run ahead of it, and after close the file must hold the image followed
// by nothing but zeros (the tail of a last window written whole).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "AlignFileWriter.h"
#include "bv_exception.h"

#include "fuzz_support.h"

namespace {

using fuzz::Input;
using fuzz::ReadAll;

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::QuietStdout(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path =
      (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/bv_mp4_fuzz_dio_") + std::to_string(getpid());
  Input in(data, size);
  const uint32_t block = in.Byte() & 1 ? 4096 : 512;
  const uint32_t count = 1 + in.Byte() % 4;
  const uint32_t header = 1 + in.U16() % 20000;
  const std::wstring wide(path.begin(), path.end());

  std::vector<uint8_t> image;
  uint64_t pos = 0;
  {
    bv::CAlignFileWriterEx w;
    w.Init(wide.c_str(), block, count);
    w.SetHeaderSize(header);
    if (w.create() != 0) return 0;
    std::vector<uint8_t> chunk;
    uint8_t stamp = 1;
    for (int ops = 0; !in.empty() && ops < 64; ++ops) {
      const uint8_t op = in.Byte() % 4;
      if (op == 0 || op == 1) {
        const uint32_t n = 1 + in.U16() % (op == 0 ? 300 : 20000);
        chunk.assign(n, stamp++);
        w.Write(chunk.data(), n);
        if (image.size() < pos + n) image.resize(pos + n, 0);
        std::copy(chunk.begin(), chunk.end(), image.begin() + static_cast<long>(pos));
        pos += n;
      } else if (op == 2) {
        // Anywhere up to the end, from the start or relative to here.
        const uint64_t target = image.empty() ? 0 : in.U16() * 7u % (image.size() + 1);
        if (in.Byte() & 1) {
          Check(w.Seek(static_cast<int64_t>(target), 0) == 0);
        } else {
          Check(w.Seek(static_cast<int64_t>(target) - static_cast<int64_t>(pos), 1) == 0);
        }
        pos = target;
      } else {
        w.Flush();
      }
      Check(w.Ftell() == static_cast<int64_t>(pos));
      // Header pages count whole once they are written.
      Check(w.GetFileSize() <= (image.size() + block - 1) / block * block);
    }
    Check(w.Close());
  }
  const std::vector<uint8_t> file = ReadAll(path);
  std::remove(path.c_str());
  Check(file.size() >= image.size());
  for (size_t i = 0; i < file.size(); ++i) Check(file[i] == (i < image.size() ? image[i] : 0));
  return 0;
}
