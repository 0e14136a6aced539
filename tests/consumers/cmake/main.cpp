// SPDX-License-Identifier: MIT
// A C++ project that finds the installed library with find_package(orvel).
#include <orvel.h>
#include <orvel_sync.h>

#include <cstdio>

int main() {
  const int result = orvel_selftest();
  orvel_store *store = orvel_create();
  orvel_journal *journal = orvel_sync_create(store);
  const bool journal_ok = orvel_sync_set(journal, 1, "track", "t1", "T", "A") == 1;
  orvel_sync_destroy(journal);
  orvel_destroy(store);
  std::printf("cmake consumer: liborvel %s selftest %d, liborvel-sync %s %s\n", orvel_version(), result,
              orvel_sync_version(), journal_ok ? "ok" : "failed");
  return result != 0 || !journal_ok;
}
