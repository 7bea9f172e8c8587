#include "Mp4Muxer.h"

#include <cwchar>
#include <exception>

#include "AlignFileWriter.h"
#include "ExternalWriter.h"
#include "log.h"
#include "platform.h"
#include "stream_seam.h"

namespace bv {

namespace {

constexpr uint32_t kDefaultMaxDurationMs = 1800000;  // 30 minutes
constexpr uint32_t kMaxSafeDurationSeconds = 604800;  // 7 days
constexpr uint32_t kDefaultUpdateIntervalSeconds = 30;

// Elapsed wall-clock milliseconds since a mark.
class Stopwatch {
 public:
  Stopwatch() : start_(plat::TickMs()) {}
  unsigned long long Lap() {
    const uint64_t now = plat::TickMs();
    const uint64_t elapsed = now - start_;
    start_ = now;
    return static_cast<unsigned long long>(elapsed);
  }

 private:
  uint64_t start_;
};

}  // namespace

CMp4Muxer::CMp4Muxer() = default;

CMp4Muxer::~CMp4Muxer() {
  if (!m_bClosed) Close();
}

int CMp4Muxer::Create(const wchar_t* path, const mp4_config_t& config) {
  m_fileSize = 0;
  LOGI("mp4 flag is %d", static_cast<int>(config.flags));
  if (config.flags & MP4_FLAG_SAFE_DEPRECATED) LOGW("safe mode flag already deprecated");

  m_bFastHeader = false;
  if (config.flags & MP4_FLAG_FAST_HEADER) {
    if (config.io_mode == MP4_IO_DIRECT) {
      LOGI("fast header write enabled");
      m_bFastHeader = true;
    } else {
      LOGW("fast header write flag only valid in direct io mode");
    }
  }

  if (config.flags & MP4_FLAG_REPAIR) {
    const int rc = OpenSideFile(path, config);
    if (rc != 0) {
      Close();
      return rc;
    }
  }
  m_outputPath = path;

  const int rc = CreateOutput(path, config);
  if (!m_pIO) {
    // A failed create leaves no file behind, the side file included.
    m_info.Remove();
    Close();
    return rc;
  }
  m_pIO = WrapStream(std::move(m_pIO));

  IBaseIO* io = m_pIO.get();
  m_ftyp = std::make_unique<CMp4FtypAtom>(io);
  m_free = std::make_unique<CMp4FreeAtom>(io);
  m_mdat = std::make_unique<CMp4MdatAtom>(io, (config.flags & MP4_FLAG_LARGE_FILE) != 0);
  if (m_bFastHeader) {
    m_headerBuffer = std::make_unique<CBufferIO>();
    m_headerBuffer->SetTarget(io);
    m_moov = std::make_unique<CMp4MoovAtom>(m_headerBuffer.get(), true, io);
  } else {
    m_moov = std::make_unique<CMp4MoovAtom>(io, false, io);
  }

  m_bLargeFile = (config.flags & MP4_FLAG_LARGE_FILE) != 0;
  m_bQuickTime = std::wcsstr(path, L"mov") != nullptr;
  m_ftyp->m_bQuickTime = m_bQuickTime;
  m_moov->SetLayout(m_bLargeFile, (config.flags & MP4_FLAG_TIME64) != 0, m_bQuickTime);
  m_moov->KeepTrackStarts((config.flags & MP4_FLAG_KEEP_TRACK_STARTS) != 0);
  return 0;
}

int CMp4Muxer::OpenSideFile(const wchar_t* path, const mp4_config_t& config) {
  if (std::wcslen(path) + 6 > kMaxPath) return MP4_ERR_INVALID_PARAM;
  // Safe write refuses the flag itself, with its own message, before any
  // file exists.
  if (config.io_mode == MP4_IO_SAFE_WRITE) return 0;
  return m_info.Open(std::wstring(path) + L".info", static_cast<uint8_t>(config.flags));
}

int CMp4Muxer::CreateOutput(const wchar_t* path, const mp4_config_t& config) {
  switch (config.io_mode) {
    case MP4_IO_FILE: {
      auto writer = std::make_unique<CFileWriter>();
      const int rc = writer->Init(path, 0, 0);
      if (rc != 0) {
        LOGE("init CFileWriter writer failed");
        return rc;
      }
      m_pIO = std::move(writer);
      return 0;
    }
    case MP4_IO_DIRECT:
      LOGE("windows platform do not support direct io");
      return MP4_ERR_NOT_SUPPORTED;
    case MP4_IO_EXTERNAL:
      if (config.pFunc == nullptr) {
        LOGE("error: pFunc should not be null when use external io mode");
        return MP4_ERR_INVALID_PARAM;
      }
      {
        auto writer = std::make_unique<ExternalWriter>(config.pFunc);
        if (writer->Init(path, 0, 0) != 0) {
          LOGE("init external writer failed");
          return MP4_ERR_INVALID_PARAM;
        }
        m_pIO = std::move(writer);
        return 0;
      }
    case MP4_IO_SAFE_WRITE: {
      if (config.flags & MP4_FLAG_REPAIR) {
        LOGE("can't set repair flag on safe mode");
        return MP4_ERR_NOT_SUPPORTED;
      }
      m_bSafeMode = true;
      if (config.block_size == 0 || config.block_num == 0) {
        LOGE("invalid block config in safe write mode");
        return MP4_ERR_INVALID_PARAM;
      }
      if (config.max_duration == 0) {
        m_maxDurationMs = kDefaultMaxDurationMs;
      } else if (config.max_duration > kMaxSafeDurationSeconds) {
        LOGE("max duration should less then 7 days in safe mode");
        return MP4_ERR_INVALID_PARAM;
      } else {
        m_maxDurationMs = config.max_duration * 1000u;
      }
      LOGI("set max duration to:%u", m_maxDurationMs);
      m_updateInterval = config.update_interval;
      if (m_updateInterval == 0) {
        LOGI("update interval is 0, use 30 seconds");
        m_updateInterval = kDefaultUpdateIntervalSeconds;
      }
      auto writer = std::make_unique<CAlignFileWriterEx>();
      const int rc = writer->Init(path, config.block_size, config.block_num);
      if (rc != 0) {
        LOGE("init CAlignFileWriter writer failed");
        return rc;
      }
      m_alignWriter = writer.get();
      m_pIO = std::move(writer);
      return 0;
    }
    default:
      LOGE("invalid io mode %u", config.io_mode);
      return MP4_ERR_INVALID_PARAM;
  }
}

int CMp4Muxer::WriteHeader() {
  Stopwatch watch;
  if (m_bHeaderWritten) {
    LOGE("header already write");
    LOGI("write header cost time %llums", watch.Lap());
    return 0;
  }
  // A stream that failed takes nothing more: a head "written" to it would
  // give the side file a media position that is not in the file.
  if (const int rc = OutputGuard()) return rc;
  if (m_bSafeMode) {
    if (const int rc = ReserveHeader()) return rc;
  }
  try {
    m_ftyp->Write();
    if (!m_bQuickTime) m_free->Write();
    if (m_bSafeMode) m_moov->Write();
    m_mdat->Write();
    // The reserved head goes to disk at once: a file cut short before its
    // first update still holds a movie box (with empty tracks).
    if (m_bSafeMode) m_pIO->Flush();
  } catch (const bv_mp4_exception& e) {
    return MapErrorCode(e.code());
  } catch (const std::exception& e) {
    LOGE("exception:%s", e.what());
    return MP4_ERR_FAILED;
  }
  m_bHeaderWritten = true;
  // Before the side file's head: the movie must hold the true offsets even
  // when the side file fails.
  m_fileSize = static_cast<uint64_t>(m_pIO->Ftell());
  if (const int rc = m_info.WriteHeader(m_mdat->m_startPos)) return rc;
  LOGI("write header cost time %llums", watch.Lap());
  return 0;
}

int CMp4Muxer::Close() {
  int result = 0;
  if (m_pIO && m_pIO->state != IBaseIO::kOpen && m_pIO->state != IBaseIO::kClosed) {
    result = MapErrorCode(m_pIO->lastError);
  }
  CMAutoLock hold(&m_lock);
  // The side file's last records may only reach the disk after the sample
  // bytes they describe, which the output may still hold in its block.
  if (m_info.IsOpen() && m_pIO && m_pIO->state == IBaseIO::kOpen) {
    try {
      m_pIO->Flush();
    } catch (const bv_mp4_exception& e) {
      result = MapErrorCode(e.code());
    }
  }
  m_info.Close();

  Stopwatch watch;
  if (m_pIO && m_pIO->state == IBaseIO::kFailed) {
    // After a failed transfer nothing more goes to the file: the bytes on
    // disk stay as they were (the side file, kept, describes them).
    LOGE("file failed while recording, not finished");
  } else if (m_bHeaderWritten && m_pIO) {
    try {
      if (!m_bSafeMode) m_mdat->Update();
      LOGI("Muxer - Close - mdat finish takes %lld ms", static_cast<long long>(watch.Lap()));
      if (m_bFastHeader && m_headerBuffer) m_headerBuffer->Attach(m_pIO.get(), m_moov ? m_moov->GetSize() : 0);
      if (m_bSafeMode) {
        FinishReservedHeader();
      } else if (m_moov) {
        m_moov->Write();
      }
      // Everything must be on disk before success is reported: a full disk
      // found only by the runtime's close would otherwise go unnoticed.
      m_pIO->Flush();
      LOGI("Muxer - Close - moov write takes %lld ms", static_cast<long long>(watch.Lap()));
      m_info.Remove();
      LOGI("Muxer - Close - remove info file takes %lld ms", static_cast<long long>(watch.Lap()));
    } catch (const bv_mp4_exception& e) {
      result = MapErrorCode(e.code());
    } catch (...) {
      result = MP4_ERR_FAILED;
    }
  } else {
    LOGI("no data, ignore finish call");
  }

  if (m_pIO) {
    if (m_pIO->state == IBaseIO::kOpen) m_fileSize = static_cast<uint64_t>(m_pIO->Ftell());
    const uint64_t safeEnd =
        m_alignWriter && m_alignWriter->Cache() ? m_alignWriter->Cache()->written_end() : 0;
    // The last pending bytes may only reach the disk here (safe write).
    if (!m_pIO->Close() && m_pIO->state == IBaseIO::kFailed && result == 0) result = MapErrorCode(m_pIO->lastError);
    // Safe write pads its last block with zeros, which strict readers take
    // for a box running to the end of the file. After a failure the file
    // stays as the disk has it.
    if (safeEnd != 0 && result == 0 && m_bHeaderWritten) {
      if (const int rc = plat::TruncateFile(m_outputPath.c_str(), safeEnd)) {
        LOGW("cannot cut the padding after %llu: error %d", static_cast<unsigned long long>(safeEnd), rc);
      }
    }
  }
  LOGI("Muxer - Close - uninit takes %lld ms", static_cast<long long>(watch.Lap()));

  m_moov.reset();
  m_headerBuffer.reset();
  m_ftyp.reset();
  m_free.reset();
  m_mdat.reset();
  m_pIO.reset();
  m_alignWriter = nullptr;
  m_bClosed = true;
  return result;
}

uint64_t CMp4Muxer::GetDurationMS() {
  if (!m_pIO || m_pIO->state != IBaseIO::kOpen) {
    LOGE("no open file, can't get duration");
    return 0;
  }
  CMAutoLock hold(&m_lock);
  if (!m_moov) return 0;
  return m_moov->ComputeDuration();
}

}  // namespace bv
