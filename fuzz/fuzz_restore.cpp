// SPDX-License-Identifier: MIT
// Reads any bytes back as a saved journal: a failure changes nothing, a
// success holds a consistent journal that saves and restores to the same text.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "journal_check.h"
#include "orvel_sync.h"

namespace {

using fuzz::check;
using fuzz::take_sync;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  orvel_store *store = orvel_create();
  orvel_load_mine_json(store, R"({"tracks":["kept"],"albums":[{"itemId":"a","title":"A"}]})", 0);
  orvel_journal *journal = orvel_sync_create(store);
  const std::string store_before = fuzz::take(orvel_export_json(store));
  const std::string journal_before = take_sync(orvel_sync_export(journal));
  // A length of 0 would mean "up to the first NUL": pass an empty text as such.
  const int32_t held = orvel_sync_restore(journal, size > 0 ? text : "", size);
  check(orvel_sync::consistent(journal), "the journal keeps its invariants");
  if (held < 0) {
    const std::string why = orvel_sync_last_error();
    check(why == "invalid json" || why == "invalid journal" || why == "unsupported version", "a reason of restore");
    check(fuzz::take(orvel_export_json(store)) == store_before, "a failed restore leaves the store");
    check(take_sync(orvel_sync_export(journal)) == journal_before, "a failed restore leaves the journal");
  } else {
    check(held == orvel_sync_count(journal, ORVEL_SYNC_HELD), "restore counts what it holds");
    check(orvel_sync_count(journal, ORVEL_SYNC_IN_FLIGHT) == 0, "nothing is in flight after a restore");
    const std::string saved = take_sync(orvel_sync_export(journal));
    orvel_store *again_store = orvel_create();
    orvel_journal *again = orvel_sync_create(again_store);
    check(orvel_sync_restore(again, saved.data(), saved.size()) == held, "a saved journal restores");
    check(take_sync(orvel_sync_export(again)) == saved, "and saves to the same text");
    orvel_sync_destroy(again);
    orvel_destroy(again_store);
  }
  orvel_sync_destroy(journal);
  orvel_destroy(store);
  return 0;
}
