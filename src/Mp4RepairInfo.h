// The side file of repair mode ("<output>.info"): what the movie box is built
// from, written while recording so that a cut-off recording can be finished
// later by CMp4Repair.
//
// Layout: a 5-byte header (the creation flags' low byte, then the mdat
// position as a 32-bit big-endian offset), then self-delimiting records whose
// first byte is their type. All integers are big-endian. The format has no
// version field; readers of older files rely on it staying as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BaseIO.h"
#include "bv_mp4.h"

namespace bv {

enum InfoPacketType : uint8_t {
  INFO_PACKET_METADATA = 1,
  INFO_PACKET_VIDEO_TRACK = 2,
  INFO_PACKET_AUDIO_TRACK = 3,
  INFO_PACKET_VIDEO_FRAME = 4,
  INFO_PACKET_AUDIO_FRAME = 5,
  INFO_PACKET_SUBTITLE_TRACK = 6,
  INFO_PACKET_SUBTITLE_FRAME = 7,
  INFO_PACKET_TIME_CODE_TRACK = 8,
  INFO_PACKET_TIME_CODE = 9,
};

// The audio record keeps the sample rate in 16 bits. The two AAC rates above
// 65535 Hz (88200 and 96000) are stored as their low 16 bits (22664 and
// 30464), values no AAC sampling-frequency table holds, so the reader can
// tell them apart from every real rate and restore them.
uint16_t PackAudioRate(uint32_t rate);
uint32_t UnpackAudioRate(uint16_t stored);

// Writer side, owned by the muxer. Every operation is a no-op returning 0
// while the file is not open. A failed write or flush closes the file (later
// records are skipped) and returns the mapped result code.
class CRepairInfoWriter {
 public:
  static constexpr uint32_t kDefaultFlushInterval = 900;
  static constexpr uint32_t kMinFlushInterval = 10;

  // Creates the file and writes the flags byte; on failure nothing is left.
  int Open(const std::wstring& path, uint8_t flags);
  bool IsOpen() const { return m_file && m_file->IsOpen(); }
  // Hands the pending records to the file and closes it.
  void Close();
  // Closes the file and deletes it (a finished recording needs none).
  void Remove();

  // The mdat position completes the header; the file is flushed after it.
  int WriteHeader(uint64_t mdatPosition);
  int WriteVideoTrack(const mp4_video_track_info_t& info, const std::vector<uint8_t>& sps,
                      const std::vector<uint8_t>& pps, const std::vector<uint8_t>& vps);
  int WriteAudioTrack(const mp4_audio_track_info_t& info, uint32_t sampleRate);
  int WriteSubtitleTrack(uint32_t codec, uint32_t timescale);
  int WriteTimeCodeTrack(const mp4_time_code_track_info_t& info);
  int WriteMetadata(const char* key, const void* value, uint32_t length, int32_t type, const char* keyNamespace);
  // Video records count towards the flush interval; audio records count
  // only in a recording without a video track (`counts`), which would
  // otherwise never reach the disk. Before the side file is flushed `media`
  // is flushed too: a record on disk must never describe sample bytes that
  // are still in a buffer of the process.
  // Inline up to the open check: without the repair flag this is all a
  // frame pays.
  int WriteVideoFrame(uint64_t dts, uint64_t pts, bool sync, uint32_t size, IBaseIO& media) {
    return IsOpen() ? PutVideoFrame(dts, pts, sync, size, media) : 0;
  }
  int WriteAudioFrame(uint64_t timestamp, uint32_t size, bool counts, IBaseIO& media) {
    return IsOpen() ? PutAudioFrame(timestamp, size, counts, media) : 0;
  }
  int WriteSubtitleFrame(uint64_t timestamp, uint32_t size);
  int WriteTimeCode(uint32_t value);

  // 4 (and the interval unchanged) below kMinFlushInterval.
  int SetFlushInterval(uint32_t interval);
  uint32_t FlushInterval() const { return m_flushInterval; }

 private:
  int Put(const uint8_t* data, size_t size);
  int PutVideoFrame(uint64_t dts, uint64_t pts, bool sync, uint32_t size, IBaseIO& media);
  int PutAudioFrame(uint64_t timestamp, uint32_t size, bool counts, IBaseIO& media);
  // Room for a record of `size` bytes at the end of the pending ones, built
  // there in place and then counted by Added; nullptr when memory is short.
  uint8_t* Room(size_t size);
  int Added(size_t size);
  // Writes the pending records to the file.
  int Drain();
  // Counts a record towards the interval and flushes when it is reached.
  int CountRecord(IBaseIO& media);
  int Flush();
  int Fail(int code);

  std::unique_ptr<IBaseIO> m_file;
  // Records not yet handed to the file. Appending here is a plain copy (no
  // container bookkeeping: this is paid for every frame); the file gets them
  // in blocks of kPendingBlock bytes or at a flush, so that a record costs no
  // library call of its own.
  std::unique_ptr<uint8_t[]> m_pending;
  size_t m_pendingSize = 0;
  size_t m_pendingCapacity = 0;
  static constexpr size_t kPendingBlock = 64 * 1024;
  static constexpr size_t kMaxFrameRecord = 22;
  std::wstring m_path;
  std::vector<uint8_t> m_record;  // reused for the variable-length records
  uint32_t m_recordCount = 0;     // records counted towards the interval
  uint32_t m_countAtFlush = 0;
  uint32_t m_flushInterval = kDefaultFlushInterval;
};

}  // namespace bv
