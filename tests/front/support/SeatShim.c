/* Preloaded into the service by tests: answers logind's "who owns seat0" from the file
 * named by NOX_TEST_SEAT_FILE (a decimal uid). No file: no seat (-ENOENT). A negative
 * number is returned as the error itself (-24: out of descriptors), and a file that
 * cannot be opened for another reason than its absence gives that reason.
 *
 * It stands in for logind's seat monitor too: an inotify descriptor on the directory
 * named by NOX_TEST_SEAT_EVENTS, or else on the seat file's directory, so that every
 * change of the seat file is reported as logind reports a change of seats. With a
 * separate events directory a test changes the seat silently and reports it by touching
 * a file there. NOX_TEST_SEAT_MONITOR=off: no monitor can be made. */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>

typedef struct sd_login_monitor sd_login_monitor;

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

/* The handle is the descriptor plus one, as logind's own monitor does it. */
int sd_login_monitor_new(const char* category, sd_login_monitor** ret) {
  const char* off = getenv("NOX_TEST_SEAT_MONITOR");
  if (off != NULL && strcmp(off, "off") == 0) return -ENOSYS;
  if (ret == NULL || category == NULL || strcmp(category, "seat") != 0) return -EINVAL;
  char directory[4096];
  const char* events = getenv("NOX_TEST_SEAT_EVENTS");
  const char* seatFile = getenv("NOX_TEST_SEAT_FILE");
  if (events != NULL) {
    snprintf(directory, sizeof directory, "%s", events);
  } else if (seatFile != NULL && strrchr(seatFile, '/') != NULL) {
    snprintf(directory, sizeof directory, "%.*s", (int)(strrchr(seatFile, '/') - seatFile), seatFile);
  } else {
    return -ENOENT;
  }
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return -errno;
  if (inotify_add_watch(fd, directory, IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_DELETE | IN_ATTRIB) <
      0) {
    int error = errno;
    close(fd);
    return -error;
  }
  *ret = (sd_login_monitor*)(intptr_t)(fd + 1);
  return 0;
}

int sd_login_monitor_get_fd(sd_login_monitor* m) { return m != NULL ? (int)((intptr_t)m - 1) : -EINVAL; }

int sd_login_monitor_flush(sd_login_monitor* m) {
  if (m == NULL) return -EINVAL;
  char events[4096];
  while (read(sd_login_monitor_get_fd(m), events, sizeof events) > 0) {
  }
  return 0;
}

sd_login_monitor* sd_login_monitor_unref(sd_login_monitor* m) {
  if (m != NULL) close(sd_login_monitor_get_fd(m));
  return NULL;
}
