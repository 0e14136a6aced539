// SPDX-License-Identifier: MIT
// Loading list responses: recognised shapes, element rules, strict reading
// and the all-or-nothing state rules.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

using namespace orvel_test;
using Entries = std::vector<Entry>;

namespace {

struct ShapeCase {
  const char *name;
  std::string json;
  Entries expected;
};

Entry track(const char *id, const char *title = "", const char *artist = "") {
  return {"track", id, title, artist};
}
Entry album(const char *id, const char *title = "", const char *artist = "") {
  return {"album", id, title, artist};
}

const ShapeCase kShapes[] = {
    // Roots that hold nothing recognisable.
    {"empty array", "[]", {}},
    {"empty object", "{}", {}},
    {"bare string", R"("t1")", {}},
    {"bare number", "42", {}},
    {"null root", "null", {}},
    {"total only", R"({"total":3})", {}},
    // Root array: no default kind.
    {"root array object with id", R"([{"kind":"album","id":"a1"}])", {album("a1")}},
    {"root array strings skipped", R"(["t1",{"kind":"track","itemId":"t2"}])", {track("t2")}},
    // Grouped members and string elements.
    {"tracks strings dedup", R"({"tracks":["t1","t2","t1"]})", {track("t1"), track("t2")}},
    {"items strings skipped", R"({"items":["t1","t2"]})", {}},
    {"wishes objects", R"({"wishes":[{"kind":"artist","itemId":"r1","title":"R"}]})",
     {{"artist", "r1", "R", ""}}},
    {"empty id string dropped", R"({"albums":["","a1"]})", {album("a1")}},
    {"every grouped member",
     R"({"playlists":["p2"],"playlist":["p1"],"artists":["r2"],"artist":["r1"],)"
     R"("albums":["a2"],"album":["a1"],"tracks":["t2"],"track":["t1"]})",
     {track("t1"), track("t2"), album("a1"), album("a2"), {"artist", "r1", "", ""},
      {"artist", "r2", "", ""}, {"playlist", "p1", "", ""}, {"playlist", "p2", "", ""}}},
    {"table order beats text order", R"({"albums":["a1"],"tracks":["t1"]})",
     {track("t1"), album("a1")}},
    // All ten members, written in the reverse of the order they are read in,
    // with identities repeated across them: both the order of the entries and
    // whose title each keeps show the reading order.
    {"every member in reading order",
     R"({"playlists":[{"itemId":"p1","title":"playlists"},"p2"],"playlist":["p1"],)"
     R"("artists":[{"itemId":"r1","title":"artists"},"r2"],"artist":[{"itemId":"r0","title":"artist"},"r1"],)"
     R"("albums":[{"itemId":"a2","title":"albums"},"a3"],"album":[{"itemId":"a1","title":"album"},"a2"],)"
     R"("tracks":[{"itemId":"t1","title":"tracks"},"t2"],"track":[{"itemId":"t1","title":"track"},)"
     R"({"itemId":"w1","title":"track"}],)"
     R"("wishes":[{"kind":"track","itemId":"w1","title":"wishes"},{"kind":"artist","itemId":"r0","title":"wishes"}],)"
     R"("items":[{"kind":"album","itemId":"a1"},{"kind":"track","itemId":"w1","title":"items"}]})",
     {album("a1"), track("w1", "items"), {"artist", "r0", "wishes", ""}, track("t1", "track"),
      track("t2"), album("a2"), album("a3"), {"artist", "r1", "", ""}, {"artist", "r2", "", ""},
      {"playlist", "p1", "", ""}, {"playlist", "p2", "", ""}}},
    {"items before grouped", R"({"tracks":["t1"],"items":[{"kind":"album","itemId":"a1"}]})",
     {album("a1"), track("t1")}},
    // Element kind rules.
    {"own kind wins", R"({"albums":[{"kind":"track","itemId":"x"}]})", {track("x")}},
    {"invalid own kind dropped", R"({"tracks":[{"kind":"Track","itemId":"x"}]})", {}},
    {"kinds one letter off dropped",
     R"({"tracks":[{"kind":"tracc","itemId":"x"},{"kind":"albun","itemId":"x"},{"kind":"artisT","itemId":"x"},)"
     R"({"kind":"playlisT","itemId":"x"},{"kind":"trackx","itemId":"x"}]})",
     {}},
    {"other short member names ignored", R"({"tracks":[{"ix":"y","ki":"album","itemId":"x"}]})", {track("x")}},
    {"null kind falls back", R"({"albums":[{"kind":null,"itemId":"x"}]})", {album("x")}},
    {"number kind falls back", R"({"albums":[{"kind":7,"itemId":"x"}]})", {album("x")}},
    {"null kind in items skipped", R"({"items":[{"kind":null,"itemId":"x"}]})", {}},
    {"no kind in items skipped", R"({"items":[{"itemId":"x"}]})", {}},
    {"no kind in playlists", R"({"playlists":[{"itemId":"x"}]})", {{"playlist", "x", "", ""}}},
    {"first kind member counts", R"({"tracks":[{"kind":1,"kind":"album","itemId":"x"}]})",
     {track("x")}},
    // Element id rules.
    {"empty itemId dropped despite id", R"({"tracks":[{"itemId":"","id":"y"}]})", {}},
    {"number itemId uses id", R"({"tracks":[{"itemId":5,"id":"y"}]})", {track("y")}},
    {"null itemId uses id", R"({"tracks":[{"itemId":null,"id":"y"}]})", {track("y")}},
    {"itemId wins over id", R"({"tracks":[{"id":"y","itemId":"x"}]})", {track("x")}},
    {"number id skipped", R"({"tracks":[{"id":5}]})", {}},
    {"no id skipped", R"({"tracks":[{"title":"T"}]})", {}},
    {"first itemId counts", R"({"tracks":[{"itemId":"a","itemId":"b"}]})", {track("a")}},
    // Title and artist.
    {"non-string title and artist", R"({"tracks":[{"itemId":"x","title":3,"artist":null}]})",
     {track("x")}},
    {"title and artist kept", R"({"tracks":[{"itemId":"x","title":"T","artist":"A"}]})",
     {track("x", "T", "A")}},
    {"escaped NUL cuts title", R"({"tracks":[{"itemId":"x","title":"ab\u0000cd"}]})",
     {track("x", "ab")}},
    {"unicode escapes decoded", R"({"tracks":[{"itemId":"\u00e9\ud83c\udfb5","title":"\/"}]})",
     {track("\xc3\xa9\xf0\x9f\x8e\xb5", "/")}},
    // Escaped NUL in an identity skips the element, with no fallback.
    {"NUL in string element", R"({"tracks":["ab\u0000cd","t1"]})", {track("t1")}},
    {"NUL in itemId no fallback", R"({"tracks":[{"itemId":"a\u0000b","id":"y"}]})", {}},
    {"NUL in id", R"({"tracks":[{"id":"a\u0000"}]})", {}},
    {"NUL in kind", R"({"tracks":[{"kind":"album\u0000x","itemId":"y"}]})", {}},
    // What is never read.
    {"nested array skipped", R"({"tracks":[["t1"],"t2"]})", {track("t2")}},
    {"scalars and empty object skipped", R"({"tracks":[1,true,null,{},"t1"]})", {track("t1")}},
    {"non-array member contributes nothing", R"({"tracks":"t1","albums":{"id":"a"}})", {}},
    {"first member of a name only", R"({"items":"x","items":[{"kind":"track","id":"t"}]})", {}},
    {"deeper arrays not searched", R"({"data":{"tracks":["t1"]}})", {}},
    {"member names are exact", R"({"Tracks":["t1"],"tracks ":["t2"],"trac\u006bs":["t3"]})",
     {track("t3")}},
    // Duplicates: first occurrence wins, even across members.
    {"first title wins",
     R"({"items":[{"kind":"album","itemId":"a1","title":"first"}],)"
     R"("albums":[{"itemId":"a1","title":"second"}]})",
     {album("a1", "first")}},
    {"track then tracks", R"({"tracks":["t2"],"track":["t1","t2"]})", {track("t1"), track("t2")}},
    // Members the loader does not read, however close their names come.
    {"other members ignored",
     R"({"albums":[{"ids":"x","kinds":"track","titles":"x","artists":"x","idx":"y","itemID":"z",)"
     R"("genre":"g","popularity":3,"id":"a1","i":1,"Kind":"track"}],"tracks":[{"kind":"a","id":"t"}]})",
     {album("a1")}},
};

// Name the case instead of dumping its bytes when a test fails.
void PrintTo(const ShapeCase &c, std::ostream *os) { *os << c.name; }

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, LoadsExpectedEntries) {
  const ShapeCase &c = GetParam();
  Store s = make_store();
  ASSERT_EQ(orvel_apply_local_toggle(s.get(), "artist", "old", nullptr, nullptr), 1);
  const int32_t n = orvel_load_mine_json(s.get(), c.json.data(), c.json.size());
  EXPECT_EQ(n, static_cast<int32_t>(c.expected.size()));
  EXPECT_EQ(entries(s.get()), c.expected);
  EXPECT_STREQ(orvel_last_error(), "");
}

INSTANTIATE_TEST_SUITE_P(Loader, Shapes, ::testing::ValuesIn(kShapes),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           for (char &ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// Texts the strict reader refuses, given with their exact length.
const std::string kInvalid[] = {
    "",
    "   \t\n\r ",
    "[1,]",
    R"({"a":1,})",
    "[1] // c",
    "/* c */ []",
    "\xEF\xBB\xBF[]",
    "['x']",
    "{a:1}",
    "[NaN]",
    "[Infinity]",
    "[1e400]",
    "[-1e400]",
    "[\"\\ud800\"]",
    "[\"\\udc00x\"]",
    "[\"\xC0\x80\"]",
    "[\"\xED\xA0\x80\"]",
    "[\"\xF4\x90\x80\x80\"]",
    "[\"\x80\"]",
    "[\"\xE2\x82\"]",
    "[\"a\tb\"]",
    std::string("[]\0", 3),
    std::string("[\"a\0b\"]", 7),
    "[] []",
    "[] x",
    "[",
    "{\"tracks\":[\"t1\"]",
    "tru",
    std::string("[\0\0\0]", 5),
};

TEST(Loader, StrictReadingFailuresKeepTheStore) {
  for (const std::string &text : kInvalid) {
    Store s = make_store();
    ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "keep", "T", "A"), 1);
    ASSERT_EQ(orvel_load_mine_json(s.get(), "[]", 0), 0);  // clears the error text
    ASSERT_EQ(orvel_apply_local_toggle(s.get(), "album", "keep", "T", "A"), 1);
    // len 0 would mean "up to the first NUL"; pass a 1-byte NUL text for "".
    const int32_t n = text.empty() ? orvel_load_mine_json(s.get(), "", 0)
                                   : orvel_load_mine_json(s.get(), text.data(), text.size());
    EXPECT_EQ(n, -1) << '"' << text << '"';
    EXPECT_STREQ(orvel_last_error(), "invalid json") << '"' << text << '"';
    EXPECT_EQ(entries(s.get()), (Entries{{"album", "keep", "T", "A"}})) << text;
  }
}

TEST(Loader, NullArgumentsAreReportedFirst) {
  Store s = make_store();
  EXPECT_EQ(orvel_load_mine_json(nullptr, "not json", 0), -1);
  EXPECT_STREQ(orvel_last_error(), "null arg");
  orvel_load_mine_json(s.get(), "[", 0);
  EXPECT_EQ(orvel_load_mine_json(s.get(), nullptr, 5), -1);
  EXPECT_STREQ(orvel_last_error(), "null arg");
  EXPECT_EQ(orvel_load_mine_json(nullptr, nullptr, 0), -1);
  EXPECT_STREQ(orvel_last_error(), "null arg");
}

TEST(Loader, LengthRules) {
  Store s = make_store();
  const char text[] = R"({"tracks":["t1","t2"]} trailing)";
  // len 0: up to the first NUL, so the trailing words are read and refused.
  EXPECT_EQ(orvel_load_mine_json(s.get(), text, 0), -1);
  // An exact prefix that is complete JSON loads.
  EXPECT_EQ(orvel_load_mine_json(s.get(), text, 22), 2);
  // A prefix that cuts the value fails.
  EXPECT_EQ(orvel_load_mine_json(s.get(), text, 15), -1);
  EXPECT_EQ(orvel_count(s.get()), 2);
  // A length that counts the terminating NUL fails.
  const char exact[] = R"(["t1"])";
  EXPECT_EQ(orvel_load_mine_json(s.get(), exact, sizeof exact), -1);
  EXPECT_STREQ(orvel_last_error(), "invalid json");
  EXPECT_EQ(orvel_load_mine_json(s.get(), exact, sizeof exact - 1), 0);
}

TEST(Loader, TextNeedsNoTerminatingNul) {
  // Exactly the bytes of the value, in a heap block with nothing after it, so
  // the address sanitizer catches any read past len.
  const std::string json = R"({"albums":["a1","a2"]})";
  std::unique_ptr<char[]> exact(new char[json.size()]);
  std::memcpy(exact.get(), json.data(), json.size());
  Store s = make_store();
  EXPECT_EQ(orvel_load_mine_json(s.get(), exact.get(), json.size()), 2);
  EXPECT_EQ(entries(s.get()), (Entries{album("a1"), album("a2")}));
}

TEST(Loader, SuccessfulLoadReplacesTheContent) {
  Store s = make_store();
  ASSERT_EQ(orvel_load_mine_json(s.get(), R"({"tracks":["t1","t2"]})", 0), 2);
  ASSERT_EQ(orvel_load_mine_json(s.get(), R"({"albums":["a1"]})", 0), 1);
  EXPECT_EQ(entries(s.get()), (Entries{album("a1")}));
  ASSERT_EQ(orvel_load_mine_json(s.get(), "{}", 0), 0);
  EXPECT_EQ(orvel_count(s.get()), 0);
  // The store stays usable after being emptied.
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "track", "t9", nullptr, nullptr), 1);
  // A reload over loaded entries spread over two blocks (a larger response
  // placed in the smaller one's memory, then in a new one), toggled ones and
  // holes between them replaces them all.
  ASSERT_EQ(orvel_load_mine_json(s.get(), R"({"tracks":["t1","t2","t3"]})", 0), 3);
  std::string larger = R"({"tracks":[)";
  for (int i = 0; i < 200; ++i) larger += (i ? "," : "") + std::string(R"({"itemId":"long-identifier-)") + std::to_string(i) + R"("})";
  larger += "]}";
  ASSERT_EQ(orvel_load_mine_json(s.get(), larger.c_str(), 0), 200);
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "album", "mine", "M", ""), 1);
  EXPECT_EQ(orvel_apply_local_toggle(s.get(), "track", "long-identifier-7", nullptr, nullptr), 0);
  ASSERT_EQ(orvel_load_mine_json(s.get(), R"({"tracks":["t3","t4"]})", 0), 2);
  EXPECT_EQ(entries(s.get()), (Entries{track("t3"), track("t4")}));
}

TEST(Loader, HostileButValidShapes) {
  Store s = make_store();
  // Deep nesting inside a recognised array contributes nothing.
  std::string deep = R"({"tracks":[)" + std::string(5000, '[') + std::string(5000, ']') +
                     R"(,"t1"]})";
  EXPECT_EQ(orvel_load_mine_json(s.get(), deep.data(), deep.size()), 1);
  // A huge identifier is stored whole.
  const std::string big_id(1 << 20, 'x');
  const std::string big = R"({"tracks":[")" + big_id + R"("]})";
  ASSERT_EQ(orvel_load_mine_json(s.get(), big.data(), big.size()), 1);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", big_id.c_str()), 1);
  // Many repeated member names: only the first of each counts.
  std::string dup = "{";
  for (int i = 0; i < 1000; ++i) dup += R"("tracks":["t)" + std::to_string(i) + R"("],)";
  dup += R"("x":0})";
  EXPECT_EQ(orvel_load_mine_json(s.get(), dup.data(), dup.size()), 1);
  EXPECT_EQ(orvel_is_wished(s.get(), "track", "t0"), 1);
}

TEST(Loader, ErrorTextIsPerThread) {
  std::string seen = "unset";
  std::thread([&] {
    Store s = make_store();
    EXPECT_EQ(orvel_load_mine_json(s.get(), "[", 0), -1);
    seen = orvel_last_error();
  }).join();
  EXPECT_EQ(seen, "invalid json");
  std::string other = "unset";
  std::thread([&] { other = orvel_last_error(); }).join();
  EXPECT_EQ(other, "");
}

}  // namespace
