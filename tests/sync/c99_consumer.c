/* SPDX-License-Identifier: MIT */
/* Compiled as strict C99 with warnings as errors: the journal's header must be
 * clean C. Records an intent, sends it, reports it and saves the journal. */
#include <orvel_sync.h>
#include <stdio.h>

int main(void) {
  orvel_store *store = orvel_create();
  orvel_journal *journal = orvel_sync_create(store);
  int64_t op = 0;
  char *request, *saved;
  int ok;
  if (journal == NULL || orvel_sync_abi_version() != ORVEL_SYNC_ABI_VERSION) return 1;
  ok = orvel_sync_set(journal, 1, "album", "a1", "Title", NULL) == 1;
  request = orvel_sync_next_request(journal, NULL, &op);
  ok = ok && request != NULL && op == 1 && orvel_sync_report(journal, op, ORVEL_SYNC_ACCEPTED) == 0;
  saved = orvel_sync_export(journal);
  ok = ok && saved != NULL && orvel_sync_count(journal, ORVEL_SYNC_CONFIRMING) == 1;
  printf("liborvel-sync %s: %s\n", orvel_sync_version(), saved ? saved : "-");
  orvel_sync_free(request);
  orvel_sync_free(saved);
  orvel_sync_destroy(journal);
  orvel_destroy(store);
  return ok ? 0 : 1;
}
