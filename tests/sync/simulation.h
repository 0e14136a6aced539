// SPDX-License-Identifier: MIT
// A deterministic simulation of apps that keep their wishes in a journal and
// talk to an unreliable service. One seed fixes everything: the faults and
// their rates, the service's refusals, and every step of the schedule; the
// same seed always runs the same schedule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvel_sim {

// What a seed chose, printed with a failing schedule.
struct Settings {
  int clients = 1;            // apps, each with its own store and journal
  bool other_device = false;  // someone changes the service's set underneath
  int steps = 0;              // random steps before the app settles
  int drop = 0;               // per cent of requests lost before the service
  int lose_answer = 0;        // per cent of answers lost after the service applied it (unknown)
  int restart = 0;            // weight of restarts among the steps
  int corrupt = 0;            // per cent of list responses that arrive damaged
  int late = 0;               // per cent of requests held by the network (reported unknown)
                              // that land at a later step, or never
  bool poison = false;        // one entry the service answers 5xx for ever
  int snapshot = 0;           // per cent of restarts through the one snapshot
  std::string describe() const;
};

struct Result {
  Settings settings;
  bool ok = true;
  std::string violation;            // the first property that failed
  std::vector<std::string> trace;   // every step, as run
  std::uint64_t digest = 0;         // of the trace: equal runs, equal digests
  std::uint64_t operations = 0;     // operations the apps recorded
};

// Runs the schedule of one seed to quiescence, checking the properties at
// every step and at the end.
Result simulate(std::uint64_t seed);

// The report of a failing run: seed, settings, violation and the steps.
std::string report(std::uint64_t seed, const Result &r);

}  // namespace orvel_sim
