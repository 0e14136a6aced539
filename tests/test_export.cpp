// SPDX-License-Identifier: MIT
// The export document and its round trip through the loader.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support.h"

using namespace orvel_test;

TEST(Export, NewStoreAndAbsentStore) {
  Store s = make_store();
  EXPECT_EQ(take(orvel_export_json(s.get())), "{\"total\":0,\"items\":[]}");
  EXPECT_EQ(take(orvel_export_json(nullptr)), std::nullopt);
}

TEST(Export, EntriesInStoreOrderWithAllFourMembers) {
  Store s = make_store();
  orvel_apply_local_toggle(s.get(), "album", "a1", nullptr, "Artist");
  orvel_apply_local_toggle(s.get(), "track", "t/1", "Say \"hi\"\n", nullptr);
  orvel_apply_local_toggle(s.get(), "playlist", "p\xc3\xa9", "\x01\x7f", "back\\slash");
  EXPECT_EQ(take(orvel_export_json(s.get())),
            R"({"total":3,"items":[)"
            R"({"kind":"album","itemId":"a1","title":"","artist":"Artist"},)"
            R"({"kind":"track","itemId":"t/1","title":"Say \"hi\"\n","artist":""},)"
            R"({"kind":"playlist","itemId":"p)"
            "\xc3\xa9"
            R"(","title":"\u0001)"
            "\x7f"
            R"(","artist":"back\\slash"}]})");
}

TEST(Export, TextThatIsNotUtf8MakesTheWholeResultAbsent) {
  Store s = make_store();
  orvel_apply_local_toggle(s.get(), "track", "ok", "fine", "fine");
  // The store does not check texts; the writer does.
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "a1", "bad \xff title", nullptr), 1);
  EXPECT_EQ(take(orvel_export_json(s.get())), std::nullopt);
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "a1", nullptr, nullptr), 0);
  EXPECT_TRUE(take(orvel_export_json(s.get())));
}

namespace {

// Random texts rich in what escaping can get wrong.
std::string random_text(std::mt19937 &rng, bool allow_empty) {
  static const std::vector<std::string> pieces = {
      "a",  "Z",  "0",  " ",  "\"", "\\", "/",  "\n", "\t", "\x01", "\x1f", "\x7f",
      "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x8e\xb5", "\\u0000", "{", "]", ":", ","};
  std::uniform_int_distribution<size_t> len(allow_empty ? 0 : 1, 12);
  std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
  std::string out;
  for (size_t n = len(rng); n > 0; --n) out += pieces[pick(rng)];
  return out;
}

}  // namespace

TEST(Export, RoundTripProperty) {
  static const char *kinds[] = {"track", "album", "artist", "playlist"};
  std::mt19937 rng(20261209);
  const size_t sizes[] = {0, 1, 2, 15, 16, 17, 100, 3000};
  for (size_t size : sizes) {
    for (int round = 0; round < 3; ++round) {
      Store original = make_store();
      std::vector<Entry> expected;
      while (expected.size() < size) {
        const char *kind = kinds[rng() % 4];
        const std::string id = random_text(rng, false);
        const std::string title = random_text(rng, true);
        const std::string artist = random_text(rng, true);
        if (orvel_apply_local_toggle(original.get(), kind, id.c_str(), title.c_str(),
                                     artist.c_str()) == 1) {
          expected.push_back({kind, id, title, artist});
        } else {
          // A repeat toggled it away: mirror that in the model.
          std::erase_if(expected, [&](const Entry &e) { return e.kind == kind && e.item_id == id; });
        }
      }
      auto first = take(orvel_export_json(original.get()));
      ASSERT_TRUE(first);
      Store loaded = make_store();
      ASSERT_EQ(orvel_load_mine_json(loaded.get(), first->data(), first->size()),
                static_cast<int32_t>(expected.size()));
      auto second = take(orvel_export_json(loaded.get()));
      ASSERT_TRUE(second);
      EXPECT_EQ(*first, *second) << "size " << size;
      EXPECT_EQ(entries(loaded.get()), expected) << "size " << size;
    }
  }
}
