// The sample-description box "stsd" with its one sample entry, one class per
// track kind. Each is a standalone box built on the output stream; the track
// setup fills it through its setter, and the sample table writes it as its
// first child.
//
// Every entry is written in the staged pattern: its fixed part goes through
// the box's buffer in one write, its child boxes follow, and its size is
// patched afterwards.
#pragma once

#include <string>

#include "atom.h"
#include "avcc.h"
#include "bv_mp4.h"
#include "colr.h"
#include "esds.h"
#include "hvcc.h"
#include "pasp.h"

namespace bv {

class CMp4StsdAtom : public CMp4Atom {
 public:
  using CMp4Atom::CMp4Atom;

  // Header, entry count 1, the entry.
  void Write() override;
  uint32_t GetSize() override { return 16 + EntrySize(); }

 protected:
  virtual void WriteEntry() = 0;
  virtual uint32_t EntrySize() = 0;
  // Size placeholder, format, six reserved zeros, data reference index 1.
  void PutEntryHeader(const char* format);
};

// "avc1" + avcC, "hvc1" + hvcC, or one of the six ProRes formats + fiel, pasp.
// H.264 and HEVC entries add colr and pasp when the SPS's VUI signals colour
// or non-square pixels; ProRes entries add colr between fiel and pasp when
// the first frame's header signals colour.
class CMp4VideoStsdAtom : public CMp4StsdAtom {
 public:
  explicit CMp4VideoStsdAtom(IBaseIO* io) : CMp4StsdAtom(io), m_hvcc(io), m_avcc(io), m_colr(io), m_pasp(io) {}

  // Fills the entry from the track description: width, height, and by
  // codec_type 0 (copies of sps/pps), 1 (hvcC record from vps/sps/pps) or 2
  // (prores_profile). False for another codec or an invalid ProRes profile;
  // the entry is then left as it was. An invalid or missing H.264/HEVC
  // parameter set is accepted here and refused when the box is written.
  bool SetVideo(const mp4_video_track_info_t& info);

  // ProRes code and compressor name of `profile` (0 Proxy .. 5 4444 XQ).
  // Another value logs "invalid prores format %d" and answers false.
  bool SetProRes(uint32_t profile);

  const CMp4AvccAtom& Avcc() const { return m_avcc; }
  const CMp4HvccAtom& Hvcc() const { return m_hvcc; }
  const CMp4ColrAtom& Colr() const { return m_colr; }
  const CMp4PaspAtom& Pasp() const { return m_pasp; }
  // Colour known only from the frames (ProRes): replaces what the track
  // description gave. Any later SetVideo clears it again.
  void SetColour(const VideoUsability& colour) { m_colr.Set(colour); }
  // QuickTime movies take the "nclc" colour form.
  void SetQuickTime(bool quickTime) { m_colr.m_bQuickTime = quickTime; }
  // Every ProRes sample is a sync sample.
  bool IsProRes() const { return m_codecKind == 2; }

 protected:
  void WriteEntry() override;
  uint32_t EntrySize() override;

 private:
  CMp4Atom* Child();

  char m_format[4] = {0, 0, 0, 0};
  uint16_t m_width = 0;
  uint16_t m_height = 0;
  int32_t m_codecKind = -1;
  std::string m_proresCode;
  std::string m_compressorName;
  CMp4HvccAtom m_hvcc;
  CMp4AvccAtom m_avcc;
  CMp4ColrAtom m_colr;
  CMp4PaspAtom m_pasp;
};

// "mp4a" with esds (MP4) or with wave around esds (QuickTime).
class CMp4AudioStsdAtom : public CMp4StsdAtom {
 public:
  explicit CMp4AudioStsdAtom(IBaseIO* io) : CMp4StsdAtom(io), m_wave(io), m_esds(io) {}

  // AAC (codec_type 1 or 2): format "mp4a", and both esds get `esId` (the
  // track ID) and the AudioSpecificConfig of profile/sample_rate/channels.
  // Another codec answers false and leaves the entry without format.
  bool SetAudio(const mp4_audio_track_info_t& info, uint16_t esId);
  // The same with the full sample rate: 88.2 and 96 kHz do not fit the
  // description's 16-bit field. The entry's 16.16 rate field is then 0 and
  // players take the rate from the AudioSpecificConfig.
  bool SetAudio(const mp4_audio_track_info_t& info, uint32_t sampleRate, uint16_t esId);

  bool m_bQuickTime = false;  // set by the muxer for QuickTime output

 protected:
  void WriteEntry() override;
  uint32_t EntrySize() override;

 private:
  char m_format[4] = {0, 0, 0, 0};
  uint32_t m_sampleRate = 0;
  CMp4WaveAtom m_wave;
  CMp4EsdsAtom m_esds;
};

// Closed captions: "c608" or "c708", no child.
class CMp4SubtitleStsdAtom : public CMp4StsdAtom {
 public:
  using CMp4StsdAtom::CMp4StsdAtom;

  // 1 gives "c608", 2 "c708"; another value logs "unknown subtitle codec %d"
  // and answers false.
  bool SetCodec(uint32_t codec);

 protected:
  void WriteEntry() override;
  uint32_t EntrySize() override { return 16; }

 private:
  char m_format[4] = {0, 0, 0, 0};
};

// Time code: "tmcd" with its time base.
class CMp4TMCDStsdAtom : public CMp4StsdAtom {
 public:
  using CMp4StsdAtom::CMp4StsdAtom;

  void Set(uint32_t timeScale, uint32_t frameDuration, uint8_t numberOfFrames, uint32_t flags);

 protected:
  void WriteEntry() override;
  uint32_t EntrySize() override { return 36; }

 private:
  uint32_t m_timeScale = 30000;
  uint32_t m_frameDuration = 1001;
  uint32_t m_flags = 0;
  uint8_t m_numberOfFrames = 0;
};
using CMp4TMCDStsdAutom = CMp4TMCDStsdAtom;

}  // namespace bv
