// SPDX-License-Identifier: MIT
// The list URL and the wish request envelope.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <climits>
#include <cstdint>
#include <string>

#include "support.h"

using namespace orvel_test;

namespace {

const std::string kDefault = ORVEL_TEST_DEFAULT_BASE_URL;

struct JoinCase {
  const char *base;  // null: absent
  std::string expected_base;
};

const JoinCase kJoins[] = {
    {nullptr, kDefault},
    {"", kDefault},
    {"https://x.example", "https://x.example"},
    {"https://x.example/", "https://x.example"},
    {"https://x.example///", "https://x.example"},
    {"/", ""},
    {"///", ""},
    {"https://x.example/ ", "https://x.example/ "},
    {" https://x.example", " https://x.example"},
    {"abc", "abc"},
    {"https://x.example/v1/?q=a/#f/", "https://x.example/v1/?q=a/#f"},
    {"https://x.example/%20/caf\xc3\xa9/", "https://x.example/%20/caf\xc3\xa9"},
};

TEST(Urls, JoinRule) {
  for (const JoinCase &c : kJoins) {
    const char *shown = c.base ? c.base : "(null)";
    auto mine = take(orvel_build_mine_url(c.base));
    ASSERT_TRUE(mine) << shown;
    EXPECT_EQ(*mine, c.expected_base + "/wishlist/api/mine") << shown;
    EXPECT_EQ(mine->size(), c.expected_base.size() + 18) << shown;

    auto request = take(orvel_build_wish_request_json(c.base, 1, "track", "t", "", ""));
    if (c.base != nullptr && std::string(c.base).find('\xc3') != std::string::npos) continue;
    ASSERT_TRUE(request) << shown;
    EXPECT_NE(request->find("\"url\":\"" + c.expected_base + "/wishlist/api/wish\""),
              std::string::npos)
        << *request;
  }
}

TEST(Urls, LongBaseIsJoinedWhole) {
  const std::string base = std::string(1 << 20, 'b') + "//";
  auto url = take(orvel_build_mine_url(base.c_str()));
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, base.substr(0, base.size() - 2) + "/wishlist/api/mine");
}

TEST(Urls, MineUrlLeavesErrorTextAlone) {
  EXPECT_EQ(orvel_build_wish_request_json(nullptr, 1, "x", "t", nullptr, nullptr), nullptr);
  take(orvel_build_mine_url("https://x.example"));
  EXPECT_STREQ(orvel_last_error(), "invalid kind");
}

TEST(Urls, DefaultIsAnHttpsOriginWithoutTrailingSlash) {
  EXPECT_EQ(kDefault.rfind("https://", 0), 0u);
  EXPECT_NE(kDefault.back(), '/');
}

TEST(Request, WorkedExampleByteForByte) {
  auto text = take(orvel_build_wish_request_json("B", 1, "track", "t1", nullptr, "A"));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"method":"POST","url":"B/wishlist/api/wish","contentType":"application/json",)"
            R"("body":"{\"op\":\"add\",\"kind\":\"track\",\"itemId\":\"t1\",\"title\":\"\",)"
            R"(\"artist\":\"A\"}"})");
  EXPECT_STREQ(orvel_last_error(), "");
}

// The envelope's four members and the body's five, parsed back.
struct Parsed {
  std::string method, url, content_type, body_text;
  std::string op, kind, item_id, title, artist;
  size_t envelope_members = 0, body_members = 0;
};

Parsed parse(const std::string &envelope) {
  Parsed p;
  yyjson_doc *doc = yyjson_read(envelope.data(), envelope.size(), 0);
  EXPECT_NE(doc, nullptr) << envelope;
  yyjson_val *root = yyjson_doc_get_root(doc);
  p.envelope_members = yyjson_obj_size(root);
  p.method = str_member(root, "method");
  p.url = str_member(root, "url");
  p.content_type = str_member(root, "contentType");
  p.body_text = str_member(root, "body");
  EXPECT_TRUE(yyjson_is_str(yyjson_obj_get(root, "body"))) << "body must travel as a string";
  yyjson_doc_free(doc);
  yyjson_doc *body = yyjson_read(p.body_text.data(), p.body_text.size(), 0);
  EXPECT_NE(body, nullptr) << p.body_text;
  yyjson_val *b = yyjson_doc_get_root(body);
  p.body_members = yyjson_obj_size(b);
  p.op = str_member(b, "op");
  p.kind = str_member(b, "kind");
  p.item_id = str_member(b, "itemId");
  p.title = str_member(b, "title");
  p.artist = str_member(b, "artist");
  yyjson_doc_free(body);
  return p;
}

TEST(Request, AddFlagIsTestedAsAWhole) {
  const struct {
    int32_t add;
    const char *op;
  } cases[] = {{0, "remove"}, {1, "add"}, {-1, "add"}, {INT32_MIN, "add"}, {INT32_MAX, "add"},
               {256, "add"}};
  for (const auto &c : cases) {
    auto text = take(orvel_build_wish_request_json(nullptr, c.add, "album", "a1", "T", "A"));
    ASSERT_TRUE(text) << c.add;
    const Parsed p = parse(*text);
    EXPECT_EQ(p.op, c.op) << c.add;
    EXPECT_EQ(p.envelope_members, 4u);
    EXPECT_EQ(p.body_members, 5u);
    EXPECT_EQ(p.method, "POST");
    EXPECT_EQ(p.content_type, "application/json");
    EXPECT_EQ(p.url, kDefault + "/wishlist/api/wish");
    EXPECT_EQ(p.kind, "album");
    EXPECT_EQ(p.item_id, "a1");
    EXPECT_EQ(p.title, "T");
    EXPECT_EQ(p.artist, "A");
  }
}

TEST(Request, EscapesAtBothLevels) {
  const struct {
    const char *title;
    const char *in_body;      // as the title stands in the body text
    const char *in_envelope;  // as it stands in the envelope text
  } cases[] = {
      {"a\"b", R"(a\"b)", R"(a\\\"b)"},
      {"a\\b", R"(a\\b)", R"(a\\\\b)"},
      {"a\nb", R"(a\nb)", R"(a\\nb)"},
      {"\b\t\f\r", R"(\b\t\f\r)", R"(\\b\\t\\f\\r)"},
      {"\x01\x1f", R"(\u0001\u001F)", R"(\\u0001\\u001F)"},
      {"a/b", "a/b", "a/b"},
      {"\x7f", "\x7f", "\x7f"},
      {"caf\xc3\xa9 \xf0\x9f\x8e\xb5", "caf\xc3\xa9 \xf0\x9f\x8e\xb5", "caf\xc3\xa9 \xf0\x9f\x8e\xb5"},
  };
  for (const auto &c : cases) {
    auto text = take(orvel_build_wish_request_json("B", 1, "track", "t", c.title, ""));
    ASSERT_TRUE(text) << c.title;
    EXPECT_NE(text->find(std::string(R"(\"title\":\")") + c.in_envelope + R"(\")"),
              std::string::npos)
        << *text;
    const Parsed p = parse(*text);
    EXPECT_NE(p.body_text.find(std::string(R"("title":")") + c.in_body + "\""), std::string::npos)
        << p.body_text;
    EXPECT_EQ(p.title, c.title);
  }
}

TEST(Request, ArgumentChecksInOrder) {
  const struct {
    const char *kind;
    const char *item_id;
    const char *message;
  } cases[] = {
      {nullptr, "t", "invalid kind"},    {"Album", "", "invalid kind"},
      {"tracks", nullptr, "invalid kind"}, {"album", "", "empty item_id"},
      {"album", nullptr, "empty item_id"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(orvel_build_wish_request_json("B", 1, c.kind, c.item_id, "T", "A"), nullptr);
    EXPECT_STREQ(orvel_last_error(), c.message);
  }
  // Title, artist and base undergo no test.
  EXPECT_TRUE(take(orvel_build_wish_request_json("", 0, "playlist", "p", nullptr, nullptr)));
  EXPECT_STREQ(orvel_last_error(), "");
}

TEST(Request, InvalidUtf8GivesNoRequestAndAnEmptyErrorText) {
  const char *bad[] = {"\xff", "a\xc3", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"};
  for (const char *b : bad) {
    for (int which = 0; which < 4; ++which) {
      // Start from a message, to see the call empty it.
      EXPECT_EQ(orvel_build_wish_request_json(nullptr, 1, "Track", "t", nullptr, nullptr), nullptr);
      ASSERT_STREQ(orvel_last_error(), "invalid kind");
      char *text = orvel_build_wish_request_json(which == 0 ? b : "B", 1, "track",
                                                 which == 1 ? b : "t", which == 2 ? b : "T",
                                                 which == 3 ? b : "A");
      EXPECT_EQ(text, nullptr) << "argument " << which;
      EXPECT_STREQ(orvel_last_error(), "") << "argument " << which;
      orvel_free(text);
    }
  }
}

}  // namespace
