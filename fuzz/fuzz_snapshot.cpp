// SPDX-License-Identifier: MIT
// Reads any bytes as a snapshot: a failure leaves nothing behind and names a
// reason of its own; a success gives a consistent journal over a store whose
// snapshot opens again to the same text.
#include <cstdint>
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
  orvel_store *store = reinterpret_cast<orvel_store *>(&size);  // must be replaced
  // A length of 0 would mean "up to the first NUL": pass an empty text as such.
  orvel_journal *journal = orvel_sync_open_snapshot(size > 0 ? text : "", size, &store);
  if (journal == nullptr) {
    const std::string why = orvel_sync_last_error();
    check(store == nullptr, "a failed open gives no store");
    check(why == "invalid json" || why == "invalid snapshot" || why == "invalid journal" ||
              why == "unsupported version",
          "a reason of open_snapshot");
    return 0;
  }
  check(store != nullptr, "an open gives the store");
  check(orvel_sync::consistent(journal), "the journal keeps its invariants");
  check(orvel_sync_count(journal, ORVEL_SYNC_IN_FLIGHT) == 0, "nothing is in flight after an open");
  const std::string saved = take_sync(orvel_sync_snapshot(journal));
  orvel_store *again_store = nullptr;
  orvel_journal *again = orvel_sync_open_snapshot(saved.data(), saved.size(), &again_store);
  check(again != nullptr, "a snapshot opens again");
  check(take_sync(orvel_sync_snapshot(again)) == saved, "and saves to the same text");
  orvel_sync_destroy(again);
  orvel_destroy(again_store);
  orvel_sync_destroy(journal);
  orvel_destroy(store);
  return 0;
}
