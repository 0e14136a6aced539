// SPDX-License-Identifier: MIT
// A store at its entry limit, reached for real: this test is built against
// objects whose limit is 4 entries (ORVEL_TEST_MAX_ENTRIES), so every path
// that meets the limit runs as it would at 2,147,483,647.
#include <gtest/gtest.h>

#include <string>

#include "store.h"

static_assert(orvel::kMaxEntries == 4, "built against the small-limit objects");

namespace {

struct StoreGuard {
  orvel_store *s = orvel_create();
  ~StoreGuard() { orvel_destroy(s); }
};

std::string exported(const orvel_store *s) {
  char *text = orvel_export_json(s);
  std::string copy = text != nullptr ? text : "<absent>";
  orvel_free(text);
  return copy;
}

}  // namespace

// Full: a new pair is refused, a pair already there is still there, and a
// toggle of a present pair removes it, after which there is room again.
TEST(EntryLimit, AFullStoreRefusesNewPairsButRemoves) {
  StoreGuard g;
  for (const char *id : {"a", "b", "c", "d"}) ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", id, "", ""), 1);
  const std::string full = exported(g.s);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "e", "", ""), -1);
  EXPECT_EQ(orvel::add_item(g.s, "album", "a", "", ""), orvel::AddResult::failed);
  EXPECT_EQ(orvel::add_item(g.s, "track", "a", "other", ""), orvel::AddResult::ok);
  EXPECT_EQ(exported(g.s), full) << "refusals change nothing";

  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "b", "", ""), 0);
  EXPECT_EQ(orvel_count(g.s), 3);
  EXPECT_EQ(orvel_is_wished(g.s, "track", "b"), 0);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "e", "", ""), 1);
  EXPECT_EQ(orvel_count(g.s), 4);
}

// A store filled by a load removes at its limit just the same, from its
// generation, and takes a toggled pair in the room that frees.
TEST(EntryLimit, ALoadedFullStoreRemovesToo) {
  StoreGuard g;
  ASSERT_EQ(orvel_load_mine_json(g.s, R"({"albums":["a","b","a","c","d"]})", 0), 4);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "t", "", ""), -1);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "album", "a", "", ""), 0);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "t", "", ""), 1);
  EXPECT_EQ(exported(g.s),
            R"({"total":4,"items":[{"kind":"album","itemId":"b","title":"","artist":""},)"
            R"({"kind":"album","itemId":"c","title":"","artist":""},)"
            R"({"kind":"album","itemId":"d","title":"","artist":""},)"
            R"({"kind":"track","itemId":"t","title":"","artist":""}]})");
}

// A response that would need more entries than the limit fails as a whole,
// whether its elements are counted one by one (dense) or by their arrays'
// lengths (roomy), and leaves the store as it was.
TEST(EntryLimit, ALoadBeyondTheLimitFailsAndKeepsTheStore) {
  StoreGuard g;
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", "kept", "", ""), 1);
  const std::string before = exported(g.s);
  const std::string roomy = R"({"items":[)" + [] {
    std::string out;
    for (int i = 0; i < 5; ++i) {
      out += std::string(i > 0 ? "," : "") + R"({"kind":"album","itemId":"album number )" + std::to_string(i) +
             R"(","title":"a title long enough","artist":"someone"})";
    }
    return out;
  }() + "]}";
  for (const std::string &response : {std::string(R"({"albums":["a","b","c","d","e"]})"), roomy}) {
    EXPECT_EQ(orvel_load_mine_json(g.s, response.c_str(), 0), -1) << response;
    EXPECT_STREQ(orvel_last_error(), "invalid json");
    EXPECT_EQ(exported(g.s), before);
  }
}
