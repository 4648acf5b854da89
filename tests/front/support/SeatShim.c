/* Preloaded into the service by tests: answers logind's "who owns seat0" from the file
 * named by NOX_TEST_SEAT_FILE (a decimal uid). No file: no seat (-ENOENT). A negative
 * number is returned as the error itself (-24: out of descriptors), and a file that
 * cannot be opened for another reason than its absence gives that reason. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>

int sd_seat_get_active(const char* seat, char** session, uid_t* uid) {
  const char* path = getenv("NOX_TEST_SEAT_FILE");
  FILE* file = path != NULL ? fopen(path, "r") : NULL;
  if (file == NULL) return path != NULL && errno != ENOENT ? -errno : -ENOENT;
  long owner = -1;
  int read = fscanf(file, "%ld", &owner);
  fclose(file);
  if (read == 1 && owner < 0 && owner > -4096) return (int)owner;
  if (read != 1 || owner < 0) return -ENOENT;
  if (session != NULL) *session = NULL;
  if (uid != NULL) *uid = (uid_t)owner;
  return 0;
}
