/* SPDX-License-Identifier: MIT */
/*
 * Preloaded into a child JVM by the tests: malloc fails for the one size
 * named by ORVEL_FAIL_MALLOC_SIZE, and forwards every other call to glibc.
 * A base URL of a chosen length then makes exactly the library's URL buffer
 * fail, which no other allocation of the process asks for.
 */
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

void *__libc_malloc(size_t size);

static size_t fail_size;

__attribute__((constructor)) static void read_size(void) {
  const char *text = getenv("ORVEL_FAIL_MALLOC_SIZE");
  fail_size = text != NULL ? (size_t)strtoull(text, NULL, 10) : 0;
}

void *malloc(size_t size) {
  if (fail_size != 0 && size == fail_size) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}
