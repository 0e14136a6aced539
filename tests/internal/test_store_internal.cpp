// SPDX-License-Identifier: MIT
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

// A load's room: the array and the index for every element and a block for
// their entries, with nothing of an empty old store to take over.
TEST(StoreInternal, ReserveLoadMakesRoomForEveryElement) {
  StoreGuard g;
  orvel_store none{};
  EXPECT_FALSE(orvel::reserve_load(g.s, 0, 100, &none));
  EXPECT_FALSE(orvel::reserve_load(g.s, orvel::kMaxEntries + 1, 100, &none));
  EXPECT_EQ(g.s->items, nullptr);
  ASSERT_TRUE(orvel::reserve_load(g.s, 17, 40, &none));
  EXPECT_EQ(g.s->capacity, 32u);  // 16 times a power of two, as growth makes it
  EXPECT_NE(g.s->index, nullptr);
  EXPECT_EQ(g.s->gen.room, 40 + 17 * (sizeof(orvel_item) + 3 + orvel::kEntryAlign - 1));
  for (int i = 0; i < 32; ++i) ASSERT_EQ(add_item(g.s, "track", id(i).c_str(), "", ""), AddResult::ok);
  EXPECT_EQ(g.s->capacity, 32u);  // no growth up to what was reserved
  EXPECT_EQ(find_item(g.s, "track", "id31"), 31);
}

namespace {

// Loads n albums whose entries all take the same bytes: "a0" ... with
// identifiers padded to one length.
void load_albums(orvel_store *s, int n) {
  std::string response = R"({"albums":[)";
  for (int i = 0; i < n; ++i) response += (i > 0 ? ",\"" : "\"") + std::string(i < 10 ? "a0" : "a") + std::to_string(i) + "\"";
  response += "]}";
  ASSERT_EQ(orvel_load_mine_json(s, response.c_str(), 0), n);
}

std::string album(int i) { return std::string(i < 10 ? "a0" : "a") + std::to_string(i); }

// The live entries' identifiers in store order, holes skipped.
std::string order_of(const orvel_store *s) {
  std::string out;
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] != nullptr) out += std::string(out.empty() ? "" : " ") + s->items[i]->item_id();
  }
  return out;
}

// Every live entry is found at its own position.
void expect_found_where_they_stand(const orvel_store *s) {
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] == nullptr) continue;
    EXPECT_EQ(find_item(s, s->items[i]->kind(), s->items[i]->item_id()), static_cast<std::int32_t>(i));
  }
}

}  // namespace

// A load's entries share its generation; toggled-in ones each have a block
// of their own, and say so; a loader's insert after those still goes into
// the generation. Where each entry lives is its own mark, not its place.
TEST(StoreInternal, LoadedEntriesShareAGenerationToggledOnesHaveTheirOwn) {
  StoreGuard g;
  load_albums(g.s, 4);
  EXPECT_EQ(g.s->loose, 0u);
  EXPECT_EQ(g.s->gen.placed, 4 * (sizeof(orvel_item) + 8));  // "a00" and two empty texts, aligned
  for (std::uint64_t i = 1; i < 4; ++i) {
    EXPECT_EQ(reinterpret_cast<const char *>(g.s->items[i]), reinterpret_cast<const char *>(g.s->items[i - 1]) + sizeof(orvel_item) + 8);
  }
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", "t", "", ""), 1);
  ASSERT_EQ(add_item(g.s, 0, std::string_view("u"), "", ""), AddResult::ok);
  EXPECT_EQ(g.s->loose, 1u);
  EXPECT_EQ(g.s->gen.placed, 4 * (sizeof(orvel_item) + 8) + sizeof(orvel_item) + 4) << "u placed in the generation";
  const struct {
    std::uint64_t position;
    std::uint8_t own_block;
  } marks[] = {{0, 0}, {3, 0}, {4, 1}, {5, 0}};
  for (const auto &m : marks) EXPECT_EQ(g.s->items[m.position]->own_block, m.own_block) << m.position;
  // Removing a loaded entry leaves its bytes; removing a toggled one frees it,
  // though entries of the generation stand after it.
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", "a01", "", ""), 0);
  EXPECT_EQ(g.s->gen.dead, sizeof(orvel_item) + 8);
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", "t", "", ""), 0);
  EXPECT_EQ(g.s->loose, 0u);
  EXPECT_EQ(g.s->gen.dead, sizeof(orvel_item) + 8) << "the toggled entry's bytes were never the generation's";
  EXPECT_EQ(order_of(g.s), "a00 a02 a03 u");
  expect_found_where_they_stand(g.s);
}

// The removal that leaves more than half of the generation's bytes dead
// moves the live entries into one block of their size; once none is left the
// generation goes. Order, lookups and toggled-in entries are untouched.
TEST(StoreInternal, RemovalsCompactTheGenerationOnceMoreThanHalfIsDead) {
  StoreGuard g;
  load_albums(g.s, 8);
  const std::size_t entry = g.s->gen.placed / 8;
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", "t", "", ""), 1);
  const struct {
    int removed;
    std::size_t placed, dead;  // in entries
    const char *left;
  } steps[] = {
      {0, 8, 1, "a01 a02 a03 a04 a05 a06 a07 t"},
      {3, 8, 2, "a01 a02 a04 a05 a06 a07 t"},
      {7, 8, 3, "a01 a02 a04 a05 a06 t"},
      {1, 8, 4, "a02 a04 a05 a06 t"},           // half dead: kept
      {5, 3, 0, "a02 a04 a06 t"},               // more than half: compacted
      {2, 3, 1, "a04 a06 t"},
      {6, 1, 0, "a04 t"},
      {4, 0, 0, "t"},                           // none left: released
  };
  for (const auto &step : steps) {
    ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", album(step.removed).c_str(), "", ""), 0);
    EXPECT_EQ(g.s->gen.placed, step.placed * entry) << "after removing " << step.removed;
    EXPECT_EQ(g.s->gen.dead, step.dead * entry) << "after removing " << step.removed;
    EXPECT_EQ(order_of(g.s), step.left);
    expect_found_where_they_stand(g.s);
  }
  EXPECT_EQ(g.s->gen.blocks, nullptr);
  EXPECT_EQ(g.s->loose, 1u);
}
