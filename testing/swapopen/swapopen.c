/*
 * libswapopen.so: a preloaded library that puts another file in place of
 * a path between two opens of it, so that a test can show what a program
 * does when the file it read is no longer the one it opens again.
 *
 *   SWAPOPEN_TARGET  the path, as the program passes it to open()
 *   SWAPOPEN_SOURCE  the file renamed onto it just before the second open
 *
 * Every other open passes through unchanged.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static int opens_of_target;

static void before_open(const char *path) {
  const char *target = getenv("SWAPOPEN_TARGET");
  const char *source = getenv("SWAPOPEN_SOURCE");
  if (path == NULL || target == NULL || source == NULL || strcmp(path, target) != 0) return;
  if (++opens_of_target == 2) (void)rename(source, target);
}

static mode_t mode_argument(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(ap, unsigned int) : 0;
}

#define FORWARD_OPEN(name)                                                       \
  int name(const char *path, int flags, ...) {                                   \
    typedef int (*real_fn)(const char *, int, ...);                              \
    real_fn real = (real_fn)dlsym(RTLD_NEXT, #name);                             \
    va_list ap;                                                                  \
    va_start(ap, flags);                                                         \
    mode_t mode = mode_argument(flags, ap);                                      \
    va_end(ap);                                                                  \
    before_open(path);                                                           \
    return real(path, flags, mode);                                              \
  }

#define FORWARD_OPENAT(name)                                                     \
  int name(int dir, const char *path, int flags, ...) {                          \
    typedef int (*real_fn)(int, const char *, int, ...);                         \
    real_fn real = (real_fn)dlsym(RTLD_NEXT, #name);                             \
    va_list ap;                                                                  \
    va_start(ap, flags);                                                         \
    mode_t mode = mode_argument(flags, ap);                                      \
    va_end(ap);                                                                  \
    before_open(path);                                                           \
    return real(dir, path, flags, mode);                                         \
  }

FORWARD_OPEN(open)
FORWARD_OPEN(open64)
FORWARD_OPENAT(openat)
FORWARD_OPENAT(openat64)
