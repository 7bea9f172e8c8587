// Frame writing: each frame's bytes are appended to the media data at once
// and entered as one sample in its track's tables.
#include <cstring>
#include <exception>

#include "byte_order.h"
#include "log.h"
#include "Mp4Muxer.h"

namespace bv {

bool CMp4Muxer::FitsLayout(uint64_t bytes) {
  // Without the large-file flag both the mdat size and the chunk offsets
  // have 32 bits: a sample ending past 4 GiB would be recorded at a wrapped
  // offset and leave the whole file unplayable.
  if (m_bLargeFile || m_fileSize + bytes <= 0xFFFFFFFFull) return true;
  LOGE("file would pass 4 GiB without the large-file flag (0x02), sample refused");
  return false;
}

namespace {

// Cuts the frame and builds its sample in the output stream's buffer in the
// same pass, so that each byte of the frame is read once. Returns the
// sample's size, 0 when the stream does not lend its buffer or the frame
// does not suit (the caller then cuts and writes the usual way). Frames of
// the direct-write size and above keep going straight from the caller's
// memory; small ones are still in the processor's cache when written, and
// the second read costs less than lending the buffer. The slack covers the
// prefixes of a frame with up to about 250 units; one with more falls back.
uint32_t BuildSampleInPlace(IBaseIO& io, CVideoFrameParser& slices, const uint8_t* buf, uint32_t size) {
  constexpr uint32_t kMinSize = 4096, kSlack = 256;
  if (size < kMinSize || size >= IFileIOBase::kDirectSize) return 0;
  uint32_t capacity = 0;
  uint8_t* dst = io.Lend(size + kSlack, &capacity);
  return dst != nullptr ? slices.ParseFrameInto(buf, size, dst, capacity) : 0;
}

}  // namespace

int CMp4Muxer::WriteVideoFrame(const uint8_t* buf, uint32_t size, uint64_t dts, uint64_t pts) {
  // Taken first: writers of one handle may be called side by side, and the
  // stream state the guard reads is theirs.
  CMAutoLock hold(&m_lock);
  if (const int rc = OutputGuard()) return rc;
  if (buf == nullptr || size == 0) {
    LOGE("write video frame with empty data");
    return 0;
  }
  const bool prores = m_videoInfo.codec_type == MP4_VIDEO_PRORES && m_moov->m_trakVideo.IsEnabled();
  CVideoFrameParser& slices = m_slices;
  slices.clear();
  // The sample already built in the stream's buffer (only once the file
  // head is written, and with no units carried in front of it).
  uint32_t built = 0;
  if (!prores) {
    if (m_bHeaderWritten && m_carried.Empty()) {
      try {
        built = BuildSampleInPlace(*m_pIO, slices, buf, size);
      } catch (const bv_mp4_exception& e) {  // the earlier bytes failed to go out
        RescueAfterWriteFault();
        return MapErrorCode(e.code());
      }
    }
    if (built == 0 && slices.ParseFrame(buf, size) == 0) {
      LOGE("Parse video frame fail !");
      return MP4_ERR_PARSE_VIDEO;
    }
    if (!m_nalParser) {
      LOGE("invalid video track!");
      return MP4_ERR_INVALID_VIDEO_TRACK;
    }
  }

  try {
    // Safe mode writes the sample entry with the head of the file; a colour
    // learnt after it would change the size of a box already on disk.
    if (prores && !(m_bSafeMode && m_bHeaderWritten)) m_moov->TakeProResColour(buf, size);
    if (!m_bHeaderWritten) {
      if (const int rc = WriteHeader()) return rc;
    }
    // A call without a picture is no sample: its units wait for the next one.
    if (!prores && !HasPicture(m_videoInfo.codec_type, slices)) {
      if (!m_bVideoCodecData) GetVideoCodecData(slices);
      if (m_carried.Keep(slices)) return 0;
      LOGE("video units without a picture pass %u bytes, refused", static_cast<unsigned>(CCarriedUnits::kMaxBytes));
      return MP4_ERR_PARSE_VIDEO;
    }
    if (!m_bVideoCodecData && !GetVideoCodecData(slices)) {
      LOGW("no codec data, drop frame");
      m_carried.Clear();
      return 0;
    }
    m_carried.Prepend(slices);

    if (pts != dts && !CMp4CttsAtom::FitsOffset(static_cast<int64_t>(pts - dts))) {
      LOGE("video pts %llu and dts %llu lie more than 2^31 apart, frame refused", static_cast<unsigned long long>(pts),
           static_cast<unsigned long long>(dts));
      return MP4_ERR_INVALID_PARAM;
    }
    // Frames with composition offsets must come in decode order: a time
    // going back would become a duration of nearly 2^32 ticks.
    CMp4VideoTrakAtom& video = m_moov->m_trakVideo;
    if ((pts != dts || video.Stbl().Ctts().HasOffsets()) && video.GetSampleCount() > 0 && dts < video.m_lastTime) {
      LOGE("video dts %llu before the previous %llu, frame refused", static_cast<unsigned long long>(dts),
           static_cast<unsigned long long>(video.m_lastTime));
      return MP4_ERR_INVALID_PARAM;
    }
    uint64_t bytes = prores ? size : 0;
    for (const _VIDEO_SLICE& s : slices) bytes += 4u + s.size;
    const bool sync = prores || IsKeyFrame(*m_nalParser, slices);
    if (bytes > 0xFFFFFFFFull || !FitsLayout(bytes)) return MP4_ERR_TABLE_FULL;

    const uint64_t diskSizeBefore = m_bSafeMode ? m_pIO->GetFileSize() : 0;
    if (prores) {
      PutBytes(*m_pIO, buf, size);
    } else {
      if (built != bytes || !m_pIO->Commit(built)) {
        for (const _VIDEO_SLICE& s : slices) PutLengthPrefixed(*m_pIO, s.data, s.size);
      }
      m_carried.Clear();
    }
    // The header then describes the samples up to the previous frame.
    if (m_bSafeMode) UpdateHeaderIfDue(diskSizeBefore);

    const bool ok =
        m_moov->AddSample(m_moov->m_trakVideo, {m_fileSize, static_cast<uint32_t>(bytes), dts, pts, sync});
    // The bytes are in the media data whatever the tables said: the next
    // sample's offset must still be the true end.
    m_fileSize += bytes;
    if (!ok) return MP4_ERR_TABLE_FULL;
    return m_info.WriteVideoFrame(dts, pts, sync, static_cast<uint32_t>(bytes), *m_pIO);
  } catch (const bv_mp4_exception& e) {
    RescueAfterWriteFault();
    return MapErrorCode(e.code());
  } catch (const std::exception&) {
    LOGE("exception when write file");
    return MP4_ERR_FAILED;
  }
}

int CMp4Muxer::WriteAudioFrame(const uint8_t* buf, uint32_t size, uint64_t timestamp) {
  CMAutoLock hold(&m_lock);
  if (buf == nullptr || size == 0) {
    LOGW("write audio frame with empty data");
    return 0;
  }
  if (const int rc = OutputGuard()) return rc;
  if (m_audioInfo.codec_type != MP4_AUDIO_AAC && m_audioInfo.codec_type != MP4_AUDIO_AAC_ADTS) {
    // Without a track the bytes would sit in the media data unreferenced
    // while the host believes them recorded.
    LOGE("no audio track set, audio frame refused");
    return MP4_ERR_INVALID_PARAM;
  }
  // Without protection_absent a 16-bit CRC follows the 7 header bytes.
  const uint32_t headerSize = size >= 2 && (buf[1] & 1) == 0 ? 9 : 7;
  const bool adts = size > headerSize && buf[0] == 0xFF && (buf[1] & 0xF0) == 0xF0;
  if (m_audioInfo.codec_type == MP4_AUDIO_AAC_ADTS && !m_bAdtsChecked) {
    if (adts) {
      if (const int rc = ConfigureAudioFromAdts(buf)) return rc;
    } else if (!m_bAudioConfig) {
      LOGE("invalid ADTS stream, please check it.");
      return MP4_ERR_INVALID_ADTS;
    }
  }
  const uint8_t* payload = adts ? buf + headerSize : buf;
  const uint32_t payloadSize = adts ? size - headerSize : size;

  try {
    if (!m_bHeaderWritten) {
      if (const int rc = WriteHeader()) return rc;
    }
    if (!FitsLayout(payloadSize)) return MP4_ERR_TABLE_FULL;
    PutBytes(*m_pIO, payload, payloadSize);
    const bool ok = m_moov->AddSample(m_moov->m_trakAudio, {m_fileSize, payloadSize, timestamp, timestamp, false});
    m_fileSize += payloadSize;
    if (!ok) {
      LOGE("call AfterWriteAudioFrame failed");
      return MP4_ERR_TABLE_FULL;
    }
    const bool noVideo = !m_nalParser && !m_moov->m_trakVideo.IsEnabled();
    return m_info.WriteAudioFrame(timestamp, payloadSize, noVideo, *m_pIO);
  } catch (const bv_mp4_exception& e) {
    RescueAfterWriteFault();
    return MapErrorCode(e.code());
  } catch (const std::exception&) {
    LOGE("write buffer exception, buffer size %d", static_cast<int>(payloadSize));
    return MP4_ERR_FAILED;
  }
}

int CMp4Muxer::WriteCC608(const uint8_t* buf, uint32_t size, uint32_t* written) {
  *written = 0;
  if (size < 6 || buf[0] != 0x61 || buf[1] != 2) {
    LOGE("subtitle 608 frame format error");
    return 0;
  }
  const uint32_t triplets = (size - 3) / 3;
  for (uint32_t i = 0; i < triplets; ++i) {
    const uint8_t* t = buf + 3 + 3 * i;
    const uint32_t field = t[0] & 3u;
    // Only fields 1 and 2 have a box type.
    if (field > 1) continue;
    uint8_t box[10];
    StoreBE32(box, 10);
    std::memcpy(box + 4, field == 0 ? "cdat" : "cdt2", 4);
    box[8] = t[1];
    box[9] = t[2];
    PutBytes(*m_pIO, box, sizeof(box));
    *written += 10;
  }
  return 0;
}

int CMp4Muxer::WriteCC708(const uint8_t* buf, uint32_t size, uint32_t* written) {
  *written = 0;
  if (size < 3 || buf[0] != 0x61 || buf[1] != 1 || buf[2] > size - 3) {
    LOGE("subtitle 708 frame format error");
    return 0;
  }
  const uint32_t length = buf[2];
  uint8_t header[8];
  StoreBE32(header, length + 8);
  std::memcpy(header + 4, "ccdp", 4);
  PutBytes(*m_pIO, header, sizeof(header));
  PutBytes(*m_pIO, buf + 3, length);
  *written = length + 8;
  return 0;
}

int CMp4Muxer::WriteSubtitleFrame(const uint8_t* buf, uint32_t size, uint64_t timestamp) {
  CMAutoLock hold(&m_lock);
  if (m_bSafeMode) {
    LOGE("subtitle not supported in safe mode");
    return MP4_ERR_NOT_SUPPORTED;
  }
  if (const int rc = OutputGuard()) return rc;
  if (buf == nullptr || size == 0) {
    LOGW("write subtitle frame with empty data");
    return 0;
  }
  try {
    if (!m_bHeaderWritten) {
      if (const int rc = WriteHeader()) return rc;
    }
    if (m_subtitleCodec != MP4_SUBTITLE_CEA608 && m_subtitleCodec != MP4_SUBTITLE_CEA708) {
      LOGE("unknown subtitle codec type %d", static_cast<int>(m_subtitleCodec));
      return MP4_ERR_SUBTITLE_CODEC;
    }
    // The largest caption sample: 10 bytes per 3 input bytes.
    if (!FitsLayout(uint64_t{size} * 4)) return MP4_ERR_TABLE_FULL;
    uint32_t written = 0;
    if (m_subtitleCodec == MP4_SUBTITLE_CEA608) {
      WriteCC608(buf, size, &written);
    } else {
      WriteCC708(buf, size, &written);
    }
    const bool ok = m_moov->AddSample(m_moov->m_trakSubtitle, {m_fileSize, written, timestamp, timestamp, false});
    m_fileSize += written;
    if (!ok) return MP4_ERR_TABLE_FULL;
    return m_info.WriteSubtitleFrame(timestamp, written);
  } catch (const bv_mp4_exception& e) {
    return MapErrorCode(e.code());
  } catch (const std::exception&) {
    return MP4_ERR_FAILED;
  }
}

int CMp4Muxer::WriteTimeCode(uint32_t value) {
  CMAutoLock hold(&m_lock);
  if (const int rc = OutputGuard()) return rc;
  if (!m_moov->m_trackTC.IsEnabled()) {
    // Its bytes would sit in the media data without a track.
    LOGE("no time code track set, time code refused");
    return MP4_ERR_INVALID_PARAM;
  }
  try {
    if (!m_bHeaderWritten) {
      if (const int rc = WriteHeader()) return rc;
    }
    if (!FitsLayout(4)) return MP4_ERR_TABLE_FULL;
    PutU32(*m_pIO, value);
    const bool ok = m_moov->AddSample(m_moov->m_trackTC, {m_fileSize, 4, 1, 1, false});
    m_fileSize += 4;
    if (!ok) return MP4_ERR_TABLE_FULL;
    return m_info.WriteTimeCode(value);
  } catch (const bv_mp4_exception& e) {
    RescueAfterWriteFault();
    return MapErrorCode(e.code());
  } catch (const std::exception&) {
    return MP4_ERR_FAILED;
  }
}

// The size close would write now: nothing before the file head exists (close
// then ignores the file), else the movie box with every stts final entry.
uint32_t CMp4Muxer::GetMoovSize() { return m_moov && m_bHeaderWritten ? m_moov->GetSize() : 0; }

int CMp4Muxer::GetBitrate(bool video, double* bitrate) {
  if (!m_moov) {
    *bitrate = -1.0;
    return 0;
  }
  CMp4TrakAtom& track = video ? static_cast<CMp4TrakAtom&>(m_moov->m_trakVideo) : m_moov->m_trakAudio;
  *bitrate = track.GetBitrate();
  return 0;
}

}  // namespace bv
