#include "Mp4RepairInfo.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "byte_order.h"
#include "platform.h"
#include "stream_seam.h"

namespace bv {

namespace {

// Appends big-endian fields to a record under construction.
class RecordBuilder {
 public:
  RecordBuilder(std::vector<uint8_t>& out, uint8_t type) : m_out(out) {
    m_out.clear();
    m_out.push_back(type);
  }
  void U8(uint8_t v) { m_out.push_back(v); }
  void U16(uint16_t v) { Fixed<2>(v, StoreBE16); }
  void U32(uint32_t v) { Fixed<4>(v, StoreBE32); }
  void U64(uint64_t v) { Fixed<8>(v, StoreBE64); }
  void Bytes(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    if (n > 0) m_out.insert(m_out.end(), b, b + n);
  }
  // Length (4 bytes) and bytes.
  void Field(const void* p, size_t n) {
    U32(static_cast<uint32_t>(n));
    Bytes(p, n);
  }

 private:
  template <size_t N, typename T, typename Store>
  void Fixed(T v, Store store) {
    uint8_t b[N];
    store(b, v);
    m_out.insert(m_out.end(), b, b + N);
  }
  std::vector<uint8_t>& m_out;
};

}  // namespace

uint16_t PackAudioRate(uint32_t rate) { return static_cast<uint16_t>(rate & 0xFFFF); }

uint32_t UnpackAudioRate(uint16_t stored) {
  if (stored == (88200 & 0xFFFF)) return 88200;
  if (stored == (96000 & 0xFFFF)) return 96000;
  return stored;
}

int CRepairInfoWriter::Open(const std::wstring& path, uint8_t flags) {
  m_path = path;
  auto file = std::make_unique<CFileWriter>();
  const int rc = file->Init(path.c_str(), 0, 0);
  if (rc != 0) return rc;
  m_file = WrapStream(std::move(file));
  const uint8_t header = flags;
  if (const int put = Put(&header, 1)) {
    plat::RemoveFile(m_path.c_str());
    return put;
  }
  return 0;
}

void CRepairInfoWriter::Remove() {
  if (m_file) m_file->Close();
  m_pendingSize = 0;
  if (!m_path.empty()) plat::RemoveFile(m_path.c_str());
}

int CRepairInfoWriter::Fail(int code) {
  if (m_file) m_file->Close();
  m_pendingSize = 0;
  return code;
}

void CRepairInfoWriter::Close() {
  if (IsOpen()) Drain();
  if (m_file) m_file->Close();
  m_pendingSize = 0;
}

uint8_t* CRepairInfoWriter::Room(size_t size) {
  if (size > m_pendingCapacity - m_pendingSize) {
    // The block, or a larger one for a record that passes it.
    const size_t capacity = std::max(kPendingBlock + kMaxFrameRecord, m_pendingSize + size);
    std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
    if (!grown) return nullptr;
    if (m_pendingSize > 0) std::memcpy(grown.get(), m_pending.get(), m_pendingSize);
    m_pending = std::move(grown);
    m_pendingCapacity = capacity;
  }
  return m_pending.get() + m_pendingSize;
}

int CRepairInfoWriter::Added(size_t size) {
  m_pendingSize += size;
  return m_pendingSize >= kPendingBlock ? Drain() : 0;
}

int CRepairInfoWriter::Put(const uint8_t* data, size_t size) {
  if (!IsOpen()) return 0;
  uint8_t* room = Room(size);
  if (room == nullptr) return Fail(MP4_ERR_FAILED);
  std::memcpy(room, data, size);
  return Added(size);
}

int CRepairInfoWriter::Drain() {
  try {
    const size_t n = m_pendingSize;
    m_pendingSize = 0;
    if (n > 0) m_file->Write(m_pending.get(), static_cast<uint32_t>(n));
    return 0;
  } catch (const bv_mp4_exception& e) {
    return Fail(MapErrorCode(e.code()));
  } catch (const std::exception&) {
    return Fail(MP4_ERR_FAILED);
  }
}

int CRepairInfoWriter::Flush() {
  if (!IsOpen()) return 0;
  if (const int rc = Drain()) return rc;
  try {
    m_file->Flush();
    return 0;
  } catch (const bv_mp4_exception& e) {
    return Fail(MapErrorCode(e.code()));
  } catch (const std::exception&) {
    return Fail(MP4_ERR_FAILED);
  }
}

int CRepairInfoWriter::WriteHeader(uint64_t mdatPosition) {
  if (!IsOpen()) return 0;
  uint8_t b[4];
  StoreBE32(b, static_cast<uint32_t>(mdatPosition));
  if (const int rc = Put(b, sizeof(b))) return rc;
  return Flush();
}

int CRepairInfoWriter::WriteVideoTrack(const mp4_video_track_info_t& info, const std::vector<uint8_t>& sps,
                                       const std::vector<uint8_t>& pps, const std::vector<uint8_t>& vps) {
  if (!IsOpen()) return 0;
  RecordBuilder r(m_record, INFO_PACKET_VIDEO_TRACK);
  r.U32(info.timescale);
  r.U64(info.frame_duration);
  r.U8(static_cast<uint8_t>(info.codec_type));
  r.U16(info.width);
  r.U16(info.height);
  switch (info.codec_type) {
    case MP4_VIDEO_HEVC:
      r.Field(vps.data(), vps.size());
      [[fallthrough]];
    case MP4_VIDEO_H264:
      r.Field(sps.data(), sps.size());
      r.Field(pps.data(), pps.size());
      break;
    case MP4_VIDEO_PRORES:
      r.U8(static_cast<uint8_t>(info.prores_profile));
      break;
    default:
      break;
  }
  return Put(m_record.data(), m_record.size());
}

int CRepairInfoWriter::WriteAudioTrack(const mp4_audio_track_info_t& info, uint32_t sampleRate) {
  if (!IsOpen()) return 0;
  RecordBuilder r(m_record, INFO_PACKET_AUDIO_TRACK);
  r.U32(info.timescale);
  r.U64(info.frame_duration);
  r.U8(static_cast<uint8_t>(info.codec_type));
  r.U16(PackAudioRate(sampleRate));
  r.U16(info.channels);
  r.U8(info.profile);
  return Put(m_record.data(), m_record.size());
}

int CRepairInfoWriter::WriteSubtitleTrack(uint32_t codec, uint32_t timescale) {
  if (!IsOpen()) return 0;
  RecordBuilder r(m_record, INFO_PACKET_SUBTITLE_TRACK);
  r.U32(timescale ? timescale : 1000);
  r.U8(static_cast<uint8_t>(codec));
  return Put(m_record.data(), m_record.size());
}

int CRepairInfoWriter::WriteTimeCodeTrack(const mp4_time_code_track_info_t& info) {
  if (!IsOpen()) return 0;
  RecordBuilder r(m_record, INFO_PACKET_TIME_CODE_TRACK);
  r.U32(info.timescale);
  r.U64(info.frame_duration);
  r.U8(info.number_of_frames);
  r.U32(info.tc_flags);
  return Put(m_record.data(), m_record.size());
}

int CRepairInfoWriter::WriteMetadata(const char* key, const void* value, uint32_t length, int32_t type,
                                     const char* keyNamespace) {
  if (!IsOpen()) return 0;
  RecordBuilder r(m_record, INFO_PACKET_METADATA);
  r.U8(static_cast<uint8_t>(type));
  r.Field(key, std::strlen(key) + 1);
  if (type == MP4_META_BYTES || type == MP4_META_INT_BE) {
    r.Field(value, length);
  } else {
    // Every other type is text to the metadata boxes: it ends at its first
    // zero byte, or after `length` bytes when the caller gave a length. The
    // record holds exactly that text and its terminator, so the writer never
    // reads past the caller's value and the replay stores the same text.
    const char* text = static_cast<const char*>(value);
    const void* end = length ? std::memchr(text, 0, length) : nullptr;
    const size_t n = length == 0 ? std::strlen(text)
                                 : (end ? static_cast<size_t>(static_cast<const char*>(end) - text) : length);
    r.U32(static_cast<uint32_t>(n + 1));
    r.Bytes(text, n);
    r.U8(0);
  }
  if (keyNamespace != nullptr) {
    r.Field(keyNamespace, std::strlen(keyNamespace) + 1);
  } else {
    r.U32(0);
  }
  return Put(m_record.data(), m_record.size());
}

int CRepairInfoWriter::PutVideoFrame(uint64_t dts, uint64_t pts, bool sync, uint32_t size, IBaseIO& media) {
  constexpr size_t kSize = 22;
  static_assert(kSize <= kMaxFrameRecord, "frame records fit behind a full block");
  uint8_t* b = Room(kSize);
  if (b == nullptr) return Fail(MP4_ERR_FAILED);
  b[0] = INFO_PACKET_VIDEO_FRAME;
  StoreBE64(b + 1, dts);
  StoreBE64(b + 9, pts);
  b[17] = sync ? 1 : 0;
  StoreBE32(b + 18, size);
  if (const int rc = Added(kSize)) return rc;
  return CountRecord(media);
}

int CRepairInfoWriter::CountRecord(IBaseIO& media) {
  ++m_recordCount;
  if (m_recordCount - m_countAtFlush < m_flushInterval) return 0;
  // A failure here is the output's own, reported by the frame writer.
  if (media.IsOpen()) media.Flush();
  m_countAtFlush = m_recordCount;
  return Flush();
}

int CRepairInfoWriter::PutAudioFrame(uint64_t timestamp, uint32_t size, bool counts, IBaseIO& media) {
  uint8_t* b = Room(13);
  if (b == nullptr) return Fail(MP4_ERR_FAILED);
  b[0] = INFO_PACKET_AUDIO_FRAME;
  StoreBE64(b + 1, timestamp);
  StoreBE32(b + 9, size);
  if (const int rc = Added(13)) return rc;
  return counts ? CountRecord(media) : 0;
}

int CRepairInfoWriter::WriteSubtitleFrame(uint64_t timestamp, uint32_t size) {
  if (!IsOpen()) return 0;
  uint8_t b[13];
  b[0] = INFO_PACKET_SUBTITLE_FRAME;
  StoreBE64(b + 1, timestamp);
  StoreBE32(b + 9, size);
  return Put(b, sizeof(b));
}

int CRepairInfoWriter::WriteTimeCode(uint32_t value) {
  if (!IsOpen()) return 0;
  uint8_t b[5];
  b[0] = INFO_PACKET_TIME_CODE;
  StoreBE32(b + 1, value);
  return Put(b, sizeof(b));
}

int CRepairInfoWriter::SetFlushInterval(uint32_t interval) {
  if (interval < kMinFlushInterval) {
    std::printf("ERROR:info file flush interval(%d) too small\n", static_cast<int>(interval));
    std::fflush(stdout);
    return MP4_ERR_INVALID_PARAM;
  }
  std::printf("change info file flush interval from %d to %d\n", static_cast<int>(m_flushInterval),
              static_cast<int>(interval));
  std::fflush(stdout);
  m_flushInterval = interval;
  return 0;
}

}  // namespace bv
