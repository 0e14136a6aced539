// SPDX-License-Identifier: MIT
// The header on its own, as an app would include it: compiled by the CTest
// tests cxx_header_* as C++17 with every warning an error, with and without
// exceptions. Each call is named once so that every member is instantiated.
#include "orvel.hpp"

#include <cstdio>

int main() {
  orvel::Result<orvel::Wishlist> made = orvel::Wishlist::try_create();
  if (!made) return 1;
  orvel::Wishlist &wishes = *made;
  if (!wishes.try_load(R"({"items":[]})").ok()) return 1;
  const orvel::Result<bool> added = wishes.try_toggle(orvel::Kind::album, "al-1", "T", "A");
  std::size_t n = 0;
  if (orvel::Result<orvel::Entries> entries = wishes.try_entries(); entries) {
    for (const orvel::Entry entry : *entries) n += entry.item_id.size() + orvel::to_string(entry.kind).size();
  }
  const orvel::Result<std::string> url = orvel::Wishlist::try_mine_url();
  const orvel::Result<orvel::WishRequest> request = orvel::Wishlist::try_wish_request(true, orvel::Kind::track, "t");
  orvel::Result<orvel::SyncedWishlist> synced = orvel::SyncedWishlist::try_create();
  if (!synced) return 1;
  (void)synced->try_set_wished(orvel::Kind::track, "t", true);
  const auto pending = synced->try_next_request();
  if (pending && *pending) (void)synced->try_report((*pending)->op_id, orvel::Outcome::unknown);
  const auto token = synced->try_begin_refresh();
  (void)synced->try_load(token.ok() ? *token : 0, "[]");
  (void)synced->try_status(orvel::Kind::track, "t");
  const auto snapshot = synced->try_snapshot();
  (void)orvel::SyncedWishlist::try_open_snapshot(snapshot.ok() ? *snapshot : std::string());
  const auto saved = synced->try_save();
  (void)orvel::SyncedWishlist::try_restore(saved.ok() ? *saved : std::string(), std::string_view("[]"));
  n += static_cast<std::size_t>(synced->held() + synced->unsent() + synced->in_flight() + synced->confirming() +
                                synced->uncertain());
#if ORVEL_HPP_EXCEPTIONS
  try {
    orvel::SyncedWishlist thrown = orvel::SyncedWishlist::open_snapshot("");
  } catch (const orvel::Error &error) {
    n += error.reason().size();
  }
  (void)orvel::kind_from_string("track");
#endif
  std::printf("%zu %d %d %d\n", n, added.ok(), url.ok(), request.ok());
  return 0;
}
