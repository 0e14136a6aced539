/* SPDX-License-Identifier: MIT */
/* The wishlist of one user, kept in step with the service: it loads the list,
 * shows it, wishes one album through the change journal, sends the change
 * (backing off while the service fails or does not answer) and shows the list
 * again. The store and the journal are saved together in
 * FOLDER/wishlist.snapshot after every change, so a second run goes on where
 * the first stopped.
 *   wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]      (each request's deadline, 10 by default)
 * HTTP through libcurl, JSON through yyjson (which liborvel-dev brings). */
#include <orvel.h>
#include <orvel_sync.h>
#if ORVEL_SYNC_VERSION_MAJOR == 1 && ORVEL_SYNC_VERSION_MINOR < 1
#error "this program needs liborvel-sync 1.1 or later"
#endif

#include <curl/curl.h>
#include <yyjson.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MAX_TRIES = 6 };
static long timeout_ms = 10000; /* each request's deadline */
static const size_t MAX_LIST_BYTES = 4u << 20; /* a list larger than this is refused */
static char snapshot_path[4096]; /* FOLDER/wishlist.snapshot: the store and the journal */

/* http()'s result when no answer came. */
enum {
  NOT_SENT = 0,   /* the request certainly did not leave: refused, or the name did not resolve */
  NO_ANSWER = -1, /* it may have reached the service: deadline passed, connection broken */
};

/* ---- HTTP --------------------------------------------------------------------- */
struct buffer {
  char *data;
  size_t len;
};

static int append(struct buffer *out, const char *bytes, size_t n) {
  char *grown = realloc(out->data, out->len + n + 1);
  if (grown == NULL) return 0;
  memcpy(grown + out->len, bytes, n);
  out->len += n;
  grown[out->len] = '\0';
  out->data = grown;
  return 1;
}

static size_t collect(char *bytes, size_t size, size_t count, void *userdata) {
  struct buffer *out = userdata;
  size_t n = size * count;
  if (n > MAX_LIST_BYTES - out->len) return 0; /* too large: curl stops with an error */
  return append(out, bytes, n) ? n : 0;
}

static size_t discard(char *bytes, size_t size, size_t count, void *userdata) {
  (void)bytes, (void)userdata;
  return size * count;
}

/* One request on a connection of its own: the HTTP status, NOT_SENT or
 * NO_ANSWER. curl_easy_cleanup closes the connection before this returns, so
 * a request without an answer can no longer land after it. */
static long http(const char *method, const char *url, const char *content_type, const char *body,
                 struct buffer *answer) {
  CURL *curl = curl_easy_init();
  if (curl == NULL) return NOT_SENT;
  struct curl_slist *headers = NULL;
  char header[256];
  long status = 0;
  curl_easy_setopt(curl, CURLOPT_URL, url);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, answer ? collect : discard);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, answer);
  if (body != NULL) {
    snprintf(header, sizeof header, "Content-Type: %s", content_type);
    headers = curl_slist_append(headers, header);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
  }
  CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK)
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  else
    status = code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
                     code == CURLE_COULDNT_RESOLVE_PROXY
                 ? NOT_SENT
                 : NO_ANSWER;
  curl_easy_cleanup(curl);
  curl_slist_free_all(headers);
  return status;
}

/* ---- files -------------------------------------------------------------------- */
/* The whole file, or NULL with errno set (ENOENT: there is none). */
static char *read_file(const char *path, size_t *len) {
  FILE *file = fopen(path, "rb");
  if (file == NULL) return NULL;
  struct buffer text = {NULL, 0};
  char chunk[8192];
  size_t n;
  int ok = append(&text, "", 0); /* an empty file is "" */
  while (ok && (n = fread(chunk, 1, sizeof chunk, file)) > 0) ok = append(&text, chunk, n);
  ok = ok && !ferror(file);
  int error = errno;
  fclose(file);
  errno = error;
  if (!ok) free(text.data);
  *len = text.len;
  return ok ? text.data : NULL;
}

/* Replaces the snapshot with text whole: a temporary file, fsync, rename, and
 * fsync of the folder, so a crash leaves the old file or the new one. */
static int write_atomically(const char *folder, const char *text) {
  char temporary[sizeof snapshot_path + 4];
  snprintf(temporary, sizeof temporary, "%s.tmp", snapshot_path);
  int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return -1;
  size_t len = strlen(text), done = 0;
  while (done < len) {
    ssize_t n = write(fd, text + done, len - done);
    if (n < 0) break;
    done += (size_t)n;
  }
  int ok = done == len && fsync(fd) == 0;
  ok = close(fd) == 0 && ok && rename(temporary, snapshot_path) == 0;
  if (!ok) unlink(temporary);
  int dir = open(folder, O_RDONLY | O_DIRECTORY);
  ok = dir >= 0 && fsync(dir) == 0 && ok;
  if (dir >= 0) close(dir);
  return ok ? 0 : -1;
}

/* The save step, after every change: the store and the journal in one snapshot. */
static int save(orvel_journal *journal, const char *folder) {
  char *text = orvel_sync_snapshot(journal);
  int result = text && write_atomically(folder, text) == 0 ? 0 : -1;
  orvel_sync_free(text);
  if (result != 0) fprintf(stderr, "wishlist: %s: could not save\n", snapshot_path);
  return result;
}

/* The wishlist saved in the snapshot, or a new one when there is none yet. A
 * snapshot that cannot be read is an error, and left as it is: starting anew
 * would save over it. NULL then, said on stderr. */
static orvel_journal *open_wishes(orvel_store **store) {
  size_t len = 0;
  char *text = read_file(snapshot_path, &len);
  int error = errno;
  orvel_journal *journal = NULL;
  *store = NULL;
  if (text != NULL) {
    journal = orvel_sync_open_snapshot(text, len, store);
    if (journal == NULL) fprintf(stderr, "wishlist: %s: %s\n", snapshot_path, orvel_sync_last_error());
  } else if (error != ENOENT) {
    fprintf(stderr, "wishlist: %s: %s\n", snapshot_path, strerror(error));
  } else if ((*store = orvel_create()) != NULL && (journal = orvel_sync_create(*store)) == NULL) {
    orvel_destroy(*store);
    *store = NULL;
  }
  free(text);
  return journal;
}

/* ---- the wishlist ------------------------------------------------------------- */
static void show(orvel_store *store) {
  char *text = orvel_export_json(store);
  yyjson_doc *doc = text ? yyjson_read(text, strlen(text), 0) : NULL;
  printf("wishlist: %d entries\n", orvel_count(store));
  yyjson_val *entry;
  size_t i, n;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "items"), i, n, entry) {
    const char *artist = yyjson_get_str(yyjson_obj_get(entry, "artist"));
    printf("  %s %s: %s%s%s\n", yyjson_get_str(yyjson_obj_get(entry, "kind")),
           yyjson_get_str(yyjson_obj_get(entry, "itemId")), yyjson_get_str(yyjson_obj_get(entry, "title")),
           artist[0] ? ", by " : "", artist);
  }
  yyjson_doc_free(doc);
  orvel_free(text);
}

/* Loads the list from the service; the token is taken before the request leaves. */
static void refresh(orvel_journal *journal, const char *base_url, const char *folder) {
  int64_t token = orvel_sync_begin_refresh(journal);
  char *url = orvel_build_mine_url(base_url);
  struct buffer list = {NULL, 0};
  long status = url ? http("GET", url, NULL, NULL, &list) : NOT_SENT;
  if (status / 100 == 2 && orvel_sync_load(journal, token, list.data ? list.data : "", list.len) >= 0)
    save(journal, folder);
  else
    printf("the list could not be loaded (HTTP %ld): showing the saved one\n", status > 0 ? status : 0);
  free(list.data);
  orvel_free(url);
}

/* 2xx: applied; 408, 429, 5xx or not sent: failed, to try again later; no
 * answer: unknown, it may have landed, tried again too; other 4xx: refused for good. */
static int32_t outcome_of(long status) {
  if (status == NO_ANSWER) return ORVEL_SYNC_UNKNOWN;
  if (status / 100 == 2) return ORVEL_SYNC_ACCEPTED;
  if (status / 100 == 4 && status != 408 && status != 429) return ORVEL_SYNC_REJECTED;
  return ORVEL_SYNC_FAILED;
}

/* The sync step: sends the oldest unsent change and reports what became of
 * it. Its outcome, or 0 when nothing was left to send. */
static int32_t sync_one(orvel_journal *journal, const char *base_url, const char *folder) {
  int64_t op = 0;
  char *request = orvel_sync_next_request(journal, base_url, &op);
  if (request == NULL) return 0;
  save(journal, folder); /* in flight before it leaves: after a crash a later tap is sent, not cancelled */
  yyjson_doc *doc = yyjson_read(request, strlen(request), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  const char *method = yyjson_get_str(yyjson_obj_get(root, "method"));
  const char *url = yyjson_get_str(yyjson_obj_get(root, "url"));
  const char *content_type = yyjson_get_str(yyjson_obj_get(root, "contentType"));
  const char *body = yyjson_get_str(yyjson_obj_get(root, "body"));
  /* An envelope that could not be read (memory ran out) is not sent: it fails, to be sent again. */
  long status = method && url && content_type && body ? http(method, url, content_type, body, NULL) : NOT_SENT;
  yyjson_doc_free(doc);
  orvel_sync_free(request);
  int32_t outcome = outcome_of(status);
  orvel_sync_report(journal, op, outcome);
  return outcome;
}

/* Sends every change, waiting longer after each failure or request without an
 * answer (no hot loop while the service is down); after MAX_TRIES of them the
 * rest waits for a later run. */
static void send_changes(orvel_journal *journal, const char *base_url, const char *folder) {
  double delay = 0.2;
  int failures = 0;
  for (int32_t outcome; (outcome = sync_one(journal, base_url, folder)) != 0;) {
    save(journal, folder);
    if (outcome == ORVEL_SYNC_ACCEPTED) printf("sent: accepted\n");
    if (outcome == ORVEL_SYNC_REJECTED) printf("sent: refused by the service\n");
    if (outcome != ORVEL_SYNC_FAILED && outcome != ORVEL_SYNC_UNKNOWN) continue;
    if (++failures == MAX_TRIES) {
      printf("sent: failed; %d changes kept for later\n", orvel_sync_count(journal, ORVEL_SYNC_UNSENT));
      return;
    }
    printf(outcome == ORVEL_SYNC_FAILED ? "sent: failed, trying again in %.1f s\n"
                                        : "sent: no answer in time, trying again in %.1f s\n",
           delay);
    struct timespec pause = {(time_t)delay, (long)((delay - (double)(time_t)delay) * 1e9)};
    nanosleep(&pause, NULL);
    delay = delay * 2 < 5 ? delay * 2 : 5;
  }
}

int main(int argc, char **argv) {
  double seconds = argc == 4 ? strtod(argv[3], NULL) : 10;
  if (argc < 3 || argc > 4 || !(seconds > 0 && seconds < 3600)) {
    fprintf(stderr, "usage: wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]\n");
    return 2;
  }
  timeout_ms = (long)(seconds * 1000);
  const char *base_url = argv[1], *folder = argv[2];
  if ((size_t)snprintf(snapshot_path, sizeof snapshot_path, "%s/wishlist.snapshot", folder) >= sizeof snapshot_path) {
    fprintf(stderr, "wishlist: %s: the folder's name is too long\n", folder);
    return 1;
  }
  if (orvel_abi_version() != ORVEL_ABI_VERSION || orvel_sync_abi_version() != ORVEL_SYNC_ABI_VERSION) return 1;
  orvel_store *store;
  orvel_journal *journal = open_wishes(&store);
  if (journal == NULL) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);

  refresh(journal, base_url, folder);
  show(store);
  int64_t op = orvel_sync_set(journal, 1, "album", "al-42", "Blue Hour", "Ines Varga");
  if (op < 0) fprintf(stderr, "wishlist: %s\n", orvel_sync_last_error());
  printf(op > 0 ? "wished album al-42\n" : op == 0 ? "album al-42 is wished already\n" : "");
  save(journal, folder);
  send_changes(journal, base_url, folder);
  refresh(journal, base_url, folder);
  show(store);
  printf("changes not yet confirmed: %d\n", orvel_sync_count(journal, ORVEL_SYNC_HELD));

  orvel_sync_destroy(journal);
  orvel_destroy(store);
  curl_global_cleanup();
  return 0;
}
