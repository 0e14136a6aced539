// SPDX-License-Identifier: MIT
// The store through the public interface: toggling, lookups, counts and the
// handling of absent or invalid arguments.
#include <gtest/gtest.h>

#include "support.h"

using namespace orvel_test;

TEST(Store, NewStoreIsEmptyAndAbsentStoreIsHarmless) {
  Store s = make_store();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(orvel_count(s.get()), 0);
  EXPECT_EQ(orvel_count(nullptr), 0);
  EXPECT_EQ(orvel_is_wished(nullptr, "track", "t1"), 0);
  orvel_destroy(nullptr);
}

TEST(Store, ValidateKindIsExactAndCaseSensitive) {
  for (const char *kind : {"track", "album", "artist", "playlist"}) {
    EXPECT_EQ(orvel_validate_kind(kind), 0) << kind;
  }
  for (const char *kind : {"Track", "tracks", "ALBUM", "", "track ", " album", "play", "playlists", "a", "alpha",
                           "apple", "artisT", "playlisT", "trac"}) {
    EXPECT_EQ(orvel_validate_kind(kind), -1) << '"' << kind << '"';
  }
  EXPECT_EQ(orvel_validate_kind(nullptr), -1);
}

TEST(Store, ToggleAddsThenRemoves) {
  Store s = make_store();
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "track", "t1", "Title", "Artist"), 1);
  EXPECT_EQ(orvel_count(s.get()), 1);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", "t1"), 1);
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "track", "t1", "other", "ignored"), 0);
  EXPECT_EQ(orvel_count(s.get()), 0);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", "t1"), 0);
}

TEST(Store, IdentityIsKindAndIdTogether) {
  Store s = make_store();
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "track", "x", nullptr, nullptr), 1);
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "album", "x", nullptr, nullptr), 1);
  EXPECT_EQ(orvel_count(s.get()), 2);
  EXPECT_EQ(orvel_is_wished(s.get(), "artist", "x"), 0);
  // Ids compare byte for byte: no case folding, no prefix match.
  EXPECT_EQ(orvel_is_wished(s.get(), "track", "X"), 0);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", "x "), 0);
}

TEST(Store, InvalidToggleChangesNothing) {
  Store s = make_store();
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "a1", "A", "B"), 1);
  struct Case {
    orvel_store *store;
    const char *kind;
    const char *id;
  } cases[] = {
      {nullptr, "track", "t1"}, {s.get(), "Track", "t1"}, {s.get(), nullptr, "t1"},
      {s.get(), "tracks", "t1"}, {s.get(), "track", nullptr}, {s.get(), "track", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(orvel_apply_local_toggle(c.store, c.kind, c.id, "T", "A"), -1)
        << (c.kind ? c.kind : "(null)") << '/' << (c.id ? c.id : "(null)");
  }
  EXPECT_EQ(entries(s.get()), (std::vector<Entry>{{"album", "a1", "A", "B"}}));
}

TEST(Store, IsWishedMakesNoChecksOfItsOwn) {
  Store s = make_store();
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "track", "t1", nullptr, nullptr), 1);
  EXPECT_EQ(orvel_is_wished(s.get(), "Track", "t1"), 0);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", ""), 0);
  EXPECT_EQ(orvel_is_wished(s.get(), nullptr, "t1"), 0);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", nullptr), 0);
}

TEST(Store, RemovalKeepsTheOrderOfTheOthers) {
  struct Case {
    const char *remove;
    std::vector<std::string> left;
  } cases[] = {
      {"a", {"b", "c"}},
      {"b", {"a", "c"}},
      {"c", {"a", "b"}},
  };
  for (const Case &c : cases) {
    Store s = make_store();
    for (const char *id : {"a", "b", "c"}) orvel_apply_local_toggle(s.get(), "track", id, id, "");
    ASSERT_EQ(orvel_apply_local_toggle(s.get(), "track", c.remove, nullptr, nullptr), 0);
    std::vector<std::string> ids;
    for (const Entry &e : entries(s.get())) ids.push_back(e.item_id);
    EXPECT_EQ(ids, c.left) << "removing " << c.remove;
  }
}

TEST(Store, AbsentTitleAndArtistAreStoredEmpty) {
  Store s = make_store();
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "a1", nullptr, "Artist"), 1);
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "artist", "r1", "Name", nullptr), 1);
  EXPECT_EQ(entries(s.get()), (std::vector<Entry>{{"album", "a1", "", "Artist"},
                                                  {"artist", "r1", "Name", ""}}));
}

TEST(Store, ManyEntriesSurviveGrowthAndRemoval) {
  Store s = make_store();
  constexpr int kEntries = 1000;
  for (int i = 0; i < kEntries; ++i) {
    const std::string id = "id" + std::to_string(i);
    ASSERT_EQ(orvel_apply_local_toggle(s.get(), "playlist", id.c_str(), nullptr, nullptr), 1);
  }
  EXPECT_EQ(orvel_count(s.get()), kEntries);
  for (int i = 0; i < kEntries; i += 2) {
    const std::string id = "id" + std::to_string(i);
    ASSERT_EQ(orvel_apply_local_toggle(s.get(), "playlist", id.c_str(), nullptr, nullptr), 0);
  }
  EXPECT_EQ(orvel_count(s.get()), kEntries / 2);
  for (int i = 0; i < kEntries; ++i) {
    const std::string id = "id" + std::to_string(i);
    EXPECT_EQ(orvel_is_wished(s.get(), "playlist", id.c_str()), i % 2) << id;
  }
}
