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

uint32_t CHeaderUpdate::Apply(IBaseIO& io) {
  if (m_patches.empty()) return 0;
  const int64_t end = io.Ftell();
  std::stable_sort(m_patches.begin(), m_patches.end(), [](const Patch& a, const Patch& b) {
    return a.stage != b.stage ? a.stage < b.stage : a.offset < b.offset;
  });

  uint32_t stages = 0;
  // Leaving the header region hands the stage's changed pages to the disk.
  auto closeStage = [&]() {
    io.Seek(end, 0);
    ++stages;
    if (g_writeHook) g_writeHook(stages);
  };
  for (size_t i = 0; i < m_patches.size(); ++i) {
    const Patch& p = m_patches[i];
    if (i > 0 && p.stage != m_patches[i - 1].stage) closeStage();
    io.Seek(static_cast<int64_t>(p.offset), 0);
    const uint8_t* src = p.data ? p.data : p.value;
    for (uint64_t done = 0; done < p.size && io.state == IBaseIO::kOpen;) {
      const uint64_t left = p.size - done;
      const uint32_t n = left > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(left);
      io.Write(src + done, n);
      done += n;
    }
  }
  closeStage();
  m_patches.clear();
  return stages;
}

}  // namespace bv
