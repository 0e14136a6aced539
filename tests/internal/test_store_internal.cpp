// What the interface cannot show: capacity growth, and the contracts of the
// internal lookup and insert.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store.h"

using orvel::AddResult;
using orvel::add_item;
using orvel::find_item;

namespace {

struct StoreGuard {
  orvel_store *s = orvel_create();
  ~StoreGuard() { orvel_destroy(s); }
};

std::string id(int i) { return "id" + std::to_string(i); }

}  // namespace

TEST(StoreInternal, CapacityGrowsFrom16ByDoubling) {
  StoreGuard g;
  EXPECT_EQ(g.s->items, nullptr);
  EXPECT_EQ(g.s->capacity, 0u);
  // Insert number (1-based) -> capacity afterwards.
  const struct {
    int insert;
    std::uint64_t capacity;
  } steps[] = {{1, 16}, {16, 16}, {17, 32}, {32, 32}, {33, 64}, {65, 128}};
  int done = 0;
  for (const auto &step : steps) {
    while (done < step.insert) {
      ASSERT_EQ(add_item(g.s, "track", id(done).c_str(), nullptr, nullptr), AddResult::ok);
      ++done;
    }
    EXPECT_EQ(g.s->count, static_cast<std::uint64_t>(step.insert));
    EXPECT_EQ(g.s->capacity, step.capacity) << "after insert " << step.insert;
  }
}

TEST(StoreInternal, RemovalsKeepTheArrayAndCapacity) {
  StoreGuard g;
  for (int i = 0; i < 17; ++i) orvel_apply_local_toggle(g.s, "album", id(i).c_str(), "", "");
  orvel_item **array = g.s->items;
  ASSERT_EQ(g.s->capacity, 32u);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", id(i).c_str(), "", ""), 0);
  EXPECT_EQ(g.s->count, 0u);
  EXPECT_EQ(g.s->capacity, 32u);
  EXPECT_EQ(g.s->items, array);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(add_item(g.s, "album", id(i).c_str(), "", ""), AddResult::ok);
  EXPECT_EQ(g.s->capacity, 32u);  // the next 32 inserts did not grow it
}

TEST(StoreInternal, FindItemContract) {
  StoreGuard g;
  EXPECT_EQ(find_item(g.s, "track", "a"), -1);  // empty store
  add_item(g.s, "track", "a", "", "");
  add_item(g.s, "album", "a", "", "");
  add_item(g.s, "track", "b", "", "");
  EXPECT_EQ(find_item(g.s, "track", "a"), 0);
  EXPECT_EQ(find_item(g.s, "album", "a"), 1);
  EXPECT_EQ(find_item(g.s, "track", "b"), 2);
  EXPECT_EQ(find_item(g.s, "album", "b"), -1);
  EXPECT_EQ(find_item(nullptr, "track", "a"), -1);
  EXPECT_EQ(find_item(g.s, nullptr, "a"), -1);
  EXPECT_EQ(find_item(g.s, "track", nullptr), -1);
  // No validation of its own: a bad kind or empty id simply is not found.
  EXPECT_EQ(find_item(g.s, "Track", "a"), -1);
  EXPECT_EQ(find_item(g.s, "track", ""), -1);
}

TEST(StoreInternal, AddItemContract) {
  StoreGuard g;
  EXPECT_EQ(add_item(g.s, "album", "a", "first", "one"), AddResult::ok);
  // A repeat succeeds and keeps the old title and artist.
  EXPECT_EQ(add_item(g.s, "album", "a", "second", "two"), AddResult::ok);
  ASSERT_EQ(g.s->count, 1u);
  EXPECT_STREQ(g.s->items[0]->title(), "first");
  EXPECT_STREQ(g.s->items[0]->artist(), "one");
  // Refusals by the rules, told apart from lack of memory.
  EXPECT_EQ(add_item(g.s, "Album", "b", "", ""), AddResult::refused);
  EXPECT_EQ(add_item(g.s, nullptr, "b", "", ""), AddResult::refused);
  EXPECT_EQ(add_item(g.s, "album", "", "", ""), AddResult::refused);
  EXPECT_EQ(add_item(g.s, "album", nullptr, "", ""), AddResult::refused);
  EXPECT_EQ(g.s->count, 1u);
  // Private copies: the caller's buffers may change afterwards.
  char title[] = "mutable";
  ASSERT_EQ(add_item(g.s, "track", "t", title, nullptr), AddResult::ok);
  std::strcpy(title, "changed");
  EXPECT_STREQ(g.s->items[1]->title(), "mutable");
  EXPECT_STREQ(g.s->items[1]->artist(), "");
}

TEST(StoreInternal, FullStoreRefusesOnlyNewPairs) {
  StoreGuard g;
  ASSERT_EQ(add_item(g.s, "track", "t", "", ""), AddResult::ok);
  // Pretend the store is at its limit: a pair already there is still "already
  // there", and only a new pair fails, before anything is touched.
  const std::uint64_t count = g.s->count;
  g.s->count = orvel::kMaxEntries;
  EXPECT_EQ(add_item(g.s, "track", "t", "", ""), AddResult::ok);
  EXPECT_EQ(add_item(g.s, "track", "new", "", ""), AddResult::failed);
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "album", "new", "", ""), -1);
  EXPECT_EQ(g.s->count, orvel::kMaxEntries);
  g.s->count = count;
}

TEST(StoreInternal, OneBlockPerEntryHoldsItsTexts) {
  StoreGuard g;
  ASSERT_EQ(add_item(g.s, "playlist", "p-1", "T\xc3\xa9", nullptr), AddResult::ok);
  ASSERT_EQ(orvel::add_item(g.s, 1, std::string_view("a\0b", 3).substr(0, 1), "", "A"), AddResult::ok);
  const orvel_item &p = *g.s->items[0];
  EXPECT_STREQ(p.kind(), "playlist");
  EXPECT_EQ(p.id_view(), "p-1");
  EXPECT_STREQ(p.title(), "T\xc3\xa9");
  EXPECT_STREQ(p.artist(), "");
  EXPECT_STREQ(g.s->items[1]->kind(), "album");
  EXPECT_STREQ(g.s->items[1]->artist(), "A");
  // The texts follow the header in the same block, in order.
  EXPECT_EQ(p.title(), p.item_id() + 4);
  EXPECT_EQ(p.artist(), p.title() + 4);
}

TEST(StoreInternal, ReserveEntriesOnlyForAFreshStore) {
  StoreGuard g;
  EXPECT_FALSE(orvel::reserve_entries(g.s, 0));
  EXPECT_FALSE(orvel::reserve_entries(g.s, orvel::kMaxEntries + 1));
  EXPECT_EQ(g.s->items, nullptr);
  ASSERT_TRUE(orvel::reserve_entries(g.s, 17));
  EXPECT_EQ(g.s->capacity, 32u);  // 16 times a power of two, as growth makes it
  EXPECT_NE(g.s->index, nullptr);
  EXPECT_FALSE(orvel::reserve_entries(g.s, 64));  // it has an index now
  for (int i = 0; i < 32; ++i) ASSERT_EQ(add_item(g.s, "track", id(i).c_str(), "", ""), AddResult::ok);
  EXPECT_EQ(g.s->capacity, 32u);  // no growth up to what was reserved
  EXPECT_EQ(find_item(g.s, "track", "id31"), 31);
}
