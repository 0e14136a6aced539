// SPDX-License-Identifier: MIT
// Concurrency: separate stores and error texts on separate threads, and the
// stateless functions from many threads at once (run under TSan in CI).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

using namespace orvel_test;

TEST(Threads, OwnStoreAndOwnErrorTextPerThread) {
  constexpr int kThreads = 4;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      Store s = make_store();
      const std::string prefix = "t" + std::to_string(t) + "-";
      for (int i = 0; i < 200; ++i) {
        const std::string id = prefix + std::to_string(i);
        if (orvel_apply_local_toggle(s.get(), "track", id.c_str(), nullptr, nullptr) != 1) ++failures;
      }
      auto text = take(orvel_export_json(s.get()));
      for (int round = 0; round < 20; ++round) {
        // Each thread alternates its own failure and success; the other
        // threads' messages must never show through.
        const bool fail_round = (round + t) % 2 == 0;
        const int32_t r = fail_round ? orvel_load_mine_json(s.get(), "{", 0)
                                     : orvel_load_mine_json(s.get(), text->data(), text->size());
        const std::string expected = fail_round ? "invalid json" : "";
        if (orvel_last_error() != expected) ++failures;
        if (!fail_round && r != 200) ++failures;
      }
      if (orvel_count(s.get()) != 200) ++failures;
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(Threads, StatelessFunctionsConcurrently) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures] {
      for (int i = 0; i < 100; ++i) {
        if (std::string(orvel_version()) != ORVEL_VERSION || orvel_abi_version() != ORVEL_ABI_VERSION) ++failures;
        if (orvel_validate_kind("album") != 0) ++failures;
        if (!take(orvel_build_mine_url("https://x.example/"))) ++failures;
        if (!take(orvel_build_wish_request_json(nullptr, i, "track", "t", "T", "A"))) ++failures;
        if (orvel_selftest() != 0) ++failures;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}
