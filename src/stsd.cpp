#include "stsd.h"

#include <cstring>

#include "log.h"

namespace bv {

void CMp4StsdAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutFullHeader(m_buffer, 16, "stsd", 0, 0);
  PutU32(m_buffer, 1);  // entry count
  m_buffer.Flush();
  WriteEntry();
  UpdateSize(start);
}

void CMp4StsdAtom::PutEntryHeader(const char* format) {
  PutU32(m_buffer, 12);
  PutBytes(m_buffer, format, 4);
  PutZeros(m_buffer, 6);
  PutU16(m_buffer, 1);  // data reference index
}

// ---------------------------------------------------------------------------
// Video

namespace {

struct ProResProfile {
  const char* code;
  const char* compressorName;
};
const ProResProfile kProRes[] = {
    {"apco", "Apple ProRes 422 Proxy"}, {"apcs", "Apple ProRes 422 LT"}, {"apcn", "Apple ProRes 422"},
    {"apch", "Apple ProRes 422 HQ"},    {"ap4h", "Apple ProRes 4444"},   {"ap4x", "Apple ProRes 4444 XQ"},
};

}  // namespace

bool CMp4VideoStsdAtom::SetProRes(uint32_t profile) {
  if (profile >= sizeof(kProRes) / sizeof(kProRes[0])) {
    LOGE("invalid prores format %d", static_cast<int>(profile));
    return false;
  }
  m_proresCode = kProRes[profile].code;
  m_compressorName = kProRes[profile].compressorName;
  return true;
}

bool CMp4VideoStsdAtom::SetVideo(const mp4_video_track_info_t& info) {
  // Colour and pixel shape come from the SPS, so a repair that replays the
  // same parameter sets rebuilds the same boxes.
  VideoUsability vui;
  if (info.codec_type == MP4_VIDEO_H264) ReadH264Vui(info.sps, info.sps_size, &vui);
  if (info.codec_type == MP4_VIDEO_HEVC) ReadHevcVui(info.sps, info.sps_size, &vui);
  switch (info.codec_type) {
    case MP4_VIDEO_H264:
      std::memcpy(m_format, "avc1", 4);
      m_codecKind = -1;
      m_avcc.SetParameterSets(info.sps, info.sps_size, info.pps, info.pps_size);
      break;
    case MP4_VIDEO_HEVC:
      std::memcpy(m_format, "hvc1", 4);
      m_codecKind = -1;
      m_hvcc.SetVosData(info);
      break;
    case MP4_VIDEO_PRORES:
      if (!SetProRes(info.prores_profile)) return false;
      m_codecKind = 2;
      std::memcpy(m_format, m_proresCode.data(), 4);
      break;
    default:
      return false;
  }
  m_width = info.width;
  m_height = info.height;
  m_colr.Set(vui);
  m_pasp.Set(vui.sarWidth, vui.sarHeight);
  return true;
}

CMp4Atom* CMp4VideoStsdAtom::Child() {
  if (IsProRes()) return nullptr;
  if (std::memcmp(m_format, "hvc1", 4) == 0 || std::memcmp(m_format, "hev1", 4) == 0) return &m_hvcc;
  if (std::memcmp(m_format, "avc1", 4) == 0) return &m_avcc;
  return nullptr;
}

uint32_t CMp4VideoStsdAtom::EntrySize() {
  if (IsProRes()) return 112 + m_colr.GetSize();
  CMp4Atom* child = Child();
  return 86 + (child != nullptr ? child->GetSize() : 0) + m_colr.GetSize() + m_pasp.GetSize();
}

void CMp4VideoStsdAtom::WriteEntry() {
  const int64_t start = m_pIO->Ftell();
  PutEntryHeader(m_format);
  PutU16(m_buffer, 0);  // version
  PutU16(m_buffer, 0);  // revision level
  if (IsProRes())
    PutFourCC(m_buffer, "appl");
  else
    PutU32(m_buffer, 0);
  PutU32(m_buffer, 0);  // temporal quality
  PutU32(m_buffer, 0);  // spatial quality
  PutU16(m_buffer, m_width);
  PutU16(m_buffer, m_height);
  PutU32(m_buffer, 0x00480000);  // 72 dpi
  PutU32(m_buffer, 0x00480000);
  PutU32(m_buffer, 0);  // data size
  PutU16(m_buffer, 1);  // frame count
  uint8_t name[32] = {};
  if (!m_compressorName.empty()) {
    const size_t n = m_compressorName.size() < 31 ? m_compressorName.size() : 31;
    name[0] = static_cast<uint8_t>(m_compressorName.size());
    std::memcpy(name + 1, m_compressorName.data(), n);
  }
  PutBytes(m_buffer, name, sizeof(name));
  const bool alpha = IsProRes() && (m_proresCode == "ap4x" || m_proresCode == "ap4h");
  PutU16(m_buffer, alpha ? 32 : 24);  // depth
  PutU16(m_buffer, 0xFFFF);           // no colour table
  if (IsProRes()) {
    PutHeader(m_buffer, 10, "fiel");
    PutU8(m_buffer, 1);  // progressive: one field
    PutU8(m_buffer, 0);
    if (m_colr.IsPresent()) {
      m_buffer.Flush();
      m_colr.Write();
    }
    PutHeader(m_buffer, 16, "pasp");
    PutU32(m_buffer, 1);  // square pixels
    PutU32(m_buffer, 1);
  }
  m_buffer.Flush();
  if (CMp4Atom* child = Child()) child->Write();
  if (!IsProRes()) {
    m_colr.Write();
    m_pasp.Write();
  }
  UpdateSize(start);
}

// ---------------------------------------------------------------------------
// Audio

bool CMp4AudioStsdAtom::SetAudio(const mp4_audio_track_info_t& info, uint16_t esId) {
  return SetAudio(info, info.sample_rate, esId);
}

bool CMp4AudioStsdAtom::SetAudio(const mp4_audio_track_info_t& info, uint32_t sampleRate, uint16_t esId) {
  if (info.codec_type != MP4_AUDIO_AAC && info.codec_type != MP4_AUDIO_AAC_ADTS) return false;
  std::memcpy(m_format, "mp4a", 4);
  const std::vector<uint8_t> asc =
      MakeAudioSpecificConfig(info.profile, sampleRate, static_cast<uint8_t>(info.channels));
  m_esds.Set(esId, asc);
  m_wave.m_esds.Set(esId, asc);
  m_sampleRate = sampleRate;
  return true;
}

uint32_t CMp4AudioStsdAtom::EntrySize() { return m_bQuickTime ? 52 + m_wave.GetSize() : 36 + m_esds.GetSize(); }

void CMp4AudioStsdAtom::WriteEntry() {
  const int64_t start = m_pIO->Ftell();
  PutEntryHeader(m_format);
  PutU16(m_buffer, m_bQuickTime ? 1 : 0);  // version
  PutU16(m_buffer, 0);                     // revision level
  PutU32(m_buffer, 0);                     // vendor
  // The true channel layout travels in the AudioSpecificConfig.
  PutU16(m_buffer, 2);   // channel count
  PutU16(m_buffer, 16);  // sample size
  PutU16(m_buffer, m_bQuickTime ? 0xFFFE : 0);  // compression ID
  PutU16(m_buffer, 0);                          // packet size
  PutU32(m_buffer, m_sampleRate > 0xFFFF ? 0 : m_sampleRate << 16);
  if (m_bQuickTime) PutZeros(m_buffer, 16);  // samples/bytes per packet, frame, sample
  m_buffer.Flush();
  if (m_bQuickTime)
    m_wave.Write();
  else
    m_esds.Write();
  UpdateSize(start);
}

// ---------------------------------------------------------------------------
// Closed captions and time code

bool CMp4SubtitleStsdAtom::SetCodec(uint32_t codec) {
  if (codec == MP4_SUBTITLE_CEA608) {
    std::memcpy(m_format, "c608", 4);
  } else if (codec == MP4_SUBTITLE_CEA708) {
    std::memcpy(m_format, "c708", 4);
  } else {
    LOGE("unknown subtitle codec %d", static_cast<int>(codec));
    return false;
  }
  return true;
}

void CMp4SubtitleStsdAtom::WriteEntry() {
  const int64_t start = m_pIO->Ftell();
  PutEntryHeader(m_format);
  m_buffer.Flush();
  UpdateSize(start);
}

void CMp4TMCDStsdAtom::Set(uint32_t timeScale, uint32_t frameDuration, uint8_t numberOfFrames, uint32_t flags) {
  m_timeScale = timeScale;
  m_frameDuration = frameDuration;
  m_numberOfFrames = numberOfFrames;
  m_flags = flags;
}

void CMp4TMCDStsdAtom::WriteEntry() {
  const int64_t start = m_pIO->Ftell();
  PutEntryHeader("tmcd");
  PutU32(m_buffer, 0);  // reserved
  PutU32(m_buffer, m_flags);
  PutU32(m_buffer, m_timeScale);
  PutU32(m_buffer, m_frameDuration);
  PutU8(m_buffer, m_numberOfFrames);
  PutU8(m_buffer, 0);
  PutU16(m_buffer, 0);
  m_buffer.Flush();
  UpdateSize(start);
}

}  // namespace bv
