// SPDX-License-Identifier: MIT
// A C++17 project that finds the installed C++ interface with
// find_package(orvel) (orvel::cxx) or pkg-config (orvel-cxx).
#include <orvel.hpp>

#include <cstdio>

int main() {
  orvel::SyncedWishlist wishes;
  const bool recorded = wishes.set_wished(orvel::Kind::track, "t1", true, "T", "A") > 0;
  const std::optional<orvel::PendingRequest> request = wishes.next_request();
  std::size_t entries = 0;
  for (const orvel::Entry entry : wishes.entries()) entries += entry.item_id == "t1";
  const bool ok = recorded && request && request->item_id == "t1" && entries == 1;
  std::printf("C++ consumer: liborvel %s, liborvel-sync %s %s\n", orvel::version().data(),
              orvel::sync_version().data(), ok ? "ok" : "failed");
  return ok ? 0 : 1;
}
