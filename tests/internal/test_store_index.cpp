// SPDX-License-Identifier: MIT
// The store's hash index: it must agree with the array after any sequence of
// inserts and removals, survive failed growth untouched, and spread
// identifiers that differ by little or share a pattern.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store.h"
#include "store_index.h"

namespace {

struct StoreGuard {
  orvel_store *s = orvel_create();
  ~StoreGuard() { orvel_destroy(s); }
};

std::uint64_t slots(const orvel_store *s) { return 2 * s->capacity; }

// Every live entry has exactly one slot, holding its position; no other
// slot is in use; holes have none; and every lookup ends on the entry's own
// position.
void expect_index_matches_array(const orvel_store *s) {
  ASSERT_EQ(s->index == nullptr, s->items == nullptr);
  ASSERT_LE(s->count, s->used);
  ASSERT_LE(s->used, s->capacity);
  ASSERT_TRUE(s->used == 0 || s->items[s->used - 1] != nullptr) << "the last slot used is an entry";
  ASSERT_LE(2 * (s->used - s->count), s->used) << "holes never outnumber entries";
  std::vector<int> seen(s->used, 0);
  std::uint64_t used = 0;
  for (std::uint64_t slot = 0; slot < slots(s); ++slot) {
    const orvel::IndexSlot &e = s->index[slot];
    const std::uint8_t control = orvel::controls(s)[slot];
    if (e.entry == nullptr) {
      ASSERT_EQ(control, 0) << "slot " << slot << " is empty";
      continue;
    }
    ASSERT_EQ(control, orvel::fingerprint(e.tag)) << "slot " << slot;
    ++used;
    ASSERT_LT(e.position, s->used) << "slot " << slot << " points past the slots used";
    ASSERT_EQ(e.entry, s->items[e.position]) << "slot " << slot << " holds another entry";
    ++seen[e.position];
  }
  EXPECT_EQ(used, s->count);
  for (std::uint64_t i = 0; s->index != nullptr && i + 1 < orvel::kGroup; ++i) {
    EXPECT_EQ(orvel::controls(s)[slots(s) + i], orvel::controls(s)[i]) << "copy of control byte " << i;
  }
  std::uint64_t live = 0;
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] == nullptr) {
      EXPECT_EQ(seen[i], 0) << "hole " << i;
      continue;
    }
    ++live;
    EXPECT_EQ(seen[i], 1) << "entry " << i;
    EXPECT_EQ(orvel::find_item(s, s->items[i]->kind(), s->items[i]->item_id()), static_cast<std::int32_t>(i));
  }
  EXPECT_EQ(live, s->count);
}

// "kind/id" of the live entries in store order.
std::vector<std::string> keys_of(const orvel_store *s) {
  std::vector<std::string> keys;
  for (std::uint64_t i = 0; i < s->used; ++i) {
    if (s->items[i] != nullptr) keys.push_back(std::string(s->items[i]->kind()) + "/" + s->items[i]->item_id());
  }
  return keys;
}

// Longest run of probes any present identity needs.
std::uint64_t longest_probe(const orvel_store *s) {
  std::uint64_t longest = 0;
  const std::uint64_t mask = slots(s) - 1;
  for (std::uint64_t slot = 0; slot <= mask; ++slot) {
    if (s->index[slot].entry == nullptr) continue;
    longest = std::max(longest, ((slot - (s->index[slot].tag & mask)) & mask) + 1);
  }
  return longest;
}

}  // namespace

// Random toggles against a model, removing at the front, middle and end of
// stores small and large, so that holes are left, taken with the last entry,
// squeezed out and filled by growth at every size.
TEST(StoreIndex, AgreesWithTheArrayThroughRandomToggles) {
  static const char *const kinds[] = {"track", "album", "artist", "playlist"};
  std::mt19937 rng(7);
  for (const int universe : {8, 60, 700}) {
    StoreGuard g;
    std::vector<std::string> model;  // "kind/id" in store order
    for (int step = 0; step < 6000; ++step) {
      const char *kind = kinds[rng() % 4];
      const std::string id = "x" + std::to_string(rng() % static_cast<unsigned>(universe));
      const std::string key = std::string(kind) + "/" + id;
      const auto at = std::find(model.begin(), model.end(), key);
      const std::int32_t r = orvel_apply_local_toggle(g.s, kind, id.c_str(), "", "");
      if (at == model.end()) {
        ASSERT_EQ(r, 1);
        model.push_back(key);
      } else {
        ASSERT_EQ(r, 0);
        model.erase(at);
      }
      if (step % 97 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_index_matches_array(g.s));
      }
    }
    ASSERT_EQ(g.s->count, model.size());
    EXPECT_EQ(keys_of(g.s), model);
    expect_index_matches_array(g.s);
  }
}

TEST(StoreIndex, GrowsWithTheArray) {
  StoreGuard g;
  EXPECT_EQ(g.s->index, nullptr);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(orvel::add_item(g.s, "track", ("t" + std::to_string(i)).c_str(), "", ""),
              orvel::AddResult::ok);
  }
  EXPECT_EQ(g.s->capacity, 1024u);
  expect_index_matches_array(g.s);
  // Removing everything keeps the array, and so the index and its key.
  const orvel::IndexSlot *index = g.s->index;
  const orvel::HashKey key = g.s->key;
  for (int i = 999; i >= 0; --i) orvel_apply_local_toggle(g.s, "track", ("t" + std::to_string(i)).c_str(), "", "");
  EXPECT_EQ(g.s->count, 0u);
  EXPECT_EQ(g.s->index, index);
  EXPECT_EQ(std::memcmp(&g.s->key, &key, sizeof key), 0);
  EXPECT_EQ(std::count_if(index, index + slots(g.s), [](const orvel::IndexSlot &e) { return e.entry != nullptr || e.position != 0; }), 0);
  EXPECT_EQ(std::count(orvel::controls(g.s), orvel::controls(g.s) + slots(g.s), 0), static_cast<std::ptrdiff_t>(slots(g.s)));
}

// Identifiers that share long prefixes or differ in one byte, and equal
// identifiers under the four kinds, must not pile up on a few slots, with
// either hash.
TEST(StoreIndex, SpreadsPatternedIdentifiers) {
  const std::vector<std::string> families[] = {
      [] { std::vector<std::string> v; for (int i = 0; i < 4096; ++i) v.push_back(std::string(40, 'a') + std::to_string(i)); return v; }(),
      [] { std::vector<std::string> v; for (int i = 0; i < 4096; ++i) v.push_back(std::to_string(i * 4096)); return v; }(),
      [] { std::vector<std::string> v; for (int i = 0; i < 4096; ++i) v.push_back({'k', char(1 + i % 255), char(1 + i / 255)}); return v; }(),
      // 64 bytes that differ in two words in the middle, and longer ones
      // (SipHash's) that differ at the end.
      [] { std::vector<std::string> v; for (int i = 0; i < 4096; ++i) v.push_back(std::string(30, 'm') + std::to_string(1000000 + i) + std::string(27, 'm')); return v; }(),
      [] { std::vector<std::string> v; for (int i = 0; i < 4096; ++i) v.push_back(std::string(100, 'z') + std::to_string(i)); return v; }(),
  };
  for (const auto &ids : families) {
    StoreGuard g;
    for (const auto &id : ids) {
      for (const char *kind : {"track", "album", "artist", "playlist"}) {
        ASSERT_EQ(orvel::add_item(g.s, kind, id.c_str(), "", ""), orvel::AddResult::ok);
      }
    }
    // A good hash at most half full keeps probe runs short; a clustered one
    // would need hundreds.
    EXPECT_LT(longest_probe(g.s), 64u) << "first id " << ids.front();
  }
}

// Each store draws its own key: the same identities land in different slots,
// so a response cannot be tuned to one layout.
TEST(StoreIndex, StoresHashWithTheirOwnKeys) {
  StoreGuard a;
  StoreGuard b;
  int same = 0;
  for (int i = 0; i < 64; ++i) {
    const std::string id = "same" + std::to_string(i);
    orvel::add_item(a.s, "track", id.c_str(), "", "");
    orvel::add_item(b.s, "track", id.c_str(), "", "");
  }
  EXPECT_NE(std::memcmp(&a.s->key, &b.s->key, sizeof a.s->key), 0);
  for (std::uint64_t slot = 0; slot < slots(a.s); ++slot) {
    same += a.s->index[slot].entry != nullptr && b.s->index[slot].entry != nullptr &&
            a.s->index[slot].position == b.s->index[slot].position;
  }
  EXPECT_LT(same, 16);
}

// A load builds a new index with a new key; the old one is released.
TEST(StoreIndex, LoadReplacesTheIndex) {
  StoreGuard g;
  for (int i = 0; i < 40; ++i) orvel::add_item(g.s, "album", ("a" + std::to_string(i)).c_str(), "", "");
  const char response[] = R"({"tracks":["t1","t2","t1"],"items":[{"kind":"album","id":"a3"}]})";
  ASSERT_EQ(orvel_load_mine_json(g.s, response, 0), 3);
  expect_index_matches_array(g.s);
  EXPECT_EQ(orvel::find_item(g.s, "album", "a3"), 0);
  EXPECT_EQ(orvel::find_item(g.s, "album", "a4"), -1);
  ASSERT_EQ(orvel_load_mine_json(g.s, "[]", 0), 0);
  EXPECT_EQ(g.s->index, nullptr);
}

// Without the system's random source the key still differs from run to run
// and from call to call.
TEST(StoreIndex, FallbackKeysDiffer) {
  const orvel::SipKey a = orvel::fallback_process_key();
  const orvel::SipKey b = orvel::fallback_process_key();
  EXPECT_FALSE(a.k0 == b.k0 && a.k1 == b.k1);
  EXPECT_NE(a.k0, 0u);
}

// The loader reads each element one step ahead of its insert; a large load
// with repeats must still keep first occurrences, in order, with every hint
// matching the entry it was worked out for.
TEST(StoreIndex, LargeLoadKeepsFirstOccurrencesInOrder) {
  std::string response = R"({"items":[)";
  std::vector<std::string> expected;
  std::mt19937 rng(11);
  for (int i = 0; i < 5000; ++i) {
    const int n = static_cast<int>(rng() % 3000);
    const char *kind = n % 2 == 0 ? "album" : "track";
    const std::string key = std::string(kind) + "/" + std::to_string(n);
    if (std::find(expected.begin(), expected.end(), key) == expected.end()) expected.push_back(key);
    response += (i > 0 ? "," : "") + std::string(R"({"kind":")") + kind + R"(","id":")" +
                std::to_string(n) + R"(","title":"t)" + std::to_string(i) + R"("})";
    if (i % 7 == 0) response += R"(,{"kind":"Track","id":"skipped"},17)";
  }
  response += "]}";
  StoreGuard g;
  ASSERT_EQ(orvel_load_mine_json(g.s, response.c_str(), response.size()), static_cast<int>(expected.size()));
  EXPECT_EQ(keys_of(g.s), expected);
  expect_index_matches_array(g.s);
}

namespace {

// Two identities whose tags are equal in this store, found by trying
// identifiers until two collide (about 80,000 tries for 32-bit tags).
std::pair<std::string, std::string> colliding_ids(const orvel_store *s, const char *kind_a,
                                                  const char *kind_b) {
  std::unordered_map<std::uint32_t, std::string> seen;
  for (int i = 0;; ++i) {
    const std::string a = "a" + std::to_string(i);
    seen.emplace(orvel::tag_of(s->key, orvel::kind_number(kind_a), a), a);
    const std::string b = "b" + std::to_string(i);
    const auto hit = seen.find(orvel::tag_of(s->key, orvel::kind_number(kind_b), b));
    if (hit != seen.end()) return {hit->second, b};
  }
}

}  // namespace

// Equal tags are only a hint: the texts decide, whether the kinds or the
// identifiers differ.
TEST(StoreIndex, EqualTagsAreToldApartByTheTexts) {
  for (const char *other_kind : {"track", "album"}) {
    StoreGuard g;
    ASSERT_EQ(orvel::add_item(g.s, "artist", "seed", "", ""), orvel::AddResult::ok);
    const auto [a, b] = colliding_ids(g.s, "track", other_kind);
    ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", a.c_str(), "", ""), 1);
    EXPECT_EQ(orvel::find_item(g.s, other_kind, b.c_str()), -1);
    ASSERT_EQ(orvel_apply_local_toggle(g.s, other_kind, b.c_str(), "", ""), 1);
    EXPECT_EQ(orvel::find_item(g.s, "track", a.c_str()), 1);
    EXPECT_EQ(orvel::find_item(g.s, other_kind, b.c_str()), 2);
    ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", a.c_str(), "", ""), 0);
    EXPECT_EQ(orvel::find_item(g.s, other_kind, b.c_str()), 2) << "where it stood: the removal left a hole";
    expect_index_matches_array(g.s);
  }
}

// Two identities with the same identifier and equal tags: only the kind tells
// them apart, in lookups, adds and removals alike. Under a key whose word for
// the kind and length is 0 the kind adds nothing to the hash of a short
// identifier, so every identifier has equal tags for all four kinds.
TEST(StoreIndex, EqualTagsOfTwoKindsAreToldApartByTheKind) {
  const char *id = "KyaJ01";
  StoreGuard g;
  orvel_store none{};
  ASSERT_TRUE(orvel::reserve_load(g.s, 2, 0, &none));
  g.s->key.words[1] = 0;  // nothing is placed yet, so the index follows the new key
  ASSERT_EQ(orvel::tag_of(g.s->key, 1, id), orvel::tag_of(g.s->key, 2, id));

  ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", id, "", ""), 1);
  EXPECT_EQ(orvel_is_wished(g.s, "artist", id), 0);
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "artist", id, "", ""), 1);  // added, not taken for the album
  EXPECT_EQ(g.s->count, 2u);
  expect_index_matches_array(g.s);
  ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", id, "", ""), 0);
  EXPECT_EQ(orvel::find_item(g.s, "artist", id), 1);
  EXPECT_EQ(orvel::find_item(g.s, "album", id), -1);
  expect_index_matches_array(g.s);
}

// Under a key of zeros every short identifier of a kind gets one tag and one
// fingerprint: lookups then rest on comparing the texts alone, of every
// length, differing anywhere.
TEST(StoreIndex, IdentifiersWithEqualTagsAreToldApartByTheirText) {
  StoreGuard g;
  orvel_store none{};
  ASSERT_TRUE(orvel::reserve_load(g.s, 64, 0, &none));
  std::memset(g.s->key.words, 0, sizeof g.s->key.words);
  const std::vector<std::string> ids = {"a", "b", "ab", "ba", "abc", "abd", "xbc", "abcd", "abce", "xbcd",
                                        "abcdefgh", "abcdefgx", "xbcdefgh", std::string(20, 'q') + "1",
                                        std::string(20, 'q') + "2", "2" + std::string(20, 'q'),
                                        std::string(40, 'r') + "1", "1" + std::string(40, 'r')};
  ASSERT_EQ(orvel::tag_of(g.s->key, 0, "ab"), orvel::tag_of(g.s->key, 0, "ba"));
  for (const auto &id : ids) ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", id.c_str(), "", ""), 1) << id;
  expect_index_matches_array(g.s);
  EXPECT_EQ(orvel::find_item(g.s, "track", "abcf"), -1);
  EXPECT_EQ(orvel::find_item(g.s, "track", "c"), -1);
  for (std::size_t i = 0; i < ids.size(); i += 2) ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", ids[i].c_str(), "", ""), 0);
  expect_index_matches_array(g.s);
  for (std::size_t i = 1; i < ids.size(); i += 2) EXPECT_GE(orvel::find_item(g.s, "track", ids[i].c_str()), 0) << ids[i];
}

// Identifiers longer than the multilinear hash's 64 bytes take SipHash: they
// are found, told apart by their last byte and by their kind, and removed.
TEST(StoreIndex, LongIdentifiersAreFoundAndToldApart) {
  StoreGuard g;
  std::vector<std::string> ids;
  for (const std::size_t len : {63u, 64u, 65u, 71u, 72u, 200u}) {
    for (const char last : {'a', 'b'}) ids.push_back(std::string(len - 1, 'x') + last);
  }
  for (const auto &id : ids) {
    for (const char *kind : {"track", "album"}) ASSERT_EQ(orvel_apply_local_toggle(g.s, kind, id.c_str(), "", ""), 1);
  }
  expect_index_matches_array(g.s);
  EXPECT_EQ(orvel::find_item(g.s, "playlist", ids[5].c_str()), -1);
  EXPECT_EQ(orvel::find_item(g.s, "album", (ids[5] + "c").c_str()), -1);
  for (const auto &id : ids) ASSERT_EQ(orvel_apply_local_toggle(g.s, "track", id.c_str(), "", ""), 0);
  EXPECT_EQ(g.s->count, ids.size());
  expect_index_matches_array(g.s);
}

// A full store refuses a toggle that would add, after looking the pair up.
TEST(StoreIndex, FullStoreRefusesAToggleThatAdds) {
  StoreGuard g;
  orvel::add_item(g.s, "track", "kept", "", "");
  g.s->count = orvel::kMaxEntries;  // pretend; only slot 0 is ever read
  EXPECT_EQ(orvel_apply_local_toggle(g.s, "track", "new", "", ""), -1);
  g.s->count = 1;
  EXPECT_EQ(orvel::find_item(g.s, "track", "new"), -1);
  EXPECT_EQ(orvel::find_item(g.s, "track", "kept"), 0);
}

namespace {

std::string track(int i) { return "t" + std::to_string(i); }

// A store of tracks t0 ... t(n-1), added by toggles.
void add_tracks(orvel_store *s, int n) {
  for (int i = 0; i < n; ++i) ASSERT_EQ(orvel_apply_local_toggle(s, "track", track(i).c_str(), "", ""), 1);
}

void remove_track(orvel_store *s, int i) {
  ASSERT_EQ(orvel_apply_local_toggle(s, "track", track(i).c_str(), "", ""), 0) << track(i);
}

}  // namespace

// A removal empties its entry's slot and moves nothing else: every other
// entry keeps its place and its position. Removing the last entry leaves no
// hole, and takes the holes just before it along.
TEST(StoreIndex, ARemovalLeavesAHoleAndMovesNothingElse) {
  StoreGuard g;
  add_tracks(g.s, 100);
  const std::vector<orvel_item *> before(g.s->items, g.s->items + 100);
  const struct {
    int removed;
    std::uint64_t used;
  } steps[] = {{40, 100}, {0, 100}, {98, 100}, {97, 100}, {99, 97}, {96, 96}};
  std::vector<bool> gone(100, false);
  for (const auto &step : steps) {
    remove_track(g.s, step.removed);
    gone[static_cast<std::size_t>(step.removed)] = true;
    EXPECT_EQ(g.s->used, step.used) << "after removing " << step.removed;
    for (std::uint64_t i = 0; i < g.s->used; ++i) {
      EXPECT_EQ(g.s->items[i], gone[i] ? nullptr : before[i]) << "slot " << i;
    }
    ASSERT_NO_FATAL_FAILURE(expect_index_matches_array(g.s));
  }
  EXPECT_EQ(g.s->count, 94u);
}

// Holes are squeezed out once they are more than half of the slots used:
// with many entries behind the first hole by passes over the index, with few
// one by one. The entries keep their order either way.
TEST(StoreIndex, HolesAreSqueezedOutOnceTheyAreMoreThanHalf) {
  const struct {
    const char *what;
    int added, trimmed;      // toggled in, then removed from the newest down to `trimmed` left
    int front_removals;      // removed from the oldest on
    std::uint64_t squeezed;  // the removal (1-based) that squeezes
  } cases[] = {
      {"many behind the first hole", 1000, 1000, 501, 501},
      {"few behind the first hole, in a large array", 1000, 20, 11, 11},
  };
  for (const auto &c : cases) {
    StoreGuard g;
    add_tracks(g.s, c.added);
    for (int i = c.added - 1; i >= c.trimmed; --i) remove_track(g.s, i);
    ASSERT_EQ(g.s->used, static_cast<std::uint64_t>(c.trimmed)) << c.what;
    for (int i = 0; i < c.front_removals; ++i) {
      remove_track(g.s, i);
      const bool squeezed = static_cast<std::uint64_t>(i + 1) >= c.squeezed;
      EXPECT_EQ(g.s->used, squeezed ? g.s->count : static_cast<std::uint64_t>(c.trimmed)) << c.what << ", removal " << i + 1;
    }
    EXPECT_EQ(g.s->capacity, 1024u) << "squeezed in place";
    std::vector<std::string> expected;
    for (int i = c.front_removals; i < c.trimmed; ++i) expected.push_back("track/" + track(i));
    EXPECT_EQ(keys_of(g.s), expected) << c.what;
    ASSERT_NO_FATAL_FAILURE(expect_index_matches_array(g.s)) << c.what;
    ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", "after", "", ""), 1);
    EXPECT_EQ(orvel::find_item(g.s, "album", "after"), static_cast<std::int32_t>(g.s->count - 1));
  }
}

// An insert into a full array squeezes its holes out instead of growing when
// they are an eighth of it or more; with fewer, the array doubles and keeps
// them.
TEST(StoreIndex, AFullArraySqueezesOrGrowsByItsHoles) {
  const struct {
    int holes;
    std::uint64_t capacity, used;  // after the insert
  } cases[] = {{4, 32, 29}, {3, 64, 33}};
  for (const auto &c : cases) {
    StoreGuard g;
    add_tracks(g.s, 32);
    const orvel_item *const *array = g.s->items;
    for (int i = 0; i < c.holes; ++i) remove_track(g.s, 5 + 7 * i);
    ASSERT_EQ(g.s->used, 32u);
    ASSERT_EQ(orvel_apply_local_toggle(g.s, "album", "new", "", ""), 1);
    EXPECT_EQ(g.s->capacity, c.capacity) << c.holes << " holes";
    EXPECT_EQ(g.s->used, c.used) << c.holes << " holes";
    if (c.capacity == 32) {
      EXPECT_EQ(g.s->items, array) << "squeezed in place";
    }
    ASSERT_NO_FATAL_FAILURE(expect_index_matches_array(g.s));
    EXPECT_EQ(keys_of(g.s).back(), "album/new");
  }
}
