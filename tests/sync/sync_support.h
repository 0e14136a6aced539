// SPDX-License-Identifier: MIT
// Helpers for the journal's tests: a store with its journal, and a snapshot
// of both that tells whether a call changed anything.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "orvel.h"
#include "orvel_sync.h"
#include "support.h"

namespace orvel_sync_test {

using orvel_test::take;

inline std::optional<std::string> take_sync(char *text) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text);
  orvel_sync_free(text);
  return copy;
}

struct JournalDeleter {
  void operator()(orvel_journal *j) const { orvel_sync_destroy(j); }
};

// A store and a journal over it, destroyed journal first.
struct Synced {
  orvel_test::Store store = orvel_test::make_store();
  std::unique_ptr<orvel_journal, JournalDeleter> journal{orvel_sync_create(store.get())};

  orvel_journal *j() const { return journal.get(); }
  int64_t set(bool wished, const char *kind, const char *id, const char *title = nullptr,
              const char *artist = nullptr) const {
    return orvel_sync_set(j(), wished ? 1 : 0, kind, id, title, artist);
  }
  // The next request and its operation id (0 and nullopt when none).
  std::pair<std::optional<std::string>, int64_t> next(const char *base = "https://s.example") const {
    int64_t id = -7;
    auto text = take_sync(orvel_sync_next_request(j(), base, &id));
    return {text, id};
  }
  int64_t send() const { return next().second; }
  int32_t load(int64_t token, const std::string &json) const {
    return orvel_sync_load(j(), token, json.data(), json.size());
  }
  std::string journal_text() const { return take_sync(orvel_sync_export(j())).value_or("<none>"); }
  std::string store_text() const { return take(orvel_export_json(store.get())).value_or("<none>"); }
  bool shows(const char *kind, const char *id) const { return orvel_is_wished(store.get(), kind, id) == 1; }
  int32_t count(int32_t which) const { return orvel_sync_count(j(), which); }

  // Everything a call may change, to assert that a failed one changed nothing.
  std::string snapshot() const { return journal_text() + "\n" + store_text(); }
};

inline std::string reason() { return orvel_sync_last_error(); }

}  // namespace orvel_sync_test
