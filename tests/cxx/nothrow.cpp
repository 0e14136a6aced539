// SPDX-License-Identifier: MIT
// The non-throwing form in a program built without exceptions: every result
// checked, failures with their reasons. Exits 0 when all hold, else names the
// first that did not.
#include <cstdio>
#include <cstdlib>

#include "orvel.hpp"

#if ORVEL_HPP_EXCEPTIONS
#error "this program must be built without exceptions"
#endif

namespace {

int failures = 0;

void check(bool holds, const char *what) {
  if (!holds) {
    std::fprintf(stderr, "nothrow: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  orvel::Result<orvel::Wishlist> made = orvel::Wishlist::try_create();
  check(made.ok(), "a wishlist is made");
  if (!made) return 1;
  orvel::Wishlist &wishes = *made;
  check(wishes.try_load(R"({"tracks":["a"]})").value() == 1, "a load gives its count");
  check(wishes.try_load("{").reason() == "invalid json", "a bad load gives its reason");
  check(wishes.try_toggle(orvel::Kind::track, "").reason() == "empty item_id", "an empty id is refused");
  check(*wishes.try_toggle(orvel::Kind::album, "b", "T"), "a toggle adds");
  std::size_t seen = 0;
  orvel::Result<orvel::Entries> entries = wishes.try_entries();
  for (const orvel::Entry entry : *entries) seen += entry.item_id.size();
  check(seen == 2, "the entries are iterated");
  check(orvel::try_kind_from_string("x").reason() == "invalid kind", "an unknown kind is refused");
  check(orvel::Wishlist::try_mine_url("http://h/").value() == "http://h/wishlist/api/mine", "the list URL");

  orvel::Result<orvel::SyncedWishlist> synced = orvel::SyncedWishlist::try_create();
  check(synced.ok(), "a synced wishlist is made");
  if (!synced) return 1;
  check(synced->try_set_wished(orvel::Kind::track, "t", true).value() > 0, "an intent is recorded");
  orvel::Result<std::optional<orvel::PendingRequest>> request = synced->try_next_request();
  check(request.ok() && request->has_value(), "its request is handed out");
  if (request.ok() && request->has_value()) {
    check(synced->try_report((*request)->op_id, orvel::Outcome::accepted).ok(), "its outcome is taken");
  }
  check(synced->try_report(999, orvel::Outcome::accepted).reason() == "unknown operation", "an unknown id");
  const orvel::Result<std::string> snapshot = synced->try_snapshot();
  check(snapshot.ok() && orvel::SyncedWishlist::try_open_snapshot(*snapshot).ok(), "the snapshot reads back");
  check(orvel::SyncedWishlist::try_open_snapshot("").reason() == "invalid json", "a bad snapshot is refused");
  return failures == 0 ? 0 : 1;
}
