// Cutting Annex-B video frames into NAL units, classifying NAL units, and
// finding the parameter sets of a stream whose track was declared without
// them.
//
// A frame (one access unit) arrives as NAL units separated by start codes
// 00 00 01 (or 00 00 00 01). The slices produced here point into the
// caller's frame buffer: nothing is copied, and a slice is valid only while
// that buffer is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bv {

// One NAL unit of a frame: from its header byte up to, not including, the
// next start code.
struct _VIDEO_SLICE {
  uint32_t size;
  const uint8_t* data;
};

// The NAL units of one frame, in buffer order.
class CVideoFrameParser : public std::vector<_VIDEO_SLICE> {
 public:
  virtual ~CVideoFrameParser() = default;

  // Appends one slice per NAL unit found in buf[0, length) and returns the
  // number of slices held (0: the frame holds no start code).
  //
  // Cutting rules, reproduced exactly by the fast scan:
  //  - a start code is 00 00 01 at a position i with i + 3 < length, so a
  //    start code whose 01 is the buffer's last byte is not recognised;
  //  - a NAL unit ends at its successor's start code, less one 00 byte just
  //    before it (the first zero of 00 00 00 01); only one byte is trimmed;
  //  - bytes before the first start code belong to no slice;
  //  - two start codes in a row give a slice of size 0.
  size_t ParseFrame(const uint8_t* buf, uint32_t length);

  // Cuts as ParseFrame does and, in the same pass over the frame, writes the
  // sample: every unit behind its 4-byte big-endian length, into
  // out[0, capacity). Bytes of `out` past the sample may be overwritten. The
  // slices still point into `buf`. Returns the sample's size; 0 when the
  // frame holds no start code or its sample might not fit in `capacity`,
  // with no slice added (ParseFrame then tells which).
  uint32_t ParseFrameInto(const uint8_t* buf, uint32_t length, uint8_t* out, uint32_t capacity);
};

// The start-code search ParseFrame uses: by default the fastest the
// processor offers. Tests select each in turn (all give the same slices);
// false when this build or processor lacks it.
enum class StartCodeScan { kBest, kAvx2, kSse2, kMemchr };
bool UseStartCodeScan(StartCodeScan kind);

// Stateless classifier of the NAL units of one codec. Each operation reads
// only the first byte of the unit.
class IVideoNalParser {
 public:
  virtual ~IVideoNalParser() = default;
  virtual uint8_t GetNalType(const uint8_t* data, uint32_t size) const = 0;
  // A unit that carries picture data (not a parameter set, SEI or AUD).
  virtual bool IsFrameNal(const uint8_t* data, uint32_t size) const = 0;
  // An IDR picture: a frame holding one is a sync sample.
  virtual bool IsKeyFrameNal(const uint8_t* data, uint32_t size) const = 0;
};

class CH264Nal : public IVideoNalParser {
 public:
  uint8_t GetNalType(const uint8_t* data, uint32_t size) const override;
  bool IsFrameNal(const uint8_t* data, uint32_t size) const override;
  bool IsKeyFrameNal(const uint8_t* data, uint32_t size) const override;
};

// Only IDR pictures (types 19 and 20) are key frames; CRA and BLA are not.
class CHevcNal : public IVideoNalParser {
 public:
  uint8_t GetNalType(const uint8_t* data, uint32_t size) const override;
  bool IsFrameNal(const uint8_t* data, uint32_t size) const override;
  bool IsKeyFrameNal(const uint8_t* data, uint32_t size) const override;
};

// True when at least one slice of the frame is a key-frame NAL unit. Slices
// of size 0 are not looked at (their first byte belongs to the next start
// code).
bool IsKeyFrame(const IVideoNalParser& parser, const std::vector<_VIDEO_SLICE>& slices);

// Parameter sets found in one frame. The slices point into the frame buffer:
// the caller copies the bytes (e.g. through the video track setup, which
// copies them into the sample description) before the frame call returns.
struct VideoCodecData {
  _VIDEO_SLICE vps{0, nullptr};  // HEVC only
  _VIDEO_SLICE sps{0, nullptr};
  _VIDEO_SLICE pps{0, nullptr};
};

// Looks for the parameter sets of codec `codecType` (0 H.264, 1 HEVC) among
// the slices of one frame. A later unit of a type replaces an earlier one; the
// search stops at the first slice after which the set is complete (H.264: SPS
// and PPS; HEVC: VPS, SPS and PPS) and answers true. Any other codec logs
// "unknown codec type %d" and answers false. `out` is cleared, then receives what
// this frame holds, complete or not.
bool FindVideoCodecData(const std::vector<_VIDEO_SLICE>& slices, uint32_t codecType, VideoCodecData* out);

}  // namespace bv
