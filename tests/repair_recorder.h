// A recording in repair mode through the exports, from the committed test
// media looped as long as needed: interleaved by time, each video frame last
// (so a call that flushes the side file is the last one made).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bv_mp4.h"
#include "media_source.h"

namespace bvtest {

struct RecordPlan {
  std::string file;
  uint8_t flags = 0;  // besides the repair flag
  int video = -1;     // codec number, or -1
  std::string audio;  // ADTS file under tests/data, or empty
  uint32_t captions = 0;
  // A known key, a free-form text key and an integer key in a namespace of
  // its own.
  bool metadata = false;
  bool timecode = false;
};

class RepairRecorder {
 public:
  RepairRecorder(const RecordPlan& plan, std::string path);
  ~RepairRecorder();
  RepairRecorder(const RepairRecorder&) = delete;
  RepairRecorder& operator=(const RepairRecorder&) = delete;

  // Creates the file and declares everything; false on any refusal.
  bool Open();
  // Writes until `videoFrames` video frames are in, with the audio and
  // captions due before each (without video: as many audio frames); false
  // on any refusal.
  bool WriteUntilVideo(size_t videoFrames);
  int Close();
  mp4_handle handle() const { return h_; }
  // Called after each accepted video frame with the count so far.
  std::function<void(size_t)> onVideo;
  // Annex-B stream under tests/data to record instead of the codec's default.
  std::string videoFile;

 private:
  RecordPlan plan_;
  std::string path_;
  mp4_handle h_ = nullptr;
  std::vector<MediaFrame> video_, audio_;
  size_t videoDone_ = 0, audioDone_ = 0;
};

}  // namespace bvtest
