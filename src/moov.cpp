#include "moov.h"

#include "log.h"

namespace bv {

CMp4MoovAtom::CMp4MoovAtom(IBaseIO* io, bool reserved, IBaseIO* fileIO)
    : CMp4Atom(io),
      m_mvhd(io),
      m_trakVideo(io),
      m_trakAudio(io),
      m_trackTC(io),
      m_trakSubtitle(io),
      m_bReserved(reserved),
      m_pFileIO(fileIO),
      m_udta(io),
      m_meta(io, true) {}

uint32_t CMp4MoovAtom::TakeTrackId() {
  ++m_nTrackCount;
  m_mvhd.m_nextTrackId = m_nTrackCount;
  return m_nTrackCount;
}

bool CMp4MoovAtom::SetMeta(const char* key, const void* value, uint32_t length, int32_t type,
                           const char* keyNamespace) {
  if (m_udta.m_meta.SetMeta(key, value, length, type, keyNamespace)) return true;
  if (m_meta.SetMeta(key, value, length, type, keyNamespace)) {
    m_bWriteMeta = true;
    return true;
  }
  return false;
}

uint64_t CMp4MoovAtom::ComputeDuration() {
  const uint64_t video = m_trakVideo.DurationMs();
  const uint64_t audio = m_trakAudio.DurationMs();
  return video > audio ? video : audio;
}

void CMp4MoovAtom::SetLayout(bool largeFile, bool time64, bool quickTime) {
  if (largeFile) {
    m_trakVideo.Stbl().SetUse64BitOffsets(true);
    m_trakAudio.Stbl().SetUse64BitOffsets(true);
    m_trackTC.Stbl().SetUse64BitOffsets(true);
  }
  if (time64) {
    m_mvhd.m_bVersion1 = true;
    m_trakVideo.SetVersion1(true);
    m_trakAudio.SetVersion1(true);
  }
  m_trakAudio.Stbl().Stsd().m_bQuickTime = quickTime;
  m_trackTC.SetNullHeader(!quickTime);
}

bool CMp4MoovAtom::DeclareVideoTrack(const mp4_video_track_info_t& info) {
  if (!m_trakVideo.IsEnabled()) m_trakVideo.SetTrackId(TakeTrackId());
  return m_trakVideo.Configure(info);
}

bool CMp4MoovAtom::DeclareAudioTrack(const mp4_audio_track_info_t& info, uint32_t sampleRate) {
  m_trakAudio.SetTrackId(TakeTrackId());
  return m_trakAudio.Configure(info, sampleRate);
}

void CMp4MoovAtom::DeclareSubtitleTrack(uint32_t codec, uint32_t timescale) {
  m_trakSubtitle.SetTrackId(TakeTrackId());
  m_trakSubtitle.Configure(codec, timescale);
}

void CMp4MoovAtom::DeclareTimeCodeTrack(const mp4_time_code_track_info_t& info) {
  m_trackTC.SetTrackId(TakeTrackId());
  m_trackTC.Configure(info);
  m_trakVideo.AddTimeCodeReference(m_trackTC.m_nTrackId);
}

void CMp4MoovAtom::PrepareTimeCodeTrack() {
  m_trackTC.m_nMovieTimeScale = 1000;
  m_trackTC.m_firstTime = 0;
  const uint32_t videoScale = m_trakVideo.GetTimeScale();
  m_trackTC.m_lastTime = m_trakVideo.MediaDuration() * m_trackTC.GetTimeScale() / videoScale;
}

void CMp4MoovAtom::PrepareSubtitleTrack() {
  m_trakSubtitle.m_nMovieTimeScale = 1000;
  m_trakSubtitle.m_tkhd.m_width = m_trakVideo.m_width;
  m_trakSubtitle.m_tkhd.m_height = m_trakVideo.m_height;
}

void CMp4MoovAtom::Write() {
  int64_t start = m_pIO->Ftell();
  CBufferIO* staging = m_bReserved ? dynamic_cast<CBufferIO*>(m_pIO) : nullptr;
  if (staging) {
    staging->Attach(m_pFileIO, GetSize() + 1024);
    start = 0;
  }
  PutHeader(*m_pIO, 8, "moov");
  m_mvhd.m_duration = ComputeDuration();
  m_mvhd.Write();
  m_trakVideo.m_nMovieTimeScale = 1000;
  m_trakVideo.Write();
  m_trakAudio.m_nMovieTimeScale = 1000;
  m_trakAudio.Write();
  if (m_trackTC.IsEnabled()) {
    PrepareTimeCodeTrack();
    m_trackTC.Write();
  }
  if (m_trakSubtitle.IsEnabled()) {
    PrepareSubtitleTrack();
    m_trakSubtitle.Write();
  }
  if (m_bWriteMeta) m_meta.Write();
  m_udta.Write();
  UpdateSize(start);
  LOGI("moov update size finished");

  const int64_t real = m_pIO->Ftell() - start;
  const uint32_t calc = GetSize();
  if (m_pIO->IsOpen() && real != static_cast<int64_t>(calc)) {
    LOGW("calc size(%u) not equal to moov real size:%lli", calc, static_cast<long long>(real));
    LOGI("m_mvhd size:%u, m_trakVideo size:%u, m_trakAudio size:%u, m_trakSubtitle size:%u, m_trackTC size:%u, "
         "m_udta size:%u",
         m_mvhd.GetSize(), m_trakVideo.GetSize(), m_trakAudio.GetSize(), m_trakSubtitle.GetSize(),
         m_trackTC.GetSize(), m_udta.GetSize());
  }
  if (staging) {
    const int64_t end = m_pIO->Ftell();
    staging->Flush();
    LOGI("moov flush finished, size:%llu", static_cast<unsigned long long>(end));
  }
}

uint32_t CMp4MoovAtom::GetSize() {
  uint32_t size = 8 + m_mvhd.GetSize();
  if (m_trakVideo.IsEnabled()) size += m_trakVideo.GetSize();
  if (m_trakAudio.IsEnabled()) size += m_trakAudio.GetSize();
  if (m_trakSubtitle.IsEnabled()) size += m_trakSubtitle.GetSize();
  if (m_trackTC.IsEnabled()) size += m_trackTC.GetSize();
  size += m_udta.GetSize();
  if (m_bWriteMeta) size += m_meta.GetSize();
  return size;
}

}  // namespace bv
