/* SPDX-License-Identifier: MIT */
/* Test-only, preloaded into a node process (LD_PRELOAD): malloc fails for
 * exactly one size, $ORVEL_TEST_FAIL_SIZE, and works for every other; so a
 * test can starve one buffer of liborvel (a URL of a chosen length) while
 * node and the rest of the call go on as usual. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

void *__libc_malloc(size_t size);

static size_t fail_size;

__attribute__((constructor)) static void read_fail_size(void) {
  const char *text = getenv("ORVEL_TEST_FAIL_SIZE");
  if (text != NULL) fail_size = (size_t)strtoull(text, NULL, 10);
}

void *malloc(size_t size) {
  if (fail_size != 0 && size == fail_size) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}
