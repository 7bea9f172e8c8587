// What the benchmarks share to describe the same streams to every writer:
// the AAC configuration and, when libavformat is linked, its stream
// parameters built the same way for every comparison.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#if BV_HAVE_LIBAVFORMAT
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}
#endif

namespace bvbench {

// The AAC sampling-frequency index of `rate`; `fallback` for a rate the
// table lacks.
inline uint8_t SamplingIndex(uint32_t rate, uint8_t fallback) {
  static const uint32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (uint8_t i = 0; i < 12; ++i)
    if (kRates[i] == rate) return i;
  return fallback;
}

// AudioSpecificConfig: object type, sampling index, channel configuration.
inline void AudioSpecificConfig(uint8_t objectType, uint8_t index, uint8_t channels, uint8_t out[2]) {
  out[0] = static_cast<uint8_t>((objectType << 3) | (index >> 1));
  out[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
}

#if BV_HAVE_LIBAVFORMAT
// Extradata in Annex-B form: the muxer then converts every packet from start
// codes to length prefixes, the same work bv_mp4 does.
inline bool SetAnnexBExtradata(AVCodecParameters* par, const std::vector<uint8_t>& sps,
                               const std::vector<uint8_t>& pps) {
  const size_t n = 8 + sps.size() + pps.size();
  par->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!par->extradata) return false;
  uint8_t* p = par->extradata;
  const uint8_t sc[4] = {0, 0, 0, 1};
  std::memcpy(p, sc, 4);
  std::memcpy(p + 4, sps.data(), sps.size());
  std::memcpy(p + 4 + sps.size(), sc, 4);
  std::memcpy(p + 8 + sps.size(), pps.data(), pps.size());
  par->extradata_size = static_cast<int>(n);
  return true;
}

// An AAC stream of 1024-sample frames described by its AudioSpecificConfig.
inline bool SetAacParameters(AVCodecParameters* ap, uint32_t rate, uint8_t channels, uint8_t objectType,
                             uint8_t index) {
  ap->codec_type = AVMEDIA_TYPE_AUDIO;
  ap->codec_id = AV_CODEC_ID_AAC;
  ap->sample_rate = static_cast<int>(rate);
  ap->frame_size = 1024;
  av_channel_layout_default(&ap->ch_layout, channels);
  ap->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!ap->extradata) return false;
  AudioSpecificConfig(objectType, index, channels, ap->extradata);
  ap->extradata_size = 2;
  return true;
}
#endif

}  // namespace bvbench
