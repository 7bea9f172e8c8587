// The object behind a handle: one file being recorded. It owns the output
// stream, the side-file writer of repair mode, the top-level boxes and the
// video NAL parser, and it chooses its mode from the configuration.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"
#include "carried_units.h"
#include "ftyp.h"
#include "mdat.h"
#include "moov.h"
#include "Mp4RepairInfo.h"
#include "VideoFrameParser.h"

namespace bv {

class CAlignFileWriterEx;

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

  // Track setup and metadata.
  int SetVideoTrack(const mp4_video_track_info_t& info);
  int SetAudioTrack(const mp4_audio_track_info_t& info);
  int SetSubtitleTrack(const mp4_subtitle_track_info_t& info);
  int SetTimeCodeTrack(const mp4_time_code_track_info_t& info);
  int SetMetadata(const char* key, const void* value, uint32_t length, int32_t type, const char* keyNamespace);

  // Frame writing; each frame is appended to the media data at once.
  int WriteVideoFrame(const uint8_t* buf, uint32_t size, uint64_t dts, uint64_t pts);
  int WriteAudioFrame(const uint8_t* buf, uint32_t size, uint64_t timestamp);
  int WriteSubtitleFrame(const uint8_t* buf, uint32_t size, uint64_t timestamp);
  int WriteTimeCode(uint32_t value);

  // Repair mode: video frames between two flushes of the side file.
  int SetFlushInterval(uint32_t interval) { return m_info.SetFlushInterval(interval); }

  // Open-file queries.
  uint32_t GetMoovSize();
  int GetBitrate(bool video, double* bitrate);
  CMp4MoovAtom* Moov() const { return m_moov.get(); }

  // Test seam: pretends `bytes` of media data were already written, so the
  // 4 GiB limit of the 32-bit layout can be reached without writing it.
  void AdvanceFileSizeForTest(uint64_t bytes) { m_fileSize += bytes; }
  // Test seam: leaves a hole of `bytes` in the media data (a sparse file),
  // so that offsets past 4 GiB are reached without writing 4 GiB.
  void SkipMediaBytesForTest(uint64_t bytes);
  // Safe mode: header updates made while recording (the one at close not
  // counted).
  uint32_t HeaderUpdateCount() const { return m_headerUpdates; }
  // Safe mode: rewrites the reserved header in place now (what the periodic
  // trigger and close do; benchmarks time it alone).
  void UpdateHeader();

  bool IsQuickTime() const { return m_bQuickTime; }
  bool HeaderWritten() const { return m_bHeaderWritten; }
  IBaseIO* Output() const { return m_pIO.get(); }
  uint64_t FileSize() const { return m_fileSize; }

 private:
  int CreateOutput(const wchar_t* path, const mp4_config_t& config);
  // 0 when the output can take writes; 20 or the mapped error otherwise.
  int OutputGuard() const;
  int ConfigureVideoTrack();
  int ConfigureAudioTrack();
  bool GetVideoCodecData(const CVideoFrameParser& slices);
  int ConfigureAudioFromAdts(const uint8_t* header);
  // Refuses a sample whose bytes would end past what the layout can address.
  bool FitsLayout(uint64_t bytes);
  int WriteCC608(const uint8_t* buf, uint32_t size, uint32_t* written);
  int WriteCC708(const uint8_t* buf, uint32_t size, uint32_t* written);
  int OpenSideFile(const wchar_t* path, const mp4_config_t& config);
  // The last step of every setup in repair mode: the file head (once), then
  // the declaration's record.
  template <typename WriteRecord>
  int RepairTail(WriteRecord write) {
    if (!m_info.IsOpen()) return 0;
    if (!m_bHeaderWritten) {
      if (const int rc = WriteHeader()) return rc;
    }
    return write();
  }

  // Safe mode (Mp4MuxerSafe.cpp): the reserved header's sizing and stream
  // creation before the head is written, the periodic in-place update after
  // a video frame, and the last update at close.
  int ReserveHeader();
  void UpdateHeaderIfDue(uint64_t diskSizeBefore);
  void FinishReservedHeader();
  // After a failed write of the file: cuts the tables back to the samples
  // whose bytes reached the disk and rewrites the header in place once more
  // (header_rescue.h). Does nothing outside safe mode, when the disk took
  // every write, or when a header update was cut short (its tables would
  // claim entries the disk never got); runs at most once.
  void RescueAfterWriteFault();

  std::unique_ptr<IBaseIO> m_pIO;
  // Safe mode: the stream behind m_pIO (which a test may have wrapped).
  CAlignFileWriterEx* m_alignWriter = nullptr;
  bool m_bSafeMode = false;
  uint32_t m_maxDurationMs = 0;
  uint32_t m_updateInterval = 0;
  uint32_t m_framesPerUpdate = 0;
  uint32_t m_videoFrames = 0;
  uint32_t m_videoFramesAtUpdate = 0;
  uint32_t m_headerUpdates = 0;
  bool m_bUpdateOpen = false;  // a header update is being written
  bool m_bRescueTried = false;

  CRepairInfoWriter m_info;  // the side file of repair mode
  std::wstring m_outputPath;

  uint64_t m_fileSize = 0;
  bool m_bLargeFile = false;

  // The host's track descriptions, with parameter sets held as copies.
  mp4_video_track_info_t m_videoInfo{};
  bool m_bVideoCodecData = true;
  std::vector<uint8_t> m_sps, m_pps, m_vps;
  mp4_audio_track_info_t m_audioInfo{};
  bool m_bAudioConfig = false;
  bool m_bAdtsChecked = false;  // the first ADTS header has been applied
  // The audio sample rate in full: ADTS streams at 88.2 and 96 kHz do not
  // fit the 16-bit field of the host's description.
  uint32_t m_audioSampleRate = 0;
  uint32_t m_subtitleCodec = 0;
  std::unique_ptr<IVideoNalParser> m_nalParser;
  // The slices of the frame being written, kept from frame to frame (under
  // m_lock) so that cutting a frame allocates nothing once warmed up.
  CVideoFrameParser m_slices;
  CCarriedUnits m_carried;  // units of video calls without a picture

  std::unique_ptr<CMp4FtypAtom> m_ftyp;
  std::unique_ptr<CMp4FreeAtom> m_free;
  std::unique_ptr<CMp4MdatAtom> m_mdat;
  std::unique_ptr<CMp4MoovAtom> m_moov;
  std::unique_ptr<CBufferIO> m_headerBuffer;
  bool m_bFastHeader = false;

  CMLock m_lock;
  bool m_bQuickTime = false;
  bool m_bHeaderWritten = false;
  bool m_bClosed = false;
};

}  // namespace bv
