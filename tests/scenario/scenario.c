/* SPDX-License-Identifier: MIT */
/* The cross-language scenario in C: the reference output that every binding
 * must reproduce byte for byte (see run.sh). Usage: scenario RESPONSE_FILE */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <yyjson.h>

#include "orvel.h"

static const char kBase[] = "https://api.example.test//";
static const char kNewTitle[] = "Neu \xc3\xbc \xf0\x9f\x8e\xa7";
static const char kArtist[] = "He said \"hi\"\n";

/* One field of an entry, as its length in UTF-8 bytes and its bytes: every
 * language can write that without an escaping rule of its own. */
static void field(yyjson_val *entry, const char *name) {
  yyjson_val *v = yyjson_obj_get(entry, name);
  printf(" %zu:", yyjson_get_len(v));
  fwrite(yyjson_get_str(v), 1, yyjson_get_len(v), stdout);
}

/* The entries in store order, as a binding's iteration yields them. */
static void print_entries(const orvel_store *store) {
  char *text = orvel_export_json(store);
  yyjson_doc *doc = yyjson_read(text, text != NULL ? strlen(text) : 0, 0);
  size_t idx, max;
  yyjson_val *entry;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "items"), idx, max, entry) {
    printf("entry %zu: %s", idx, yyjson_get_str(yyjson_obj_get(entry, "kind")));
    field(entry, "itemId");
    field(entry, "title");
    field(entry, "artist");
    printf("\n");
  }
  yyjson_doc_free(doc);
  orvel_free(text);
}

static void print_text(const char *label, char *text) {
  if (text == NULL) {
    printf("%s: (none) error=%s\n", label, orvel_last_error());
  } else {
    printf("%s: %s\n", label, text);
  }
  orvel_free(text);
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  FILE *file = fopen(argv[1], "rb");
  if (file == NULL) return 1;
  static char response[1 << 16];
  size_t len = fread(response, 1, sizeof response, file);
  fclose(file);

  orvel_store *store = orvel_create();
  if (store == NULL) return 1;
  printf("version: %s abi %d\n", orvel_version(), (int)orvel_abi_version());
  printf("load: %d\n", (int)orvel_load_mine_json(store, response, len));
  printf("toggle-in: %d\n", (int)orvel_apply_local_toggle(store, "album", "al-new", kNewTitle, NULL));
  printf("toggle-out: %d\n", (int)orvel_apply_local_toggle(store, "track", "tr-3", NULL, NULL));
  printf("has: %d %d\n", (int)orvel_is_wished(store, "album", "al-new"),
         (int)orvel_is_wished(store, "track", "tr-3"));
  printf("count: %d\n", (int)orvel_count(store));
  print_text("mine-url", orvel_build_mine_url(kBase));
  print_text("request", orvel_build_wish_request_json(kBase, 1, "album", "al-new", kNewTitle, kArtist));
  print_text("request-bad-utf8",
             orvel_build_wish_request_json(kBase, 0, "album", "al-new", "\xff\xfe", NULL));
  printf("load-bad-utf8: %d error=%s\n", (int)orvel_load_mine_json(store, "[\"\xff\"]", 5),
         orvel_last_error());
  print_text("export", orvel_export_json(store));
  print_entries(store);
  orvel_destroy(store);
  return 0;
}
