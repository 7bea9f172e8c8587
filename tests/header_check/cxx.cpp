// The public header compiles as strict C++ (-pedantic -Werror) and keeps C
// linkage for a C++ host.
#include <bv_mp4.h>

const char* bv_mp4_header_check_cxx() { return mp4_strerror(MP4_SUCCESS); }
