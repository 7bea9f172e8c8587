// Finishes a recording that was cut off: replays the side file of repair mode
// against the output file, rebuilds the movie box from its records, patches
// the media-data size, writes the movie after the last complete sample and
// cuts the file there.
//
// A repair never makes a file worse: every check, the whole replay and the
// serialisation of the new movie box happen before the first byte of the
// output changes, and a write that fails puts the old bytes back. Whenever
// Repair returns non-zero, the output file and the side file are as before.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BaseIO.h"
#include "FastFileReader.h"
#include "ReadBuffer.h"
#include "moov.h"

namespace bv {

class CMp4Repair {
 public:
  static constexpr uint32_t kReadWindow = 25165824;  // 24 MiB
  // The longest key, value or namespace a metadata record may carry.
  static constexpr uint32_t kMaxMetadataField = 16u << 20;

  CMp4Repair();
  ~CMp4Repair();
  CMp4Repair(const CMp4Repair&) = delete;
  CMp4Repair& operator=(const CMp4Repair&) = delete;

  // 0, or a result code with both files untouched. Output shorter than its
  // media-data header or without "mdat" where the side file says: 1 (the two
  // files do not belong together). No usable track record: 4.
  int Repair(const wchar_t* path, bool deleteInfoFile);

 private:
  // Applies one record; false at the end of the usable records (a damaged
  // or incomplete record, or a sample past the end of the output). The end
  // of the side file throws CFastFileReader::kEndOfData.
  bool ReadNextPacket();
  bool ReadMetadata();
  bool ReadVideoTrack();
  bool ReadAudioTrack();
  bool ReadSubtitleTrack();
  bool ReadTimeCodeTrack();
  bool ReadVideoFrame();
  bool ReadAudioFrame();
  bool ReadSubtitleData();
  bool ReadTimeCode();
  // Places a sample of `size` bytes at the data position.
  bool AddFrame(CMp4TrakAtom& track, uint32_t size, uint64_t dts, uint64_t pts, bool sync);
  // A length-prefixed field of at most `max` bytes into a pool buffer; null
  // when the length cannot be right.
  const uint8_t* ReadField(uint32_t max, uint32_t* length);
  bool Damaged(const char* what);

  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  uint64_t ReadU64();

  // Writes the finished movie into the output; restores it on failure.
  int Commit(const std::wstring& path, const CBufferIO& movie);

  CBufferIO m_staging;  // the new movie box, serialised before any write
  std::unique_ptr<CMp4MoovAtom> m_moov;
  CAppendFileWriter m_output;
  CFastFileReader m_reader;
  CReadBufferPool m_pool;
  CReadBufferList m_inUse;

  bool m_bLargeFile = false;
  uint64_t m_mdatPosition = 0;
  uint64_t m_dataPosition = 0;
  uint64_t m_mediaTotal = 0;
  uint64_t m_outputLength = 0;
  uint64_t m_recordStart = 0;
  bool m_videoSeen = false;
  bool m_audioSeen = false;
  bool m_subtitleSeen = false;
  bool m_timeCodeSeen = false;
};

}  // namespace bv
