// SPDX-License-Identifier: MIT
// Runs the simulation from the command line: a range of seeds (the soak and
// the deliberate-fault checks), or one seed with its whole schedule.
//   orvel_sync_sim [--from S] [--seeds N] [--expect-violation]
//   orvel_sync_sim --seed X
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "simulation.h"

int main(int argc, char **argv) {
  std::uint64_t from = 0, seeds = 1000, one = 0;
  bool single = false, expect_violation = false;
  for (int i = 1; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--from") == 0 && has_value) {
      from = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--seeds") == 0 && has_value) {
      seeds = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
      one = std::strtoull(argv[++i], nullptr, 10);
      single = true;
    } else if (std::strcmp(argv[i], "--expect-violation") == 0) {
      expect_violation = true;
    } else {
      std::fprintf(stderr, "usage: %s [--from S] [--seeds N] [--expect-violation] | --seed X\n", argv[0]);
      return 2;
    }
  }
  if (single) {
    const orvel_sim::Result r = orvel_sim::simulate(one);
    if (!r.ok) {
      std::fputs(orvel_sim::report(one, r).c_str(), stdout);
      return 1;
    }
    std::printf("seed %llu: no violation (%s)\n", static_cast<unsigned long long>(one), r.settings.describe().c_str());
    for (const std::string &line : r.trace) std::printf("  | %s\n", line.c_str());
    return 0;
  }
  std::uint64_t operations = 0;
  for (std::uint64_t seed = from; seed < from + seeds; ++seed) {
    const orvel_sim::Result r = orvel_sim::simulate(seed);
    operations += r.operations;
    if (!r.ok) {
      if (expect_violation) {
        std::printf("caught after %llu schedules, at seed %llu: %s\n",
                    static_cast<unsigned long long>(seed - from + 1), static_cast<unsigned long long>(seed),
                    r.violation.c_str());
        return 0;
      }
      std::fputs(orvel_sim::report(seed, r).c_str(), stdout);
      return 1;
    }
  }
  std::printf("%llu schedules (seeds %llu to %llu), %llu operations recorded: no violation\n",
              static_cast<unsigned long long>(seeds), static_cast<unsigned long long>(from),
              static_cast<unsigned long long>(from + seeds - 1), static_cast<unsigned long long>(operations));
  if (expect_violation) {
    std::printf("expected a violation: the fault went unnoticed\n");
    return 1;
  }
  return 0;
}
