// Colour signalling: the colr and pasp boxes of the sample entry, read from
// the streams' VUI and compared byte for byte with what FFmpeg wrote for the
// same streams (tests/data/make_test_media.sh).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "box_reader.h"
#include "bv_mp4.h"
#include "conformance.h"
#include "media_source.h"
#include "test_support.h"

using namespace bvtest;

namespace {

using Bytes = std::vector<uint8_t>;

struct Stream {
  const char* file;
  bool hevc;
  bool colour;  // encoded with a colour description (make_test_media.sh)
};

const Stream kStreams[] = {
    {"colour_h264_bt709.h264", false, true}, {"colour_hevc_pq.h265", true, true},
    {"colour_hevc_hlg.h265", true, true},    {"video_h264.h264", false, false},
    {"video_hevc.h265", true, false},
};

// FFmpeg's colr and pasp boxes (in entry order) for the file it made, less a
// square pasp: square pixels are what a player assumes, and writing none
// keeps files of streams that signal nothing else as they always were.
Bytes FfmpegColourBoxes(const std::string& stream, const char* flavour) {
  const Bytes ref = ReadFile(DataPath(stream.substr(0, stream.find('.')) + "." + flavour + ".colour.bin"));
  Bytes out;
  for (size_t pos = 0; pos + 8 <= ref.size();) {
    const size_t size = BE32(ref, pos);
    if (size < 8 || pos + size > ref.size()) break;
    const bool squarePasp = FourCC(ref, pos + 4) == "pasp" && size == 16 && BE32(ref, pos + 8) == BE32(ref, pos + 12);
    if (!squarePasp) out.insert(out.end(), ref.begin() + static_cast<long>(pos), ref.begin() + static_cast<long>(pos + size));
    pos += size;
  }
  return out;
}

// Records the stream through the exports into MP4 and QuickTime; the colr
// and pasp boxes of our sample entry equal FFmpeg's, and a stream that
// signals no colour gets neither box.
TEST(ColourBoxes, EqualFfmpegsForTheSameStream) {
  for (const Stream& s : kStreams) {
    for (const char* flavour : {"mp4", "mov"}) {
      TempDir dir;
      const std::string path = dir.File(std::string("out.") + flavour);
      const std::vector<MediaFrame> frames = LoadAccessUnits(s.file);
      ASSERT_FALSE(frames.empty()) << s.file;
      StdoutCapture quiet;
      mp4_handle h = nullptr;
      ASSERT_EQ(MP4_SUCCESS, mp4_create_file_ex(path.c_str(), 0, &h));
      const mp4_video_track_info_t v = VideoTrack(s.hevc ? MP4_VIDEO_HEVC : MP4_VIDEO_H264, 25000, 1000, 160, 120);
      EXPECT_EQ(MP4_SUCCESS, mp4_set_video_track(h, &v));
      for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(MP4_SUCCESS, mp4_write_video_frame(h, frames[i].bytes.data(),
                                                     static_cast<uint32_t>(frames[i].bytes.size()), i * 1000));
      }
      EXPECT_EQ(MP4_SUCCESS, mp4_close_file(h));
      quiet.Take();

      const BoxTree tree(ReadFile(path));
      ASSERT_TRUE(tree.Errors().empty()) << tree.Errors().front();
      const Box* entry = tree.Find(std::string("moov/trak/mdia/minf/stbl/stsd/") + (s.hevc ? "hvc1" : "avc1"));
      ASSERT_NE(nullptr, entry) << s.file;
      Bytes ours;
      for (const Box& b : entry->children) {
        if (b.type == "colr" || b.type == "pasp")
          ours.insert(ours.end(), tree.Bytes().begin() + static_cast<long>(b.offset),
                      tree.Bytes().begin() + static_cast<long>(b.offset + b.size));
      }
      const Bytes want = s.colour ? FfmpegColourBoxes(s.file, flavour) : Bytes();
      ASSERT_TRUE(!s.colour || !want.empty()) << s.file << ": no reference boxes";
      EXPECT_EQ(want, ours) << s.file << " in " << flavour;
      if (ConformanceToolsAvailable()) {
        const ProbeResult p = Probe(path);
        EXPECT_EQ("", p.errors) << s.file << " in " << flavour;
        EXPECT_EQ("", DecodeErrors(path)) << s.file << " in " << flavour;
      }
    }
  }
}

}  // namespace
