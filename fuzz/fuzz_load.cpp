// SPDX-License-Identifier: MIT
// Fuzzes the loader with arbitrary bytes, both with an exact length and read
// up to the first NUL. Whatever loads must export, load again into an equal
// store and export to the same text; whatever fails must leave the store as
// it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "orvel.h"

namespace {

using fuzz::check;
using fuzz::take;

void load_and_check(orvel_store *store, const char *data, std::size_t len) {
  const std::string before = take(orvel_export_json(store));
  const int32_t n = orvel_load_mine_json(store, data, len);
  if (n < 0) {
    check(n == -1, "failure is -1");
    check(std::strcmp(orvel_last_error(), "invalid json") == 0, "failure says invalid json");
    check(take(orvel_export_json(store)) == before, "failed load keeps the store");
    return;
  }
  check(orvel_last_error()[0] == '\0', "success empties the error text");
  check(orvel_count(store) == n, "result is the count");
  const std::string first = take(orvel_export_json(store));
  check(first != "<absent>", "a loaded store exports");
  orvel_store *again = orvel_create();
  check(orvel_load_mine_json(again, first.data(), first.size()) == n, "export loads back whole");
  check(take(orvel_export_json(again)) == first, "round trip gives the same text");
  orvel_destroy(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  orvel_store *store = orvel_create();
  orvel_apply_local_toggle(store, "album", "seed", "kept", "on failure");
  // Exact length: libFuzzer's buffer ends right after the last byte, so any
  // read past len is caught by the address sanitizer.
  if (size > 0) load_and_check(store, reinterpret_cast<const char *>(data), size);
  // Length 0: the text runs to its first NUL.
  std::string terminated(reinterpret_cast<const char *>(data), size);
  load_and_check(store, terminated.c_str(), 0);
  orvel_destroy(store);
  return 0;
}
