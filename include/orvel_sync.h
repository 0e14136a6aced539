/* SPDX-License-Identifier: MIT */
/*
 * liborvel-sync: a change journal over one liborvel store.
 *
 * The journal keeps the user's intended changes (wish / do not wish an
 * entry) until the service has confirmed them, so that no change is lost
 * through a refresh, a failed request or an app restart:
 *  - orvel_sync_set records an intent and shows it in the store at once;
 *  - orvel_sync_next_request gives the request that carries the oldest
 *    unsent intent, and orvel_sync_report takes what became of it;
 *  - orvel_sync_begin_refresh and orvel_sync_load refill the store from a
 *    list response and show again every intent the response may not
 *    reflect yet;
 *  - orvel_sync_export and orvel_sync_restore carry the journal across a
 *    restart.
 *
 * Like liborvel it does no I/O, starts no thread, takes no lock and reads no
 * clock: the app passes everything in, so every run is deterministic.
 * Distinct journals may be used on distinct threads at once; one journal
 * (and its store) must not be used by two threads at once.
 *
 * Conventions, as in orvel.h:
 *  - Integer results are 0 for success and -1 for failure unless noted;
 *    counts and ids are never negative on success.
 *  - A returned `char *` is a new NUL-terminated UTF-8 text owned by the
 *    caller, released with orvel_sync_free(); NULL means failure (or, for
 *    orvel_sync_next_request, nothing to send).
 *  - Texts passed in are borrowed for the call only; NULL means "absent".
 *  - Every function that can fail writes a short reason, readable with
 *    orvel_sync_last_error() on the same thread, when it fails, and empties
 *    it when it succeeds. The reasons are fixed texts:
 *      "null arg"            a required pointer is NULL
 *      "invalid kind"        the kind is not track, album, artist or playlist
 *      "empty item_id"       the item id is NULL or empty
 *      "invalid utf-8"       a text is not valid UTF-8
 *      "invalid argument"    an outcome or a count selector out of range
 *      "unknown operation"   a report for an id that is not in flight
 *      "unknown token"       a load with a token that was never handed out
 *      "stale response"      a load older than one already loaded (ignored)
 *      "invalid json"        a text is not strict JSON (RFC 8259)
 *      "invalid journal"     a journal text that this library did not write
 *      "unsupported version" a journal text of an unknown format version
 *      "journal not empty"   a restore into a journal that holds operations
 *      "invalid snapshot"    a snapshot text that this library did not write
 *      "out of memory"       memory ran out (or the store is full)
 *  - A failed call changes nothing: neither the journal nor the store.
 *
 * The transport rule the app must keep: report ORVEL_SYNC_FAILED only when
 * the request certainly did not reach the service (the connection was
 * refused, the name did not resolve, or the service answered "try again":
 * 408, 429, 5xx); report ORVEL_SYNC_UNKNOWN whenever it may have reached it
 * (a deadline passed or the connection broke after the request was written).
 * An unknown request is sent again like a failed one, and the journal keeps
 * in mind that it may still land: should a later list response show it
 * landed over a newer intent, the journal shows and sends that intent again
 * (at most once for each request reported unknown). Requests that were in
 * flight when the journal was saved count as unknown after a restore.
 */
#ifndef ORVEL_SYNC_H
#define ORVEL_SYNC_H

#include <stddef.h>
#include <stdint.h>

#include "orvel.h"

/* Interface version: orvel_sync_abi_version() returns it; the SONAME carries it. */
#define ORVEL_SYNC_ABI_VERSION 1
/* Library version, written here once (the build takes it from these lines). */
#define ORVEL_SYNC_VERSION_MAJOR 1
#define ORVEL_SYNC_VERSION_MINOR 1
#define ORVEL_SYNC_VERSION_PATCH 0
/* The version as text, "MAJOR.MINOR.PATCH": orvel_sync_version() returns it. */
#define ORVEL_SYNC_VERSION                                                                        \
  ORVEL_STRINGIFY(ORVEL_SYNC_VERSION_MAJOR) "." ORVEL_STRINGIFY(ORVEL_SYNC_VERSION_MINOR) "." \
      ORVEL_STRINGIFY(ORVEL_SYNC_VERSION_PATCH)

/* Export macro, as ORVEL_API: on Windows the DLL's build defines
 * ORVEL_SYNC_BUILDING_LIBRARY; define ORVEL_STATIC for static builds. */
#ifndef ORVEL_SYNC_API
#  if defined(_WIN32)
#    if defined(ORVEL_STATIC)
#      define ORVEL_SYNC_API
#    elif defined(ORVEL_SYNC_BUILDING_LIBRARY)
#      define ORVEL_SYNC_API __declspec(dllexport)
#    else
#      define ORVEL_SYNC_API __declspec(dllimport)
#    endif
#  elif defined(__GNUC__) || defined(__clang__)
#    define ORVEL_SYNC_API __attribute__((visibility("default")))
#  else
#    define ORVEL_SYNC_API
#  endif
#endif

/* What became of a request: orvel_sync_report's outcome. */
#define ORVEL_SYNC_ACCEPTED 1 /* the service applied it (a 2xx answer) */
#define ORVEL_SYNC_REJECTED 2 /* the service refused it for good (4xx) */
#define ORVEL_SYNC_FAILED 3   /* it certainly did not reach the service, or the
                                 service said "try again" (408, 429, 5xx) */
#define ORVEL_SYNC_UNKNOWN 4  /* it may have reached the service: a deadline passed
                                 or the connection broke after it was written */

/* What orvel_sync_count counts. */
#define ORVEL_SYNC_HELD 0       /* every operation the journal holds */
#define ORVEL_SYNC_UNSENT 1     /* waiting to be sent */
#define ORVEL_SYNC_IN_FLIGHT 2  /* handed out by orvel_sync_next_request */
#define ORVEL_SYNC_CONFIRMING 3 /* accepted, until a later refresh shows it */
#define ORVEL_SYNC_UNCERTAIN 4  /* entries a request reported unknown may still
                                   land on (not counted in ORVEL_SYNC_HELD) */

/* An entry's state in orvel_sync_entry_status: ORVEL_SYNC_UNSENT,
 * ORVEL_SYNC_IN_FLIGHT or ORVEL_SYNC_CONFIRMING (of its newest operation),
 * ORVEL_SYNC_UNCERTAIN (nothing held, but a request reported unknown may
 * still land), or this: */
#define ORVEL_SYNC_SYNCED 0 /* nothing held: the store shows the service's state */

/* What orvel_sync_report_outcome did to the store. */
#define ORVEL_SYNC_STORE_UNCHANGED 0
#define ORVEL_SYNC_STORE_REMOVED 1 /* a refused addition: the entry is gone */
#define ORVEL_SYNC_STORE_SHOWN 2   /* a refused removal: the entry is back */

/* orvel_sync_load's result for a response older than one already loaded. */
#define ORVEL_SYNC_STALE (-2)

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque change journal. Create with orvel_sync_create, release with
 * orvel_sync_destroy. */
typedef struct orvel_journal orvel_journal;

/* One entry's state in the journal (orvel_sync_entry_status). */
typedef struct orvel_sync_entry {
  int32_t state;      /* ORVEL_SYNC_SYNCED, _UNSENT, _IN_FLIGHT, _CONFIRMING or _UNCERTAIN */
  int32_t wished;     /* the user's newest intent: 1 wished, 0 not; -1 when SYNCED */
  int64_t op_id;      /* the newest operation held, 0 when none is */
  uint32_t attempts;  /* how often its request was handed out */
  uint32_t uncertain; /* requests reported unknown that may still land */
} orvel_sync_entry;

/* ---- Versions, memory and the reason text -------------------------------- */

/* Static text ORVEL_SYNC_VERSION of the library loaded; never free it. */
ORVEL_SYNC_API const char *orvel_sync_version(void);

/* Interface version, 1. Compare with ORVEL_SYNC_ABI_VERSION at start-up. */
ORVEL_SYNC_API int32_t orvel_sync_abi_version(void);

/* The calling thread's reason for the last failure of a journal function,
 * "" after a success. Never NULL; never free it. */
ORVEL_SYNC_API const char *orvel_sync_last_error(void);

/* Releases a text returned by orvel_sync_next_request or orvel_sync_export.
 * NULL is ignored. */
ORVEL_SYNC_API void orvel_sync_free(void *text);

/* ---- The journal ------------------------------------------------------------ */

/* A new empty journal over store, which it borrows: the store must outlive
 * the journal, and from now on the app changes it only through the journal
 * (reading it with orvel_is_wished, orvel_count and orvel_export_json stays
 * free). NULL with "null arg" or "out of memory". */
ORVEL_SYNC_API orvel_journal *orvel_sync_create(orvel_store *store);

/* Releases the journal and every operation it holds; the store stays as it
 * is and remains the app's. NULL is ignored. */
ORVEL_SYNC_API void orvel_sync_destroy(orvel_journal *journal);

/* Records the intent that (kind, item_id) be wished (wished != 0) or not,
 * and shows it in the store at once (added with title and artist, or
 * removed). The operation is a set-state (add or remove), never a toggle, so
 * sending it twice is harmless. A newer intent replaces an unsent one of the
 * same entry; when the replaced one was never sent and nothing else is held
 * for the entry, the two cancel out (the store shows the intent, nothing is
 * left to send). Returns the new operation's id (positive, never reused by
 * this journal, a restore included), or 0 when nothing needs sending (the
 * store already showed the intent, or the intent cancelled an unsent one), or
 * -1 ("null arg", "invalid kind", "empty item_id",
 * "invalid utf-8", "out of memory"). title and artist may be NULL (sent as
 * ""); for a removal they are kept so that a refused removal can show the
 * entry again. */
ORVEL_SYNC_API int64_t orvel_sync_set(orvel_journal *journal, int32_t wished, const char *kind,
                                      const char *item_id, const char *title,
                                      const char *artist);

/* The request of the first unsent operation in queue order whose entry has
 * nothing in flight (operations queue in the order they were recorded; one
 * whose request failed or was unknown goes behind every other): exactly orvel_build_wish_request_json's envelope for base_url (NULL
 * or "" selects the default). The operation is then in flight, its id in
 * *op_id; at most one operation per entry is in flight. NULL with the reason
 * emptied and *op_id 0 when nothing can be sent; NULL with "null arg",
 * "invalid utf-8" (base_url) or "out of memory", the operation still unsent.
 * Free with orvel_sync_free. */
ORVEL_SYNC_API char *orvel_sync_next_request(orvel_journal *journal, const char *base_url,
                                             int64_t *op_id);

/* What became of the request of an operation in flight (the same as
 * orvel_sync_report_outcome without its store_change):
 *  ORVEL_SYNC_ACCEPTED: the operation is kept, confirming, until a list
 *    response fetched after this report has been loaded;
 *  ORVEL_SYNC_REJECTED: the operation is dropped; unless a newer intent for
 *    the entry is held, the store is put back: a refused addition is removed
 *    at once, a refused removal is shown again when the journal knows the
 *    entry's title and artist (otherwise the next load shows the service's
 *    truth);
 *  ORVEL_SYNC_FAILED: the operation is unsent again, behind every other
 *    unsent operation, and will be sent again unless a newer intent for the
 *    entry replaces it;
 *  ORVEL_SYNC_UNKNOWN: as FAILED, and the journal remembers that this
 *    request may still land (see the transport rule above).
 * -1 with "null arg", "invalid argument" (outcome) or "unknown operation"
 * (not in flight: already reported, or from before a restore), or "out of
 * memory" (showing a refused removal again); nothing changed then. */
ORVEL_SYNC_API int32_t orvel_sync_report(orvel_journal *journal, int64_t op_id,
                                         int32_t outcome);

/* A token for a list fetch the app is about to start: take it before the
 * request leaves, and pass it to orvel_sync_load with that fetch's response.
 * Tokens increase, also across a save and restore. -1 with "null arg". */
ORVEL_SYNC_API int64_t orvel_sync_begin_refresh(orvel_journal *journal);

/* Loads the list response of the fetch that token belongs to into the store
 * (as orvel_load_mine_json, all or nothing), then shows again, in journal
 * order, every operation the response may not reflect: unsent ones, those in
 * flight, and those accepted after the token was taken. Operations accepted
 * before the token was taken are confirmed by the response and leave the
 * journal, unless a request reported unknown for their entry may have landed
 * over them: when the response shows the entry otherwise than the user's
 * newest intent, and a request reported unknown with the response's state is
 * held for it, that request has landed late; the intent is shown and queued
 * again (and that request is forgotten). An entry whose requests may still
 * land stays in mind (ORVEL_SYNC_UNCERTAIN) after its operations are
 * confirmed. Returns the store's entry count; ORVEL_SYNC_STALE with "stale
 * response" for a response whose token is older than that of a response
 * already loaded (ignored, nothing changed); -1 with "null arg", "unknown
 * token", "invalid json" or "out of memory", nothing changed. len 0 means json
 * runs to its first NUL. Costs the core load and a pass over the operations
 * held (plus one scan and copy of the response when an addition must be shown
 * again, and one more parse of it while an entry whose newest intent is an
 * addition awaits confirmation with a request reported unknown). */
ORVEL_SYNC_API int32_t orvel_sync_load(orvel_journal *journal, int64_t token, const char *json,
                                       size_t len);

/* The journal as a JSON text: its format and version, the next id, the
 * tokens, and every operation held (id, state, op, kind, itemId, title,
 * artist, and for accepted ones the token they were accepted after). Complete
 * or NULL ("null arg", "out of memory"). Free with orvel_sync_free. */
ORVEL_SYNC_API char *orvel_sync_export(const orvel_journal *journal);

/* Reads an orvel_sync_export text back into a journal that holds no
 * operations, strictly: any malformed, truncated, wrongly typed or unknown
 * input fails ("invalid json", "invalid journal", "unsupported version") and
 * changes nothing; so does a journal that holds operations ("journal not
 * empty"). Operations that were in flight come back unsent (an unsent newer
 * intent for the same entry replaces them) and count as reported unknown, ids
 * and tokens continue from the saved ones (a text whose next id or tokens
 * leave no room to go on is invalid), and the store is made to show every
 * restored intent. Reads the texts of this version and of 1.0. Returns the
 * number of operations held, or -1. len 0 means json runs to its first NUL. */
ORVEL_SYNC_API int32_t orvel_sync_restore(orvel_journal *journal, const char *json, size_t len);

/* The number of operations held (ORVEL_SYNC_HELD) or in one state
 * (ORVEL_SYNC_UNSENT, ORVEL_SYNC_IN_FLIGHT, ORVEL_SYNC_CONFIRMING), or of
 * entries a request reported unknown may still land on
 * (ORVEL_SYNC_UNCERTAIN, since 1.1); -1 with "null arg" or "invalid
 * argument". */
ORVEL_SYNC_API int32_t orvel_sync_count(const orvel_journal *journal, int32_t which);

/* ---- Since 1.1 -------------------------------------------------------------- */

/* orvel_sync_report, also saying what it did to the store: *store_change
 * (when store_change is not NULL) becomes ORVEL_SYNC_STORE_REMOVED when a
 * refused addition left the store, ORVEL_SYNC_STORE_SHOWN when a refused
 * removal is shown again, else ORVEL_SYNC_STORE_UNCHANGED (also on failure). */
ORVEL_SYNC_API int32_t orvel_sync_report_outcome(orvel_journal *journal, int64_t op_id,
                                                 int32_t outcome, int32_t *store_change);

/* The journal's state for (kind, item_id), in constant time: 1 with *entry
 * filled when an operation is held for it or a request may still land on it,
 * 0 with *entry {ORVEL_SYNC_SYNCED, -1, 0, 0, 0} when neither; -1 with "null
 * arg" (journal or entry), "invalid kind" or "empty item_id", *entry
 * untouched. */
ORVEL_SYNC_API int32_t orvel_sync_entry_status(const orvel_journal *journal, const char *kind,
                                               const char *item_id, orvel_sync_entry *entry);

/* One snapshot: the store's entries (as orvel_export_json) and the journal
 * (as orvel_sync_export) in one JSON text, so that one atomic file write
 * saves both. Complete or NULL ("null arg", "out of memory"). Free with
 * orvel_sync_free. */
ORVEL_SYNC_API char *orvel_sync_snapshot(const orvel_journal *journal);

/* Reads an orvel_sync_snapshot text into a new store and a new journal over
 * it, strictly (as orvel_sync_restore; damage anywhere fails with "invalid
 * json", "invalid snapshot", "invalid journal" or "unsupported version").
 * Returns the journal, and the store in *store: both are the caller's (destroy
 * the journal first, then the store with orvel_destroy). NULL on failure,
 * *store then NULL ("null arg" also when store is NULL, "out of memory"). len
 * 0 means json runs to its first NUL. */
ORVEL_SYNC_API orvel_journal *orvel_sync_open_snapshot(const char *json, size_t len,
                                                       orvel_store **store);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_SYNC_H */
