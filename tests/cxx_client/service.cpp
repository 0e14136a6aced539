// SPDX-License-Identifier: MIT
#include "service.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace test {

Service::Service(std::vector<std::string> args, int max_seconds) : transport_(orvel::make_default_transport()) {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> argv = {ORVEL_PYTHON3, ORVEL_SERVICE, "--quiet", "--max-seconds", std::to_string(max_seconds),
                                   "--max-requests", "100000"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    const int quiet = ::open("/dev/null", O_WRONLY);  // connections the tests cut short are logged there
    if (quiet >= 0) ::dup2(quiet, 2);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char *> raw;
    for (std::string &a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    std::_Exit(127);
  }
  ::close(out[1]);
  char c = 0;
  while (::read(out[0], &c, 1) == 1 && c != '\n') base_url_ += c;
  ::close(out[0]);
  if (base_url_.rfind("http://127.0.0.1:", 0) != 0) throw std::runtime_error("the sample service did not start");
}

Service::~Service() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string Service::state(const std::string *order) {
  orvel::HttpRequest request;
  request.method = order ? "POST" : "GET";
  request.url = base_url_ + "/_control";
  if (order) {
    request.body = *order;
    request.headers = {{"Content-Type", "application/json"}};
  }
  request.max_response_bytes = 64u << 20;
  const orvel::HttpResponse response = transport_->send(request, orvel::Clock::now() + std::chrono::seconds(30));
  EXPECT_EQ(response.status, 200) << response.reason << response.body;
  return response.body;
}

void Service::control(const std::string &order) { (void)state(&order); }

namespace {
std::string text(yyjson_val *value) {
  const char *s = yyjson_get_str(value);
  return s ? std::string(s, yyjson_get_len(value)) : std::string();
}
}  // namespace

// Each element of one array of the service's state.
template <class Each>
void Service::each(const char *member, Each each_one) {
  const std::string body = state(nullptr);
  yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
  yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), member);
  std::size_t i, n;
  yyjson_val *e;
  yyjson_arr_foreach(list, i, n, e) { each_one(e); }
  yyjson_doc_free(doc);
}

std::set<Key> Service::entries() {
  std::set<Key> out;
  each("entries", [&](yyjson_val *e) { out.emplace(text(yyjson_obj_get(e, "kind")), text(yyjson_obj_get(e, "itemId"))); });
  return out;
}

std::vector<Logged> Service::requests() {
  std::vector<Logged> out;
  each("requests", [&](yyjson_val *e) {
    Logged logged;
    logged.method = text(yyjson_obj_get(e, "method"));
    logged.path = text(yyjson_obj_get(e, "path"));
    logged.status = static_cast<int>(yyjson_get_int(yyjson_obj_get(e, "status")));
    logged.fault = text(yyjson_obj_get(e, "fault"));
    logged.applied = yyjson_get_bool(yyjson_obj_get(e, "applied"));
    logged.replayed = yyjson_get_bool(yyjson_obj_get(e, "replayed"));
    logged.item_id = text(yyjson_obj_get(yyjson_obj_get(e, "wish"), "itemId"));
    std::size_t hi, hn;
    yyjson_val *key, *value;
    yyjson_obj_foreach(yyjson_obj_get(e, "headers"), hi, hn, key, value) {
      const std::string name = text(key);
      if (strcasecmp(name.c_str(), "Idempotency-Key") == 0) logged.idempotency_key = text(value);
    }
    out.push_back(std::move(logged));
  });
  return out;
}

std::string temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvel-client-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

void remove_tree(const std::string &path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::set<Key> keys_of(const orvel::WishlistClient &client) {
  std::set<Key> out;
  for (const orvel::Change &e : client.entries()) out.emplace(std::string(orvel::to_string(e.kind)), e.item_id);
  return out;
}

orvel::ClientOptions quick_options() {
  orvel::ClientOptions options;
  options.request_timeout = std::chrono::seconds(20);
  options.list_timeout = std::chrono::seconds(20);
  options.backoff_base = std::chrono::milliseconds(20);
  options.backoff_cap = std::chrono::milliseconds(200);
  return options;
}

}  // namespace test
