// Track setup and metadata of the muxer: each operation validates the
// host's description, keeps a copy and configures its track of the movie.
#include <cstring>

#include "log.h"
#include "Mp4Muxer.h"

namespace bv {

namespace {

// AAC sampling frequencies by index (ISO/IEC 14496-3).
constexpr uint32_t kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

int CMp4Muxer::OutputGuard() const {
  if (!m_pIO) {
    LOGE("file not open!");
    return MP4_ERR_FILE_NOT_OPEN;
  }
  if (!m_pIO->IsOpen()) return MapErrorCode(m_pIO->lastError);
  return 0;
}

int CMp4Muxer::SetVideoTrack(const mp4_video_track_info_t& info) {
  if (const int rc = OutputGuard()) return rc;
  if (info.timescale == 0) {
    LOGE("invalid video timescale");
    return MP4_ERR_INVALID_PARAM;
  }
  if (info.width == 0 || info.height == 0) {
    LOGE("invalid video width(%u) or height(%u)", info.width, info.height);
    return MP4_ERR_INVALID_PARAM;
  }
  if (m_bSafeMode && info.frame_duration == 0) {
    LOGE("please set frame_duration in safe mode");
    return MP4_ERR_INVALID_PARAM;
  }
  m_nalParser.reset();
  switch (info.codec_type) {
    case MP4_VIDEO_H264: m_nalParser = std::make_unique<CH264Nal>(); break;
    case MP4_VIDEO_HEVC: m_nalParser = std::make_unique<CHevcNal>(); break;
    case MP4_VIDEO_PRORES:
      if (info.prores_profile > MP4_PRORES_4444XQ) {
        // An entry without a ProRes code would play nowhere.
        LOGE("invalid prores profile %u", info.prores_profile);
        return MP4_ERR_INVALID_PARAM;
      }
      break;
    default:
      LOGE("invalid codec type %d", static_cast<int>(info.codec_type));
      return MP4_ERR_INVALID_CODEC;
  }

  m_videoInfo = info;
  m_bVideoCodecData = true;
  if (info.codec_type != MP4_VIDEO_PRORES) {
    // The host may free its buffers after the call: keep copies.
    auto copy = [](const uint8_t* p, uint16_t n, std::vector<uint8_t>& out) {
      if (p && n) out.assign(p, p + n);
      else out.clear();
    };
    copy(info.sps, info.sps_size, m_sps);
    copy(info.pps, info.pps_size, m_pps);
    copy(info.codec_type == MP4_VIDEO_HEVC ? info.vps : nullptr, info.vps_size, m_vps);
    const bool complete = !m_sps.empty() && !m_pps.empty() && (info.codec_type == MP4_VIDEO_H264 || !m_vps.empty());
    if (!complete) {
      m_bVideoCodecData = false;
      if (m_bSafeMode) {
        LOGE("please provide video codec data in safe mode");
        return MP4_ERR_INVALID_PARAM;
      }
      LOGI("no codec data in video track info, try to find it in stream");
      return 0;
    }
  }
  if (const int rc = ConfigureVideoTrack()) return rc;
  return RepairTail([&] { return m_info.WriteVideoTrack(m_videoInfo, m_sps, m_pps, m_vps); });
}

int CMp4Muxer::ConfigureVideoTrack() {
  mp4_video_track_info_t info = m_videoInfo;
  if (info.codec_type != MP4_VIDEO_PRORES) {
    info.sps = m_sps.data();
    info.sps_size = static_cast<uint16_t>(m_sps.size());
    info.pps = m_pps.data();
    info.pps_size = static_cast<uint16_t>(m_pps.size());
    info.vps = m_vps.empty() ? nullptr : m_vps.data();
    info.vps_size = static_cast<uint16_t>(m_vps.size());
  }
  return m_moov->DeclareVideoTrack(info) ? 0 : MP4_ERR_INVALID_PARAM;
}

bool CMp4Muxer::GetVideoCodecData(const CVideoFrameParser& slices) {
  const uint32_t codec = m_videoInfo.codec_type;
  VideoCodecData found;
  FindVideoCodecData(slices, codec, &found);
  // What a frame holds is kept as copies, so a set spread over several
  // frames still completes.
  auto keep = [](const _VIDEO_SLICE& s, std::vector<uint8_t>& out) {
    if (s.data != nullptr && s.size > 0 && s.size <= 0xFFFF) out.assign(s.data, s.data + s.size);
  };
  keep(found.sps, m_sps);
  keep(found.pps, m_pps);
  if (codec == MP4_VIDEO_HEVC) keep(found.vps, m_vps);
  const bool complete = !m_sps.empty() && !m_pps.empty() && (codec == MP4_VIDEO_H264 || !m_vps.empty());
  if (!complete) return false;
  m_bVideoCodecData = true;
  LOGI("found video codec data in stream, set video track info");
  if (ConfigureVideoTrack() != 0) {
    m_bVideoCodecData = false;
    return false;
  }
  RepairTail([&] { return m_info.WriteVideoTrack(m_videoInfo, m_sps, m_pps, m_vps); });
  return true;
}

int CMp4Muxer::SetAudioTrack(const mp4_audio_track_info_t& info) {
  if (const int rc = OutputGuard()) return rc;
  if (info.timescale == 0) {
    LOGE("invalid timescale in audio track");
    return MP4_ERR_INVALID_PARAM;
  }
  if (m_bSafeMode && info.frame_duration == 0) {
    LOGE("please set frame_duration in safe mode");
    return MP4_ERR_INVALID_PARAM;
  }
  bool present = true;
  switch (info.codec_type) {
    case MP4_AUDIO_AAC:
      if (info.channels == 0 || info.sample_rate == 0) {
        LOGE("invalid audio channel(%d) or sample rate(%d)", info.channels, info.sample_rate);
        return MP4_ERR_INVALID_PARAM;
      }
      break;
    case MP4_AUDIO_AAC_ADTS:
      if (info.channels == 0 || info.sample_rate == 0) {
        LOGI("audio codec is adts, wait audio stream to get meta data");
        present = false;
      }
      break;
    default:
      LOGE("invalid audio codec %d", static_cast<int>(info.codec_type));
      return MP4_ERR_INVALID_PARAM;
  }
  if (!present && m_bSafeMode) {
    LOGE("please provide audio codec data in safe mode");
    return MP4_ERR_INVALID_PARAM;
  }
  m_audioInfo = info;
  m_audioSampleRate = info.sample_rate;
  m_bAudioConfig = present;
  m_bAdtsChecked = false;
  if (present) return ConfigureAudioTrack();
  return 0;
}

// Also the end of the configuration from the first ADTS header.
int CMp4Muxer::ConfigureAudioTrack() {
  if (!m_moov->DeclareAudioTrack(m_audioInfo, m_audioSampleRate)) return MP4_ERR_INVALID_PARAM;
  return RepairTail([&] { return m_info.WriteAudioTrack(m_audioInfo, m_audioSampleRate); });
}

// The first ADTS header describes what the bytes are: its rate, channels and
// object type are recorded whatever the host declared (a file labelled
// otherwise plays nowhere); the declaration only fills what the header
// leaves open (channel configuration 0, an escape rate index).
int CMp4Muxer::ConfigureAudioFromAdts(const uint8_t* header) {
  const uint32_t index = (header[2] >> 2) & 0x0F;
  const uint32_t rate = index < 13 ? kAdtsRates[index] : m_audioSampleRate;
  const auto objectType = static_cast<uint8_t>((header[2] >> 6) + 1);
  auto channels = static_cast<uint16_t>((header[3] >> 6) | (header[2] & 1) << 2);
  if (channels == 0) channels = m_audioInfo.channels;
  // A declared profile of 0 says nothing: the header fills it in silently.
  const bool contradicts = rate != m_audioSampleRate || channels != m_audioInfo.channels ||
                           (m_audioInfo.profile != 0 && objectType != m_audioInfo.profile);
  if (m_bAudioConfig && !contradicts && (objectType == m_audioInfo.profile || (m_bSafeMode && m_bHeaderWritten))) {
    m_bAdtsChecked = true;
    return 0;
  }
  if (m_bAudioConfig && contradicts) {
    if (m_bSafeMode && m_bHeaderWritten) {
      // The reserved header already describes the declared stream.
      LOGE("ADTS header (%u Hz, %u channels) contradicts the audio track in the written header, frame refused",
           rate, channels);
      return MP4_ERR_INVALID_ADTS;
    }
    LOGW("ADTS header says %u Hz, %u channels, object type %u; track declared %u Hz, %u channels, profile %u: "
         "the header is recorded",
         rate, channels, objectType, m_audioSampleRate, m_audioInfo.channels, m_audioInfo.profile);
  } else if (!m_bAudioConfig) {
    LOGI("ADTS stream, get and set audio track");
  }
  m_audioSampleRate = rate;
  m_audioInfo.sample_rate = static_cast<uint16_t>(rate <= 0xFFFF ? rate : 0);
  m_audioInfo.profile = objectType;
  m_audioInfo.channels = channels;
  m_bAdtsChecked = true;
  if (!m_bAudioConfig) {
    m_bAudioConfig = true;
    return ConfigureAudioTrack();
  }
  // Before any audio sample: the track keeps its id, the side file gets the
  // corrected description after the declared one.
  if (!m_moov->ReconfigureAudioTrack(m_audioInfo, m_audioSampleRate)) return MP4_ERR_INVALID_PARAM;
  return RepairTail([&] { return m_info.WriteAudioTrack(m_audioInfo, m_audioSampleRate); });
}

int CMp4Muxer::SetSubtitleTrack(const mp4_subtitle_track_info_t& info) {
  if (m_bSafeMode) {
    LOGE("subtitle not supported in safe mode");
    return MP4_ERR_NOT_SUPPORTED;
  }
  if (const int rc = OutputGuard()) return rc;
  m_subtitleCodec = info.codec_type;
  m_moov->DeclareSubtitleTrack(info.codec_type, info.timescale);
  return RepairTail([&] { return m_info.WriteSubtitleTrack(info.codec_type, info.timescale); });
}

int CMp4Muxer::SetTimeCodeTrack(const mp4_time_code_track_info_t& info) {
  if (!m_moov) {
    LOGE("file not open!");
    return MP4_ERR_FILE_NOT_OPEN;
  }
  if (info.timescale == 0) {
    // The movie write divides by it.
    LOGE("invalid time code timescale 0");
    return MP4_ERR_INVALID_PARAM;
  }
  m_moov->DeclareTimeCodeTrack(info);
  return RepairTail([&] { return m_info.WriteTimeCodeTrack(info); });
}

int CMp4Muxer::SetMetadata(const char* key, const void* value, uint32_t length, int32_t type,
                           const char* keyNamespace) {
  if (const int rc = OutputGuard()) return rc;
  if (key == nullptr || value == nullptr) {
    LOGE("invalid meta data");
    return MP4_ERR_INVALID_PARAM;
  }
  if ((type == MP4_META_INT_BE || type == MP4_META_BYTES) && length == 0) {
    LOGE("invalid meta(%s) data length 0", key);
    return MP4_ERR_INVALID_PARAM;
  }
  if (!m_moov->SetMeta(key, value, length, type, keyNamespace)) {
    LOGE("set meta key %s failed", key);
    return MP4_ERR_INVALID_PARAM;
  }
  return RepairTail([&] { return m_info.WriteMetadata(key, value, length, type, keyNamespace); });
}

}  // namespace bv
