// SPDX-License-Identifier: MIT
// A child syncing while the user keeps tapping, killed with SIGKILL at seeded
// random moments: after each kill the state opens, and every tap printed
// before it is there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <thread>

#include "orvel/client.hpp"
#include "service.hpp"
#include "tap_sequence.hpp"

namespace {

using namespace std::chrono_literals;

// Runs the tapper from first_tap, kills it after `after`, and answers the last tap it printed (-1: none).
long run_and_kill(const std::string &base_url, const std::string &dir, long first_tap, std::chrono::milliseconds after) {
  int out[2];
  if (::pipe(out) != 0) return -2;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    const std::string first = std::to_string(first_tap);
    ::execl(ORVEL_TAPPER, ORVEL_TAPPER, base_url.c_str(), dir.c_str(), first.c_str(), static_cast<char *>(nullptr));
    std::_Exit(127);
  }
  ::close(out[1]);
  std::this_thread::sleep_for(after);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::string printed;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, static_cast<std::size_t>(n));
  ::close(out[0]);
  // Killed, not ended by itself (a failure, or a sanitizer's abort).
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the tapper ended by itself: " << status;
  long last = -1;
  std::size_t at = 0;
  while ((at = printed.find("tap ", at)) != std::string::npos) {
    const std::size_t end = printed.find('\n', at);
    if (end == std::string::npos) break;  // a line cut short was not printed whole
    last = std::stol(printed.substr(at + 4, end - at - 4));
    at = end;
  }
  return last;
}

TEST(Crash, NoTapIsLostWhenTheAppIsKilled) {
  if (*test::service_missing() != '\0') GTEST_SKIP() << test::service_missing();
  test::Service service({"--empty"}, 300);
  const std::string dir = test::temp_dir();
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> moment(5 * ORVEL_CRASH_SLOWER, 120 * ORVEL_CRASH_SLOWER);
  orvel::ClientOptions offline;
  offline.transport = std::make_shared<test::NoNetwork>();
  long next_tap = 0, kills_with_taps = 0;
  const int kCycles = 200;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    const long last = run_and_kill(service.base_url(), dir, next_tap, std::chrono::milliseconds(moment(random)));
    ASSERT_GE(last, -1);
    if (last >= next_tap) {
      ++kills_with_taps;
      next_tap = last + 1;
    }
    // The state opens after each kill, and shows the last printed tap of every
    // item (but the item of the tap after it, which may have been saved unprinted).
    orvel::WishlistClient client(service.base_url(), dir, offline);
    for (long tap = std::max(0L, next_tap - test::kTappedItems + 1); tap < next_tap; ++tap) {
      ASSERT_EQ(client.wished(orvel::Kind::track, test::tapped_item(tap)), test::tapped_wish(tap))
          << "tap " << tap << " lost after kill " << cycle;
    }
  }
  std::printf("crash test: %d kills, %ld taps printed, %ld kills after at least one tap of the run\n", kCycles,
              next_tap, kills_with_taps);
  EXPECT_GT(kills_with_taps, kCycles / 4) << "kills landed while the user was tapping";
  test::remove_tree(dir);
}

}  // namespace
