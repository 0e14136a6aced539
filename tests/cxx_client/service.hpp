// SPDX-License-Identifier: MIT
// The sample service as a child process for a test, on 127.0.0.1, bounded in
// requests and time; faults ordered and state read through /_control.
#ifndef ORVEL_CXX_CLIENT_SERVICE_HPP
#define ORVEL_CXX_CLIENT_SERVICE_HPP

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "orvel/client.hpp"

struct yyjson_val;

namespace test {

using Key = std::pair<std::string, std::string>;  // kind, itemId

struct Logged {
  std::string method;
  std::string path;
  int status = 0;  // 0: none sent
  std::string fault;
  bool applied = false;
  bool replayed = false;
  std::string item_id;
  std::string idempotency_key;
};

class Service {
 public:
  explicit Service(std::vector<std::string> args = {"--empty"}, int max_seconds = 100);
  ~Service();
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;

  const std::string &base_url() const { return base_url_; }
  // POSTs the order (a JSON object) to /_control; fails the test on a non-200.
  void control(const std::string &order);
  std::set<Key> entries();
  std::vector<Logged> requests();

 private:
  std::string state(const std::string *order);
  template <class Each>
  void each(const char *member, Each each_one);
  pid_t pid_ = -1;
  std::string base_url_;
  std::shared_ptr<orvel::Transport> transport_;
};

// A transport whose every request fails to connect, counting them.
class NoNetwork : public orvel::Transport {
 public:
  orvel::HttpResponse send(const orvel::HttpRequest &, orvel::Deadline) override {
    ++sent;
    orvel::HttpResponse response;
    response.kind = orvel::HttpResponse::Kind::not_sent;
    response.reason = "connection refused";
    return response;
  }
  std::atomic<int> sent{0};
};

// Why the tests against the sample service cannot run here; empty when they can.
inline const char *service_missing() {
  if (!ORVEL_CLIENT_CURL) return "built without libcurl";
  if (ORVEL_PYTHON3[0] == '\0') return "no python3 for the sample service";
  return "";
}

std::string temp_dir();
void remove_tree(const std::string &path);
std::set<Key> keys_of(const orvel::WishlistClient &client);
// Generous options for a test against the local service: short backoffs.
orvel::ClientOptions quick_options();

}  // namespace test

#endif
