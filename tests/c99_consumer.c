/* SPDX-License-Identifier: MIT */
/* Compiled as strict C99 with warnings as errors: the header must be clean C. */
#include <orvel.h>
#include <stdio.h>

int main(void) {
  orvel_store *store = orvel_create();
  char *url;
  int32_t added;
  if (store == NULL || orvel_abi_version() != ORVEL_ABI_VERSION) return 1;
  added = orvel_apply_local_toggle(store, "album", "a1", "Title", NULL);
  url = orvel_build_mine_url(NULL);
  printf("%s %d %d %s\n", orvel_version(), (int)added, (int)orvel_count(store), url ? url : "-");
  orvel_free(url);
  orvel_destroy(store);
  return added == 1 ? orvel_selftest() : 1;
}
