/* SPDX-License-Identifier: MIT */
/*
 * liborvel: the client-side core of a music service's wishlist.
 *
 * One opaque store per user holds the wished entries (kind + item id, with a
 * title and an artist for display). The library does no I/O: callers fetch
 * and post, the library builds URLs and JSON texts and reads responses.
 *
 * Conventions shared by every function:
 *  - Integer results are signed 32-bit: 0 success, -1 failure, unless noted.
 *  - A returned `char *` is a new NUL-terminated UTF-8 text owned by the
 *    caller, released with orvel_free(); NULL means failure.
 *  - Texts passed in are borrowed for the call only; NULL means "absent".
 *  - The per-thread error text (orvel_last_error) is written only by
 *    orvel_load_mine_json and orvel_build_wish_request_json.
 *  - Distinct stores may be used on distinct threads at once; one store must
 *    not be used by two threads at once. No function takes a lock.
 */
#ifndef ORVEL_H
#define ORVEL_H

#include <stddef.h>
#include <stdint.h>

/* Interface version: orvel_abi_version() returns it; the SONAME carries it. */
#define ORVEL_ABI_VERSION 1
/* Library version, written here once: the build, the packages and the
 * bindings take it from these three lines (or are checked against them). */
#define ORVEL_VERSION_MAJOR 1
#define ORVEL_VERSION_MINOR 0
#define ORVEL_VERSION_PATCH 0
/* The version as text, "MAJOR.MINOR.PATCH": orvel_version() returns it. */
#define ORVEL_STRINGIFY_(x) #x
#define ORVEL_STRINGIFY(x) ORVEL_STRINGIFY_(x)
#define ORVEL_VERSION                                                                  \
  ORVEL_STRINGIFY(ORVEL_VERSION_MAJOR) "." ORVEL_STRINGIFY(ORVEL_VERSION_MINOR) "." \
      ORVEL_STRINGIFY(ORVEL_VERSION_PATCH)

/* Export macro; a consumer may predefine ORVEL_API to its own needs. On
 * Windows the DLL exports the functions (ORVEL_BUILDING_LIBRARY, set by the
 * library's build) and consumers import them; define ORVEL_STATIC when
 * linking a static build of the library. */
#ifndef ORVEL_API
#  if defined(_WIN32)
#    if defined(ORVEL_STATIC)
#      define ORVEL_API
#    elif defined(ORVEL_BUILDING_LIBRARY)
#      define ORVEL_API __declspec(dllexport)
#    else
#      define ORVEL_API __declspec(dllimport)
#    endif
#  elif defined(__GNUC__) || defined(__clang__)
#    define ORVEL_API __attribute__((visibility("default")))
#  else
#    define ORVEL_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque wishlist store. Create with orvel_create, release with orvel_destroy
 * (never with orvel_free). */
typedef struct orvel_store orvel_store;

/* ---- Versions, memory and the error text ---------------------------------- */

/* Static text ORVEL_VERSION of the library loaded; never free it. */
ORVEL_API const char *orvel_version(void);

/* Interface version, 1. Compare with ORVEL_ABI_VERSION at start-up. */
ORVEL_API int32_t orvel_abi_version(void);

/* The calling thread's last error text: "" or one of "invalid kind",
 * "empty item_id", "null arg", "invalid json". Never NULL; never free it; the
 * same address on every call on one thread. Reading does not clear it. */
ORVEL_API const char *orvel_last_error(void);

/* Releases a text returned by orvel_build_mine_url,
 * orvel_build_wish_request_json or orvel_export_json. NULL is ignored. */
ORVEL_API void orvel_free(void *text);

/* ---- The store ------------------------------------------------------------- */

/* New empty store, or NULL when memory runs out. */
ORVEL_API orvel_store *orvel_create(void);

/* Releases the store and every text it holds. NULL is ignored. */
ORVEL_API void orvel_destroy(orvel_store *store);

/* 0 when kind is exactly "track", "album", "artist" or "playlist"
 * (case-sensitive), else -1 (NULL included). */
ORVEL_API int32_t orvel_validate_kind(const char *kind);

/* Number of entries; 0 for NULL. */
ORVEL_API int32_t orvel_count(const orvel_store *store);

/* 1 when the (kind, item_id) pair is in the store, else 0 (also for any NULL). */
ORVEL_API int32_t orvel_is_wished(const orvel_store *store, const char *kind,
                                  const char *item_id);

/* Adds the entry when absent (1) or removes it when present (0). -1 when the
 * store is NULL, the kind invalid, item_id NULL or empty, the store full or
 * memory short; the store is then unchanged. title and artist may be NULL
 * (stored as ""); they are ignored on removal. */
ORVEL_API int32_t orvel_apply_local_toggle(orvel_store *store, const char *kind,
                                           const char *item_id, const char *title,
                                           const char *artist);

/* ---- Service messages ------------------------------------------------------ */

/* The list URL: base_url (NULL or "" selects the compiled-in default) with its
 * trailing slashes removed, then "/wishlist/api/mine". NULL when memory runs
 * out. Free with orvel_free. Does not touch the error text. */
ORVEL_API char *orvel_build_mine_url(const char *base_url);

/* JSON envelope {"method","url","contentType","body"} of the POST that adds
 * (add != 0) or removes (add == 0) one wish; "body" holds the request body as
 * a JSON string. NULL with "invalid kind" or "empty item_id" when an argument
 * check fails; NULL with the error text emptied when a text is not valid UTF-8
 * or memory runs out (except the URL buffer: error text left as it was).
 * title and artist may be NULL (sent as ""). Free with orvel_free. */
ORVEL_API char *orvel_build_wish_request_json(const char *base_url, int32_t add,
                                              const char *kind, const char *item_id,
                                              const char *title, const char *artist);

/* Replaces the store's content with the entries of a list response (or of an
 * orvel_export_json document). len 0 means json runs to its first NUL;
 * otherwise exactly len bytes are read and no NUL is needed. Returns the entry
 * count and empties the error text; -1 with "null arg" (store or json NULL) or
 * "invalid json" (not strict JSON, or memory short), the store then unchanged. */
ORVEL_API int32_t orvel_load_mine_json(orvel_store *store, const char *json, size_t len);

/* The whole store as {"total":N,"items":[{"kind","itemId","title","artist"}...]},
 * complete or NULL (NULL store, a text that is not valid UTF-8, memory short).
 * Free with orvel_free. */
ORVEL_API char *orvel_export_json(const orvel_store *store);

/* Runs the built-in self-test: 0 when it passes, else the first failing step
 * (1 to 6). Empties the calling thread's error text when it passes. */
ORVEL_API int32_t orvel_selftest(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_H */
