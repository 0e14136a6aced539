// SPDX-License-Identifier: MIT
// Refreshes while the journal holds changes, as a client makes them: the
// store's blocks are reused by each load while the journal's entries, shown
// again in them, come and go (the sanitizer builds see every byte read).
#include <gtest/gtest.h>

#include <string>

#include "orvel.hpp"

namespace {

using orvel::Kind;

std::string listing(int first, int count) {
  std::string text = "{\"items\":[";
  for (int i = first; i < first + count; ++i) {
    if (i != first) text += ",";
    text += "{\"kind\":\"track\",\"itemId\":\"tr-" + std::to_string(i) + "\",\"title\":\"a title of some length\"}";
  }
  return text + "]}";
}

TEST(Reload, RefreshesWhileChangesAreHeldKeepEveryEntry) {
  orvel::SyncedWishlist wishes;
  int held = 0;
  for (int round = 0; round < 12; ++round) {
    // Changes the journal shows again on each load, some with texts of their own.
    for (int k = 0; k < round % 4 + 1; ++k, ++held) {
      wishes.set_wished(Kind::album, "al-" + std::to_string(held), true, std::string(static_cast<std::size_t>(20 + held % 50), 't'), "artist");
    }
    // A removal of an entry the last list showed, which this list shows again.
    if (round > 0) wishes.set_wished(Kind::track, "tr-" + std::to_string(round), false);
    const std::int64_t token = wishes.begin_refresh();
    const std::optional<int> count = wishes.load(token, listing(round, 3 + round * 7 % 11));
    ASSERT_TRUE(count.has_value());
    for (int i = 0; i < held; ++i) EXPECT_TRUE(wishes.has(Kind::album, "al-" + std::to_string(i))) << round << " " << i;
    EXPECT_EQ(wishes.has(Kind::track, "tr-" + std::to_string(round)), round == 0);
  }
}

}  // namespace
