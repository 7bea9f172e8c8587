/*
 * bv_mp4 - records encoded audio and video frames into MP4 files and
 * QuickTime movies. It never encodes or decodes: the host hands over frames
 * its encoder (or a file) produced. docs/API.md is the guide; this header is
 * the reference.
 *
 * Life of a recording (call order):
 *   1. mp4_create_file* -> handle. Only the empty file (and the side file
 *      of the repair flag) exists yet.
 *   2. mp4_set_video_track / _audio_ / _subtitle_ / _time_code_track and
 *      mp4_set_metadata*, each at most once per kind, all before the first
 *      frame (the first frame writes the file head).
 *   3. mp4_write_*_frame, interleaved by time, any number of times.
 *   4. mp4_close_file: writes the movie header and frees the handle, whatever
 *      it returns. Without it the file has no index and does not play
 *      (unless the repair flag or safe write was chosen: see the modes).
 *
 * Timestamps are integers in the timescale of the track they belong to
 * (ticks per second, given in its track info), not milliseconds: at
 * timescale 90000 and 25 fps, frame n has timestamp n * 3600. They must
 * increase within a track; a sample lasts until the next one's timestamp
 * (the last one lasts frame_duration, or the previous step when that is 0).
 * Each track starts at time 0 of the movie whatever its first timestamp,
 * unless MP4_FLAG_KEEP_TRACK_STARTS is set.
 *
 * Buffers: every pointer argument is read during the call only and copied
 * where kept (parameter sets, metadata); the host may free or reuse it as
 * soon as the call returns.
 *
 * Threads: any thread may call any function, one handle may be fed from
 * several threads. The frame writers (mp4_write_*) of one handle never
 * overlap; those of different handles run side by side. Every other call
 * that takes a handle runs alone: it waits for the frame calls in flight on
 * all handles and holds new ones back until it returns, so a close never
 * cuts into a frame call. A handle used after mp4_close_file returned on
 * any thread is refused with MP4_ERR_INVALID_HANDLE: handles are tokens,
 * never issued twice in a process. mp4_repair_file* and
 * mp4_get_file_duration* take no handle and no lock. The library starts no
 * thread of its own: all its work, the writes of safe mode included, runs
 * on the thread of the call, and nothing runs between calls.
 *
 * Every status is one of the MP4_* result codes below; mp4_strerror gives
 * its text. No function lets an exception or a signal out for bad
 * arguments: null pointers, unknown handles and out-of-range values are
 * refused with a code and a log line (see the mm_log_* functions).
 *
 * Wide paths are wchar_t: UTF-16 on Windows, UTF-32 on Linux. The *_ex forms
 * take UTF-8 paths. Paths are limited to 1022 characters. A path containing
 * "mov" gives a QuickTime movie, any other an MP4 file.
 */
#ifndef BV_MP4_H
#define BV_MP4_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#  if defined(BV_MP4_BUILDING)
#    define BV_MP4_API __declspec(dllexport)
#  elif defined(BV_MP4_STATIC)
#    define BV_MP4_API
#  else
#    define BV_MP4_API __declspec(dllimport)
#  endif
#  define BV_MP4_CALL __cdecl
#else
#  define BV_MP4_API __attribute__((visibility("default")))
#  define BV_MP4_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. After a code from 12 to 18 (the operating system's error
 * while writing) or 1 during a write, the output is broken: later frame
 * calls return the same code and mp4_close_file reports it too; close the
 * handle. Other codes refuse only the one call. */
#define MP4_SUCCESS                  0 /* done */
#define MP4_ERR_FAILED               1 /* unclassified failure: an I/O error without an errno
                                          code, an unconvertible path, out of memory */
#define MP4_ERR_INVALID_HANDLE       2 /* null, unknown or already closed handle */
#define MP4_ERR_INVALID_PARAM        4 /* argument refused (null pointer, 0 where a value is needed,
                                          value out of range, call without its track) */
#define MP4_ERR_INVALID_CODEC        6 /* video codec_type is not one of MP4_VIDEO_* */
#define MP4_ERR_SUBTITLE_CODEC       7 /* subtitle frame without a 608/708 subtitle track */
#define MP4_ERR_INVALID_ADTS         8 /* first frame of an MP4_AUDIO_AAC_ADTS track with 0 rate or
                                          channels has no ADTS header to take them from */
#define MP4_ERR_PARSE_VIDEO          9 /* H.264/HEVC frame without an Annex-B start code */
#define MP4_ERR_INVALID_VIDEO_TRACK 10 /* video frame before mp4_set_video_track */
#define MP4_ERR_NOT_SUPPORTED       11 /* combination this build or mode does not offer (direct
                                          I/O, subtitles or the repair flag with safe write) */
#define MP4_ERR_PERMISSION          12 /* EPERM from the system */
#define MP4_ERR_NO_ENTRY            13 /* ENOENT: a folder of the path does not exist */
#define MP4_ERR_ACCESS              14 /* EACCES: no write permission */
#define MP4_ERR_BUSY                15 /* EBUSY */
#define MP4_ERR_TOO_MANY_FILES      16 /* EMFILE */
#define MP4_ERR_NO_SPACE            17 /* ENOSPC: the disk is full */
#define MP4_ERR_READ_ONLY           18 /* EROFS */
#define MP4_ERR_EXTERNAL_OPEN       19 /* the host's open callback returned 0 */
#define MP4_ERR_FILE_NOT_OPEN       20 /* handle whose output was never opened */
#define MP4_ERR_TABLE_FULL          21 /* the frame would not fit: file past 4 GiB without
                                          MP4_FLAG_LARGE_FILE, a sample over 4 GiB, a full
                                          sample table or safe-write reservation; the frame is
                                          not recorded, the file stays valid */

/* Bits of the create functions' flags. */
#define MP4_FLAG_TIME64        0x01u /* version-1 (64-bit) time fields: recordings whose
                                        duration may pass 2^32 ticks */
#define MP4_FLAG_LARGE_FILE    0x02u /* 64-bit mdat size and chunk offsets: needed for files
                                        over 4 GiB (frames past it are refused without) */
#define MP4_FLAG_SAFE_DEPRECATED 0x08u /* ignored; safe write is io_mode 3 */
#define MP4_FLAG_REPAIR        0x10u /* repair mode: keeps "<path>.info" beside the file
                                        while recording; after a crash mp4_repair_file
                                        finishes the file. Close deletes the side file. */
#define MP4_FLAG_FAST_HEADER   0x20u /* direct I/O only; ignored otherwise */
/* Every track keeps its start relative to the earliest first time stamp of
 * the file (an empty edit), instead of starting at 0; all tracks' times must
 * come from one clock. In safe write the edit list is reserved in both
 * forms and switches once a track is known to start late. */
#define MP4_FLAG_KEEP_TRACK_STARTS 0x40u

/* io_mode values of mp4_config_t (and mp4_create_file_adv). */
#define MP4_IO_FILE       0u /* plain buffered file */
#define MP4_IO_DIRECT     1u /* not available: MP4_ERR_NOT_SUPPORTED */
#define MP4_IO_EXTERNAL   2u /* every byte through the host's ExternalIoFuncs */
#define MP4_IO_SAFE_WRITE 3u /* header reserved ahead and updated in place every
                                update_interval seconds of video; only through
                                mp4_create_file_full* (needs block_size/block_num) */

/* Codec numbers. */
#define MP4_VIDEO_H264    0u /* frames: one access unit in Annex-B form */
#define MP4_VIDEO_HEVC    1u /* frames: one access unit in Annex-B form */
#define MP4_VIDEO_PRORES  2u /* frames: one ProRes frame as the encoder gives it */
#define MP4_AUDIO_AAC     1u /* raw AAC frames (no header) */
#define MP4_AUDIO_AAC_ADTS 2u /* AAC frames each with its 7-byte ADTS header (stripped) */
#define MP4_SUBTITLE_CEA608 1u
#define MP4_SUBTITLE_CEA708 2u

/* ProRes profiles (prores_profile of mp4_video_track_info_t). */
#define MP4_PRORES_PROXY  0u
#define MP4_PRORES_LT     1u
#define MP4_PRORES_422    2u
#define MP4_PRORES_HQ     3u
#define MP4_PRORES_4444   4u
#define MP4_PRORES_4444XQ 5u

/* Data types of mp4_set_metadata_ex. */
#define MP4_META_BYTES    0  /* length bytes, length > 0 */
#define MP4_META_UTF8     1  /* text: length bytes, or up to the NUL when length is 0 */
#define MP4_META_INT_BE  21  /* a 32-bit int in host byte order (length >= 1; fewer than
                                4 bytes are zero-padded); stored big-endian */

typedef void* mp4_handle;

/* External I/O callbacks (io_mode 2): the library writes the same bytes as
 * to a plain file, seeking back to patch sizes and writing the movie header
 * at close. All but read are required (a null one makes the create fail with
 * MP4_ERR_INVALID_PARAM). They run on the thread of the library call, under
 * the library lock: they must not call back into the library. The table is
 * used until close: keep it alive. */
typedef struct ExternalIoFuncs {
  /* Creates the output named by the create call's path (truncating it) and
   * sets *handle; a and b are 0. Returns non-zero on success. */
  uint8_t (*open)(void** handle, const wchar_t* path, uint32_t a, uint32_t b);
  int32_t (*close)(void* handle);                                 /* at close; result ignored */
  int64_t (*tell)(void* handle);                                  /* current byte position */
  int32_t (*seek)(void* handle, int64_t offset, int32_t origin);  /* SEEK_SET/CUR/END; result
                                                                     ignored */
  int32_t (*flush)(void* handle);                                 /* result ignored */
  int32_t (*read)(void* handle, void* dst, uint32_t size);        /* 1 = all read; may be null */
  /* Returns 1 when all bytes were written. Anything else fails the
   * recording with the code of the errno the callback left (ENOSPC ->
   * MP4_ERR_NO_SPACE), MP4_ERR_FAILED when errno is 0. */
  int32_t (*write)(void* handle, const void* src, uint32_t size);
} ExternalIoFuncs;

/* Everything mp4_create_file_full reads; it copies the structure. Zero it
 * and set what the mode needs. */
typedef struct mp4_config_t {
  uint32_t flags;           /* MP4_FLAG_* bits */
  uint32_t io_mode;         /* MP4_IO_* */
  uint32_t dio_param1;      /* unused (direct I/O) */
  uint32_t dio_param2;      /* unused (direct I/O) */
  ExternalIoFuncs* pFunc;   /* io_mode 2: the callbacks; otherwise ignored */
  /* Safe write (io_mode 3) only; ignored otherwise: */
  uint32_t block_size;      /* write unit in bytes, e.g. 4096; 0 refused */
  uint32_t block_num;       /* units buffered before a write, e.g. 32; 0 refused */
  uint32_t max_duration;    /* longest recording in seconds the reserved header holds
                               (<= 604800); 0 = 1800. Frames past it: MP4_ERR_TABLE_FULL */
  uint32_t update_interval; /* seconds of video between header updates; 0 = 30 */
  uint32_t reserved;        /* set to 0 */
} mp4_config_t;

/* The video track. Parameter sets are NAL units without start code, header
 * byte(s) included. */
typedef struct mp4_video_track_info_t {
  uint32_t timescale;       /* ticks per second of the video timestamps; 0 refused.
                               E.g. 30000 with frame_duration 1001 for 29.97 fps */
  uint64_t frame_duration;  /* ticks per frame: the last frame's duration and, in safe
                               write, the size of the reservation (required there);
                               0 = the step between the last two timestamps */
  uint32_t codec_type;      /* MP4_VIDEO_* */
  uint16_t width;           /* displayed picture size in pixels; 0 refused */
  uint16_t height;
  union {
    const uint8_t* sps;     /* H.264/HEVC: sequence parameter set */
    uint32_t prores_profile; /* ProRes: MP4_PRORES_* */
  };
  uint16_t sps_size;
  const uint8_t* pps;       /* picture parameter set */
  uint16_t pps_size;
  const uint8_t* vps;       /* HEVC: video parameter set; ignored for H.264 */
  uint16_t vps_size;
  /* Parameter sets may be null/0 (except in safe write): the library then
   * takes them from the frames and drops frames (returning MP4_SUCCESS)
   * until it has them all, so begin the stream with them before a key frame. */
} mp4_video_track_info_t;

/* The audio track (AAC). */
typedef struct mp4_audio_track_info_t {
  uint32_t timescale;       /* ticks per second of the audio timestamps; 0 refused.
                               Use the sample rate: frame n is at n * 1024 */
  uint64_t frame_duration;  /* ticks per frame (1024 for AAC at timescale = sample rate);
                               0 = the last step; required in safe write */
  uint32_t codec_type;      /* MP4_AUDIO_AAC or MP4_AUDIO_AAC_ADTS */
  uint16_t sample_rate;     /* Hz; 0 for ADTS = taken from the first frame's header, the
                               only way to record 88.2 and 96 kHz. Required for raw AAC */
  uint16_t channels;        /* 0 for ADTS = from the first header. Required for raw AAC */
  uint8_t profile;          /* MPEG-4 audio object type: 2 = AAC LC, 5 = HE-AAC (SBR),
                               29 = HE-AAC v2; ADTS with 0 rate/channels: from the header */
} mp4_audio_track_info_t;

/* The closed-caption track (not in safe write). */
typedef struct mp4_subtitle_track_info_t {
  uint32_t codec_type;      /* MP4_SUBTITLE_CEA608 or MP4_SUBTITLE_CEA708 */
  uint32_t timescale;       /* ticks per second of the caption timestamps */
} mp4_subtitle_track_info_t;

/* The time-code track ("tmcd"): one sample holding the start frame number. */
typedef struct mp4_time_code_track_info_t {
  uint32_t timescale;       /* e.g. the video timescale; 0 refused */
  uint64_t frame_duration;  /* ticks per video frame, e.g. the video frame_duration */
  uint8_t number_of_frames; /* frames per second rounded up: 25, 30 for 29.97 */
  uint32_t tc_flags;        /* stored as given: 0x01 drop frame (29.97/59.94),
                               0x02 wraps at 24 h, 0x04 negative times allowed,
                               0x08 counter instead of time of day */
} mp4_time_code_track_info_t;

/* Creates (truncates) the output file and returns its handle in *out.
 * flags: MP4_FLAG_* bits. Plain file I/O. Errors: MP4_ERR_INVALID_PARAM
 * (null argument, path too long), 12-18 (the system refused the file),
 * MP4_ERR_FAILED; *out is then unchanged and no file is left. */
BV_MP4_API int BV_MP4_CALL mp4_create_file(const wchar_t* path, uint8_t flags, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_ex(const char* path, uint8_t flags, mp4_handle* out);
/* As mp4_create_file with an io_mode (MP4_IO_FILE or MP4_IO_EXTERNAL with
 * pFunc; safe write needs mp4_create_file_full). dio_param1/2 are unused.
 * MP4_ERR_EXTERNAL_OPEN when the open callback fails. */
BV_MP4_API int BV_MP4_CALL mp4_create_file_adv(const wchar_t* path, uint8_t flags, uint32_t dio_param1,
                                               uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                               mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_adv_ex(const char* path, uint8_t flags, uint32_t dio_param1,
                                                  uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                                  mp4_handle* out);
/* As mp4_create_file with every setting in *config (copied). Safe write:
 * MP4_ERR_NOT_SUPPORTED with MP4_FLAG_REPAIR, MP4_ERR_INVALID_PARAM for a
 * zero block_size/block_num or max_duration over 7 days. */
BV_MP4_API int BV_MP4_CALL mp4_create_file_full(const wchar_t* path, const mp4_config_t* config, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_full_ex(const char* path, const mp4_config_t* config, mp4_handle* out);
/* Finishes the file (movie header, media data size; deletes the repair side
 * file) and frees the handle, also when it returns an error. A recording
 * closed without any frame leaves an empty file.
 * Returns the first I/O error of the recording or of the finish (12-18,
 * MP4_ERR_FAILED): the file is then incomplete. */
BV_MP4_API int BV_MP4_CALL mp4_close_file(mp4_handle h);
/* Deprecated no-ops; return MP4_SUCCESS. */
BV_MP4_API int BV_MP4_CALL mp4_set_safe_param(void);
BV_MP4_API int BV_MP4_CALL mp4_get_safe_param(void);
/* Declare the tracks (at most one of each kind) before the first frame;
 * *info is copied. MP4_ERR_INVALID_PARAM for a field refused above,
 * MP4_ERR_INVALID_CODEC for an unknown video codec_type (an unknown audio
 * codec_type is MP4_ERR_INVALID_PARAM), MP4_ERR_NOT_SUPPORTED for a subtitle
 * track in safe write. */
BV_MP4_API int BV_MP4_CALL mp4_set_video_track(mp4_handle h, const mp4_video_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_audio_track(mp4_handle h, const mp4_audio_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_subtitle_track(mp4_handle h, const mp4_subtitle_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_time_code_track(mp4_handle h, const mp4_time_code_track_info_t* info);
/* Metadata items, before the first frame; key and value are copied.
 * Known keys, by name or four-character code, are stored as UTF-8 text in
 * the user data whatever data_type says; setting one again replaces it:
 * title (\251nam), artist, album_artist, composer, album, date,
 * encoding_tool, comment, genre, copyright, grouping, lyrics, description,
 * synopsis, show, episode_id, network.
 * Any other key (e.g. "com.apple.quicktime.location.ISO6709") is added to
 * the movie's "mdta" key list as an item of data_type (MP4_META_*; text for
 * mp4_set_metadata); key_namespace is its four-character namespace, null =
 * "mdta". MP4_ERR_INVALID_PARAM for a null key or value, or length 0 with
 * bytes or integers. */
BV_MP4_API int BV_MP4_CALL mp4_set_metadata(mp4_handle h, const char* key, const char* value);
BV_MP4_API int BV_MP4_CALL mp4_set_metadata_ex(mp4_handle h, const char* key, const void* value, uint32_t length,
                                               int32_t data_type, const char* key_namespace);
/* Frame writers. buf is read during the call only; timestamp is in the
 * track's timescale (see the top of this file). An empty frame (null or
 * size 0) is ignored and returns MP4_SUCCESS.
 * Video: one whole access unit (every NAL unit of one picture, each after an
 * Annex-B start code; parameter sets may lead a key frame and are also kept
 * for the track description). Key frames are recognised from the NAL types.
 * MP4_ERR_INVALID_VIDEO_TRACK before mp4_set_video_track, MP4_ERR_PARSE_VIDEO
 * without a start code. Until the parameter sets are known frames are
 * dropped with MP4_SUCCESS.
 * Audio: one AAC frame (1024 samples), raw or with its ADTS header by the
 * track's codec_type. MP4_ERR_INVALID_PARAM without an audio track.
 * Subtitle: one caption packet: 0x61, 0x02 (608), a byte, then 3-byte
 * triplets (field in the low 2 bits of the first byte, 2 data bytes); or
 * 0x61, 0x01 (708), the length n, then n bytes of CDP data. A malformed
 * packet records an empty sample. MP4_ERR_SUBTITLE_CODEC without a caption
 * track, MP4_ERR_NOT_SUPPORTED in safe write.
 * Time code: value is the frame number of the first video frame, counted
 * at number_of_frames per second; write it once, after
 * mp4_set_time_code_track (MP4_ERR_INVALID_PARAM without it).
 * All: MP4_ERR_TABLE_FULL when the frame cannot be recorded (see the code),
 * 12-18 / MP4_ERR_FAILED when writing failed. */
BV_MP4_API int BV_MP4_CALL mp4_write_video_frame(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t timestamp);
/* As mp4_write_video_frame with a presentation time of its own, both in the
 * video timescale: frames come in decode order (dts rising) and pts may
 * differ from dts (B-frames); the file then carries composition offsets, and
 * pts = dts on every frame writes none (the same bytes as
 * mp4_write_video_frame). MP4_ERR_INVALID_PARAM, before any byte is
 * written, when pts and dts lie 2^31 ticks or more apart, or when dts goes
 * back on a frame with an offset or in a track that already has offsets. */
BV_MP4_API int BV_MP4_CALL mp4_write_video_frame_ex(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t dts,
                                                    uint64_t pts);
BV_MP4_API int BV_MP4_CALL mp4_write_audio_frame(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t timestamp);
BV_MP4_API int BV_MP4_CALL mp4_write_subtitle_frame(mp4_handle h, const uint8_t* buf, uint32_t size,
                                                    uint64_t timestamp);
BV_MP4_API int BV_MP4_CALL mp4_write_time_code(mp4_handle h, uint32_t value);
/* Finishes a recording made with MP4_FLAG_REPAIR that was never closed
 * (crash, power loss), from "<path>.info": afterwards it plays up to the
 * last flush of the side file. delete_info_file non-zero deletes the side
 * file after a successful repair. MP4_ERR_NO_ENTRY without a side file,
 * MP4_ERR_FAILED for a side file that cannot be used; the files are then
 * unchanged. Call only when no handle records to path. */
BV_MP4_API int BV_MP4_CALL mp4_repair_file(const wchar_t* path, int delete_info_file);
BV_MP4_API int BV_MP4_CALL mp4_repair_file_ex(const char* path, int delete_info_file);
/* Repair mode: the side file (and the output) are flushed every `interval`
 * video frames (audio frames in an audio-only recording); default 900,
 * at least 10 (MP4_ERR_INVALID_PARAM below). A crash loses at most the
 * frames since the last flush. */
BV_MP4_API int BV_MP4_CALL mp4_repair_set_flush_interval(mp4_handle h, uint32_t interval);
/* Duration in milliseconds of a finished file (the longest track); 0 when it
 * cannot be read. A null path returns 4 (MP4_ERR_INVALID_PARAM). */
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration(const wchar_t* path);
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration_ex(const char* path);
/* Of an open recording: duration so far in milliseconds (longest of video
 * and audio; 0 before any frame). Beware: an invalid handle returns 2. */
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_duration_ms(mp4_handle h);
/* Bytes of media data plus file head written so far (the movie header
 * written at close is not counted). */
BV_MP4_API int BV_MP4_CALL mp4_get_file_size(mp4_handle h, uint64_t* size);
/* Size in bytes the movie header would have if the file were closed now; 0
 * before the first frame. Beware: an invalid handle returns 2. */
BV_MP4_API uint32_t BV_MP4_CALL mp4_get_moov_size(mp4_handle h);
/* Average rate of the track's media data so far in KiB per second
 * (bytes / 1024 per second); 0 without frames. */
BV_MP4_API int BV_MP4_CALL mp4_get_video_bitrate(mp4_handle h, double* bitrate);
BV_MP4_API int BV_MP4_CALL mp4_get_audio_bitrate(mp4_handle h, double* bitrate);

/* The fixed English text of a result code ("unknown result code" for any
 * other value). Static storage: never free it. */
BV_MP4_API const char* BV_MP4_CALL mp4_strerror(int code);

/* Log writers in the library's own line format, to standard output or the
 * mm_log_set_callback callback; the library logs through them. fmt is
 * printf-style; file, line and func name the caller (__FILE__, __LINE__,
 * __func__). */
BV_MP4_API int BV_MP4_CALL mm_log_debug(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_info(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_warn(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_error(const char* fmt, const char* file, int line, const char* func, ...);
/* Makes standard output unbuffered; returns the runtime's result (0 = success). */
BV_MP4_API int BV_MP4_CALL mm_log_init(void);

/* Log levels for mm_log_set_level and the callback. A line is written when
 * its level is at or above the threshold; MM_LOG_NONE silences the log. The
 * default threshold is MM_LOG_DEBUG (every line), unless the environment
 * variable BV_MP4_LOG_LEVEL names another level ("debug", "info", "warn",
 * "error", "none" or the number) when the library first logs. */
#define MM_LOG_DEBUG 0
#define MM_LOG_INFO  1
#define MM_LOG_WARN  2
#define MM_LOG_ERROR 3
#define MM_LOG_NONE  4
/* Receives each finished line, the text standard output would get, newline
 * included. Calls are serialised: one line at a time, never cut. */
typedef void (BV_MP4_CALL *mm_log_callback_t)(void* ctx, int level, const char* line);
/* Sets the threshold; 4 (MP4_ERR_INVALID_PARAM) for a level outside 0..4. */
BV_MP4_API int BV_MP4_CALL mm_log_set_level(int level);
/* Sends every line to callback instead of standard output; a null callback
 * restores standard output. Once this returns, the previous callback is not
 * called again, so its ctx may be released. */
BV_MP4_API void BV_MP4_CALL mm_log_set_callback(mm_log_callback_t callback, void* ctx);

#ifdef __cplusplus
}
#endif

#endif /* BV_MP4_H */
