// SPDX-License-Identifier: MIT
// The crash test's child: syncs in the background against the service while
// the user keeps tapping, printing each tap once set_wished has returned,
// until it is killed.   tapper BASE_URL STATE_DIR FIRST_TAP
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "orvel/client.hpp"
#include "tap_sequence.hpp"

int main(int argc, char **argv) {
  if (argc != 4) return 2;
  orvel::ClientOptions options;
  options.backoff_base = std::chrono::milliseconds(10);
  options.backoff_cap = std::chrono::milliseconds(100);
  try {
    orvel::WishlistClient client(argv[1], argv[2], options);
    client.start();
    for (long tap = std::atol(argv[3]);; ++tap) {
      client.set_wished(orvel::Kind::track, test::tapped_item(tap), test::tapped_wish(tap), "Tapped", "");
      std::printf("tap %ld\n", tap);
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  } catch (const std::exception &error) {
    std::fprintf(stderr, "tapper: %s\n", error.what());
    return 1;
  }
}
