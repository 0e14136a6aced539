// SPDX-License-Identifier: MIT
// What a store holds in memory: after any load, room for the entries it kept
// and no more, whatever the response held; and entries that follow their
// block wherever the allocator moves it; a refresh that takes over the old
// store's memory. Counted by the test allocator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <yyjson.h>

#include "failalloc/failalloc.h"
#include "store.h"
#include "store_index.h"

namespace {

std::string repeated(const std::string &element, int n) {
  std::string out;
  out.reserve((element.size() + 1) * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) (out += i > 0 ? "," : "") += element;
  return out;
}

// distinct albums, each written copies times in a row.
std::string albums(int distinct, int copies) {
  std::string out = R"({"albums":[)";
  for (int i = 0; i < distinct; ++i) {
    out += (i > 0 ? "," : "") + repeated(R"({"id":"album-)" + std::to_string(i) + R"(","title":"T"})", copies);
  }
  return out + "]}";
}

// Bytes the store holds after loading response into it, counted by the
// allocator once the call is over (the parsed document is gone by then).
std::int64_t held_after_load(orvel_store *s, const std::string &response, std::int32_t entries) {
  const std::int64_t before = failalloc::live_bytes();
  EXPECT_EQ(orvel_load_mine_json(s, response.data(), response.size()), entries);
  EXPECT_EQ(s->capacity, orvel::capacity_for(s->count)) << "capacity for the entries kept";
  return failalloc::live_bytes() - before;
}

// Every entry stands at its own position, found through the index.
void expect_entries_found(const orvel_store *s) {
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] == nullptr) continue;
    ASSERT_EQ(orvel::find_item(s, s->items[i]->kind(), s->items[i]->item_id()), static_cast<std::int32_t>(i));
  }
}

// Whether this process's allocator keeps a large block where it is when
// asked to make it smaller.
bool shrinks_in_place() {
  void *block = std::malloc(64 * 1024);
  void *smaller = std::realloc(block, 1024);
  std::free(smaller);
  return smaller == block;
}

}  // namespace

// What a store of this capacity and generation needs, allocator rounding aside.
std::int64_t needed(const orvel_store *s) {
  return static_cast<std::int64_t>(s->capacity * sizeof(orvel_item *) + orvel::index_bytes(s->capacity) +
                                   s->gen.placed);
}

// Responses that read many elements and keep few: the store holds room for
// what it kept (the two degenerate responses: kilobytes, not the megabytes
// their elements would have reserved).
TEST(StoreMemory, FollowsTheEntriesKeptNotTheElementsRead) {
  const struct {
    const char *what;
    std::string response;
    std::int32_t entries;
    std::int64_t limit;
  } cases[] = {
      {"1,000,000 copies of one identity", R"({"tracks":[)" + repeated(R"("a")", 1000000) + "]}", 1, 64 * 1024},
      {"100,000 empty objects", "[" + repeated("{}", 100000) + "]", 0, 64 * 1024},
      {"100,000 elements of an unknown kind", "[" + repeated(R"({"kind":"song","id":"x"})", 100000) + "]", 0,
       64 * 1024},
      {"1,000 albums written 100 times each", albums(1000, 100), 1000, 128 * 1024},
  };
  for (const auto &c : cases) {
    orvel_store *s = orvel_create();
    const std::int64_t held = held_after_load(s, c.response, c.entries);
    EXPECT_LE(held, c.limit) << c.what;
    // Three blocks, each rounded up by the allocator by a page at most (a
    // large block shrunk in place stays mapped in whole pages).
    EXPECT_LE(held, needed(s) + 3 * 4096) << c.what;
    EXPECT_EQ(s->gen.dead, 0u);
    EXPECT_EQ(s->gen.room, 0u) << c.what << ": the block's unused end given back";
    expect_entries_found(s);
    orvel_destroy(s);
  }
}

// A reload that keeps fewer entries gives the room of the old ones back,
// whether it took over the old store's array and index (a response of as
// many elements) or made new ones, and whatever removals left in the old
// store: 3 entries after 5,000 hold about 3 KB, not the 350 KB of the
// arrays 5,000 entries needed.
TEST(StoreMemory, ReloadKeepsOnlyWhatTheNewResponseNeeds) {
  const struct {
    const char *what;
    std::string response;
    int removed_before;  // entries toggled away from the first load
  } cases[] = {
      {"6,000 elements, the old arrays taken over", albums(3, 2000), 0},
      {"3 elements, new arrays", albums(3, 1), 0},
      {"3 elements, after removals left holes", albums(3, 1), 1500},
  };
  for (const auto &c : cases) {
    orvel_store *s = orvel_create();
    const std::int64_t empty = failalloc::live_bytes();
    ASSERT_EQ(orvel_load_mine_json(s, albums(5000, 1).c_str(), 0), 5000);
    EXPECT_EQ(s->capacity, 8192u);
    for (int i = 0; i < c.removed_before; ++i) {
      ASSERT_EQ(orvel_apply_local_toggle(s, "album", ("album-" + std::to_string(2 * i + 1)).c_str(), "", ""), 0);
    }
    const std::int64_t held = held_after_load(s, c.response, 3);
    EXPECT_LT(held, 0) << c.what << ": the 5,000 entries' room was given back";
    // Three blocks, each rounded up to whole pages at most.
    EXPECT_LE(failalloc::live_bytes() - empty, needed(s) + 3 * 4096) << c.what;
    EXPECT_LE(failalloc::live_bytes() - empty, 16 * 1024) << c.what;
    EXPECT_EQ(s->capacity, 16u) << c.what;
    expect_entries_found(s);
    orvel_destroy(s);
  }
}

// The removal that compacts the generation moves its live entries into a
// block of their size: the bytes the removed entries took are given back.
TEST(StoreMemory, CompactionKeepsOnlyTheLiveEntriesBytes) {
  orvel_store *s = orvel_create();
  const std::int64_t empty = failalloc::live_bytes();
  ASSERT_EQ(orvel_load_mine_json(s, albums(4000, 1).c_str(), 0), 4000);
  const std::size_t placed = s->gen.placed;
  const std::int64_t loaded = failalloc::live_bytes() - empty;
  int removed = 0;
  while (s->gen.placed == placed) {
    ASSERT_EQ(orvel_apply_local_toggle(s, "album", ("album-" + std::to_string(removed++)).c_str(), "", ""), 0);
  }
  EXPECT_EQ(s->gen.dead, 0u);
  EXPECT_LT(s->gen.placed, placed / 2 + 64) << "about half of the entries' bytes live";
  const std::int64_t held = failalloc::live_bytes() - empty;
  EXPECT_LE(held, needed(s) + 3 * 4096);
  EXPECT_LE(held, loaded - static_cast<std::int64_t>(placed / 2) + 4096) << "half of the generation freed";
  expect_entries_found(s);
  orvel_destroy(s);
}

// Giving back the generation's unused end may move its block; the entries,
// the array and the index follow it.
TEST(StoreMemory, EntriesFollowTheirBlockWhenTheAllocatorMovesIt) {
  const std::string response = albums(300, 3);
  std::string expected;
  {
    orvel_store *ref = orvel_create();
    ASSERT_EQ(orvel_load_mine_json(ref, response.c_str(), 0), 300);
    char *text = orvel_export_json(ref);
    expected = text;
    orvel_free(text);
    orvel_destroy(ref);
  }
  orvel_store *s = orvel_create();
  failalloc::move_reallocs(true);
  const std::int32_t loaded = orvel_load_mine_json(s, response.c_str(), 0);
  failalloc::move_reallocs(false);
  ASSERT_EQ(loaded, 300);
  EXPECT_EQ(s->capacity, 512u);  // shrunk from the 1,024 that 900 elements reserved
  expect_entries_found(s);
  char *text = orvel_export_json(s);
  EXPECT_EQ(std::string(text), expected);
  orvel_free(text);
  // A reload that places some entries in the old store's block and the rest
  // in the spare, whose end is then given back: only the spare's entries
  // move with it.
  const std::string more = albums(400, 1);
  failalloc::move_reallocs(true);
  const std::int32_t reloaded = orvel_load_mine_json(s, more.c_str(), 0);
  failalloc::move_reallocs(false);
  ASSERT_EQ(reloaded, 400);
  expect_entries_found(s);
  const char *first_block = reinterpret_cast<const char *>(s->items[0]);
  // Removals still find each entry's slot and bytes where they now are.
  for (int i = 0; i < 300; i += 2) {
    ASSERT_EQ(orvel_apply_local_toggle(s, "album", ("album-" + std::to_string(i)).c_str(), "", ""), 0);
  }
  EXPECT_EQ(s->count, 250u);
  expect_entries_found(s);
  // The next reload takes over the larger of the two blocks, the first:
  // its entries stay there where the allocator shrinks a block in place
  // (the sanitizers' allocators move every block they resize).
  ASSERT_EQ(orvel_load_mine_json(s, albums(5, 1).c_str(), 0), 5);
  if (shrinks_in_place()) {
    EXPECT_EQ(reinterpret_cast<const char *>(s->items[0]), first_block);
  }
  expect_entries_found(s);
  orvel_destroy(s);
}

// A refresh with the same list takes over the old store's array, index and
// block, so it allocates nothing but the spare it then frees (and the
// parser's own), and touches no memory it did not already have.
TEST(StoreMemory, RefreshOfTheSameListReusesTheOldStoresMemory) {
  const std::string response = albums(2000, 1);
  orvel_store *s = orvel_create();
  ASSERT_EQ(orvel_load_mine_json(s, response.c_str(), 0), 2000);
  orvel_item **items = s->items;
  orvel::IndexSlot *index = s->index;
  const orvel_item *first = s->items[0];
  failalloc::arm(0);
  yyjson_doc_free(yyjson_read_opts(const_cast<char *>(response.data()), response.size(), 0, nullptr, nullptr));
  const std::uint64_t parser = failalloc::attempts();
  failalloc::arm(0);
  const std::int32_t reloaded = orvel_load_mine_json(s, response.c_str(), 0);
  const std::uint64_t allocations = failalloc::attempts();
  failalloc::disarm();
  ASSERT_EQ(reloaded, 2000);
  EXPECT_EQ(allocations, parser + 1) << "the spare block alone";
  EXPECT_EQ(s->items, items);
  EXPECT_EQ(s->index, index);
  EXPECT_EQ(s->items[0], first) << "the first entry written where the old one was";
  expect_entries_found(s);
  orvel_destroy(s);
}
