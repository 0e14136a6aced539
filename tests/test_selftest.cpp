// The built-in self-test.
#include <gtest/gtest.h>

#include <thread>

#include "support.h"

using namespace orvel_test;

TEST(Selftest, PassesAndEmptiesTheErrorText) {
  Store s = make_store();
  ASSERT_EQ(orvel_load_mine_json(s.get(), "[1,]", 0), -1);
  ASSERT_STREQ(orvel_last_error(), "invalid json");
  EXPECT_EQ(orvel_selftest(), 0);
  EXPECT_STREQ(orvel_last_error(), "");
}

TEST(Selftest, PassesOnManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        if (orvel_selftest() != 0) ++failures;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}
