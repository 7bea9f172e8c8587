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
  PlaceTrackStarts();
  const uint64_t video = m_trakVideo.DurationMs() + m_trakVideo.m_edts.m_elst.m_emptyDuration;
  const uint64_t audio = m_trakAudio.DurationMs() + m_trakAudio.m_edts.m_elst.m_emptyDuration;
  return video > audio ? video : audio;
}

void CMp4MoovAtom::PlaceTrackStarts() {
  if (!m_bKeepTrackStarts) return;
  // The movie time scale is milliseconds; each track's first time is taken
  // in its own clock, all clocks sharing one origin.
  CMp4TrakAtom* tracks[] = {&m_trakVideo, &m_trakAudio, &m_trakSubtitle};
  uint64_t earliest = UINT64_MAX;
  for (CMp4TrakAtom* t : tracks) {
    if (t->IsEnabled() && t->GetSampleCount() > 0 && t->StartMs() < earliest) earliest = t->StartMs();
  }
  for (CMp4TrakAtom* t : tracks) {
    const bool started = t->IsEnabled() && t->GetSampleCount() > 0;
    t->m_edts.m_elst.m_emptyDuration = started ? t->StartMs() - earliest : 0;
  }
  // The time code runs along the video.
  m_trackTC.m_edts.m_elst.m_emptyDuration = m_trakVideo.m_edts.m_elst.m_emptyDuration;
}

bool CMp4MoovAtom::SetMaxDuration(uint32_t maxDurationMs) {
  // The whole reservation must fit in one movie box, whose size has 32 bits;
  // 1 MiB is left for everything besides the tables.
  constexpr uint64_t kTableBudget = 0xFFFFFFFFull - (1u << 20);
  uint64_t videoFrames = 0, syncFrames = 0, audioFrames = 0;
  if (m_trakVideo.IsEnabled()) {
    const uint64_t scale = m_trakVideo.GetTimeScale();
    const uint64_t t = uint64_t{maxDurationMs} * scale / 1000;
    const uint32_t frameDuration = m_trakVideo.m_sampleDuration;
    if (frameDuration == 0) {
      LOGE("video frame duration not set");
      return false;
    }
    videoFrames = t / frameDuration;
    if (videoFrames == 0 || videoFrames > 0xFFFFFFFFull) {
      LOGE("invalid frame num:%d, please check your parameter(timescale, max_duration in mp4_config_t or frame "
           "duration)",
           static_cast<int>(videoFrames));
      return false;
    }
    // A key frame per second at most; ProRes samples are all sync samples.
    syncFrames = m_trakVideo.Stbl().Stsd().IsProRes() ? 0 : t / scale + 1;
  }
  if (m_trakAudio.IsEnabled()) {
    const uint32_t frameDuration = m_trakAudio.m_sampleDuration;
    if (frameDuration == 0) {
      LOGE("audio frame duration not set");
      return false;
    }
    LOGI("max duration is %u, timescale:%u", maxDurationMs, m_trakAudio.GetTimeScale());
    audioFrames = uint64_t{maxDurationMs} * m_trakAudio.GetTimeScale() / 1000 / frameDuration;
    if (audioFrames == 0 || audioFrames > 0xFFFFFFFFull) {
      LOGE("invalid frame num:%d, please check your parameter(timescale, max_duration in mp4_config_t or frame "
           "duration)",
           static_cast<int>(audioFrames));
      return false;
    }
  }
  const uint64_t videoBytes = videoFrames * (4 + 8 + 8 + (m_trakVideo.Stbl().Uses64BitOffsets() ? 8 : 4)) + 4 * syncFrames;
  const uint64_t audioBytes = audioFrames * (4 + (m_trakAudio.Stbl().Uses64BitOffsets() ? 8 : 4));
  if (videoBytes + audioBytes > kTableBudget) {
    LOGE("max duration %u ms needs %llu bytes of sample tables, more than a movie box can hold", maxDurationMs,
         static_cast<unsigned long long>(videoBytes + audioBytes));
    return false;
  }
  if (m_trakVideo.IsEnabled()) {
    m_trakVideo.Stbl().SetMaxFrame(static_cast<uint32_t>(videoFrames), static_cast<uint32_t>(syncFrames));
    m_trakVideo.SetForceWrite(true);
  }
  if (m_trakAudio.IsEnabled()) {
    m_trakAudio.Stbl().SetMaxFrame(static_cast<uint32_t>(audioFrames), 0);
    m_trakAudio.SetForceWrite(true);
  }
  m_trakSubtitle.SetForceWrite(true);
  m_trackTC.SetForceWrite(true);
  // Which tracks start late is known only once all have started.
  if (m_bKeepTrackStarts) {
    for (CMp4TrakAtom* t : {static_cast<CMp4TrakAtom*>(&m_trakVideo), static_cast<CMp4TrakAtom*>(&m_trakAudio),
                            static_cast<CMp4TrakAtom*>(&m_trackTC)}) {
      t->m_edts.ReserveEmptyEdit();
    }
  }
  return true;
}

void CMp4MoovAtom::Update(CHeaderUpdate& plan) {
  // The movie lasts as long as its longer track (audio on a tie), empty
  // edits included.
  PlaceTrackStarts();
  const uint64_t video = m_trakVideo.MediaDuration(), audio = m_trakAudio.MediaDuration();
  const uint64_t videoMs = video * 1000 / m_trakVideo.GetTimeScale() + m_trakVideo.m_edts.m_elst.m_emptyDuration;
  const uint64_t audioMs = audio * 1000 / m_trakAudio.GetTimeScale() + m_trakAudio.m_edts.m_elst.m_emptyDuration;
  m_mvhd.m_duration = videoMs > audioMs ? videoMs : audioMs;
  m_mvhd.Update(plan);
  // Both are asked even when undeclared: their boxes then report that they
  // were never written reserved.
  m_trakAudio.m_nMovieTimeScale = 1000;
  m_trakAudio.Update(plan);
  m_trakVideo.m_nMovieTimeScale = 1000;
  m_trakVideo.Update(plan);
  if (m_trackTC.IsEnabled()) {
    PrepareTimeCodeTrack();
    m_trackTC.Update(plan);
  }
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
  m_meta.m_bFullBox = !quickTime;
  m_trakVideo.Stbl().Stsd().SetQuickTime(quickTime);
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
  PlaceTrackStarts();
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
