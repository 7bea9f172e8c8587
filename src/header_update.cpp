#include "header_update.h"

#include <algorithm>

#include "byte_order.h"

namespace bv {

namespace {
CHeaderUpdate::WriteHook g_writeHook = nullptr;
}  // namespace

void CHeaderUpdate::SetWriteHookForTest(WriteHook hook) { g_writeHook = hook; }

void CHeaderUpdate::AddBytes(Stage stage, uint64_t offset, const uint8_t* data, uint64_t size) {
  if (size == 0) return;
  m_patches.push_back(Patch{stage, offset, data, size, {}});
}

void CHeaderUpdate::AddU32(Stage stage, uint64_t offset, uint32_t value) {
  Patch p{stage, offset, nullptr, 4, {}};
  StoreBE32(p.value, value);
  m_patches.push_back(p);
}

void CHeaderUpdate::AddU64(Stage stage, uint64_t offset, uint64_t value) {
  Patch p{stage, offset, nullptr, 8, {}};
  StoreBE64(p.value, value);
  m_patches.push_back(p);
}

void CHeaderUpdate::AddTime(uint64_t offset, bool wide, uint64_t value) {
  if (wide) {
    AddU64(kDurations, offset, value);
  } else {
    AddU32(kDurations, offset, static_cast<uint32_t>(value));
  }
}

uint64_t CHeaderUpdate::PatchBytes() const {
  uint64_t n = 0;
  for (const Patch& p : m_patches) n += p.size;
  return n;
}

uint32_t CHeaderUpdate::Apply(IBaseIO& io, uint64_t pageSize) {
  if (m_patches.empty()) return 0;
  const int64_t end = io.Ftell();
  std::stable_sort(m_patches.begin(), m_patches.end(), [](const Patch& a, const Patch& b) {
    return a.stage != b.stage ? a.stage < b.stage : a.offset < b.offset;
  });

  uint32_t writes = 0;
  bool open = false;
  Stage runStage = kEntries;
  uint64_t runLastPage = 0;
  // Leaving the header region hands the changed pages to the disk.
  auto closeRun = [&]() {
    io.Seek(end, 0);
    ++writes;
    if (g_writeHook) g_writeHook(writes);
  };
  for (const Patch& p : m_patches) {
    const uint64_t first = pageSize ? p.offset / pageSize : 0;
    const uint64_t last = pageSize ? (p.offset + p.size - 1) / pageSize : 0;
    if (open && (p.stage != runStage || first > runLastPage + 1)) {
      closeRun();
      open = false;
    }
    if (!open) {
      open = true;
      runStage = p.stage;
      runLastPage = last;
    }
    runLastPage = std::max(runLastPage, last);
    io.Seek(static_cast<int64_t>(p.offset), 0);
    const uint8_t* src = p.data ? p.data : p.value;
    for (uint64_t done = 0; done < p.size && io.state == IBaseIO::kOpen;) {
      const uint64_t left = p.size - done;
      const uint32_t n = left > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(left);
      io.Write(src + done, n);
      done += n;
    }
  }
  if (open) closeRun();
  m_patches.clear();
  return writes;
}

}  // namespace bv
