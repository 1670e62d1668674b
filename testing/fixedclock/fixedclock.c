/*
 * libfixedclock.so: a preloaded library that stops the clock as time()
 * reads it, so that a test can predict what a program makes from the time
 * (the identifier text of new token objects).
 *
 *   FIXEDCLOCK_SECONDS  the seconds since the epoch that time() returns
 *
 * Without it (or with a value that is no number) time() reads the real
 * clock.  Other clocks (clock_gettime, gettimeofday) are not touched.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>

time_t time(time_t *out) {
  const char *text = getenv("FIXEDCLOCK_SECONDS");
  char *end = NULL;
  long long seconds = 0;
  time_t now;
  if (text != NULL && *text != '\0') {
    errno = 0;
    seconds = strtoll(text, &end, 10);
  }
  if (text != NULL && *text != '\0' && errno == 0 && end != NULL && *end == '\0') {
    now = (time_t)seconds;
  } else {
    typedef time_t (*real_fn)(time_t *);
    real_fn real = (real_fn)dlsym(RTLD_NEXT, "time");
    now = real != NULL ? real(NULL) : (time_t)-1;
  }
  if (out != NULL) *out = now;
  return now;
}
