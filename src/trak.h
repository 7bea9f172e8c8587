// The track boxes of the four kinds the library writes: video, audio, time
// code and closed captions. Each track holds its header, edit list, media
// header, handlers, media-information header and sample table by value, and
// derives its durations from the time stamps the frame writers record.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "atom.h"
#include "bv_mp4.h"
#include "mdhd.h"
#include "minf_headers.h"
#include "stbl_kinds.h"
#include "tkhd.h"

namespace bv {

// A plain container written in the direct pattern: header, then its
// children in order. Used for mdia and minf, whose children differ per kind.
class CMp4ContainerAtom : public CMp4Atom {
 public:
  CMp4ContainerAtom(IBaseIO* io, const char* type, std::initializer_list<CMp4Atom*> children);
  void Write() override;
  uint32_t GetSize() override;

 private:
  char m_type[4];
  std::vector<CMp4Atom*> m_children;  // not owned: members of the track
};

// One sample as the frame writers and the repair hand it to a track.
struct Mp4Sample {
  uint64_t offset = 0;  // file offset of its first byte
  uint32_t size = 0;
  uint64_t dts = 0;
  uint64_t pts = 0;
  bool sync = false;  // a random-access point (used by tracks with a sync table)
};

class CMp4TrakAtom : public CMp4Atom {
 public:
  explicit CMp4TrakAtom(IBaseIO* io);

  // Writes nothing (and logs "write without track data") for an undeclared
  // track or one without samples, unless forced.
  void Write() override;
  uint32_t GetSize() override;

  bool IsEnabled() const { return static_cast<int32_t>(m_nTrackId) > 0; }
  virtual uint32_t GetSampleCount() = 0;
  // The one road for a sample, shared by the frame writers and the repair:
  // the track's timing (first and last time, last delta), its table entries
  // and its sync entry. newChunk is the movie's interleave decision. False
  // when a table refuses the sample; the timing then still advances, so that
  // the next delta is measured from the time the host gave last.
  bool PutSample(const Mp4Sample& sample, bool newChunk);
  virtual void SetVersion1(bool version1);
  uint32_t GetTimeScale() const { return m_timeScale; }
  virtual uint64_t GetDataSize() { return 0; }
  // Average data rate in units of 1024 bytes per second; 0 without duration.
  double GetBitrate();
  virtual void SetForceWrite(bool force) { m_bForceWrite = force; }
  void SetTrackId(uint32_t id);
  // Safe mode: plans the in-place rewrite of the track's durations and of
  // what its tables gained since the last update, and reveals a track
  // written hidden once it holds samples. Boxes that were not written
  // reserved log a logic error and add nothing.
  void Update(CHeaderUpdate& plan);
  // Safe mode, after a write fault (sample_trim.cpp): drops the samples
  // whose bytes do not all lie below file offset `end` and winds the
  // track's times back to its last kept sample. Returns the number dropped.
  uint32_t DropSamplesFrom(uint64_t end);

  // Media duration in track time-scale units: last - first + one sample
  // duration (the configured one, else the last measured delta). A track
  // without samples lasts 0.
  uint64_t MediaDuration();
  // The media duration in movie time-scale units.
  uint64_t MovieDuration();
  // The media duration in milliseconds; 0 for a track without samples.
  uint64_t DurationMs();
  // When its first sample is presented, in milliseconds of its own clock.
  uint64_t StartMs() const { return (m_firstTime + m_edts.m_elst.m_mediaTime) * 1000 / m_timeScale; }

  uint32_t m_nTrackId = 0;
  CMp4TkhdAtom m_tkhd;
  CMp4EdtsAtom m_edts;
  uint32_t m_nMovieTimeScale = 1000;
  uint64_t m_firstTime = 0;
  uint64_t m_lastTime = 0;
  uint32_t m_sampleDuration = 0;
  uint32_t m_lastDelta = 0;
  bool m_bForceWrite = false;
  uint32_t m_timeScale = 1000;  // never 0
  // A track forced out before its first sample (safe mode) is written as a
  // "free" box and becomes a "trak" by one 4-byte rewrite once its counts
  // are all in place: readers refuse a track whose counts disagree, and
  // going from no samples to some changes three counts pages apart. The
  // position of that box type; 0 when the track is visible.
  uint64_t m_hiddenTypePos = 0;

 protected:
  // Stores the media duration in mdhd and writes the media box.
  virtual void WriteMdia() = 0;
  virtual uint32_t MdiaSize() = 0;
  virtual void WriteTref() {}
  virtual uint32_t TrefSize() { return 0; }
  // The media part of Update: sample tables and media header.
  virtual void UpdateMedia(CHeaderUpdate& /*plan*/) {}
  // Enters one sample in the track's tables; false when a table refuses it.
  virtual bool AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk) = 0;
  virtual bool AddSyncSample(uint32_t /*sampleNumber*/) { return true; }
  // The reserved tables' side of DropSamplesFrom; a track without them
  // keeps everything.
  virtual uint32_t SamplesBelow(uint64_t /*end*/) { return GetSampleCount(); }
  virtual uint64_t KeepSamples(uint32_t /*n*/, uint32_t* /*lastDelta*/) { return 0; }
  // Tracks whose durations come from another track keep no time of their own.
  virtual bool KeepsTime() const { return true; }
  bool WritesNothing();
  // Time scale (0 becomes 1000) and configured sample duration, kept in the
  // track, its media header and the duration of a lone sample in stts.
  void SetTiming(uint32_t timescale, uint64_t frameDuration, CMp4SttsAtom& stts);

  CMp4MdhdAtom m_mdhd;
  CMp4UrlHdlrAtom m_dataHdlr;
  CMp4DinfAtom m_dinf;
};

class CMp4VideoTrakAtom : public CMp4TrakAtom {
 public:
  explicit CMp4VideoTrakAtom(IBaseIO* io);

  // Takes the dimensions, time scale, frame duration and sample
  // description; false when the description refuses the codec values.
  bool Configure(const mp4_video_track_info_t& info);
  // Lists a time-code track in this track's tref (once per id).
  void AddTimeCodeReference(uint32_t trackId);

  uint32_t GetSampleCount() override { return m_stbl.GetSampleCount(); }
  bool AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk) override {
    return m_stbl.AddSample(offset, size, dts, pts, newChunk);
  }
  uint64_t GetDataSize() override { return m_stbl.GetSampleDataSize(); }
  bool AddSyncSample(uint32_t sampleNumber) override { return m_stbl.AddSyncSample(sampleNumber); }
  CMp4VideoStblAtom& Stbl() { return m_stbl; }

  bool m_bHasTref = false;
  uint16_t m_width = 0;
  uint16_t m_height = 0;

 protected:
  uint32_t SamplesBelow(uint64_t end) override { return m_stbl.SamplesBelow(end); }
  uint64_t KeepSamples(uint32_t n, uint32_t* lastDelta) override { return m_stbl.KeepSamples(n, lastDelta); }
  void WriteMdia() override;
  uint32_t MdiaSize() override { return m_mdia.GetSize(); }
  void UpdateMedia(CHeaderUpdate& plan) override;
  void WriteTref() override;
  uint32_t TrefSize() override { return m_bHasTref ? m_tref.GetSize() : 0; }

 private:
  CMp4RefTrakAtom m_tref;
  std::shared_ptr<CMp4RefTrackTypeAtom> m_tmcdRef;
  CMp4VideoHdlrAtom m_hdlr;
  CMp4VmhdAtom m_vmhd;
  CMp4VideoStblAtom m_stbl;
  CMp4ContainerAtom m_minf;
  CMp4ContainerAtom m_mdia;
};

class CMp4AudioTrakAtom : public CMp4TrakAtom {
 public:
  explicit CMp4AudioTrakAtom(IBaseIO* io);

  // AAC with the full sample rate (88.2 and 96 kHz included).
  bool Configure(const mp4_audio_track_info_t& info, uint32_t sampleRate);

  uint32_t GetSampleCount() override { return m_stbl.GetSampleCount(); }
  bool AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk) override {
    return m_stbl.AddSample(offset, size, dts, pts, newChunk);
  }
  uint64_t GetDataSize() override { return m_stbl.GetSampleDataSize(); }
  CMp4AudioStblAtom& Stbl() { return m_stbl; }

 protected:
  uint32_t SamplesBelow(uint64_t end) override { return m_stbl.SamplesBelow(end); }
  uint64_t KeepSamples(uint32_t n, uint32_t* lastDelta) override { return m_stbl.KeepSamples(n, lastDelta); }
  void WriteMdia() override;
  uint32_t MdiaSize() override { return m_mdia.GetSize(); }
  void UpdateMedia(CHeaderUpdate& plan) override;

 private:
  CMp4AudioHdlrAtom m_hdlr;
  CMp4SmhdAtom m_smhd;
  CMp4AudioStblAtom m_stbl;
  CMp4ContainerAtom m_minf;
  CMp4ContainerAtom m_mdia;
};

class CMp4SubtitleTrakAtom : public CMp4TrakAtom {
 public:
  explicit CMp4SubtitleTrakAtom(IBaseIO* io);

  // Codec 1 "c608", 2 "c708"; another value leaves the entry without a
  // format (frames are then refused by the writer).
  void Configure(uint32_t codec, uint32_t timescale);

  uint32_t GetSampleCount() override { return m_stbl.GetSampleCount(); }
  bool AddSample(uint64_t offset, uint32_t size, uint64_t dts, uint64_t pts, bool newChunk) override {
    return m_stbl.AddSample(offset, size, dts, pts, newChunk);
  }
  CMp4SubtitleStblAtom& Stbl() { return m_stbl; }

 protected:
  void WriteMdia() override;
  uint32_t MdiaSize() override { return m_mdia.GetSize(); }

 private:
  CMp4SubtitleHdlrAtom m_hdlr;
  CMp4GmhdAtom m_gmhd;
  CMp4SubtitleStblAtom m_stbl;
  CMp4ContainerAtom m_minf;
  CMp4ContainerAtom m_mdia;
};

// The media-information box of the time-code track: nmhd in MP4 output,
// gmhd in QuickTime output.
class CMp4BaseMinfAtom : public CMp4Atom {
 public:
  CMp4BaseMinfAtom(IBaseIO* io, CMp4UrlHdlrAtom& dataHdlr, CMp4DinfAtom& dinf, CMp4TMCDStblAtom& stbl);
  void Write() override;
  uint32_t GetSize() override;

  bool m_bNullHeader = true;

 private:
  CMp4Atom& Header() { return m_bNullHeader ? static_cast<CMp4Atom&>(m_nmhd) : m_gmhd; }
  CMp4GmhdAtom m_gmhd;
  CMp4NmhdAtom m_nmhd;
  CMp4UrlHdlrAtom& m_dataHdlr;
  CMp4DinfAtom& m_dinf;
  CMp4TMCDStblAtom& m_stbl;
};

class CMp4TCTrakAtom : public CMp4TrakAtom {
 public:
  explicit CMp4TCTrakAtom(IBaseIO* io);

  void Configure(const mp4_time_code_track_info_t& info);

  uint32_t GetSampleCount() override { return m_stbl.GetSampleCount(); }
  // Time-code samples carry no decode time of their own: the presentation
  // value (1 for every sample) drives stts.
  bool AddSample(uint64_t offset, uint32_t size, uint64_t, uint64_t pts, bool newChunk) override {
    return m_stbl.AddSample(offset, size, pts, newChunk);
  }
  CMp4TMCDStblAtom& Stbl() { return m_stbl; }
  // Its durations follow the video track when the movie is written.
  bool KeepsTime() const override { return false; }
  void SetNullHeader(bool nullHeader) { m_minf.m_bNullHeader = nullHeader; }
  // Forcing the track in safe mode also reserves its one-sample tables.
  void SetForceWrite(bool force) override;

 protected:
  uint32_t SamplesBelow(uint64_t end) override { return m_stbl.SamplesBelow(end); }
  uint64_t KeepSamples(uint32_t n, uint32_t*) override {
    m_stbl.KeepSamples(n);
    return 0;
  }
  void WriteMdia() override;
  uint32_t MdiaSize() override { return m_mdia.GetSize(); }
  void UpdateMedia(CHeaderUpdate& plan) override;

 private:
  // Time-code samples at the last update; the tables are rewritten only
  // when one was added.
  uint32_t m_updatedSamples = 0;
  CMp4SubtHdlrAtom m_hdlr;
  CMp4TMCDStblAtom m_stbl;
  CMp4BaseMinfAtom m_minf;
  CMp4ContainerAtom m_mdia;
};

}  // namespace bv
