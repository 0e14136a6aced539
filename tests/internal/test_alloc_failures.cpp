// SPDX-License-Identifier: MIT
// Every allocation failed in turn: for each function, run a scenario with the
// 1st, 2nd, 3rd... allocation failing until a run completes with none
// failed, and check that each outcome is complete or a clean failure, that the
// store keeps its invariants, and that nothing leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "failalloc/failalloc.h"
#include "store.h"
#include "store_index.h"

namespace {

// A malloc'd text compared and released outside the armed window.
std::string take(char *text) {
  std::string copy = text != nullptr ? std::string(text) : std::string("<absent>");
  std::free(text);
  return copy;
}

void expect_invariants(const orvel_store *s) {
  ASSERT_LE(s->count, s->capacity);
  EXPECT_EQ(s->items == nullptr, s->capacity == 0);
  if (s->capacity != 0) {
    EXPECT_EQ(s->capacity % orvel::kInitialCapacity, 0u);
    const std::uint64_t ratio = s->capacity / orvel::kInitialCapacity;
    EXPECT_EQ(ratio & (ratio - 1), 0u) << "capacity " << s->capacity;
  }
  ASSERT_LE(s->count, s->used);
  ASSERT_LE(s->used, s->capacity);
  std::uint64_t live = 0;
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] == nullptr) continue;
    ++live;
    const orvel_item &item = *s->items[i];
    EXPECT_EQ(orvel_validate_kind(item.kind()), 0);
    EXPECT_NE(item.item_id()[0], '\0');
    EXPECT_EQ(orvel::find_item(s, item.kind(), item.item_id()), static_cast<std::int32_t>(i))
        << "duplicate pair at " << i;
  }
  EXPECT_EQ(live, s->count);
}

// The store is exactly as it was: same array, fields and entries.
void expect_unchanged(orvel_store *s, const orvel_store &before, const std::string &export_before) {
  EXPECT_EQ(s->items, before.items);
  EXPECT_EQ(s->count, before.count);
  EXPECT_EQ(s->capacity, before.capacity);
  EXPECT_EQ(take(orvel_export_json(s)), export_before);
}

// Runs step(n) for n = 1, 2, ... until a run completes without a failure
// injected; each step reports whether its armed failure fired. Returns the
// number of allocations a complete run makes.
template <class Step>
std::uint64_t sweep(Step step) {
  for (std::uint64_t n = 1; n < 100000; ++n) {
    const std::int64_t live = failalloc::live_blocks();
    const bool fired = step(n);
    EXPECT_EQ(failalloc::live_blocks(), live) << "blocks leaked with allocation " << n << " failed";
    if (::testing::Test::HasFailure()) return n;
    if (!fired) return n - 1;
  }
  ADD_FAILURE() << "sweep did not end";
  return 0;
}

// Fills a store outside the armed window.
orvel_store *filled_store(int entries) {
  orvel_store *s = orvel_create();
  for (int i = 0; i < entries; ++i) {
    const std::string id = "id" + std::to_string(i);
    EXPECT_EQ(orvel_apply_local_toggle(s, "track", id.c_str(), "Title", "Artist"), 1);
  }
  return s;
}

void report(const char *what, std::uint64_t allocations) {
  std::printf("[ sweep    ] %-28s %llu allocation sites\n", what,
              static_cast<unsigned long long>(allocations));
}

TEST(AllocFailures, Create) {
  const auto sites = sweep([](std::uint64_t n) {
    failalloc::arm(n);
    orvel_store *s = orvel_create();
    failalloc::disarm();
    const bool fired = failalloc::fired();
    if (fired) {
      EXPECT_EQ(s, nullptr);
    } else {
      EXPECT_NE(s, nullptr);
      EXPECT_EQ(orvel_apply_local_toggle(s, "album", "a", nullptr, nullptr), 1);
    }
    orvel_destroy(s);
    return fired;
  });
  EXPECT_EQ(sites, 1u);
  report("create", sites);
}

// Toggle into a store of `entries` entries: -1 with the store unchanged
// (its index, the index's contents and its key included), or 1.
std::uint64_t sweep_toggle(int entries, const char *what) {
  const auto sites = sweep([entries](std::uint64_t n) {
    orvel_store *s = filled_store(entries);
    const orvel_store before = *s;
    const auto *index_bytes = reinterpret_cast<const unsigned char *>(s->index);
    const std::vector<unsigned char> index(index_bytes, index_bytes + (s->index ? orvel::index_bytes(s->capacity) : 0));
    const std::string export_before = take(orvel_export_json(s));
    failalloc::arm(n);
    const std::int32_t r = orvel_apply_local_toggle(s, "album", "new", "T", "A");
    failalloc::disarm();
    const bool fired = failalloc::fired();
    expect_invariants(s);
    if (fired) {
      EXPECT_EQ(r, -1);
      expect_unchanged(s, before, export_before);
      EXPECT_EQ(s->index, before.index);
      EXPECT_TRUE(index.empty() || std::memcmp(index.data(), s->index, index.size()) == 0) << "slots and control bytes";
      EXPECT_EQ(std::memcmp(&s->key, &before.key, sizeof before.key), 0);
    } else {
      EXPECT_EQ(r, 1);
      EXPECT_EQ(s->count, before.count + 1);
      EXPECT_EQ(orvel_is_wished(s, "album", "new"), 1);
      EXPECT_EQ(s->capacity, entries < 16 ? 16u : 32u);
    }
    orvel_destroy(s);
    return fired;
  });
  EXPECT_GE(sites, 1u);
  report(what, sites);
  return sites;
}

// The first insert: the entry's block, the index and the array.
TEST(AllocFailures, ToggleIntoEmptyStore) { EXPECT_EQ(sweep_toggle(0, "toggle into empty store"), 3u); }

// The 17th insert grows the array and needs a new index.
TEST(AllocFailures, ToggleThatGrowsTheArray) {
  EXPECT_EQ(sweep_toggle(16, "toggle, 17th insert"), 3u);  // the block, the new index, the array
}

// An insert into a full array whose holes are an eighth of it squeezes them
// out instead of growing: its one allocation is the entry's block, and when
// that fails the squeeze has not happened (the holes, the index and the
// array are as they were).
TEST(AllocFailures, ToggleThatSqueezesHolesAllocatesOnlyTheEntry) {
  const auto sites = sweep([](std::uint64_t n) {
    orvel_store *s = filled_store(32);
    for (const char *id : {"id3", "id9", "id17", "id30"}) EXPECT_EQ(orvel_apply_local_toggle(s, "track", id, "", ""), 0);
    const orvel_store before = *s;
    const std::vector<orvel_item *> slots(s->items, s->items + s->used);
    const std::string export_before = take(orvel_export_json(s));
    failalloc::arm(n);
    const std::int32_t r = orvel_apply_local_toggle(s, "album", "new", "T", "A");
    failalloc::disarm();
    const bool fired = failalloc::fired();
    expect_invariants(s);
    EXPECT_EQ(s->capacity, 32u);
    EXPECT_EQ(s->items, before.items);
    if (fired) {
      EXPECT_EQ(r, -1);
      expect_unchanged(s, before, export_before);
      EXPECT_EQ(s->used, before.used);
      EXPECT_TRUE(std::equal(slots.begin(), slots.end(), s->items)) << "holes where they were";
    } else {
      EXPECT_EQ(r, 1);
      EXPECT_EQ(s->used, 29u) << "squeezed, then the new entry";
    }
    orvel_destroy(s);
    return fired;
  });
  EXPECT_EQ(sites, 1u);
  report("toggle that squeezes holes", sites);
}

// A store at its limit refuses a new pair before allocating anything, so the
// refusal does not depend on whether the machine could have given the memory.
TEST(AllocFailures, FullStoreRefusesANewPairWithoutAllocating) {
  orvel_store *s = filled_store(1);
  const std::uint64_t count = s->count;
  s->count = orvel::kMaxEntries;  // pretend; only the index is read
  failalloc::arm(1);  // were anything tried, it would fail at once, not take the machine's memory
  const std::int32_t toggled = orvel_apply_local_toggle(s, "track", "new", "", "");
  const orvel::AddResult added = orvel::add_item(s, "album", "new", "", "");
  const std::uint64_t attempts = failalloc::attempts();
  failalloc::disarm();
  s->count = count;
  EXPECT_EQ(toggled, -1);
  EXPECT_EQ(added, orvel::AddResult::failed);
  EXPECT_EQ(attempts, 0u);
  EXPECT_EQ(orvel_count(s), 1);
  orvel_destroy(s);
}

// A response of 41 entries (with repeats and every kind of element), and
// what loading it gives when memory is plentiful.
std::string mixed_response() {
  std::string many;
  for (int i = 3; i < 40; ++i) many += "\"t" + std::to_string(i) + "\",";
  return R"({"total":9,"items":[{"kind":"album","itemId":"a1","title":"A","artist":"B"},)"
         R"({"kind":"album","itemId":"a1","title":"dup"}],"tracks":["t1","t2","t1",)" +
         many + R"("t2"],"playlists":[{"id":"p1"}]})";
}

std::string export_of_load(const std::string &response, std::int32_t expected_count) {
  orvel_store *ref = orvel_create();
  EXPECT_EQ(orvel_load_mine_json(ref, response.data(), response.size()), expected_count);
  std::string text = take(orvel_export_json(ref));
  orvel_destroy(ref);
  return text;
}

// Allocations the parser makes for a text, counted on its own.
std::uint64_t parser_allocations(const std::string &text) {
  failalloc::arm(0);
  yyjson_doc_free(yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr));
  const std::uint64_t n = failalloc::attempts();
  failalloc::disarm();
  return n;
}

// Loads response into a store of three entries with allocation n failing
// (and allocation also, when not 0): either the whole load or a clean
// failure that leaves the store as it was. Returns whether n fired; counts
// the failures the load recovered from.
bool load_with_failure(const std::string &response, const std::string &expected, std::uint64_t n,
                       std::uint64_t also, int &recovered, const char *previous = nullptr) {
  // A store of toggled entries, or one holding a previous load and a toggled
  // entry, whose memory the new load may take over.
  orvel_store *s = filled_store(previous != nullptr ? 0 : 3);
  if (previous != nullptr) {
    EXPECT_GT(orvel_load_mine_json(s, previous, 0), 0);
    EXPECT_EQ(orvel_apply_local_toggle(s, "artist", "toggled", "", ""), 1);
  }
  const orvel_store before = *s;
  const std::string export_before = take(orvel_export_json(s));
  orvel_load_mine_json(nullptr, nullptr, 0);  // error text: "null arg"
  failalloc::arm(n);
  failalloc::also_fail(also);
  const std::int32_t r = orvel_load_mine_json(s, response.data(), response.size());
  failalloc::disarm();
  const bool fired = failalloc::fired();
  expect_invariants(s);
  if (fired && r >= 0) ++recovered;
  if (r >= 0) {
    EXPECT_EQ(r, 41);
    EXPECT_STREQ(orvel_last_error(), "");
    EXPECT_EQ(take(orvel_export_json(s)), expected);
  } else {
    EXPECT_TRUE(fired);
    EXPECT_STREQ(orvel_last_error(), "invalid json");
    expect_unchanged(s, before, export_before);
  }
  orvel_destroy(s);
  return fired;
}

TEST(AllocFailures, LoadIsAllOrNothing) {
  const std::string response = mixed_response();
  const std::string expected = export_of_load(response, 41);
  // The room reserved up front (the index, the array, the block for the
  // entries) is what a load can do without: it then grows as it goes. So is
  // giving back the block's unused end, which the block then keeps.
  int recovered = 0;
  const auto sites = sweep([&](std::uint64_t n) { return load_with_failure(response, expected, n, 0, recovered); });
  EXPECT_LE(sites, parser_allocations(response) + 4);  // a handful, not one an entry
  EXPECT_EQ(recovered, 4);
  report("load", sites);
}

// A reload into a store that holds a previous load takes over its memory
// (its array and index when their capacity fits, its largest block), having
// first allocated what it lacks: a failure of that leaves the old store
// whole, and the load then grows as it goes.
TEST(AllocFailures, ReloadReusingTheOldStoreIsAllOrNothing) {
  const std::string response = mixed_response();
  const std::string expected = export_of_load(response, 41);
  const struct {
    const char *what;
    const char *previous;
    int recovered;  // the spare block and the trim, and the array and index when new
  } cases[] = {
      {"same capacity", R"({"albums":["x1","x2","x3","x4","x5","x6","x7","x8","x9","x10","x11","x12","x13",)"
                        R"("x14","x15","x16","x17","x18","x19","x20","x21","x22","x23","x24","x25","x26","x27",)"
                        R"("x28","x29","x30","x31","x32","x33","x34","x35","x36","x37","x38","x39","x40"]})",
       2},
      {"other capacity", R"({"albums":["x1","x2"]})", 4},
  };
  for (const auto &c : cases) {
    int recovered = 0;
    const auto sites = sweep([&](std::uint64_t n) { return load_with_failure(response, expected, n, 0, recovered, c.previous); });
    EXPECT_EQ(recovered, c.recovered) << c.what;
    report(c.what == cases[0].what ? "reload, reusing all" : "reload, new array", sites);
  }
}

// When the room for everything at once cannot be had, the load grows as it
// goes: the array, the index and the generation's blocks, any of which may
// fail in turn, with the old entries kept until the new store is complete.
TEST(AllocFailures, LoadThatGrowsAsItGoesIsAllOrNothing) {
  // The mixed response, and one whose first array is long: its elements are
  // read before the store has an index to hash them with.
  const std::string tracks = R"({"tracks":[)" + [] {
    std::string out;
    for (int i = 0; i < 41; ++i) out += (i > 0 ? ",\"t" : "\"t") + std::to_string(i) + "\"";
    return out;
  }() + "]}";
  for (const std::string &response : {mixed_response(), tracks}) {
    const std::string expected = export_of_load(response, 41);
    const std::uint64_t reservation = parser_allocations(response) + 1;  // the index, first of the room
    int recovered = 0;
    const auto sites = sweep([&](std::uint64_t n) {
      return load_with_failure(response, expected, n + (n >= reservation ? 1 : 0), reservation, recovered);
    });
    EXPECT_EQ(recovered, 0);
    EXPECT_GE(sites, reservation + 5);  // 16, 32 and 64 slots (index, array), one block
    report("load, growing as it goes", sites);
  }
}

// A load that keeps far fewer entries than it read gives back the room it
// reserved; should that shrinking not get its memory, the store keeps the
// larger blocks and the load is as complete.
TEST(AllocFailures, LoadThatKeepsFewEntriesShrinksOrKeepsItsRoom) {
  std::string response = R"({"tracks":[)";
  for (int i = 0; i < 100; ++i) response += i % 2 == 0 ? "\"a\"," : "\"b\",";
  response += "\"c\"]}";
  int recovered = 0;
  const auto sites = sweep([&](std::uint64_t n) {
    orvel_store *s = orvel_create();
    failalloc::arm(n);
    const std::int32_t r = orvel_load_mine_json(s, response.data(), response.size());
    failalloc::disarm();
    const bool fired = failalloc::fired();
    expect_invariants(s);
    if (r >= 0) {
      EXPECT_EQ(r, 3);
      recovered += fired ? 1 : 0;
      if (!fired) {
        EXPECT_EQ(s->capacity, 16u);
      }
    } else {
      EXPECT_TRUE(fired);
    }
    orvel_destroy(s);
    return fired;
  });
  EXPECT_GE(recovered, 3);  // the room up front, the trim, and the two shrinks
  report("load that keeps few", sites);
}

// However many entries a load keeps, it makes the same few allocations, and
// the store it leaves holds a handful of blocks: a reload frees them in a
// handful of frees.
TEST(AllocFailures, LoadAllocatesAHandfulWhateverItsSize) {
  for (const int entries : {10, 1000, 20000}) {
    std::string response = R"({"albums":[)";
    for (int i = 0; i < entries; ++i) response += (i > 0 ? ",\"a" : "\"a") + std::to_string(i) + "\"";
    response += "]}";
    orvel_store *s = orvel_create();
    const std::int64_t blocks_before = failalloc::live_blocks();
    failalloc::arm(0);
    ASSERT_EQ(orvel_load_mine_json(s, response.data(), response.size()), entries);
    const std::uint64_t allocations = failalloc::attempts() - parser_allocations(response);
    failalloc::disarm();
    EXPECT_LE(allocations, 4u) << entries << " entries";
    EXPECT_EQ(failalloc::live_blocks() - blocks_before, 3) << "the array, the index, one block";
    orvel_destroy(s);
  }
}

// The removal that leaves more than half of a generation dead moves the rest
// into a new block. Removing allocates nothing the caller must have: without
// that block the removal still succeeds, the generation stays as it was, and
// the next removal from it compacts.
TEST(AllocFailures, RemovalThatCompactsAlwaysSucceeds) {
  const char response[] = R"({"albums":["a0","a1","a2","a3","a4","a5","a6","a7"],"tracks":["t"]})";
  const std::string after = export_of_load(R"({"albums":["a5","a6","a7"],"tracks":["t"]})", 4);
  const auto sites = sweep([&](std::uint64_t n) {
    orvel_store *s = orvel_create();
    EXPECT_EQ(orvel_load_mine_json(s, response, 0), 9);
    for (const char *id : {"a0", "a1", "a2", "a3"}) EXPECT_EQ(orvel_apply_local_toggle(s, "album", id, "", ""), 0);
    const std::size_t placed = s->gen.placed;
    failalloc::arm(n);
    const std::int32_t r = orvel_apply_local_toggle(s, "album", "a4", "", "");
    failalloc::disarm();
    const bool fired = failalloc::fired();
    EXPECT_EQ(r, 0);
    expect_invariants(s);
    EXPECT_EQ(take(orvel_export_json(s)), after);
    if (fired) {
      EXPECT_EQ(s->gen.placed, placed) << "left as it was";
      EXPECT_EQ(orvel_apply_local_toggle(s, "album", "a5", "", ""), 0);
    }
    EXPECT_EQ(s->gen.dead, 0u) << "compacted, by this removal or the next";
    EXPECT_LT(s->gen.placed, placed);
    expect_invariants(s);
    orvel_destroy(s);
    return fired;
  });
  EXPECT_EQ(sites, 1u);  // the new block
  report("removal that compacts", sites);
}

TEST(AllocFailures, ExportIsCompleteOrAbsent) {
  orvel_store *s = filled_store(20);
  orvel_apply_local_toggle(s, "playlist", "p\xc3\xa9", "quote \" and \\", "line\nfeed");
  const std::string expected = take(orvel_export_json(s));
  const auto sites = sweep([&](std::uint64_t n) {
    failalloc::arm(n);
    char *text = orvel_export_json(s);
    failalloc::disarm();
    const bool fired = failalloc::fired();
    const std::string got = take(text);
    if (fired) {
      EXPECT_EQ(got, "<absent>");
    } else {
      EXPECT_EQ(got, expected);
    }
    return fired;
  });
  expect_invariants(s);
  orvel_destroy(s);
  EXPECT_GE(sites, 2u);
  report("export", sites);
}

TEST(AllocFailures, MineUrl) {
  const auto sites = sweep([](std::uint64_t n) {
    failalloc::arm(n);
    char *url = orvel_build_mine_url("https://x.example/");
    failalloc::disarm();
    const bool fired = failalloc::fired();
    EXPECT_EQ(take(url), fired ? "<absent>" : "https://x.example/wishlist/api/mine");
    return fired;
  });
  EXPECT_EQ(sites, 1u);
  report("mine url", sites);
}

TEST(AllocFailures, RequestIsCompleteOrAbsent) {
  const std::string expected =
      take(orvel_build_wish_request_json("B/", 1, "track", "t1", "Say \"hi\"", nullptr));
  ASSERT_NE(expected, "<absent>");
  const auto sites = sweep([&](std::uint64_t n) {
    orvel_load_mine_json(nullptr, nullptr, 0);  // error text: "null arg"
    failalloc::arm(n);
    char *text = orvel_build_wish_request_json("B/", 1, "track", "t1", "Say \"hi\"", nullptr);
    failalloc::disarm();
    const bool fired = failalloc::fired();
    const std::string got = take(text);
    if (fired) {
      EXPECT_EQ(got, "<absent>");
      // The URL buffer is the call's first allocation: only its failure
      // leaves the error text as it was.
      EXPECT_STREQ(orvel_last_error(), n == 1 ? "null arg" : "") << "allocation " << n;
    } else {
      EXPECT_EQ(got, expected);
      EXPECT_STREQ(orvel_last_error(), "");
    }
    return fired;
  });
  EXPECT_GE(sites, 4u);
  report("request", sites);
}

TEST(AllocFailures, SelftestReportsEveryFailure) {
  int recovered = 0;  // the load's up-front room and trimming, which it does without
  const auto sites = sweep([&recovered](std::uint64_t n) {
    failalloc::arm(n);
    const std::int32_t r = orvel_selftest();
    failalloc::disarm();
    const bool fired = failalloc::fired();
    if (fired && r == 0) {
      ++recovered;
    } else if (fired) {
      EXPECT_GE(r, 1);
      EXPECT_LE(r, 6);
    } else {
      EXPECT_EQ(r, 0);
    }
    return fired;
  });
  EXPECT_EQ(recovered, 4);
  report("selftest", sites);
}

}  // namespace
