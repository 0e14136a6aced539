// SPDX-License-Identifier: MIT
// Drives one store with a random sequence of toggles, loads and exports and
// compares it after every step with a simple model of the expected entries.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "orvel.h"

namespace {

using fuzz::check;
using fuzz::take;

struct Entry {
  std::string kind, id, title, artist;
};

constexpr const char *kKinds[] = {"track", "album", "artist", "playlist", "Track", ""};
constexpr const char *kIds[] = {"a", "b", "c", "", "a/b", "\xc3\xa9", "\"q\"", "x\\y"};
constexpr const char *kTitles[] = {"", "T", "line\nfeed", "\x01", "\xff"};

// Consumes bytes from the input; zero once it runs out.
struct Input {
  const std::uint8_t *data;
  std::size_t size;
  std::uint8_t next() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  template <std::size_t N>
  const char *pick(const char *const (&table)[N]) {
    return table[next() % N];
  }
};

bool valid_kind(const std::string &k) {
  return k == "track" || k == "album" || k == "artist" || k == "playlist";
}

bool utf8_ok(const std::vector<Entry> &model) {
  for (const Entry &e : model) {
    if (e.title.find('\xff') != std::string::npos) return false;
  }
  return true;
}

// The store must hold exactly the model's entries, in order.
void compare(const orvel_store *store, const std::vector<Entry> &model) {
  check(orvel_count(store) == static_cast<int32_t>(model.size()), "count");
  for (const Entry &e : model) {
    check(orvel_is_wished(store, e.kind.c_str(), e.id.c_str()) == 1, "entry present");
  }
  char *text = orvel_export_json(store);
  check((text != nullptr) == utf8_ok(model), "export absent exactly for invalid UTF-8");
  if (text == nullptr) return;
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(doc), "items");
  check(yyjson_arr_size(items) == model.size(), "export size");
  std::size_t i = 0, max = 0;
  yyjson_val *obj = nullptr;
  yyjson_arr_foreach(items, i, max, obj) {
    check(model[i].kind == yyjson_get_str(yyjson_obj_get(obj, "kind")), "kind in order");
    check(model[i].id == yyjson_get_str(yyjson_obj_get(obj, "itemId")), "id in order");
    check(model[i].title == yyjson_get_str(yyjson_obj_get(obj, "title")), "title");
    check(model[i].artist == yyjson_get_str(yyjson_obj_get(obj, "artist")), "artist");
  }
  yyjson_doc_free(doc);
  orvel_free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Input in{data, size};
  orvel_store *store = orvel_create();
  std::vector<Entry> model;
  while (in.size > 0) {
    switch (in.next() % 4) {
      case 0:
      case 1: {  // toggle
        const std::string kind = in.pick(kKinds);
        const std::string id = in.pick(kIds);
        const char *title = in.pick(kTitles);
        const int32_t r = orvel_apply_local_toggle(store, kind.c_str(), id.c_str(), title, "A");
        std::size_t found = model.size();
        for (std::size_t i = 0; i < model.size(); ++i) {
          if (model[i].kind == kind && model[i].id == id) found = i;
        }
        if (!valid_kind(kind) || id.empty()) {
          check(r == -1, "invalid toggle refused");
        } else if (found < model.size()) {
          check(r == 0, "present entry removed");
          model.erase(model.begin() + static_cast<std::ptrdiff_t>(found));
        } else {
          check(r == 1, "absent entry added");
          model.push_back({kind, id, title, "A"});
        }
        break;
      }
      case 2: {  // reload from its own export: same entries
        const std::string text = take(orvel_export_json(store));
        if (text != "<absent>") {
          check(orvel_load_mine_json(store, text.data(), text.size()) ==
                    static_cast<int32_t>(model.size()),
                "reload keeps every entry");
        }
        break;
      }
      case 3: {  // a failing load changes nothing; an empty one empties
        if (in.next() % 2 == 0) {
          check(orvel_load_mine_json(store, "{\"tracks\":[", 0) == -1, "bad load fails");
        } else {
          check(orvel_load_mine_json(store, "{}", 2) == 0, "empty load");
          model.clear();
        }
        break;
      }
    }
    compare(store, model);
  }
  orvel_destroy(store);
  return 0;
}
