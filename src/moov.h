// The movie box: the movie header, the complete object tree of all four
// possible tracks (built whether or not they are used), and the metadata.
#pragma once

#include <cstdint>

#include "atom.h"
#include "header_update.h"
#include "ilst.h"
#include "mvhd.h"
#include "trak.h"

namespace bv {

class CMp4MoovAtom : public CMp4Atom {
 public:
  // `reserved`: the tree writes into a staging buffer `io` that is flushed
  // to `fileIO` in one write.
  CMp4MoovAtom(IBaseIO* io, bool reserved, IBaseIO* fileIO);

  void Write() override;
  uint32_t GetSize() override;

  // The next track id (1, 2, 3 ... in declaration order); kept in step with
  // the movie header's next-track field.
  uint32_t TakeTrackId();
  // Offers a metadata item to the known-key list, then to the free keys.
  bool SetMeta(const char* key, const void* value, uint32_t length, int32_t type, const char* keyNamespace);
  // Movie duration in milliseconds: the longer of video and audio.
  uint64_t ComputeDuration();

  // Safe mode: sizes every table for the samples `maxDurationMs` can bring
  // and makes the tracks write themselves before their first sample. False
  // (with the reason logged) when the tracks' timing gives no usable size.
  bool SetMaxDuration(uint32_t maxDurationMs);
  // Safe mode: plans the in-place rewrite of the durations and of what the
  // tables gained since the header was written or last updated.
  void Update(CHeaderUpdate& plan);
  // Safe mode, after a write fault: drops from every track the samples
  // whose bytes do not all lie below file offset `end` (sample_trim.cpp).
  // Returns the number dropped.
  uint32_t DropSamplesFrom(uint64_t end);
  // The layout the creation flags and the output path choose: 64-bit chunk
  // offsets (not for captions), version-1 times, the QuickTime forms.
  void SetLayout(bool largeFile, bool time64, bool quickTime);
  // Tracks keep their starts relative to the earliest one (an empty edit
  // each) instead of all starting at 0.
  void KeepTrackStarts(bool keep) { m_bKeepTrackStarts = keep; }
  // Track declarations, shared by the muxer and the repair so that a replayed
  // side file declares tracks exactly as the recording did. Each takes a new
  // track id (video only while it has none); false when the sample
  // description refuses the values.
  bool DeclareVideoTrack(const mp4_video_track_info_t& info);
  bool DeclareAudioTrack(const mp4_audio_track_info_t& info, uint32_t sampleRate);
  // A corrected description of the declared track, before its first sample.
  bool ReconfigureAudioTrack(const mp4_audio_track_info_t& info, uint32_t sampleRate) {
    return m_trakAudio.Configure(info, sampleRate);
  }
  void DeclareSubtitleTrack(uint32_t codec, uint32_t timescale);
  void DeclareTimeCodeTrack(const mp4_time_code_track_info_t& info);

  uint32_t m_nTrackCount = 0;
  CMp4MvhdAtom m_mvhd;
  CMp4VideoTrakAtom m_trakVideo;
  CMp4AudioTrakAtom m_trakAudio;
  CMp4TCTrakAtom m_trackTC;
  CMp4SubtitleTrakAtom m_trakSubtitle;
  // Enters a sample in one of this movie's tracks: a sample of another track
  // than the last one opens a new chunk.
  bool AddSample(CMp4TrakAtom& track, const Mp4Sample& sample) {
    const bool newChunk = m_lastTrackId != track.m_nTrackId;
    m_lastTrackId = track.m_nTrackId;
    return track.PutSample(sample, newChunk);
  }
  // The id of the track that received the last sample.
  uint32_t m_lastTrackId = 0;
  bool m_bReserved;
  IBaseIO* m_pFileIO;
  CMp4UdtaAtom m_udta;
  CMp4MetaAtom m_meta;
  bool m_bWriteMeta = false;

 private:
  void PrepareTimeCodeTrack();
  void PrepareSubtitleTrack();
  // Sets each track's empty edit from the starts of all tracks.
  void PlaceTrackStarts();
  bool m_bKeepTrackStarts = false;
};

}  // namespace bv
