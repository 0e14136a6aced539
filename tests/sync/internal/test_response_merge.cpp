// SPDX-License-Identifier: MIT
// Appending entries to a list response without parsing it: the merged text
// must load as the response followed by the entries, and must fail exactly
// when the response does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "orvel.h"
#include "response_merge.h"
#include "support.h"

using namespace orvel_sync;

namespace {

const std::string kAdded = R"({"kind":"artist","itemId":"added","title":"t","artist":"a"})";

// What the store holds after loading text (or "<invalid>").
std::string loaded(const std::string &text) {
  orvel_test::Store store = orvel_test::make_store();
  if (orvel_load_mine_json(store.get(), text.data(), text.size()) < 0) return "<invalid>";
  std::string out;
  for (const auto &e : orvel_test::entries(store.get())) out += e.kind + "/" + e.item_id + " ";
  return out;
}

std::string merged(const std::string &response) {
  std::size_t len = 0;
  char *text = merge_response(response, kAdded, &len);
  std::string copy(text, len);
  std::free(text);
  return copy;
}

// The loader reads these members, in this order: each one's entries come
// after those of every member listed before it, whatever the text's order.
TEST(ResponseMerge, TheMemberListIsTheLoaders) {
  for (std::size_t i = 0; i < kListMemberCount; ++i) {
    const std::string name(kListMembers[i]);
    const std::string one = R"({")" + name + R"(":[{"kind":"track","itemId":"x"}]})";
    EXPECT_EQ(loaded(one), "track/x ") << name << " is read";
    for (std::size_t j = i + 1; j < kListMemberCount; ++j) {
      const std::string later(kListMembers[j]);
      const std::string both = R"({")" + later + R"(":[{"kind":"track","itemId":"late"}],")" + name +
                               R"(":[{"kind":"track","itemId":"early"}]})";
      EXPECT_EQ(loaded(both), "track/early track/late ") << name << " before " << later;
    }
  }
}

struct Case {
  std::string response;
  MergePlan::How how;
};

// Valid responses: the merge loads as the response, then the addition.
TEST(ResponseMerge, ValidResponsesKeepTheirEntriesFirst) {
  using H = MergePlan::How;
  const Case cases[] = {
      {R"([])", H::wrap_array},
      {" \t\r\n[\"s\", {\"kind\":\"album\",\"itemId\":\"a\"}] \n", H::wrap_array},
      {R"({"tracks":["t"]})", H::insert},
      {R"({"tracks":[ ]})", H::insert},
      {R"({"tracks":["t",[1,{"x":"]"}]], "albums":"no"})", H::insert},
      {R"({"playlists":["p"],"items":[{"kind":"track","itemId":"i"}]})", H::insert},
      {R"({"items":[{"kind":"track","itemId":"i"}],"total":"]}"})", H::insert},
      {R"({"\u0070laylists":["p"],"albums":["a"]})", H::insert},
      {R"({"playlists\u0000":["p"],"albums":["a"]})", H::insert},
      {R"({"pl\"aylists":["p"],"albums":["a"]})", H::insert},
      {R"({"albums":{"x":[1]},"albums":["a"],"tracks":["t"]})", H::insert},
      {R"({"a\ud83c\udfb5":[1],"tracks":["t"]})", H::insert},
      {R"({"\b\f\n\r\t\/\\":[1],"\u0074\u0052acks":[2],"tr\u00C9":[3],"tracks":["t"]})", H::insert},
      {R"({"averyveryverylongmembername":[1],"albums":["a"]})", H::insert},
      {R"({})", H::wrap_other},
      {R"({"total":0,"other":[1]})", H::wrap_other},
      {R"({"tracks":null})", H::wrap_other},
      {R"("text")", H::wrap_other},
      {R"(12.5e3)", H::wrap_other},
      {R"(null)", H::wrap_other},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(plan_merge(c.response).how, c.how) << c.response;
    const std::string before = loaded(c.response);
    ASSERT_NE(before, "<invalid>") << c.response;
    EXPECT_EQ(loaded(merged(c.response)), before + "artist/added ") << c.response << "\nmerged: " << merged(c.response);
  }
}

// Invalid responses stay invalid once merged, wherever the scan stopped.
TEST(ResponseMerge, InvalidResponsesStayInvalid) {
  const std::vector<std::string> cases = {
      "", " ", "[", "]", "{", "}", "[1,]", "[,]", "{\"tracks\":[\"t\",]}", "{\"tracks\":[\"t\"],}",
      "{\"tracks\":[\"t\"]", "{\"tracks\":[\"t\"}]", "{\"tracks\" [\"t\"]}", "{tracks:[\"t\"]}",
      "{\"tracks\":[\"t\"]} x", "{\"tracks\":[\"t\" \"u\"]}", "{\"tracks\":[tru]}", "{\"tracks\":[\"\xff\"]}",
      "\xef\xbb\xbf{\"tracks\":[]}", "{\"tracks\":[]}{}", "[][]", "{\"a\":1 \"tracks\":[]}",
      "{\"tr\\x\":[]}", "{\"tr\\u00g0\":[]}", "{\"tr\\u00", "{\"tr\\", "{\"tracks\":[\"t\\\"]}", std::string("{\"tracks\":[]}\0", 14),
      "{\"tracks\":[1],\"albums\":[2,]}", "{\"tracks\":[}", "{\"tracks\":[1}]",
      // What follows one value must not read as more members of a wrapper.
      "{\"tracks\":[\"a\"]},\"title\":\"T\"", "[],\"x\":1", "\"s\",\"x\":1", "1,\"x\":1", "[\"a\"]]",
  };
  for (const std::string &c : cases) {
    ASSERT_EQ(loaded(c), "<invalid>") << "the case itself must be invalid: " << c;
    EXPECT_EQ(loaded(merged(c)), "<invalid>") << c << "\nmerged: " << merged(c);
  }
}

}  // namespace
