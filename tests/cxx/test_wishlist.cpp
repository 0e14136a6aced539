// SPDX-License-Identifier: MIT
// orvel.hpp's kinds, results and Wishlist, checked against the C functions
// they stand on: the same bytes out, every failure with its reason.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "orvel.hpp"

namespace {

using orvel::Kind;
using namespace std::literals;

// The C store loaded with a response, as the reference.
struct CStore {
  orvel_store *store = orvel_create();
  explicit CStore(std::string_view response) { orvel_load_mine_json(store, response.data(), response.size()); }
  ~CStore() { orvel_destroy(store); }
  CStore(const CStore &) = delete;
  CStore &operator=(const CStore &) = delete;
  std::string export_json() const {
    char *text = orvel_export_json(store);
    std::string copy(text);
    orvel_free(text);
    return copy;
  }
};

template <class T>
std::string reason_of(const orvel::Result<T> &result) {
  EXPECT_FALSE(result.ok());
  return std::string(result.reason());
}

TEST(CxxKind, EveryKindRoundTripsAndIsTheLibrarysText) {
  for (Kind kind : {Kind::track, Kind::album, Kind::artist, Kind::playlist}) {
    const std::string text(orvel::to_string(kind));
    EXPECT_EQ(orvel_validate_kind(text.c_str()), 0) << text;
    EXPECT_EQ(orvel::kind_from_string(text), kind);
  }
  EXPECT_EQ(orvel::to_string(static_cast<Kind>(4)), "");
  EXPECT_EQ(orvel::to_string(static_cast<Kind>(-1)), "");
}

TEST(CxxKind, AnyOtherTextIsAnInvalidKind) {
  for (std::string_view text : {""sv, "Track"sv, "tracks"sv, "trac"sv, " track"sv, "track\0"sv}) {
    EXPECT_EQ(reason_of(orvel::try_kind_from_string(text)), "invalid kind") << text;
    EXPECT_THROW(
        {
          try {
            (void)orvel::kind_from_string(text);
          } catch (const orvel::Error &error) {
            EXPECT_STREQ(error.what(), "invalid kind");
            EXPECT_EQ(error.reason(), "invalid kind");
            throw;
          }
        },
        orvel::Error);
  }
}

// The reasons the header gives in the libraries' name are spelled as
// orvel_sync.h lists them (one per line: the reason in quotes, then its meaning).
TEST(CxxReason, TheLibrarysReasonsAreSpelledAsItsHeaderListsThem) {
  std::ifstream header(ORVEL_TEST_SYNC_HEADER);
  ASSERT_TRUE(header) << ORVEL_TEST_SYNC_HEADER;
  std::set<std::string> listed;
  for (std::string line; std::getline(header, line);) {
    constexpr std::string_view kOpening = " *      \"";
    if (line.compare(0, kOpening.size(), kOpening) != 0) continue;
    const std::size_t close = line.find('"', kOpening.size());
    listed.insert(line.substr(kOpening.size(), close - kOpening.size()));
  }
  EXPECT_GT(listed.size(), 10u);  // the list was found and read
  for (std::string_view why : {orvel::reason::null_arg, orvel::reason::invalid_kind, orvel::reason::empty_item_id,
                               orvel::reason::invalid_utf8, orvel::reason::out_of_memory}) {
    EXPECT_EQ(listed.count(std::string(why)), 1u) << why;
  }
  for (std::string_view own : {orvel::reason::embedded_nul, orvel::reason::abi_mismatch,
                               orvel::reason::sync_abi_mismatch}) {
    EXPECT_EQ(listed.count(std::string(own)), 0u) << own;
  }
}

TEST(CxxResult, ValueOfAFailureThrowsItsReasonAndASuccessHasNone) {
  const orvel::Result<int> good(3);
  EXPECT_TRUE(good.ok());
  EXPECT_EQ(good.reason(), "");
  EXPECT_EQ(*good, 3);
  const orvel::Result<int> bad = orvel::detail::fail("a reason longer than any the libraries give, cut short");
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.reason().size(), 47u);
  EXPECT_THROW((void)bad.value(), std::runtime_error);
}

TEST(CxxWishlist, LoadToggleHasAndSizeMatchTheCStore) {
  orvel::Wishlist wishes;
  const std::string response = R"({"items":[{"kind":"album","itemId":"al-1","title":"T","artist":"A"}]})";
  EXPECT_EQ(wishes.load(response), 1);
  EXPECT_TRUE(wishes.has(Kind::album, "al-1"));
  EXPECT_FALSE(wishes.has(Kind::track, "al-1"));
  EXPECT_TRUE(wishes.toggle(Kind::track, "tr-1", "Song", "Singer"));
  EXPECT_FALSE(wishes.toggle(Kind::album, "al-1"));
  EXPECT_EQ(wishes.size(), 1u);
  CStore reference(response);
  orvel_apply_local_toggle(reference.store, "track", "tr-1", "Song", "Singer");
  orvel_apply_local_toggle(reference.store, "album", "al-1", nullptr, nullptr);
  EXPECT_EQ(wishes.export_json(), reference.export_json());
}

TEST(CxxWishlist, AFailedLoadKeepsTheContentAndGivesTheLibrarysReason) {
  orvel::Wishlist wishes;
  ASSERT_EQ(wishes.load(R"({"tracks":["a","b"]})"), 2);
  // The length is exact: the NUL and what follows it are part of the text.
  for (std::string_view bad : {""sv, "{"sv, "[] x"sv, "[]\0"sv, "\xff"sv}) {
    EXPECT_EQ(reason_of(wishes.try_load(bad)), "invalid json");
    EXPECT_EQ(wishes.size(), 2u);
  }
  EXPECT_THROW((void)wishes.load("nope"), orvel::Error);
  EXPECT_EQ(wishes.size(), 2u);
}

TEST(CxxWishlist, ToggleRefusesWhatTheStoreCouldNeverExport) {
  orvel::Wishlist wishes;
  const std::vector<std::tuple<Kind, std::string_view, orvel::OptionalText, orvel::OptionalText, const char *>>
      cases = {
          {static_cast<Kind>(7), "x", std::nullopt, std::nullopt, "invalid kind"},
          {Kind::track, "", std::nullopt, std::nullopt, "empty item_id"},
          {Kind::track, "a\0b"sv, std::nullopt, std::nullopt, "embedded nul"},
          {Kind::track, "x", "t\0"sv, std::nullopt, "embedded nul"},
          {Kind::track, "x", std::nullopt, "\0"sv, "embedded nul"},
          {Kind::track, "\xc3", std::nullopt, std::nullopt, "invalid utf-8"},
          {Kind::track, "x", "\xed\xa0\x80", std::nullopt, "invalid utf-8"},  // a surrogate
          {Kind::track, "x", std::nullopt, "\xf4\x90\x80\x80", "invalid utf-8"},  // past U+10FFFF
          {Kind::track, "x", "\xc0\xaf", std::nullopt, "invalid utf-8"},          // overlong
      };
  for (const auto &[kind, id, title, artist, why] : cases) {
    EXPECT_EQ(reason_of(wishes.try_toggle(kind, id, title, artist)), why) << id;
    EXPECT_EQ(wishes.size(), 0u);
  }
  // Long texts go through the heap copy, valid UTF-8 of every length passes.
  const std::string long_id(300, 'i'), title = "\xf0\x9f\x8e\xa7 \xe6\x9d\xb1 \xc3\xa9 \x7f";
  EXPECT_TRUE(wishes.toggle(Kind::playlist, long_id, title, std::string(200, 'a')));
  EXPECT_TRUE(wishes.has(Kind::playlist, long_id));
  const orvel::Entries entries = wishes.entries();
  EXPECT_EQ(entries.begin()->title, title);
}

TEST(CxxWishlist, HasIsFalseForWhatNoEntryCanBe) {
  orvel::Wishlist wishes;
  ASSERT_TRUE(wishes.toggle(Kind::track, "a"));
  EXPECT_FALSE(wishes.has(Kind::track, "a\0"sv));
  EXPECT_FALSE(wishes.has(static_cast<Kind>(9), "a"));
  EXPECT_FALSE(wishes.has(Kind::track, ""));
  // Each overload: a view (copied), a std::string and a C text (passed as they are).
  EXPECT_TRUE(wishes.has(Kind::track, "a"sv));
  EXPECT_TRUE(wishes.has(Kind::track, std::string("a")));
  EXPECT_TRUE(wishes.has(Kind::track, "a"));
  EXPECT_FALSE(wishes.has(Kind::track, std::string("a\0", 2)));
  EXPECT_FALSE(wishes.has(Kind::track, static_cast<const char *>(nullptr)));
  EXPECT_EQ(orvel::Wishlist().native_handle() != nullptr, true);
}

TEST(CxxWishlist, AMovedFromWishlistHoldsNothingAndRefusesChanges) {
  orvel::Wishlist first;
  ASSERT_TRUE(first.toggle(Kind::track, "a"));
  orvel::Wishlist second(std::move(first));
  EXPECT_TRUE(second.has(Kind::track, "a"));
  EXPECT_EQ(first.size(), 0u);  // NOLINT: the moved-from state is defined
  EXPECT_FALSE(first.has(Kind::track, "a"));
  EXPECT_EQ(first.native_handle(), nullptr);
  EXPECT_EQ(reason_of(first.try_load("[]")), "null arg");
  EXPECT_EQ(reason_of(first.try_toggle(Kind::track, "b")), "null arg");
  EXPECT_EQ(reason_of(first.try_export_json()), "null arg");
  EXPECT_EQ(reason_of(first.try_entries()), "null arg");

  // Assignment releases the store it held (the sanitizer builds see a leak)
  // and takes the other's; a self-assignment keeps it.
  orvel::Wishlist third;
  ASSERT_TRUE(third.toggle(Kind::album, "b"));
  third = std::move(second);
  EXPECT_TRUE(third.has(Kind::track, "a"));
  EXPECT_FALSE(third.has(Kind::album, "b"));
  orvel::Wishlist &same = third;
  third = std::move(same);
  EXPECT_EQ(third.size(), 1u);
  first = std::move(third);  // into a moved-from one
  EXPECT_TRUE(first.has(Kind::track, "a"));
  static_assert(!std::is_copy_constructible_v<orvel::Wishlist> && !std::is_copy_assignable_v<orvel::Wishlist>);
  static_assert(std::is_nothrow_move_constructible_v<orvel::Wishlist>);
}

TEST(CxxWishlist, MessagesAreTheLibrarysBytes) {
  for (std::string_view base : {""sv, "https://api.example.test//"sv, "http://h:8/p"sv}) {
    char *url = orvel_build_mine_url(std::string(base).c_str());
    EXPECT_EQ(orvel::Wishlist::mine_url(base), url);
    orvel_free(url);
  }
  const std::string title = "Caf\xc3\xa9 \"q\"\n";
  const orvel::WishRequest request =
      orvel::Wishlist::wish_request(false, Kind::artist, "ar-1", title, std::nullopt, "https://h/");
  char *json = orvel_build_wish_request_json("https://h/", 0, "artist", "ar-1", title.c_str(), nullptr);
  EXPECT_EQ(request.json, json);
  orvel_free(json);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "https://h/wishlist/api/wish");
  EXPECT_EQ(request.content_type, "application/json");
  EXPECT_EQ(request.body,
            R"({"op":"remove","kind":"artist","itemId":"ar-1","title":"Caf)"
            "\xc3\xa9"
            R"( \"q\"\n","artist":""})");
}

TEST(CxxWishlist, MessagesFailWithTheirReasons) {
  EXPECT_EQ(reason_of(orvel::Wishlist::try_mine_url("https://h\0/"sv)), "embedded nul");
  EXPECT_EQ(reason_of(orvel::Wishlist::try_mine_url("https://h/\xff")), "invalid utf-8");
  const std::vector<std::tuple<Kind, std::string_view, orvel::OptionalText, std::string_view, const char *>> cases =
      {
          {static_cast<Kind>(4), "x", std::nullopt, "", "invalid kind"},
          {Kind::track, "", std::nullopt, "", "empty item_id"},
          {Kind::track, "x", "\0"sv, "", "embedded nul"},
          {Kind::track, "x", std::nullopt, "https://h\0"sv, "embedded nul"},
          {Kind::track, "x", "\xff", "", "invalid utf-8"},
          {Kind::track, "\xe2\x82", std::nullopt, "", "invalid utf-8"},
      };
  for (const auto &[kind, id, title, base, why] : cases) {
    EXPECT_EQ(reason_of(orvel::Wishlist::try_wish_request(true, kind, id, title, std::nullopt, base)), why);
  }
  EXPECT_THROW((void)orvel::Wishlist::wish_request(true, Kind::album, ""), orvel::Error);
}

// Responses with every shape the loader reads, and the entries iteration
// must give: the export's texts, unescaped, their lengths exact.
struct IterationCase {
  const char *name;
  std::string response;
  std::vector<std::tuple<Kind, std::string, std::string, std::string>> entries;
  friend void PrintTo(const IterationCase &c, std::ostream *os) { *os << c.name; }
};

class CxxIteration : public testing::TestWithParam<IterationCase> {};

TEST_P(CxxIteration, GivesTheExportsEntriesInStoreOrder) {
  const IterationCase &c = GetParam();
  orvel::Wishlist wishes;
  ASSERT_TRUE(wishes.try_load(c.response).ok());
  const orvel::Entries entries = wishes.entries();
  EXPECT_EQ(entries.size(), c.entries.size());
  EXPECT_EQ(entries.empty(), c.entries.empty());
  std::size_t i = 0;
  for (const orvel::Entry entry : entries) {
    ASSERT_LT(i, c.entries.size());
    const auto &[kind, id, title, artist] = c.entries[i++];
    EXPECT_EQ(entry.kind, kind);
    EXPECT_EQ(entry.item_id, id);
    EXPECT_EQ(entry.title, title);
    EXPECT_EQ(entry.artist, artist);
  }
  EXPECT_EQ(i, c.entries.size());
  // The snapshot outlives changes to the store, and the store's own export
  // says the same as the C store's.
  wishes.toggle(Kind::track, "new-one");
  EXPECT_EQ(static_cast<std::size_t>(std::distance(entries.begin(), entries.end())), c.entries.size());
  CStore reference(c.response);
  orvel_apply_local_toggle(reference.store, "track", "new-one", nullptr, nullptr);
  EXPECT_EQ(wishes.export_json(), reference.export_json());
}

INSTANTIATE_TEST_SUITE_P(
    Responses, CxxIteration,
    testing::Values(
        IterationCase{"empty", "[]", {}},
        IterationCase{"items",
                      R"({"total":2,"items":[{"kind":"album","itemId":"al-1","title":"T","artist":"A"},)"
                      R"({"kind":"playlist","id":"pl-1"}]})",
                      {{Kind::album, "al-1", "T", "A"}, {Kind::playlist, "pl-1", "", ""}}},
        IterationCase{"grouped",
                      R"({"tracks":["t1"],"artists":[{"id":"ar-1","artist":"V"}],"albums":["al-9"]})",
                      {{Kind::track, "t1", "", ""}, {Kind::album, "al-9", "", ""}, {Kind::artist, "ar-1", "", "V"}}},
        IterationCase{"escapes",
                      R"({"items":[{"kind":"track","itemId":"a\"b","title":"cut\u0000here","artist":"tab\t\\/"}]})",
                      // The store keeps a text up to an escaped NUL.
                      {{Kind::track, "a\"b", "cut", "tab\t\\/"}}},
        IterationCase{"non-ascii",
                      R"({"items":[{"kind":"artist","itemId":"\u00e9","title":"Caf\u00e9 \ud83c\udfb5",)"
                      R"("artist":"東京 Ŝtelo"}]})",
                      {{Kind::artist, "\xc3\xa9", "Caf\xc3\xa9 \xf0\x9f\x8e\xb5", "東京 Ŝtelo"}}},
        IterationCase{"duplicates",
                      R"({"items":[{"kind":"track","itemId":"x","title":"first"},)"
                      R"({"kind":"track","itemId":"x","title":"second"}]})",
                      {{Kind::track, "x", "first", ""}}}),
    [](const testing::TestParamInfo<IterationCase> &param) {
      std::string name = param.param.name;
      for (char &ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

TEST(CxxIteration, SnapshotsMoveAndIteratorsStep) {
  orvel::Wishlist wishes;
  ASSERT_EQ(wishes.load(R"({"tracks":["a","b","c"]})"), 3);
  orvel::Entries first = wishes.entries();
  orvel::Entries second = std::move(first);
  EXPECT_EQ(second.size(), 3u);
  EXPECT_EQ(first.size(), 0u);  // NOLINT: the moved-from state is defined
  EXPECT_EQ(first.begin(), first.end());
  auto it = second.begin();
  EXPECT_EQ((*it++).item_id, "a");  // the post-increment gives the step before
  EXPECT_EQ((*it).item_id, "b");
  first = wishes.entries();
  second = std::move(first);
  EXPECT_EQ(second.size(), 3u);
}

}  // namespace
