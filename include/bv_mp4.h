/*
 * bv_mp4 - records encoded audio and video frames into MP4 files and
 * QuickTime movies. The host creates a file, declares its tracks, hands over
 * one encoded frame at a time from any thread and closes the file.
 *
 * Every status is one of the MP4_* result codes below. No function lets an
 * exception or a signal out for bad arguments: null pointers, unknown handles
 * and out-of-range values are refused with a code and a log line.
 *
 * Wide paths are wchar_t: UTF-16 on Windows, UTF-32 on Linux. The *_ex forms
 * take UTF-8 paths.
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

/* Result codes. */
#define MP4_SUCCESS                  0
#define MP4_ERR_FAILED               1
#define MP4_ERR_INVALID_HANDLE       2
#define MP4_ERR_INVALID_PARAM        4
#define MP4_ERR_INVALID_CODEC        6
#define MP4_ERR_SUBTITLE_CODEC       7
#define MP4_ERR_INVALID_ADTS         8
#define MP4_ERR_PARSE_VIDEO          9
#define MP4_ERR_INVALID_VIDEO_TRACK 10
#define MP4_ERR_NOT_SUPPORTED       11
#define MP4_ERR_PERMISSION          12
#define MP4_ERR_NO_ENTRY            13
#define MP4_ERR_ACCESS              14
#define MP4_ERR_BUSY                15
#define MP4_ERR_TOO_MANY_FILES      16
#define MP4_ERR_NO_SPACE            17
#define MP4_ERR_READ_ONLY           18
#define MP4_ERR_EXTERNAL_OPEN       19
#define MP4_ERR_FILE_NOT_OPEN       20
#define MP4_ERR_TABLE_FULL          21

/* Bits of the create functions' flags. */
#define MP4_FLAG_TIME64        0x01u /* version-1 (64-bit) time fields */
#define MP4_FLAG_LARGE_FILE    0x02u /* 64-bit mdat size and chunk offsets */
#define MP4_FLAG_SAFE_DEPRECATED 0x08u /* ignored; safe write is io_mode 3 */
#define MP4_FLAG_REPAIR        0x10u /* keep the ".info" side file */
#define MP4_FLAG_FAST_HEADER   0x20u /* direct I/O only */
/* Every track keeps its start relative to the earliest first time stamp of
 * the file (an empty edit), instead of starting at 0; all tracks' times must
 * come from one clock. Not with safe write. */
#define MP4_FLAG_KEEP_TRACK_STARTS 0x40u

/* io_mode values of mp4_config_t. */
#define MP4_IO_FILE       0u
#define MP4_IO_DIRECT     1u
#define MP4_IO_EXTERNAL   2u
#define MP4_IO_SAFE_WRITE 3u

/* Codec numbers. */
#define MP4_VIDEO_H264    0u
#define MP4_VIDEO_HEVC    1u
#define MP4_VIDEO_PRORES  2u
#define MP4_AUDIO_AAC     1u /* raw AAC frames */
#define MP4_AUDIO_AAC_ADTS 2u /* AAC frames with 7-byte ADTS headers */
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
#define MP4_META_BYTES    0
#define MP4_META_UTF8     1
#define MP4_META_INT_BE  21

typedef void* mp4_handle;

/* External I/O callbacks (io_mode 2). */
typedef struct ExternalIoFuncs {
  uint8_t (*open)(void** handle, const wchar_t* path, uint32_t a, uint32_t b); /* 0 = failure */
  int32_t (*close)(void* handle);
  int64_t (*tell)(void* handle);
  int32_t (*seek)(void* handle, int64_t offset, int32_t origin);
  int32_t (*flush)(void* handle);
  int32_t (*read)(void* handle, void* dst, uint32_t size);        /* 1 = all read */
  int32_t (*write)(void* handle, const void* src, uint32_t size); /* 1 = all written */
} ExternalIoFuncs;

typedef struct mp4_config_t {
  uint32_t flags, io_mode, dio_param1, dio_param2;
  ExternalIoFuncs* pFunc;
  uint32_t block_size, block_num, max_duration, update_interval, reserved;
} mp4_config_t;

typedef struct mp4_video_track_info_t {
  uint32_t timescale;
  uint64_t frame_duration;
  uint32_t codec_type;
  uint16_t width;
  uint16_t height;
  union {
    const uint8_t* sps;
    uint32_t prores_profile;
  };
  uint16_t sps_size;
  const uint8_t* pps;
  uint16_t pps_size;
  const uint8_t* vps;
  uint16_t vps_size;
} mp4_video_track_info_t;

typedef struct mp4_audio_track_info_t {
  uint32_t timescale;
  uint64_t frame_duration;
  uint32_t codec_type;
  uint16_t sample_rate;
  uint16_t channels;
  uint8_t profile;
} mp4_audio_track_info_t;

typedef struct mp4_subtitle_track_info_t {
  uint32_t codec_type;
  uint32_t timescale;
} mp4_subtitle_track_info_t;

typedef struct mp4_time_code_track_info_t {
  uint32_t timescale;
  uint64_t frame_duration;
  uint8_t number_of_frames;
  uint32_t tc_flags;
} mp4_time_code_track_info_t;

BV_MP4_API int BV_MP4_CALL mp4_create_file(const wchar_t* path, uint8_t flags, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_ex(const char* path, uint8_t flags, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_adv(const wchar_t* path, uint8_t flags, uint32_t dio_param1,
                                               uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                               mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_adv_ex(const char* path, uint8_t flags, uint32_t dio_param1,
                                                  uint32_t dio_param2, uint32_t io_mode, ExternalIoFuncs* pFunc,
                                                  mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_full(const wchar_t* path, const mp4_config_t* config, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_create_file_full_ex(const char* path, const mp4_config_t* config, mp4_handle* out);
BV_MP4_API int BV_MP4_CALL mp4_close_file(mp4_handle h);
BV_MP4_API int BV_MP4_CALL mp4_set_safe_param(void);
BV_MP4_API int BV_MP4_CALL mp4_get_safe_param(void);
BV_MP4_API int BV_MP4_CALL mp4_set_video_track(mp4_handle h, const mp4_video_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_audio_track(mp4_handle h, const mp4_audio_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_subtitle_track(mp4_handle h, const mp4_subtitle_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_time_code_track(mp4_handle h, const mp4_time_code_track_info_t* info);
BV_MP4_API int BV_MP4_CALL mp4_set_metadata(mp4_handle h, const char* key, const char* value);
BV_MP4_API int BV_MP4_CALL mp4_set_metadata_ex(mp4_handle h, const char* key, const void* value, uint32_t length,
                                               int32_t data_type, const char* key_namespace);
BV_MP4_API int BV_MP4_CALL mp4_write_video_frame(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t timestamp);
// As mp4_write_video_frame with a presentation time of its own: frames come in
// decode order (dts rising), pts may differ from dts (B-frames). The file
// then carries composition offsets; pts = dts everywhere writes none.
BV_MP4_API int BV_MP4_CALL mp4_write_video_frame_ex(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t dts,
                                                    uint64_t pts);
BV_MP4_API int BV_MP4_CALL mp4_write_audio_frame(mp4_handle h, const uint8_t* buf, uint32_t size, uint64_t timestamp);
BV_MP4_API int BV_MP4_CALL mp4_write_subtitle_frame(mp4_handle h, const uint8_t* buf, uint32_t size,
                                                    uint64_t timestamp);
BV_MP4_API int BV_MP4_CALL mp4_write_time_code(mp4_handle h, uint32_t value);
BV_MP4_API int BV_MP4_CALL mp4_repair_file(const wchar_t* path, int delete_info_file);
BV_MP4_API int BV_MP4_CALL mp4_repair_file_ex(const char* path, int delete_info_file);
BV_MP4_API int BV_MP4_CALL mp4_repair_set_flush_interval(mp4_handle h, uint32_t interval);
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration(const wchar_t* path);
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_file_duration_ex(const char* path);
BV_MP4_API uint64_t BV_MP4_CALL mp4_get_duration_ms(mp4_handle h);
BV_MP4_API int BV_MP4_CALL mp4_get_file_size(mp4_handle h, uint64_t* size);
BV_MP4_API uint32_t BV_MP4_CALL mp4_get_moov_size(mp4_handle h);
BV_MP4_API int BV_MP4_CALL mp4_get_video_bitrate(mp4_handle h, double* bitrate);
BV_MP4_API int BV_MP4_CALL mp4_get_audio_bitrate(mp4_handle h, double* bitrate);

/* Log writers in the library's own line format, on standard output. */
BV_MP4_API int BV_MP4_CALL mm_log_debug(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_info(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_warn(const char* fmt, const char* file, int line, const char* func, ...);
BV_MP4_API int BV_MP4_CALL mm_log_error(const char* fmt, const char* file, int line, const char* func, ...);
/* Makes standard output unbuffered; returns the runtime's result (0 = success). */
BV_MP4_API int BV_MP4_CALL mm_log_init(void);

#ifdef __cplusplus
}
#endif

#endif /* BV_MP4_H */
