#include "Mp4Repair.h"

#include <cstring>
#include <cwchar>
#include <exception>
#include <vector>

#include "byte_order.h"
#include "log.h"
#include "Mp4RepairInfo.h"
#include "platform.h"

namespace bv {

namespace {

constexpr size_t kMaxPath = 1024;  // wide characters, terminator included
// A ProRes frame's size, identifier and longest possible frame header.
constexpr uint32_t kProResHeadBytes = 8 + 0xFFFF;

// What a commit overwrote, to be put back when it fails half-way.
struct SavedBytes {
  uint64_t offset = 0;
  std::vector<uint8_t> bytes;
};

}  // namespace

CMp4Repair::CMp4Repair() : m_inUse(m_pool) {
  m_staging.SetTarget(nullptr);
  m_reader.SetCapacity(kReadWindow);
}

CMp4Repair::~CMp4Repair() {
  m_inUse.ReleaseAll();
  m_moov.reset();
  m_reader.Close();
  m_output.Close();
}

uint8_t CMp4Repair::ReadU8() {
  uint8_t b;
  m_reader.Read(&b, 1);
  return b;
}
uint16_t CMp4Repair::ReadU16() {
  uint8_t b[2];
  m_reader.Read(b, 2);
  return LoadBE16(b);
}
uint32_t CMp4Repair::ReadU32() {
  uint8_t b[4];
  m_reader.Read(b, 4);
  return LoadBE32(b);
}
uint64_t CMp4Repair::ReadU64() {
  uint8_t b[8];
  m_reader.Read(b, 8);
  return LoadBE64(b);
}

bool CMp4Repair::Damaged(const char* what) {
  LOGW("side file damaged at offset %llu (%s), records end there", static_cast<unsigned long long>(m_recordStart),
       what);
  return false;
}

const uint8_t* CMp4Repair::ReadField(uint32_t max, uint32_t* length) {
  *length = ReadU32();
  // A length beyond the rest of the file means the record was cut off: the
  // normal end. One beyond what such a field can hold is damage. Neither
  // allocates.
  if (*length > m_reader.Remaining()) {
    m_reader.Read(nullptr, *length);  // throws the end of data
  }
  if (*length > max) return nullptr;
  CReadBuffer* b = m_inUse.Get(*length);
  m_reader.Read(b->Data(), *length);
  return b->Data();
}

int CMp4Repair::Repair(const wchar_t* path, bool deleteInfoFile) {
  if (std::wcslen(path) + 6 > kMaxPath) return MP4_ERR_INVALID_PARAM;
  const std::wstring infoPath = std::wstring(path) + L".info";
  const bool quickTime = std::wcsstr(path, L"mov") != nullptr;

  if (const int rc = m_output.Init(path, 0, 0)) return rc;
  if (const int rc = m_reader.Init(infoPath.c_str(), 0, 0)) return rc;

  int result = 0;
  try {
    m_moov = std::make_unique<CMp4MoovAtom>(&m_staging, false, &m_staging);
    uint8_t flags = 0;
    try {
      flags = ReadU8();
      m_mdatPosition = ReadU32();
    } catch (const bv_mp4_exception& e) {
      if (e.code() != CFastFileReader::kEndOfData) throw;
      LOGE("side file ends before the media data position, nothing to repair");
      return MP4_ERR_FAILED;
    }
    m_bLargeFile = (flags & MP4_FLAG_LARGE_FILE) != 0;
    m_moov->SetLayout(m_bLargeFile, (flags & MP4_FLAG_TIME64) != 0, quickTime);
    m_moov->KeepTrackStarts((flags & MP4_FLAG_KEEP_TRACK_STARTS) != 0);
    const uint32_t header = m_bLargeFile ? 16 : 8;

    m_output.Seek(0, 2);
    m_outputLength = static_cast<uint64_t>(m_output.Ftell());
    if (m_outputLength < m_mdatPosition + header) {
      LOGE("file length %llu too short for media data at %llu", static_cast<unsigned long long>(m_outputLength),
           static_cast<unsigned long long>(m_mdatPosition));
      return MP4_ERR_FAILED;
    }
    // The side file must describe this output: its media data box starts
    // where the side file says. Anything else would be overwritten blindly.
    uint8_t box[8];
    m_output.Seek(static_cast<int64_t>(m_mdatPosition), 0);
    m_output.Read(box, sizeof(box));
    const bool largeHeader = LoadBE32(box) == 1;
    if (std::memcmp(box + 4, "mdat", 4) != 0 || largeHeader != m_bLargeFile) {
      LOGE("no media data box at %llu, side file does not belong to this file",
           static_cast<unsigned long long>(m_mdatPosition));
      return MP4_ERR_FAILED;
    }
    m_dataPosition = m_mdatPosition + header;
    m_mediaTotal = 0;

    try {
      while (ReadNextPacket()) {
      }
    } catch (const bv_mp4_exception& e) {
      if (e.code() != CFastFileReader::kEndOfData) throw;
    }
    m_inUse.ReleaseAll();

    if (!m_videoSeen && !m_audioSeen) {
      LOGE("no enough info to repair mp4, repair failed");
      return MP4_ERR_INVALID_PARAM;
    }
    m_moov->Write();
    m_moov.reset();
    result = Commit(path, m_staging);
  } catch (const bv_mp4_exception& e) {
    result = MapErrorCode(e.code());
    if (result == 0) result = MP4_ERR_FAILED;
  } catch (const std::exception& e) {
    LOGE("exception:%s", e.what());
    result = MP4_ERR_FAILED;
  }
  m_inUse.ReleaseAll();
  m_reader.Close();
  m_output.Close();
  if (result == 0 && deleteInfoFile) {
    LOGI("delete repair file");
    plat::RemoveFile(infoPath.c_str());
  }
  return result;
}

int CMp4Repair::Commit(const std::wstring& path, const CBufferIO& movie) {
  const uint32_t header = m_bLargeFile ? 16 : 8;
  const uint64_t end = m_mdatPosition + header + m_mediaTotal;
  const uint64_t movieEnd = end + movie.Size();
  const uint64_t rest = m_outputLength > movieEnd ? m_outputLength - movieEnd : 0;
  const uint32_t freeHeader = rest >= 0x100000000ull ? 16 : 8;
  const bool writeFree = rest >= freeHeader;

  // Save what will be overwritten inside the old file.
  SavedBytes sizeField, tail;
  sizeField.offset = m_bLargeFile ? m_mdatPosition + 8 : m_mdatPosition;
  sizeField.bytes.resize(m_bLargeFile ? 8 : 4);
  const uint64_t written = movieEnd + (writeFree ? freeHeader : 0);
  tail.offset = end;
  tail.bytes.resize(static_cast<size_t>((written < m_outputLength ? written : m_outputLength) - end));
  for (SavedBytes* s : {&sizeField, &tail}) {
    if (s->bytes.empty()) continue;
    m_output.Seek(static_cast<int64_t>(s->offset), 0);
    m_output.Read(s->bytes.data(), static_cast<uint32_t>(s->bytes.size()));
  }

  try {
    m_output.Seek(static_cast<int64_t>(sizeField.offset), 0);
    if (m_bLargeFile) {
      PutU64(m_output, m_mediaTotal + header);
    } else {
      PutU32(m_output, static_cast<uint32_t>(m_mediaTotal + header));
    }
    m_output.Seek(static_cast<int64_t>(end), 0);
    PutBytes(m_output, movie.Data(), static_cast<uint32_t>(movie.Size()));
    if (writeFree) {
      // The rest of the old file becomes a box of its own, so the file reads
      // well even if it cannot be cut below.
      if (freeHeader == 16) {
        PutU32(m_output, 1);
        PutFourCC(m_output, "free");
        PutU64(m_output, rest);
      } else {
        PutU32(m_output, static_cast<uint32_t>(rest));
        PutFourCC(m_output, "free");
      }
    }
    m_output.Flush();
  } catch (const bv_mp4_exception& e) {
    // Put the old bytes back through a fresh stream: this one has failed.
    m_output.Close();
    CAppendFileWriter undo;
    if (undo.Init(path.c_str(), 0, 0) == 0) {
      try {
        for (SavedBytes* s : {&sizeField, &tail}) {
          undo.Seek(static_cast<int64_t>(s->offset), 0);
          PutBytes(undo, s->bytes.data(), static_cast<uint32_t>(s->bytes.size()));
        }
        undo.Flush();
      } catch (const bv_mp4_exception&) {
      }
      undo.Close();
    }
    if (written > m_outputLength) plat::TruncateFile(path.c_str(), m_outputLength);
    const int rc = MapErrorCode(e.code());
    return rc ? rc : MP4_ERR_FAILED;
  }
  m_output.Close();
  // Cut the file behind the movie; when that is impossible the free box
  // keeps it readable.
  if (movieEnd < m_outputLength) plat::TruncateFile(path.c_str(), movieEnd);
  return 0;
}

bool CMp4Repair::ReadNextPacket() {
  m_inUse.ReleaseAll();
  m_recordStart = static_cast<uint64_t>(m_reader.Ftell());
  const uint8_t type = ReadU8();
  switch (type) {
    case INFO_PACKET_METADATA: return ReadMetadata();
    case INFO_PACKET_VIDEO_TRACK: return ReadVideoTrack();
    case INFO_PACKET_AUDIO_TRACK: return ReadAudioTrack();
    case INFO_PACKET_VIDEO_FRAME: return ReadVideoFrame();
    case INFO_PACKET_AUDIO_FRAME: return ReadAudioFrame();
    case INFO_PACKET_SUBTITLE_TRACK: return ReadSubtitleTrack();
    case INFO_PACKET_SUBTITLE_FRAME: return ReadSubtitleData();
    case INFO_PACKET_TIME_CODE_TRACK: return ReadTimeCodeTrack();
    case INFO_PACKET_TIME_CODE: return ReadTimeCode();
    case 0:
      // What a power loss leaves on some file systems: the records end.
      LOGI("zero bytes at offset %llu end the side file", static_cast<unsigned long long>(m_recordStart));
      return false;
    default:
      LOGE("unknown packet type %d", static_cast<int>(type));
      return Damaged("unknown record type");
  }
}

bool CMp4Repair::ReadMetadata() {
  const int32_t type = ReadU8();
  uint32_t keyLength = 0, valueLength = 0, nsLength = 0;
  const uint8_t* key = ReadField(kMaxMetadataField, &keyLength);
  if (key == nullptr || keyLength == 0) return Damaged("metadata key");
  const uint8_t* value = ReadField(kMaxMetadataField, &valueLength);
  if (value == nullptr) return Damaged("metadata value");
  const uint8_t* ns = ReadField(kMaxMetadataField, &nsLength);
  if (ns == nullptr) return Damaged("metadata namespace");
  // The same offer the muxer made: known keys first, then the free keys.
  m_moov->SetMeta(reinterpret_cast<const char*>(key), value, valueLength, type,
                  nsLength ? reinterpret_cast<const char*>(ns) : nullptr);
  return true;
}

bool CMp4Repair::ReadVideoTrack() {
  mp4_video_track_info_t info{};
  info.timescale = ReadU32();
  info.frame_duration = ReadU64();
  info.codec_type = ReadU8();
  info.width = ReadU16();
  info.height = ReadU16();
  if (info.timescale == 0 || info.width == 0 || info.height == 0) return Damaged("video track values");
  uint32_t n = 0;
  switch (info.codec_type) {
    case MP4_VIDEO_HEVC:
      info.vps = ReadField(0xFFFF, &n);
      info.vps_size = static_cast<uint16_t>(n);
      if (info.vps == nullptr || n == 0) return Damaged("video parameter set");
      [[fallthrough]];
    case MP4_VIDEO_H264:
      info.sps = ReadField(0xFFFF, &n);
      info.sps_size = static_cast<uint16_t>(n);
      if (info.sps == nullptr || n == 0) return Damaged("sequence parameter set");
      info.pps = ReadField(0xFFFF, &n);
      info.pps_size = static_cast<uint16_t>(n);
      if (info.pps == nullptr || n == 0) return Damaged("picture parameter set");
      break;
    case MP4_VIDEO_PRORES:
      info.prores_profile = ReadU8();
      if (info.prores_profile > MP4_PRORES_4444XQ) return Damaged("prores profile");
      break;
    default:
      return Damaged("video codec");
  }
  if (!m_moov->DeclareVideoTrack(info)) return Damaged("video track description");
  m_videoSeen = true;
  return true;
}

bool CMp4Repair::ReadAudioTrack() {
  mp4_audio_track_info_t info{};
  info.timescale = ReadU32();
  info.frame_duration = ReadU64();
  info.codec_type = ReadU8();
  info.sample_rate = ReadU16();
  info.channels = ReadU16();
  info.profile = ReadU8();
  if (info.codec_type != MP4_AUDIO_AAC && info.codec_type != MP4_AUDIO_AAC_ADTS) return Damaged("audio codec");
  // A second record corrects the first (the stream's ADTS header disagreed
  // with the declaration) and keeps the track's id.
  const uint32_t rate = UnpackAudioRate(info.sample_rate);
  const bool ok = m_audioSeen ? m_moov->ReconfigureAudioTrack(info, rate) : m_moov->DeclareAudioTrack(info, rate);
  if (!ok) return Damaged("audio track");
  m_audioSeen = true;
  return true;
}

bool CMp4Repair::ReadSubtitleTrack() {
  const uint32_t timescale = ReadU32();
  const uint32_t codec = ReadU8();
  m_moov->DeclareSubtitleTrack(codec, timescale);
  m_subtitleSeen = true;
  return true;
}

bool CMp4Repair::ReadTimeCodeTrack() {
  mp4_time_code_track_info_t info{};
  info.timescale = ReadU32();
  info.frame_duration = ReadU64();
  info.number_of_frames = ReadU8();
  info.tc_flags = ReadU32();
  // The movie write divides by it; the muxer refuses it.
  if (info.timescale == 0) return Damaged("time code timescale");
  m_moov->DeclareTimeCodeTrack(info);
  m_timeCodeSeen = true;
  return true;
}

bool CMp4Repair::AddFrame(CMp4TrakAtom& track, uint32_t size, uint64_t dts, uint64_t pts, bool sync) {
  if (m_dataPosition + size > m_outputLength) {
    LOGI("frame size %u too larger, position:%lu, file len:%li", size, static_cast<unsigned long>(m_dataPosition),
         static_cast<long>(m_outputLength));
    return false;
  }
  // The 32-bit layout cannot address past 4 GiB; the muxer refuses such
  // samples, so a record of one is damage.
  if (!m_bLargeFile && m_dataPosition + size > 0xFFFFFFFFull) return Damaged("sample past 4 GiB");
  if (!m_moov->AddSample(track, {m_dataPosition, size, dts, pts, sync}) && sync) {
    LOGE("video sync frame box(stss) have no left space");
  }
  m_dataPosition += size;
  m_mediaTotal += size;
  return true;
}

bool CMp4Repair::ReadVideoFrame() {
  const uint64_t dts = ReadU64();
  const uint64_t pts = ReadU64();
  const bool sync = ReadU8() != 0;
  const uint32_t size = ReadU32();
  if (!m_videoSeen) return Damaged("video frame without track");
  if (m_moov->m_trakVideo.Stbl().Stsd().IsProRes() && m_moov->m_trakVideo.GetSampleCount() == 0 &&
      m_dataPosition + size <= m_outputLength) {
    // The first frame's header gives the colour, as it did while recording.
    std::vector<uint8_t> head(size < kProResHeadBytes ? size : kProResHeadBytes);
    m_output.Seek(static_cast<int64_t>(m_dataPosition), 0);
    m_output.Read(head.data(), static_cast<uint32_t>(head.size()));
    m_moov->TakeProResColour(head.data(), head.size());
  }
  return AddFrame(m_moov->m_trakVideo, size, dts, pts, sync);
}

bool CMp4Repair::ReadAudioFrame() {
  const uint64_t timestamp = ReadU64();
  const uint32_t size = ReadU32();
  if (!m_audioSeen) return Damaged("audio frame without track");
  return AddFrame(m_moov->m_trakAudio, size, timestamp, timestamp, false);
}

bool CMp4Repair::ReadSubtitleData() {
  const uint64_t timestamp = ReadU64();
  const uint32_t size = ReadU32();
  if (!m_subtitleSeen) return Damaged("subtitle frame without track");
  return AddFrame(m_moov->m_trakSubtitle, size, timestamp, timestamp, false);
}

bool CMp4Repair::ReadTimeCode() {
  ReadU32();  // the value is already in the media data
  if (!m_timeCodeSeen) return Damaged("time code without track");
  return AddFrame(m_moov->m_trackTC, 4, 1, 1, false);
}

}  // namespace bv
