// Safe mode: the movie box is reserved at the head of the file before any
// media data and rewritten in place while recording, so that the file is
// playable up to its last update whenever the process or the machine dies.
#include <algorithm>

#include "AlignFileWriter.h"
#include "header_rescue.h"
#include "header_update.h"
#include "log.h"
#include "Mp4Muxer.h"
#include "platform.h"

namespace bv {

namespace {
// Bytes behind the movie box inside the header region: the mdat header and
// the first media data.
constexpr uint32_t kHeaderSlack = 4096;

}  // namespace

int CMp4Muxer::ReserveHeader() {
  if (m_maxDurationMs == 0) {
    LOGE("max duration should >0 in safe mode");
    return MP4_ERR_INVALID_PARAM;
  }
  if (!m_moov->SetMaxDuration(m_maxDurationMs)) return MP4_ERR_INVALID_PARAM;
  // SetMaxDuration keeps the tables within a 32-bit movie box.
  const uint64_t headerSize =
      uint64_t{m_ftyp->GetSize()} + m_free->GetSize() + kHeaderSlack + m_moov->GetSize();
  CAlignFileWriterEx* writer = m_alignWriter;
  if (writer == nullptr) {
    LOGE("file not open");
    return MP4_ERR_INVALID_PARAM;
  }
  if (m_videoInfo.frame_duration == 0) {
    LOGE("invalid video frame duration");
    return MP4_ERR_INVALID_PARAM;
  }
  const uint64_t perUpdate = uint64_t{m_videoInfo.timescale} * m_updateInterval / m_videoInfo.frame_duration;
  m_framesPerUpdate = perUpdate > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(perUpdate);
  writer->SetHeaderSize(static_cast<uint32_t>(headerSize));
  return writer->create();
}

void CMp4Muxer::UpdateHeaderIfDue(uint64_t diskSizeBefore) {
  ++m_videoFrames;
  if (m_videoFrames - m_videoFramesAtUpdate <= m_framesPerUpdate) return;
  // Only right after a block of media data reached the disk: every sample
  // the update adds (those before this frame) is then on disk.
  if (m_pIO->GetFileSize() == diskSizeBefore) return;
  const uint64_t start = plat::TickMs();
  UpdateHeader();
  m_videoFramesAtUpdate = m_videoFrames;
  ++m_headerUpdates;
  LOGI("update header to %u cost time %llums", m_videoFrames,
       static_cast<unsigned long long>(plat::TickMs() - start));
}

void CMp4Muxer::UpdateHeader() {
  CHeaderUpdate plan;
  m_moov->Update(plan);
  m_mdat->Update(plan);
  // Planning marked the new entries as written; until Apply returns they
  // are not all on the disk.
  m_bUpdateOpen = true;
  plan.Apply(*m_pIO);
  m_bUpdateOpen = false;
}

void CMp4Muxer::FinishReservedHeader() {
  // The media data goes to disk before the header that points at it.
  try {
    m_pIO->Flush();
  } catch (const bv_mp4_exception&) {
    RescueAfterWriteFault();
    throw;
  }
  UpdateHeader();
  // A recording that never left the header region has its pages written here.
  m_pIO->Flush();
}

void CMp4Muxer::RescueAfterWriteFault() {
  dio_cache_file* cache = m_alignWriter != nullptr ? m_alignWriter->Cache() : nullptr;
  if (!m_bSafeMode || m_bRescueTried || !m_bHeaderWritten || cache == nullptr || cache->write_error() == 0) return;
  m_bRescueTried = true;
  if (m_bUpdateOpen) {
    LOGE("write error %d during a header update, header left as the disk has it", cache->write_error());
    return;
  }
  if (!cache->begin_rescue()) return;
  const uint64_t start = plat::TickMs();
  const uint64_t durable = cache->durable_size();
  const uint32_t dropped = m_moov->DropSamplesFrom(durable);
  CHeaderUpdate plan;
  m_moov->Update(plan);
  // The media data ends where the last byte landed: a partly written block
  // lies inside the mdat, unreferenced, rather than as a stray box behind it.
  m_mdat->Update(plan, std::max(durable, cache->extent()));
  CHeaderRescueIO io(*cache);
  try {
    plan.Apply(io);
    io.Close();
  } catch (const bv_mp4_exception& e) {
    LOGE("header rescue failed with error %d, header left as the disk has it", e.code());
    return;
  }
  LOGI("write error %d: header rewritten for the %llu bytes on disk, %u samples dropped, cost time %llums",
       cache->write_error(), static_cast<unsigned long long>(durable), dropped,
       static_cast<unsigned long long>(plat::TickMs() - start));
}

void CMp4Muxer::SkipMediaBytesForTest(uint64_t bytes) {
  if (!m_pIO || !m_bHeaderWritten) return;
  m_pIO->Seek(m_pIO->Ftell() + static_cast<int64_t>(bytes), 0);
  m_fileSize += bytes;
}

}  // namespace bv
