/* The public header compiles as strict C11 (built with -std=c11 -pedantic
 * -Werror): a C host must not need extensions. */
#include <bv_mp4.h>

const char* bv_mp4_header_check_c(void) { return mp4_strerror(MP4_SUCCESS); }
