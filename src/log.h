// Internal logging macros over the exported mm_log_* writers. Every line
// carries the source file, the line and the calling function.
#pragma once

#include "bv_mp4.h"

#define LOGD(fmt, ...) mm_log_debug(fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
#define LOGI(fmt, ...) mm_log_info(fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
#define LOGW(fmt, ...) mm_log_warn(fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
#define LOGE(fmt, ...) mm_log_error(fmt, __FILE__, __LINE__, __func__, ##__VA_ARGS__)
// For exports, whose lines carry the exported function's own name.
#define LOGE_IN(func, fmt, ...) mm_log_error(fmt, __FILE__, __LINE__, func, ##__VA_ARGS__)
#define LOGW_IN(func, fmt, ...) mm_log_warn(fmt, __FILE__, __LINE__, func, ##__VA_ARGS__)
