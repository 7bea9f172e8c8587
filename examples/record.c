/*
 * record: a complete host of bv_mp4. Records an H.264 Annex-B elementary
 * stream and an ADTS AAC stream (by default the bundled sample clip) into an
 * MP4 file, the way a capture program would: it cuts the streams into frames
 * itself and hands them over one at a time, interleaved by time.
 *
 *   record [OUT.mp4 [VIDEO.h264 AUDIO.aac [FPS WIDTH HEIGHT]]]
 *
 * The video is taken to run at a constant FPS (default 25) with the given
 * picture size (default 640x360, the sample's); a real host knows both from
 * its encoder settings.
 */
#include <bv_mp4.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef RECORD_SAMPLES_DIR
#define RECORD_SAMPLES_DIR "samples"
#endif

/* A whole file in memory. */
typedef struct {
  uint8_t* data;
  size_t size;
} Buffer;

static int load(const char* path, Buffer* out) {
  FILE* f = fopen(path, "rb");
  long n;
  out->data = NULL;
  out->size = 0;
  if (f == NULL) return 0;
  if (fseek(f, 0, SEEK_END) != 0 || (n = ftell(f)) < 0 || fseek(f, 0, SEEK_SET) != 0) {
    fclose(f);
    return 0;
  }
  out->data = malloc(n > 0 ? (size_t)n : 1);
  if (out->data != NULL) out->size = fread(out->data, 1, (size_t)n, f);
  fclose(f);
  return out->data != NULL && out->size == (size_t)n;
}

/* ---- H.264 Annex-B: NAL units and access units ---- */

/* Finds the next start code (00 00 01) at or after pos; returns its offset
 * or size when there is none. */
static size_t find_start(const uint8_t* d, size_t size, size_t pos) {
  for (; pos + 3 <= size; ++pos) {
    if (d[pos] == 0 && d[pos + 1] == 0 && d[pos + 2] == 1) return pos;
  }
  return size;
}

typedef struct {
  const Buffer* stream;
  size_t pos;     /* start code of the next NAL unit */
} AnnexB;

/* The next access unit: [*begin, *end) holds every NAL unit of one picture
 * with their start codes, which is what mp4_write_video_frame takes. A new
 * picture begins with an access unit delimiter, SEI or parameter set after
 * a slice, or with a slice whose first_mb_in_slice is 0 (its first bit is 1)
 * after a slice. */
static int next_access_unit(AnnexB* r, size_t* begin, size_t* end) {
  const uint8_t* d = r->stream->data;
  const size_t size = r->stream->size;
  size_t pos = find_start(d, size, r->pos);
  int have_slice = 0;
  if (pos >= size) return 0;
  *begin = pos;
  while (pos < size) {
    const size_t nal = pos + 3;
    const size_t next = find_start(d, size, nal);
    if (nal < size) {
      const int type = d[nal] & 0x1F;
      const int slice = type >= 1 && type <= 5;
      const int starts_picture =
          (slice && nal + 1 < size && (d[nal + 1] & 0x80) != 0) || (type >= 6 && type <= 9);
      if (have_slice && starts_picture) break;
      have_slice |= slice;
    }
    pos = next;
  }
  /* A four-byte start code's leading zero belongs to the next unit. */
  *end = pos;
  if (pos < size && pos > *begin && d[pos - 1] == 0) --*end;
  r->pos = pos;
  return have_slice;
}

/* ---- ADTS: one AAC frame per header ---- */

static const uint32_t kAdtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                        22050, 16000, 12000, 11025, 8000,  7350};

/* The frame at *pos (header included): returns its length, 0 at the end or
 * on a damaged header. */
static size_t next_adts_frame(const Buffer* b, size_t pos) {
  const uint8_t* h = b->data + pos;
  size_t len;
  if (pos + 7 > b->size || h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) return 0;
  len = ((size_t)(h[3] & 0x03) << 11) | ((size_t)h[4] << 3) | (h[5] >> 5);
  return len >= 7 && pos + len <= b->size ? len : 0;
}

static int check(int rc, const char* what) {
  if (rc != MP4_SUCCESS) fprintf(stderr, "record: %s failed: %s (%d)\n", what, mp4_strerror(rc), rc);
  return rc == MP4_SUCCESS;
}

int main(int argc, char** argv) {
  const char* out = argc > 1 ? argv[1] : "record.mp4";
  const char* video_path = argc > 3 ? argv[2] : RECORD_SAMPLES_DIR "/sample.h264";
  const char* audio_path = argc > 3 ? argv[3] : RECORD_SAMPLES_DIR "/sample.aac";
  const uint32_t fps = argc > 4 ? (uint32_t)strtoul(argv[4], NULL, 10) : 25;
  const unsigned long width = argc > 6 ? strtoul(argv[5], NULL, 10) : 640;
  const unsigned long height = argc > 6 ? strtoul(argv[6], NULL, 10) : 360;
  Buffer video, audio;
  AnnexB reader;
  mp4_handle h = NULL;
  mp4_video_track_info_t vi;
  mp4_audio_track_info_t ai;
  uint32_t audio_rate;
  uint64_t video_frames = 0, audio_frames = 0;
  size_t vbegin = 0, vend = 0, apos = 0, alen;
  int have_video, ok = 0;

  if (fps == 0 || width > 65535 || height > 65535 || !load(video_path, &video) || !load(audio_path, &audio)) {
    fprintf(stderr, "record: cannot read %s / %s\n", video_path, audio_path);
    return 2;
  }
  alen = next_adts_frame(&audio, 0);
  if (alen == 0 || ((audio.data[2] >> 2) & 0x0F) >= 13) {
    fprintf(stderr, "record: %s does not start with an ADTS header\n", audio_path);
    return 2;
  }
  /* The audio timestamps count samples, so the track's timescale is the
   * sampling rate, read from the first header. */
  audio_rate = kAdtsRates[(audio.data[2] >> 2) & 0x0F];

  if (!check(mp4_create_file_ex(out, 0, &h), "create")) return 1;

  /* 90 kHz, the usual video clock: frame n is at n * 90000 / fps ticks. The
   * parameter sets are left out: the library takes them from the stream. */
  memset(&vi, 0, sizeof vi);
  vi.timescale = 90000;
  vi.frame_duration = 90000 / fps;
  vi.codec_type = MP4_VIDEO_H264;
  vi.width = (uint16_t)width; /* 0 or too large: refused by the library */
  vi.height = (uint16_t)height;
  /* Rate, channels and profile 0: taken from the first ADTS header. */
  memset(&ai, 0, sizeof ai);
  ai.timescale = audio_rate;
  ai.frame_duration = 1024;
  ai.codec_type = MP4_AUDIO_AAC_ADTS;
  if (!check(mp4_set_video_track(h, &vi), "video track") || !check(mp4_set_audio_track(h, &ai), "audio track") ||
      !check(mp4_set_metadata(h, "title", "bv_mp4 example"), "metadata")) {
    mp4_close_file(h);
    return 1;
  }

  reader.stream = &video;
  reader.pos = 0;
  have_video = next_access_unit(&reader, &vbegin, &vend);
  for (;;) {
    /* The earlier frame goes first: compare n / fps with m * 1024 / rate. */
    const int video_first = have_video && (alen == 0 || video_frames * audio_rate <= audio_frames * 1024 * fps);
    if (video_first) {
      const uint64_t ts = video_frames * 90000 / fps;
      if (!check(mp4_write_video_frame(h, video.data + vbegin, (uint32_t)(vend - vbegin), ts), "video frame")) break;
      ++video_frames;
      have_video = next_access_unit(&reader, &vbegin, &vend);
    } else if (alen != 0) {
      if (!check(mp4_write_audio_frame(h, audio.data + apos, (uint32_t)alen, audio_frames * 1024), "audio frame"))
        break;
      ++audio_frames;
      apos += alen;
      alen = next_adts_frame(&audio, apos);
    } else {
      ok = 1;
      break;
    }
  }
  /* Close whatever happened: it frees the handle and, after an error, still
   * makes the frames written so far playable where it can. */
  if (!check(mp4_close_file(h), "close")) ok = 0;
  free(video.data);
  free(audio.data);
  if (ok) printf("record: %s: %llu video and %llu audio frames\n", out, (unsigned long long)video_frames,
                 (unsigned long long)audio_frames);
  return ok ? 0 : 1;
}
