// The object behind a handle: one file being recorded. It owns the output
// stream, the side-file writer of repair mode, the top-level boxes and the
// video NAL parser, and it chooses its mode from the configuration.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "ftyp.h"
#include "mdat.h"

namespace bv {

class CMp4Muxer {
 public:
  static constexpr size_t kMaxPath = 1024;  // wide characters, terminator included

  CMp4Muxer();
  ~CMp4Muxer();
  CMp4Muxer(const CMp4Muxer&) = delete;
  CMp4Muxer& operator=(const CMp4Muxer&) = delete;

  // Opens the output as the configuration says. On failure Close has run.
  int Create(const wchar_t* path, const mp4_config_t& config);
  // Writes ftyp, free (MP4 only) and the mdat header once.
  int WriteHeader();
  // Finishes the file: patches mdat, writes the movie box, closes.
  int Close();
  uint64_t GetDurationMS();

  bool IsQuickTime() const { return m_bQuickTime; }
  bool HeaderWritten() const { return m_bHeaderWritten; }
  IBaseIO* Output() const { return m_pIO.get(); }
  uint64_t FileSize() const { return m_fileSize; }

 private:
  int CreateOutput(const wchar_t* path, const mp4_config_t& config);
  int OpenSideFile(const wchar_t* path, uint8_t flags, uint32_t ioMode);
  void RemoveSideFile();

  std::unique_ptr<IBaseIO> m_pIO;
  bool m_bSafeMode = false;
  uint32_t m_maxDurationMs = 0;
  uint32_t m_framesPerUpdate = 0;
  uint32_t m_updateInterval = 0;
  uint32_t m_videoFrameCount = 0;
  uint32_t m_videoFrameCountAtUpdate = 0;

  CFileWriter m_infoWriter;
  uint32_t m_infoRecordCount = 0;
  uint32_t m_infoRecordCountAtFlush = 0;
  uint32_t m_infoFlushInterval = 900;
  std::wstring m_infoPath;
  std::wstring m_outputPath;

  uint64_t m_fileSize = 0;

  std::unique_ptr<CMp4FtypAtom> m_ftyp;
  std::unique_ptr<CMp4FreeAtom> m_free;
  std::unique_ptr<CMp4MdatAtom> m_mdat;
  std::unique_ptr<CBufferIO> m_headerBuffer;
  bool m_bFastHeader = false;

  CMLock m_lock;
  bool m_bQuickTime = false;
  bool m_bHeaderWritten = false;
  bool m_bClosed = false;
};

}  // namespace bv
