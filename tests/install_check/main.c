/* Records nothing but creates and closes a file through the installed
 * library; fails on any non-zero result. */
#include <bv_mp4.h>
#include <stdio.h>

int main(int argc, char** argv) {
  mp4_handle h = NULL;
  int rc;
  if (argc < 2) return 2;
  rc = mp4_create_file_ex(argv[1], 0, &h);
  if (rc != MP4_SUCCESS) return 3;
  rc = mp4_close_file(h);
  printf("consumer: close %d\n", rc);
  return rc == MP4_SUCCESS ? 0 : 4;
}
