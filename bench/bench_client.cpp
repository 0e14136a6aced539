// SPDX-License-Identifier: MIT
// What WishlistClient adds to a sync pass: 1,000 changes sent to the local
// sample service and the list fetched once, by the client's sync_now and by
// a minimal loop making the same requests through the same libcurl
// transport with as many at once (1, then the client's default
// max_in_flight), rounds alternating in one process; prints the best of each
// and their ratios.
//   orvel_client_bench [CHANGES [ROUNDS]]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "orvel/client.hpp"
#include "service.hpp"

namespace {

using orvel::Clock;
using namespace std::chrono_literals;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string item(int round, int i) { return "al-" + std::to_string(round) + "-" + std::to_string(i); }

// The same requests, nothing else: each change's POST, `in_flight` at once
// (each sender takes the next change when its request is answered), then the list.
double minimal_loop(orvel::Transport &http, const std::string &base, int round, int changes, int in_flight) {
  const Clock::time_point start = Clock::now();
  std::atomic<int> next{0};
  const auto sender = [&] {
    for (int i; (i = next++) < changes;) {
      orvel::HttpRequest post;
      post.method = "POST";
      post.url = base + "/wishlist/api/wish";
      post.headers = {{"Content-Type", "application/json"}};
      post.body = R"({"op":"add","kind":"album","itemId":")" + item(round, i) + R"(","title":"T","artist":"A"})";
      post.max_response_bytes = 64u << 20;
      if (http.send(post, Clock::now() + 10s).status != 204) std::abort();
    }
  };
  std::vector<std::thread> others;
  for (int t = 1; t < in_flight; ++t) others.emplace_back(sender);
  sender();
  for (std::thread &other : others) other.join();
  orvel::HttpRequest list;
  list.method = "GET";
  list.url = base + "/wishlist/api/mine";
  list.max_response_bytes = 64u << 20;
  if (http.send(list, Clock::now() + 30s).status != 200) std::abort();
  return seconds_since(start);
}

double client_pass(const std::string &base, int round, int changes, int in_flight) {
  const std::string dir = test::temp_dir();
  orvel::ClientOptions options;
  options.max_in_flight = in_flight;
  double took = 0;
  {
    orvel::WishlistClient client(base, dir, options);
    for (int i = 0; i < changes; ++i) client.set_wished(orvel::Kind::album, item(round, i), true, "T", "A");
    const Clock::time_point start = Clock::now();
    const orvel::SyncSummary summary = client.sync_now(Clock::now() + 600s);
    took = seconds_since(start);
    if (summary.accepted != changes || !summary.refreshed) std::abort();
  }
  test::remove_tree(dir);
  return took;
}

}  // namespace

int main(int argc, char **argv) {
  const int changes = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const int many = orvel::ClientOptions{}.max_in_flight;
  test::Service service({"--empty"}, 900);
  const std::shared_ptr<orvel::Transport> http = orvel::make_default_transport();
  double loop_one = 1e9, client_one = 1e9, loop_many = 1e9, client_many = 1e9;
  const auto fresh = [&] { service.control(R"({"entries":[],"clearLog":true})"); };
  for (int round = 0; round < rounds; ++round) {
    const int at = 4 * round;
    fresh();
    loop_one = std::min(loop_one, minimal_loop(*http, service.base_url(), at, changes, 1));
    fresh();
    client_one = std::min(client_one, client_pass(service.base_url(), at + 1, changes, 1));
    fresh();
    loop_many = std::min(loop_many, minimal_loop(*http, service.base_url(), at + 2, changes, many));
    fresh();
    client_many = std::min(client_many, client_pass(service.base_url(), at + 3, changes, many));
  }
  std::printf("%d changes, best of %d: 1 in flight: minimal loop %.3f s, client %.3f s (%.2fx); "
              "%d in flight: minimal loop %.3f s, client %.3f s (%.2fx)\n",
              changes, rounds, loop_one, client_one, client_one / loop_one, many, loop_many, client_many,
              client_many / loop_many);
  return 0;
}
