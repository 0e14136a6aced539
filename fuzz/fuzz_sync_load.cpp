// SPDX-License-Identifier: MIT
// A refresh shows again exactly what the journal holds: for any response and
// any intents, loading through the journal equals loading through liborvel
// and then applying each entry's last intent with toggles; and it fails,
// changing nothing, exactly when liborvel's load fails.
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "orvel_sync.h"

namespace {

using fuzz::check;

constexpr const char *kKinds[] = {"track", "album", "artist", "playlist"};
constexpr const char *kIds[] = {"a", "b", "c", "i"};

struct Intent {
  const char *kind, *id;
  bool wished;
  bool recorded;   // the journal kept it (the store did not show it already)
  bool cancelled;  // it undid the entry's unsent intent: nothing is held for the entry
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The first bytes choose up to eight intents; the rest is the response.
  std::size_t n = size > 0 ? data[0] % 9 : 0;
  if (size < 1 + n) return 0;
  Intent intents[8];
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = data[1 + i];
    intents[i] = {kKinds[b & 3], kIds[(b >> 2) & 3], (b & 16) != 0, false, false};
  }
  const std::string response(reinterpret_cast<const char *>(data) + 1 + n, size - 1 - n);
  const char *seed_list = R"({"tracks":["a","b"],"albums":[{"itemId":"c","title":"C"}]})";

  // Through the journal.
  orvel_store *store = orvel_create();
  orvel_load_mine_json(store, seed_list, 0);
  orvel_journal *journal = orvel_sync_create(store);
  for (std::size_t i = 0; i < n; ++i) {
    const bool shown = orvel_is_wished(store, intents[i].kind, intents[i].id) == 1;
    const int64_t id = orvel_sync_set(journal, intents[i].wished, intents[i].kind, intents[i].id, "t", "a");
    intents[i].recorded = id > 0;
    // Nothing is ever sent here, so an intent the store did not show yet
    // records nothing only by cancelling the unsent one before it.
    intents[i].cancelled = id == 0 && shown != intents[i].wished;
  }
  const int64_t token = orvel_sync_begin_refresh(journal);
  const std::string before = fuzz::take(orvel_export_json(store));
  const int32_t got = orvel_sync_load(journal, token, response.empty() ? "" : response.data(), response.size());

  // By hand: the plain load, then each entry's last recorded intent.
  orvel_store *expected = orvel_create();
  const bool valid = orvel_load_mine_json(expected, response.empty() ? "" : response.data(), response.size()) >= 0;
  for (std::size_t i = 0; valid && i < n; ++i) {
    bool last = intents[i].recorded;
    for (std::size_t k = i + 1; k < n; ++k) {
      if ((intents[k].recorded || intents[k].cancelled) && std::string(intents[k].kind) == intents[i].kind &&
          std::string(intents[k].id) == intents[i].id) {
        last = false;
      }
    }
    if (last && (orvel_is_wished(expected, intents[i].kind, intents[i].id) == 1) != intents[i].wished) {
      orvel_apply_local_toggle(expected, intents[i].kind, intents[i].id, "t", "a");
    }
  }
  if (!valid) {
    check(got == -1, "an invalid response fails through the journal too");
    check(fuzz::take(orvel_export_json(store)) == before, "and changes nothing");
  } else {
    check(got == orvel_count(expected), "the same number of entries");
    check(fuzz::take(orvel_export_json(store)) == fuzz::take(orvel_export_json(expected)),
          "the same entries in the same order");
  }
  orvel_destroy(expected);
  orvel_sync_destroy(journal);
  orvel_destroy(store);
  return 0;
}
