#include "trak.h"

#include <cstring>

#include "log.h"

namespace bv {

CMp4ContainerAtom::CMp4ContainerAtom(IBaseIO* io, const char* type, std::initializer_list<CMp4Atom*> children)
    : CMp4Atom(io), m_children(children) {
  std::memcpy(m_type, type, 4);
}

void CMp4ContainerAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutU32(*m_pIO, 8);
  PutBytes(*m_pIO, m_type, 4);
  for (CMp4Atom* child : m_children) child->Write();
  UpdateSize(start);
}

uint32_t CMp4ContainerAtom::GetSize() {
  uint32_t size = 8;
  for (CMp4Atom* child : m_children) size += child->GetSize();
  return size;
}

// ---------------------------------------------------------------------------

CMp4TrakAtom::CMp4TrakAtom(IBaseIO* io)
    : CMp4Atom(io), m_tkhd(io), m_edts(io), m_mdhd(io), m_dataHdlr(io), m_dinf(io) {}

void CMp4TrakAtom::SetTrackId(uint32_t id) {
  m_nTrackId = id;
  m_tkhd.m_trackId = id;
}

void CMp4TrakAtom::SetVersion1(bool version1) {
  m_tkhd.m_bVersion1 = version1;
  m_edts.m_elst.m_bVersion1 = version1;
  m_mdhd.m_bVersion1 = version1;
}

void CMp4TrakAtom::SetTiming(uint32_t timescale, uint64_t frameDuration, CMp4SttsAtom& stts) {
  m_timeScale = timescale ? timescale : 1000;
  m_mdhd.m_timeScale = m_timeScale;
  m_sampleDuration = static_cast<uint32_t>(frameDuration);
  stts.SetDefaultDelta(static_cast<uint32_t>(frameDuration ? frameDuration : 1));
}

bool CMp4TrakAtom::PutSample(const Mp4Sample& sample, bool newChunk) {
  const uint32_t number = GetSampleCount() + 1;
  if (KeepsTime()) {
    m_lastDelta = static_cast<uint32_t>(sample.dts - m_lastTime);
    m_lastTime = sample.dts;
  }
  bool ok = AddSample(sample.offset, sample.size, sample.dts, sample.pts, newChunk);
  if (ok && sample.sync) ok = AddSyncSample(number);
  // The first sample starts the track whether or not it is a sync sample.
  if (ok && number == 1 && KeepsTime()) {
    m_firstTime = sample.dts;
    // Presentation starts at the first frame's presentation time. A frame
    // presented before it is decoded leaves the start at its decode time.
    const int64_t composition = static_cast<int64_t>(sample.pts - sample.dts);
    m_edts.m_elst.m_mediaTime = composition > 0 ? static_cast<uint64_t>(composition) : 0;
  }
  return ok;
}

bool CMp4TrakAtom::WritesNothing() { return !m_bForceWrite && (m_nTrackId == 0 || GetSampleCount() < 1); }

uint64_t CMp4TrakAtom::MediaDuration() {
  if (GetSampleCount() == 0 && !m_bForceWrite) return 0;
  // The measured delta is read, not kept: a duration asked for while
  // recording must not fix the step that close later writes.
  const uint32_t step = m_sampleDuration != 0 ? m_sampleDuration : m_lastDelta;
  return m_lastTime - m_firstTime + step;
}

uint64_t CMp4TrakAtom::MovieDuration() {
  const uint64_t d = MediaDuration();
  return m_timeScale == m_nMovieTimeScale ? d : d * 1000 / m_timeScale;
}

uint64_t CMp4TrakAtom::DurationMs() {
  if (GetSampleCount() == 0) return 0;
  return MediaDuration() * 1000 / m_timeScale;
}

double CMp4TrakAtom::GetBitrate() {
  const uint64_t d = GetSampleCount() == 0 ? 0 : MediaDuration();
  if (d == 0) return 0.0;
  return static_cast<double>(GetDataSize()) * m_timeScale / (static_cast<double>(d) * 1024.0);
}

void CMp4TrakAtom::Write() {
  if (WritesNothing()) {
    LOGE("write without track data");
    return;
  }
  const int64_t start = m_pIO->Ftell();
  const bool hide = m_bForceWrite && GetSampleCount() == 0;
  PutHeader(*m_pIO, 8, hide ? "free" : "trak");
  m_hiddenTypePos = hide ? static_cast<uint64_t>(start) + 4 : 0;
  const uint64_t t = MovieDuration();
  m_tkhd.m_duration = t + m_edts.m_elst.m_emptyDuration;
  m_edts.m_elst.m_segmentDuration = t;
  m_tkhd.Write();
  m_edts.Write();
  WriteTref();
  WriteMdia();
  UpdateSize(start);
}

void CMp4TrakAtom::Update(CHeaderUpdate& plan) {
  const uint64_t t = MovieDuration();
  m_tkhd.m_duration = t + m_edts.m_elst.m_emptyDuration;
  m_edts.m_elst.m_segmentDuration = t;
  m_tkhd.Update(plan);
  m_edts.Update(plan);
  UpdateMedia(plan);
  if (m_hiddenTypePos != 0 && GetSampleCount() > 0) {
    static const uint8_t kTrak[4] = {'t', 'r', 'a', 'k'};
    plan.AddBytes(CHeaderUpdate::kTracks, m_hiddenTypePos, kTrak, 4);
    m_hiddenTypePos = 0;
  }
}

uint32_t CMp4TrakAtom::GetSize() {
  if (WritesNothing()) return 0;
  return 8 + m_tkhd.GetSize() + m_edts.GetSize() + TrefSize() + MdiaSize();
}

// ---------------------------------------------------------------------------

CMp4VideoTrakAtom::CMp4VideoTrakAtom(IBaseIO* io)
    : CMp4TrakAtom(io),
      m_tref(io),
      m_hdlr(io),
      m_vmhd(io),
      m_stbl(io),
      m_minf(io, "minf", {&m_vmhd, &m_dataHdlr, &m_dinf, &m_stbl}),
      m_mdia(io, "mdia", {&m_mdhd, &m_hdlr, &m_minf}) {}

bool CMp4VideoTrakAtom::Configure(const mp4_video_track_info_t& info) {
  if (!m_stbl.Stsd().SetVideo(info)) return false;
  SetTiming(info.timescale, info.frame_duration, m_stbl.Stts());
  m_width = info.width;
  m_height = info.height;
  m_tkhd.m_width = info.width;
  m_tkhd.m_height = info.height;
  return true;
}

void CMp4VideoTrakAtom::AddTimeCodeReference(uint32_t trackId) {
  if (!m_tmcdRef) {
    m_tmcdRef = std::make_shared<CMp4RefTrackTypeAtom>(m_pIO, 10);
    m_tref.Add(m_tmcdRef);
  }
  m_tmcdRef->AddTrackId(trackId);
  m_bHasTref = true;
}

void CMp4VideoTrakAtom::WriteMdia() {
  m_mdhd.m_duration = MediaDuration();
  m_mdia.Write();
}

void CMp4VideoTrakAtom::UpdateMedia(CHeaderUpdate& plan) {
  m_stbl.Update(plan);
  m_mdhd.m_duration = MediaDuration();
  m_mdhd.Update(plan);
}

void CMp4VideoTrakAtom::WriteTref() {
  if (m_bHasTref) m_tref.Write();
}

// ---------------------------------------------------------------------------

CMp4AudioTrakAtom::CMp4AudioTrakAtom(IBaseIO* io)
    : CMp4TrakAtom(io),
      m_hdlr(io),
      m_smhd(io),
      m_stbl(io),
      m_minf(io, "minf", {&m_smhd, &m_dataHdlr, &m_dinf, &m_stbl}),
      m_mdia(io, "mdia", {&m_mdhd, &m_hdlr, &m_minf}) {
  m_tkhd.m_alternateGroup = 1;
}

bool CMp4AudioTrakAtom::Configure(const mp4_audio_track_info_t& info, uint32_t sampleRate) {
  if (!m_stbl.Stsd().SetAudio(info, sampleRate, static_cast<uint16_t>(m_nTrackId))) return false;
  SetTiming(info.timescale, info.frame_duration, m_stbl.Stts());
  return true;
}

void CMp4AudioTrakAtom::WriteMdia() {
  m_mdhd.m_duration = MediaDuration();
  m_mdia.Write();
}

void CMp4AudioTrakAtom::UpdateMedia(CHeaderUpdate& plan) {
  m_stbl.Update(plan);
  m_mdhd.m_duration = MediaDuration();
  m_mdhd.Update(plan);
}

// ---------------------------------------------------------------------------

CMp4SubtitleTrakAtom::CMp4SubtitleTrakAtom(IBaseIO* io)
    : CMp4TrakAtom(io),
      m_hdlr(io),
      m_gmhd(io),
      m_stbl(io),
      m_minf(io, "minf", {&m_gmhd, &m_dataHdlr, &m_dinf, &m_stbl}),
      m_mdia(io, "mdia", {&m_mdhd, &m_hdlr, &m_minf}) {}

void CMp4SubtitleTrakAtom::Configure(uint32_t codec, uint32_t timescale) {
  SetTiming(timescale, 0, m_stbl.Stts());
  m_stbl.Stsd().SetCodec(codec);
}

void CMp4SubtitleTrakAtom::WriteMdia() {
  m_mdhd.m_duration = MediaDuration();
  m_mdia.Write();
}

// ---------------------------------------------------------------------------

CMp4BaseMinfAtom::CMp4BaseMinfAtom(IBaseIO* io, CMp4UrlHdlrAtom& dataHdlr, CMp4DinfAtom& dinf,
                                   CMp4TMCDStblAtom& stbl)
    : CMp4Atom(io), m_gmhd(io), m_nmhd(io), m_dataHdlr(dataHdlr), m_dinf(dinf), m_stbl(stbl) {}

void CMp4BaseMinfAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "minf");
  Header().Write();
  m_dataHdlr.Write();
  m_dinf.Write();
  m_stbl.Write();
  UpdateSize(start);
}

uint32_t CMp4BaseMinfAtom::GetSize() {
  return 8 + Header().GetSize() + m_dataHdlr.GetSize() + m_dinf.GetSize() + m_stbl.GetSize();
}

CMp4TCTrakAtom::CMp4TCTrakAtom(IBaseIO* io)
    : CMp4TrakAtom(io),
      m_hdlr(io),
      m_stbl(io),
      m_minf(io, m_dataHdlr, m_dinf, m_stbl),
      m_mdia(io, "mdia", {&m_mdhd, &m_hdlr, &m_minf}) {
  m_tkhd.m_bDisabled = true;
}

void CMp4TCTrakAtom::Configure(const mp4_time_code_track_info_t& info) {
  m_timeScale = info.timescale;  // refused at setup when 0
  m_mdhd.m_timeScale = info.timescale;
  m_sampleDuration = static_cast<uint32_t>(info.frame_duration);
  m_stbl.Stsd().Set(info.timescale, static_cast<uint32_t>(info.frame_duration), info.number_of_frames,
                    info.tc_flags);
}

void CMp4TCTrakAtom::SetForceWrite(bool force) {
  CMp4TrakAtom::SetForceWrite(force);
  if (force) m_stbl.Reserve();
}

void CMp4TCTrakAtom::UpdateMedia(CHeaderUpdate& plan) {
  const uint64_t d = MediaDuration();
  m_mdhd.m_duration = d;
  m_mdhd.Update(plan);
  const uint32_t samples = GetSampleCount();
  if (samples != m_updatedSamples) {
    m_stbl.Update(plan, d);
    m_updatedSamples = samples;
  }
}

void CMp4TCTrakAtom::WriteMdia() {
  const uint64_t d = MediaDuration();
  m_mdhd.m_duration = d;
  m_stbl.Stts().SetDefaultDelta(static_cast<uint32_t>(d));
  m_mdia.Write();
}

}  // namespace bv
