// The reserved header of safe mode under fuzzed recordings: capacities,
// samples of two tracks (sizes, durations, key frames, tables that fill up)
// and in-place updates, all in memory. After each stage of an update (the
// crash seam), and with any one page of the next stage landed or missing
// (a power cut: the pages of a stage reach the disk in any order, page sizes
// fuzzed), every visible track has all its counts set, covering only entries
// that are final, with no more chunks than samples; the mdat size changes
// only with the last stage; after every update the tables hold exactly the
// accepted samples.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "byte_order.h"
#include "header_update.h"
#include "mdat.h"
#include "moov.h"

using namespace bv;

namespace {

// FFmpeg's own parameter sets of a small H.264 clip.
const uint8_t kSps[] = {0x67, 0x64, 0x00, 0x0d, 0xac, 0xb4, 0x0a, 0x0f, 0xd8, 0x08, 0x80, 0x00,
                        0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x19, 0x07, 0x8a, 0x15, 0x50};
const uint8_t kPps[] = {0x68, 0xef, 0x0f, 0xcb};

// An in-memory file that logs where each write lands.
struct Memory : CBufferIO {
  Memory() { SetTarget(nullptr); }
  int32_t Write(const void* src, uint32_t n) override {
    writes.push_back({Position(), n});
    return CBufferIO::Write(src, n);
  }
  std::vector<std::pair<uint64_t, uint64_t>> writes;  // offset, size
};

uint32_t Be32(const std::vector<uint8_t>& b, uint64_t at) {
  if (at + 4 > b.size()) std::abort();
  return LoadBE32(&b[at]);
}

// Offsets of the tables of each visible track, found by walking the boxes.
struct Tables {
  bool audio = false;
  uint64_t stts = 0, stsz = 0, chunks = 0, stss = 0;
};
void Walk(const std::vector<uint8_t>& b, uint64_t at, uint64_t end, std::vector<Tables>* out) {
  while (at + 8 <= end) {
    const uint32_t size = Be32(b, at);
    if (size < 8 || at + size > end) std::abort();  // the header must stay a valid tree
    const std::string type(reinterpret_cast<const char*>(&b[at + 4]), 4);
    if (type == "trak") out->emplace_back();
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
      Walk(b, at + 8, at + size, out);
    } else if (!out->empty()) {
      Tables& t = out->back();
      // The media handler; a data handler inside minf never names "soun".
      if (type == "hdlr" && Be32(b, at + 16) == LoadBE32(reinterpret_cast<const uint8_t*>("soun"))) t.audio = true;
      if (type == "stts") t.stts = at;
      if (type == "stsz") t.stsz = at;
      if (type == "stco" || type == "co64") t.chunks = at;
      if (type == "stss") t.stss = at;
    }
    at += size;
  }
}

// The samples a track accepted, key frames numbered from 1.
struct Model {
  std::vector<uint32_t> sizes;
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> keys;
};

// Every visible track has all its counts set and lists only accepted
// samples, in order; once an update is `whole`, every accepted one, and
// every track that has any is visible.
void Check(const std::vector<uint8_t>& b, uint64_t moovAt, bool large, const Model* model, bool whole) {
  std::vector<Tables> tracks;
  Walk(b, moovAt, moovAt + Be32(b, moovAt), &tracks);
  size_t visible = 0;
  for (const Tables& t : tracks) {
    const Model& m = model[t.audio ? 1 : 0];
    const uint32_t samples = Be32(b, t.stsz + 16), chunks = Be32(b, t.chunks + 12);
    if (chunks > samples || samples == 0 || Be32(b, t.stts + 12) == 0 || samples > m.sizes.size()) std::abort();
    if (whole && (samples != m.sizes.size() || chunks != samples)) std::abort();
    for (uint32_t i = 0; i < samples; ++i) {
      if (Be32(b, t.stsz + 20 + 4 * i) != m.sizes[i]) std::abort();
    }
    for (uint32_t i = 0; i < chunks; ++i) {
      const uint64_t at = t.chunks + 16 + (large ? 8 : 4) * uint64_t{i};
      const uint64_t offset = large ? uint64_t{Be32(b, at)} << 32 | Be32(b, at + 4) : Be32(b, at);
      if (offset != (large ? m.offsets[i] : m.offsets[i] & 0xFFFFFFFFu)) std::abort();
    }
    uint64_t covered = 0;
    for (uint32_t e = 0; e < Be32(b, t.stts + 12); ++e) covered += Be32(b, t.stts + 16 + 8 * e);
    if (whole && covered != samples) std::abort();
    if (t.stss) {
      const uint32_t keys = Be32(b, t.stss + 12);
      if (keys > m.keys.size() || (whole && keys != m.keys.size())) std::abort();
      for (uint32_t i = 0; i < keys; ++i) {
        if (Be32(b, t.stss + 16 + 4 * i) != m.keys[i]) std::abort();
      }
    }
    ++visible;
  }
  const size_t nonEmpty = (model[0].sizes.empty() ? 0 : 1) + (model[1].sizes.empty() ? 0 : 1);
  if (whole && visible != nonEmpty) std::abort();
}

std::vector<std::vector<uint8_t>> g_cuts;
std::vector<size_t> g_writesAt;
Memory* g_file = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  size_t p = 0;
  auto next = [&]() -> uint8_t { return p < size ? data[p++] : 0; };
  const bool large = next() & 1;
  const uint32_t maxMs = 40 + 40 * static_cast<uint32_t>(next() % 100);  // 1 to 100 video frames
  const bool audio = next() & 1;

  Memory file;
  CMp4MoovAtom moov(&file, false, &file);
  CMp4MdatAtom mdat(&file, large);
  moov.m_trakVideo.Stbl().SetUse64BitOffsets(large);
  moov.m_trakAudio.Stbl().SetUse64BitOffsets(large);
  mp4_video_track_info_t v{};
  v.timescale = 1000;
  v.frame_duration = 40;
  v.codec_type = MP4_VIDEO_H264;
  v.width = 64;
  v.height = 64;
  v.sps = kSps;
  v.sps_size = sizeof(kSps);
  v.pps = kPps;
  v.pps_size = sizeof(kPps);
  moov.m_trakVideo.SetTrackId(moov.TakeTrackId());
  moov.m_trakVideo.Configure(v);
  if (audio) {
    mp4_audio_track_info_t a{48000, 1024, MP4_AUDIO_AAC, 48000, 2, 2};
    moov.m_trakAudio.SetTrackId(moov.TakeTrackId());
    moov.m_trakAudio.Configure(a, 48000);
  }
  if (!moov.SetMaxDuration(maxMs)) std::abort();
  PutZeros(file, 16);
  const uint64_t moovAt = file.Size();
  moov.Write();
  mdat.Write();
  const uint64_t mdatSizeAt = mdat.m_startPos + (large ? 12 : 0);

  Model model[2];
  uint64_t time[2] = {0, 0};
  while (p < size) {
    const uint8_t op = next();
    const int track = (op & 1) && audio ? 1 : 0;
    if ((op & 0xC0) != 0xC0) {
      // A sample: size, duration change, key flag.
      const uint32_t bytes = 1 + next();
      const uint64_t step = track ? (op & 0x20 ? 1000 : 1024) : (op & 0x20 ? 41 : 40);
      CMp4TrakAtom& t = track ? static_cast<CMp4TrakAtom&>(moov.m_trakAudio) : moov.m_trakVideo;
      const bool key = track == 0 && (op & 0x10);
      std::vector<uint8_t> payload(bytes, 0xAB);
      const uint64_t at = file.Size();
      PutBytes(file, payload.data(), bytes);
      // A key frame refused by a full sync table still has its sample.
      const uint32_t before = t.GetSampleCount();
      const bool ok = moov.AddSample(t, {at, bytes, time[track], time[track], key});
      if (t.GetSampleCount() > before) {
        model[track].sizes.push_back(bytes);
        model[track].offsets.push_back(at);
        if (key && ok) model[track].keys.push_back(static_cast<uint32_t>(model[track].sizes.size()));
      }
      time[track] += step;
      continue;
    }
    // An update, cut after every stage: a process killed there, or a power
    // cut with any of the next stage's pages (fuzzed page sizes) on disk.
    static const uint64_t kPages[] = {0, 16, 512, 4096};
    const uint64_t page = kPages[op & 3];
    const uint32_t mdatBefore = LoadBE32(file.Data() + mdatSizeAt);
    const std::vector<uint8_t> before(file.Data(), file.Data() + file.Size());
    g_cuts.clear();
    g_file = &file;
    g_writesAt.assign(1, file.writes.size());
    CHeaderUpdate::SetWriteHookForTest([](uint32_t) {
      g_cuts.emplace_back(g_file->Data(), g_file->Data() + g_file->Size());
      g_writesAt.push_back(g_file->writes.size());
    });
    CHeaderUpdate plan;
    moov.Update(plan);
    mdat.Update(plan);
    plan.Apply(file);
    CHeaderUpdate::SetWriteHookForTest(nullptr);
    const uint32_t mdatAfter = LoadBE32(file.Data() + mdatSizeAt);
    Check(std::vector<uint8_t>(file.Data(), file.Data() + file.Size()), moovAt, large, model, true);
    for (size_t k = 0; k < g_cuts.size(); ++k) {
      const bool last = k + 1 == g_cuts.size();
      Check(g_cuts[k], moovAt, large, model, false);
      if (Be32(g_cuts[k], mdatSizeAt) != (last ? mdatAfter : mdatBefore)) std::abort();
      // The stage's pages (or, without pages, its writes): each one alone
      // on top of the stage before, and all but each one.
      const std::vector<uint8_t>& base = k == 0 ? before : g_cuts[k - 1];
      const std::vector<uint8_t>& full = g_cuts[k];
      if (base.size() != full.size()) std::abort();  // updates rewrite in place
      std::vector<std::pair<uint64_t, uint64_t>> units;  // begin, end
      for (size_t w = g_writesAt[k]; w < g_writesAt[k + 1]; ++w) {
        const auto& wr = file.writes[w];
        if (page == 0) {
          units.push_back({wr.first, wr.first + wr.second});
          continue;
        }
        for (uint64_t pg = wr.first / page; pg <= (wr.first + wr.second - 1) / page; ++pg) {
          const std::pair<uint64_t, uint64_t> u{pg * page, std::min<uint64_t>((pg + 1) * page, full.size())};
          if (std::find(units.begin(), units.end(), u) == units.end()) units.push_back(u);
        }
      }
      for (const auto& u : units) {
        std::vector<uint8_t> only = base, allBut = full;
        std::copy(full.begin() + u.first, full.begin() + u.second, only.begin() + u.first);
        std::copy(base.begin() + u.first, base.begin() + u.second, allBut.begin() + u.first);
        Check(only, moovAt, large, model, false);
        Check(allBut, moovAt, large, model, false);
      }
    }
  }
  return 0;
}
