/* SPDX-License-Identifier: MIT */
/* The cross-language scenario of the change journal in C: the reference
 * output that every binding must reproduce byte for byte (see run.sh).
 * Intents, requests and each outcome, refreshes one of which arrives stale,
 * a save and a restart, failures with their reasons, and the final state;
 * then what reports do to the store, an unknown outcome, entries' status, and
 * a restart from one snapshot.
 * Usage: journal RESPONSE_FILE */
#include <stdio.h>
#include <stdlib.h>

#include "orvel.h"
#include "orvel_sync.h"

static const char kBase[] = "https://api.example.test//";
static const char kNewTitle[] = "Neu \xc3\xbc \xf0\x9f\x8e\xa7";
static const char kArtist[] = "He said \"hi\"\n";

static void counts(const orvel_journal *j) {
  printf("counts: held %d unsent %d in-flight %d confirming %d\n", (int)orvel_sync_count(j, ORVEL_SYNC_HELD),
         (int)orvel_sync_count(j, ORVEL_SYNC_UNSENT), (int)orvel_sync_count(j, ORVEL_SYNC_IN_FLIGHT),
         (int)orvel_sync_count(j, ORVEL_SYNC_CONFIRMING));
}

/* Sends the next request: its operation id and envelope. */
static long long send(orvel_journal *j) {
  int64_t op = 0;
  char *request = orvel_sync_next_request(j, kBase, &op);
  if (request == NULL) {
    printf("send: none\n");
  } else {
    printf("send: %lld %s\n", (long long)op, request);
  }
  orvel_sync_free(request);
  return (long long)op;
}

/* Reports an outcome: the result and what it did to the store. */
static void report_outcome(orvel_journal *j, long long op, int32_t outcome) {
  int32_t change = -1;
  int32_t result = orvel_sync_report_outcome(j, op, outcome, &change);
  printf("report: %d store %d\n", (int)result, (int)change);
}

/* An entry's status, every member; or the failure and its reason. */
static void status(const orvel_journal *j, const char *kind, const char *item_id) {
  orvel_sync_entry e;
  int32_t result = orvel_sync_entry_status(j, kind, item_id, &e);
  if (result < 0) {
    printf("status: %d error=%s\n", (int)result, orvel_sync_last_error());
    return;
  }
  printf("status: %d state %d wished %d op %lld attempts %u uncertain %u\n", (int)result, (int)e.state,
         (int)e.wished, (long long)e.op_id, (unsigned)e.attempts, (unsigned)e.uncertain);
}

static void saved(const char *label, char *text) {
  printf("%s: %s\n", label, text != NULL ? text : "(none)");
  orvel_sync_free(text);
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  FILE *file = fopen(argv[1], "rb");
  if (file == NULL) return 1;
  static char response[1 << 16];
  size_t len = fread(response, 1, sizeof response, file);
  fclose(file);

  orvel_store *store = orvel_create();
  orvel_journal *j = orvel_sync_create(store);
  if (j == NULL) return 1;
  printf("version: %s abi %d\n", orvel_sync_version(), (int)orvel_sync_abi_version());
  int64_t first = orvel_sync_begin_refresh(j);
  printf("refresh: %lld load %d\n", (long long)first, (int)orvel_sync_load(j, first, response, len));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 1, "album", "al-new", kNewTitle, kArtist));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 0, "track", "tr-3", NULL, NULL));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 0, "track", "tr-none", NULL, NULL));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 1, "playlist", "pl-9", "P", ""));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 0, "album", "al-1", "Caf\xc3\xa9", ""));
  counts(j);
  long long a = send(j), b = send(j), c = send(j);
  printf("report: %d\n", (int)orvel_sync_report(j, a, ORVEL_SYNC_ACCEPTED));
  printf("report: %d has %d\n", (int)orvel_sync_report(j, b, ORVEL_SYNC_REJECTED),
         (int)orvel_is_wished(store, "track", "tr-3"));
  printf("report: %d\n", (int)orvel_sync_report(j, c, ORVEL_SYNC_FAILED));
  printf("report-again: %d error=%s\n", (int)orvel_sync_report(j, c, ORVEL_SYNC_FAILED), orvel_sync_last_error());
  counts(j);
  int64_t older = orvel_sync_begin_refresh(j), newer = orvel_sync_begin_refresh(j);
  printf("refresh: %lld load %d\n", (long long)newer, (int)orvel_sync_load(j, newer, response, len));
  printf("refresh: %lld load %d error=%s\n", (long long)older, (int)orvel_sync_load(j, older, "[]", 2),
         orvel_sync_last_error());
  counts(j);
  char *journal_text = orvel_sync_export(j);
  char *store_text = orvel_export_json(store);
  printf("saved-journal: %s\n", journal_text);
  printf("saved-store: %s\n", store_text);

  /* A restart: both are made anew from what was saved. */
  orvel_sync_destroy(j);
  orvel_destroy(store);
  store = orvel_create();
  j = orvel_sync_create(store);
  printf("restart: store %d journal %d\n", (int)orvel_load_mine_json(store, store_text, 0),
         (int)orvel_sync_restore(j, journal_text, 0));
  orvel_free(store_text);
  orvel_sync_free(journal_text);
  counts(j);
  printf("bad-kind: %lld error=%s\n", (long long)orvel_sync_set(j, 1, "Album", "x", NULL, NULL),
         orvel_sync_last_error());
  printf("bad-utf8: %lld error=%s\n", (long long)orvel_sync_set(j, 1, "album", "x", "\xff", NULL),
         orvel_sync_last_error());
  long long d = send(j), e = send(j);
  printf("report: %d %d\n", (int)orvel_sync_report(j, d, ORVEL_SYNC_ACCEPTED),
         (int)orvel_sync_report(j, e, ORVEL_SYNC_ACCEPTED));
  send(j);
  int64_t last = orvel_sync_begin_refresh(j);
  printf("refresh: %lld load %d\n", (long long)last, (int)orvel_sync_load(j, last, response, len));
  counts(j);
  saved("journal", orvel_sync_export(j));
  char *exported = orvel_export_json(store);
  printf("store: %s\n", exported);
  orvel_free(exported);

  /* Since 1.1: what a report did to the store, an unknown outcome, an entry's
   * status, and one snapshot. */
  printf("set: %lld\n", (long long)orvel_sync_set(j, 1, "artist", "ar-new", "", "Nova"));
  printf("set: %lld\n", (long long)orvel_sync_set(j, 0, "artist", "ar-1", "", "Velvetine"));
  long long f = send(j);
  report_outcome(j, f, ORVEL_SYNC_UNKNOWN);
  status(j, "artist", "ar-new");
  printf("uncertain: %d\n", (int)orvel_sync_count(j, ORVEL_SYNC_UNCERTAIN));
  report_outcome(j, send(j), ORVEL_SYNC_REJECTED);
  report_outcome(j, send(j), ORVEL_SYNC_REJECTED);
  status(j, "artist", "ar-new");
  status(j, "artist", "ar-1");
  status(j, "Artist", "ar-1");
  printf("set: %lld\n", (long long)orvel_sync_set(j, 1, "track", "tr-snap", "S", ""));
  send(j);
  char *snapshot = orvel_sync_snapshot(j);
  printf("snapshot: %s\n", snapshot);
  orvel_sync_destroy(j);
  orvel_destroy(store);

  /* A restart from the snapshot alone. */
  j = orvel_sync_open_snapshot(snapshot, 0, &store);
  orvel_sync_free(snapshot);
  if (j == NULL) return 1;
  printf("reopened: store %d\n", (int)orvel_count(store));
  counts(j);
  printf("uncertain: %d\n", (int)orvel_sync_count(j, ORVEL_SYNC_UNCERTAIN));
  status(j, "track", "tr-snap");
  orvel_store *none = NULL;
  printf("reopen-bad: %d error=%s\n", orvel_sync_open_snapshot("{\"format\":\"other\"}", 0, &none) != NULL ? 0 : -1,
         orvel_sync_last_error());
  orvel_sync_destroy(j);
  orvel_destroy(store);
  return 0;
}
