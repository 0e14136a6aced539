// SPDX-License-Identifier: MIT
// What the interface cannot show: the journal's records stay consistent
// through long random use, and the UTF-8 rule it applies before keeping a text.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "journal_check.h"
#include "orvel.h"
#include "orvel_sync.h"
#include "text_rules.h"

namespace {

TEST(JournalInternal, RecordsStayConsistentThroughLongRandomUse) {
  orvel_store *store = orvel_create();
  orvel_journal *j = orvel_sync_create(store);
  std::uint64_t x = 88172645463325252ULL;  // xorshift64: the same walk every run
  const auto next = [&x](std::uint64_t n) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x % n;
  };
  std::int64_t in_flight[64];
  int flying = 0;
  for (int step = 0; step < 20000; ++step) {
    const std::string id = "i" + std::to_string(next(300));  // enough entries to grow every index
    switch (next(7)) {
      case 0: case 1:
        orvel_sync_set(j, static_cast<int32_t>(next(2)), next(2) ? "track" : "album", id.c_str(), "T", nullptr);
        break;
      case 2: {
        std::int64_t op = 0;
        char *request = orvel_sync_next_request(j, nullptr, &op);
        orvel_sync_free(request);
        if (op > 0 && flying < 64) in_flight[flying++] = op;
        else if (op > 0) orvel_sync_report(j, op, ORVEL_SYNC_ACCEPTED);
        break;
      }
      case 3: case 4:
        if (flying > 0) {
          const std::size_t i = next(static_cast<std::uint64_t>(flying));
          ASSERT_EQ(orvel_sync_report(j, in_flight[i], static_cast<int32_t>(1 + next(3))), 0);
          in_flight[i] = in_flight[--flying];
        }
        break;
      case 5:
        orvel_sync_load(j, orvel_sync_begin_refresh(j), next(2) ? "[]" : R"({"tracks":["i1","i2"]})", 0);
        break;
      default:
        if (next(50) == 0) {  // a restart: everything in flight comes back unsent
          char *saved = orvel_sync_export(j);
          orvel_sync_destroy(j);
          j = orvel_sync_create(store);
          ASSERT_GE(orvel_sync_restore(j, saved, 0), 0) << orvel_sync_last_error();
          orvel_sync_free(saved);
          flying = 0;
        }
        break;
    }
    ASSERT_TRUE(orvel_sync::consistent(j)) << "after step " << step;
    ASSERT_EQ(orvel_sync_count(j, ORVEL_SYNC_IN_FLIGHT), flying);
  }
  orvel_sync_destroy(j);
  orvel_destroy(store);
}

TEST(JournalInternal, Utf8FollowsRfc3629) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"plain ascii \x7f", true},
      {"\xc2\x80 \xdf\xbf", true},               // two bytes, both ends
      {"\xe0\xa0\x80 \xef\xbf\xbf", true},       // three bytes, both ends
      {"\xed\x9f\xbf \xee\x80\x80", true},       // either side of the surrogates
      {"\xf0\x90\x80\x80 \xf4\x8f\xbf\xbf", true},  // four bytes, up to U+10FFFF
      {"\x80", false},                           // a stray continuation byte
      {"\xc0\xaf", false},                       // overlong, lead byte never valid
      {"\xc1\xbf", false},
      {"\xe0\x9f\xbf", false},                   // overlong three bytes
      {"\xed\xa0\x80", false},                   // a surrogate
      {"\xf0\x8f\xbf\xbf", false},               // overlong four bytes
      {"\xf4\x90\x80\x80", false},               // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\xc2", false},                           // truncated at the end
      {"\xe2\x82", false},
      {"\xf0\x9f\x8e", false},
      {"\xe2\x28\xa1", false},                   // a bad continuation byte
      {"\xf0\x9f\x28\xb5", false},
  };
  for (const auto &[text, valid] : cases) {
    EXPECT_EQ(orvel_sync::valid_utf8(text), valid) << testing::PrintToString(text);
  }
}

}  // namespace
