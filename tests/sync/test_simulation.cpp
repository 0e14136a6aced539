// SPDX-License-Identifier: MIT
// The simulation's budget in the test suite: every schedule of the first
// seeds keeps every property, and a seed always runs the same schedule.
#include <gtest/gtest.h>

#include <cstdlib>

#include "simulation.h"

namespace {

// ORVEL_SIM_SEEDS overrides the budget (emulated builds run fewer).
std::uint64_t budget() {
  const char *env = std::getenv("ORVEL_SIM_SEEDS");
  return env != nullptr ? std::strtoull(env, nullptr, 10) : 3000;
}

TEST(Simulation, EverySchedulePreservesTheUsersIntents) {
  const std::uint64_t seeds = budget();
  std::uint64_t operations = 0;
  for (std::uint64_t seed = 0; seed < seeds; ++seed) {
    const orvel_sim::Result r = orvel_sim::simulate(seed);
    ASSERT_TRUE(r.ok) << orvel_sim::report(seed, r);
    operations += r.operations;
  }
  RecordProperty("operations", static_cast<int>(operations));
  EXPECT_GT(operations, seeds * 5) << "the schedules record too little to prove anything";
}

TEST(Simulation, ASeedRunsTheSameScheduleEveryTime) {
  for (std::uint64_t seed : {0ULL, 7ULL, 12345ULL, 0xFFFFFFFFFFFFULL}) {
    const orvel_sim::Result a = orvel_sim::simulate(seed), b = orvel_sim::simulate(seed);
    EXPECT_EQ(a.digest, b.digest) << "seed " << seed;
    EXPECT_EQ(a.trace, b.trace) << "seed " << seed;
  }
  EXPECT_NE(orvel_sim::simulate(1).digest, orvel_sim::simulate(2).digest);
}

}  // namespace
