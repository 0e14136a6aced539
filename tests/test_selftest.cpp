// SPDX-License-Identifier: MIT
// The built-in self-test.
#include <gtest/gtest.h>

#include "support.h"

using namespace orvel_test;

TEST(Selftest, PassesAndEmptiesTheErrorText) {
  Store s = make_store();
  ASSERT_EQ(orvel_load_mine_json(s.get(), "[1,]", 0), -1);
  ASSERT_STREQ(orvel_last_error(), "invalid json");
  EXPECT_EQ(orvel_selftest(), 0);
  EXPECT_STREQ(orvel_last_error(), "");
}
