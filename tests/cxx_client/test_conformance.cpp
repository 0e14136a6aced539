// SPDX-License-Identifier: MIT
// The client against the sample service: every fault it can order, restarts
// from the saved state in the middle, and at the end the store equal to the
// service's set (but a poison item), nothing held but the poison item's, and
// the user's last intent wherever the service accepts it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "orvel/client.hpp"
#include "service.hpp"

namespace {

using orvel::Clock;
using orvel::Kind;
using orvel::SyncState;
using orvel::WishlistClient;
using namespace std::chrono_literals;

class Conformance : public ::testing::Test {
 protected:
  void SetUp() override {
    if (*test::service_missing() != '\0') GTEST_SKIP() << test::service_missing();
    service = std::make_unique<test::Service>();
  }
  ~Conformance() override { test::remove_tree(dir); }

  std::unique_ptr<WishlistClient> open(orvel::ClientOptions options = test::quick_options()) {
    return std::make_unique<WishlistClient>(service->base_url(), dir, std::move(options));
  }

  // Passes until every entry either side knows (and those named) is settled:
  // nothing held for it, the poison item excepted.
  void converge(WishlistClient &client, std::set<test::Key> also = {}, const std::string &poison = "") {
    for (int pass = 0; pass < 80; ++pass) {
      const orvel::SyncSummary summary = client.sync_now(Clock::now() + 60s);
      std::set<test::Key> all = test::keys_of(client);
      for (const test::Key &key : service->entries()) all.insert(key);
      all.insert(also.begin(), also.end());
      const bool settled = summary.refreshed && std::all_of(all.begin(), all.end(), [&](const test::Key &key) {
        const SyncState state = client.status(orvel::kind_from_string(key.first), key.second).state;
        return key.second == poison || state == SyncState::synced || state == SyncState::uncertain;
      });
      if (settled) return;
      const Clock::time_point next = summary.next_pass_at.value_or(Clock::now());
      std::this_thread::sleep_until(std::min(next, Clock::now() + 500ms));
    }
    FAIL() << "the client did not converge";
  }

  // The end state: the store is the service's set (but the poison item, shown and unsent).
  void expect_end(WishlistClient &client, const std::string &poison = "") {
    std::set<test::Key> shown = test::keys_of(client), served = service->entries();
    if (!poison.empty()) {
      EXPECT_EQ(shown.erase({"track", poison}), 1u) << "the poison item stays shown";
      EXPECT_EQ(client.status(Kind::track, poison).state, SyncState::pending);
    }
    EXPECT_EQ(shown, served);
  }

  int requests_for(const std::string &item_id) {
    const auto log = service->requests();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const test::Logged &r) { return r.item_id == item_id; }));
  }

  std::unique_ptr<test::Service> service;
  std::string dir = test::temp_dir();
};

TEST_F(Conformance, DroppedAndFailedAfterApplyingAcrossARestart) {
  orvel::ClientOptions patient = test::quick_options();
  patient.backoff_base = 1h;  // the retries wait for the restart (full jitter: almost surely)
  patient.backoff_cap = 2h;
  auto client = open(patient);
  service->control(R"({"faults":[{"action":"drop","itemId":"al-1"},
                                {"action":"fail-after-apply","itemId":"al-2"}]})");
  client->set_wished(Kind::album, "al-1", true, "One", "A");
  client->set_wished(Kind::album, "al-2", true, "Two", "B");
  EXPECT_EQ(client->set_wished(Kind::track, "tr-1", true, "Three", "C").state, SyncState::pending);
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_GE(first.sent, 3);
  EXPECT_GE(first.accepted, 1);
  EXPECT_GE(first.unknown, 1) << "a connection closed after the request was written may have landed";
  EXPECT_GE(first.failed, 1);
  EXPECT_TRUE(first.refreshed);
  EXPECT_EQ(client->status(Kind::track, "tr-1").state, SyncState::synced);
  const orvel::Status two = client->status(Kind::album, "al-2");
  if (two.state != SyncState::synced) {
    EXPECT_EQ(two.state, SyncState::pending);
    EXPECT_GE(two.attempts, 1u);
    EXPECT_TRUE(two.next_attempt_at.has_value());
  }

  // A restart from the saved state: everything still to send is still there.
  client.reset();
  client = open();
  EXPECT_TRUE(client->wished(Kind::album, "al-1"));
  EXPECT_TRUE(client->wished(Kind::album, "al-2"));
  converge(*client);
  expect_end(*client);
  EXPECT_EQ(service->entries(), (std::set<test::Key>{{"album", "al-1"}, {"album", "al-2"}, {"track", "tr-1"}}));

  // The retry of the request applied before its 500 carried the same key, across the restart.
  std::vector<test::Logged> al2;
  for (const test::Logged &r : service->requests()) {
    if (r.item_id == "al-2") al2.push_back(r);
  }
  ASSERT_GE(al2.size(), 2u);
  EXPECT_FALSE(al2[0].idempotency_key.empty());
  EXPECT_EQ(al2[1].idempotency_key, al2[0].idempotency_key);
  EXPECT_TRUE(al2[1].replayed);
  const auto log = service->requests();
  std::set<std::string> keys;
  for (const test::Logged &r : log) {
    if (r.method == "POST" && r.item_id != "al-2" && r.item_id != "al-1") keys.insert(r.idempotency_key);
  }
  EXPECT_EQ(keys.size(), 1u) << "tr-1's one request";
}

TEST_F(Conformance, LateAndHeldRequestsLoseToTheUsersLaterChange) {
  orvel::ClientOptions options = test::quick_options();
  options.request_timeout = 1s;  // only the late ones pass it
  auto client = open(options);
  service->control(R"({"faults":[{"action":"late","itemId":"tr-2","seconds":3},
                                {"action":"hold","itemId":"pl-1","seconds":20}]})");
  client->set_wished(Kind::track, "tr-2", true, "Late", "L");
  client->set_wished(Kind::playlist, "pl-1", true, "Held", "H");
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_EQ(first.unknown, 2) << "a deadline passed after writing: unknown, never failed";
  EXPECT_EQ(first.failed, 0);
  // The user changes both minds while the requests may still land.
  client->set_wished(Kind::track, "tr-2", false);
  client.reset();  // a restart in the middle
  client = open(options);
  client->set_wished(Kind::playlist, "pl-1", false);
  std::this_thread::sleep_for(2500ms);  // the late request lands, the held one applies once given up
  options.request_timeout = 20s;
  client.reset();
  client = open(options);
  converge(*client, {{"track", "tr-2"}, {"playlist", "pl-1"}});
  expect_end(*client);
  EXPECT_EQ(service->entries(), std::set<test::Key>{});
  EXPECT_FALSE(client->wished(Kind::track, "tr-2"));
  EXPECT_FALSE(client->wished(Kind::playlist, "pl-1"));
  for (const test::Logged &r : service->requests()) {
    if (r.item_id == "pl-1" && r.fault != "hold") {
      EXPECT_EQ(r.status, 204);
    }
  }
}

TEST_F(Conformance, RefusedForGoodAndAPoisonItemThatNeverHoldsBackOthers) {
  auto client = open();
  std::mutex seen_mutex;
  std::vector<orvel::Rejection> rejections;
  std::promise<void> got_rejection;
  client->on_rejected([&](const orvel::Rejection &r) {
    std::lock_guard<std::mutex> hold(seen_mutex);
    rejections.push_back(r);
    if (rejections.size() == 1) got_rejection.set_value();
  });
  service->control(R"({"faults":[{"action":"reject","itemId":"ar-bad","times":null},
                                {"action":"error","itemId":"tr-poison","times":null}]})");
  client->set_wished(Kind::track, "tr-poison", true, "Poison", "P");  // first in the queue
  client->set_wished(Kind::artist, "ar-bad", true, "Bad", "");
  for (const char *id : {"al-3", "al-4", "al-5", "al-6", "al-7"}) client->set_wished(Kind::album, id, true, id, "");
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_EQ(first.accepted, 5);
  EXPECT_EQ(first.rejected, 1);
  EXPECT_GE(first.failed, 1) << "the poison item (again within the pass once its short backoff passed)";
  EXPECT_FALSE(client->wished(Kind::artist, "ar-bad")) << "a refused addition leaves the store";
  ASSERT_EQ(got_rejection.get_future().wait_for(30s), std::future_status::ready);
  {
    std::lock_guard<std::mutex> hold(seen_mutex);
    EXPECT_EQ(rejections[0].item_id, "ar-bad");
    EXPECT_EQ(rejections[0].status, 422);
    EXPECT_TRUE(rejections[0].wished);
  }
  // While the poison item waits for its backoff, a new change goes at once.
  const int poison_before = requests_for("tr-poison");
  client->set_wished(Kind::album, "al-8", true, "Eight", "");
  const orvel::SyncSummary second = client->sync_now(Clock::now() + 60s);
  EXPECT_EQ(second.accepted, 1);
  EXPECT_TRUE(client->status(Kind::album, "al-8").state == SyncState::synced);
  const orvel::Status poison = client->status(Kind::track, "tr-poison");
  if (requests_for("tr-poison") == poison_before) {
    EXPECT_EQ(poison.state, SyncState::pending);
    EXPECT_TRUE(poison.next_attempt_at.has_value());
  }
  converge(*client, {}, "tr-poison");
  // It is retried on its backoff, for ever.
  for (int pass = 0; pass < 50 && requests_for("tr-poison") < 3; ++pass) {
    const orvel::SyncSummary summary = client->sync_now(Clock::now() + 60s);
    std::this_thread::sleep_until(std::min(summary.next_pass_at.value_or(Clock::now()), Clock::now() + 500ms));
  }
  EXPECT_GE(requests_for("tr-poison"), 3);
  expect_end(*client, "tr-poison");
}

TEST_F(Conformance, RetryAfterIsHonoured) {
  auto client = open();
  service->control(R"({"faults":[{"action":"throttle","itemId":"al-9","retryAfter":2}]})");
  client->set_wished(Kind::album, "al-9", true, "Nine", "");
  const Clock::time_point before = Clock::now();
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_EQ(first.failed, 1);
  const orvel::Status waiting = client->status(Kind::album, "al-9");
  ASSERT_TRUE(waiting.next_attempt_at.has_value());
  EXPECT_GE(*waiting.next_attempt_at, before + 2s);
  // Not sent again before then, however often a pass runs.
  const orvel::SyncSummary early = client->sync_now(Clock::now() + 60s);
  if (Clock::now() < *waiting.next_attempt_at) {
    EXPECT_EQ(early.sent, 0);
    EXPECT_EQ(requests_for("al-9"), 1);
  }
  std::this_thread::sleep_until(*waiting.next_attempt_at);
  converge(*client);
  expect_end(*client);
  EXPECT_EQ(requests_for("al-9"), 2);
}

TEST_F(Conformance, MisbehavingListResponsesLoadNothing) {
  orvel::ClientOptions options = test::quick_options();
  options.list_timeout = 1s;
  options.max_response_bytes = 4096;
  auto client = open(options);
  client->set_wished(Kind::album, "al-1", true, "One", "");
  converge(*client);
  // The service gains an entry the client has not seen; each bad response must not load it (or lose al-1).
  service->control(R"({"entries":[{"kind":"album","itemId":"al-1"},{"kind":"track","itemId":"tr-9"}]})");
  const struct {
    const char *fault;
    const char *why;  // a word of the reason
  } table[] = {
      {R"({"action":"late","endpoint":"mine","seconds":3})", "refresh failed"},
      {R"({"action":"trickle","endpoint":"mine","interval":0.2})", "refresh failed"},
      {R"({"action":"oversize","endpoint":"mine","bytes":100000})", "larger than 4096 bytes"},
      {R"({"action":"truncate","endpoint":"mine"})", "invalid json"},
      {R"({"action":"redirect","endpoint":"mine"})", "another origin"},
      {R"({"action":"error","endpoint":"mine"})", "status 503"},
  };
  for (const auto &row : table) {
    service->control(std::string(R"({"faults":[)") + row.fault + "]}");
    const Clock::time_point start = Clock::now();
    const orvel::SyncSummary summary = client->sync_now(Clock::now() + 60s);
    EXPECT_LT(Clock::now() - start, 15s) << "the whole-response deadline ends a trickle: " << row.fault;
    EXPECT_FALSE(summary.refreshed) << row.fault;
    const bool named = std::any_of(summary.errors.begin(), summary.errors.end(),
                                   [&](const std::string &e) { return e.find(row.why) != std::string::npos; });
    EXPECT_TRUE(named) << row.fault << ": " << (summary.errors.empty() ? "" : summary.errors.back());
    EXPECT_EQ(test::keys_of(*client), (std::set<test::Key>{{"album", "al-1"}})) << row.fault;
  }
  service->control(R"({"faults":[]})");
  converge(*client);
  expect_end(*client);
}

TEST_F(Conformance, ARedirectToAnotherOriginIsAFailedRequest) {
  auto client = open();
  service->control(R"({"faults":[{"action":"redirect","itemId":"al-r"}]})");
  client->set_wished(Kind::album, "al-r", true, "R", "");
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_EQ(first.failed, 1);
  ASSERT_FALSE(first.errors.empty());
  EXPECT_NE(first.errors[0].find("redirect to another origin refused"), std::string::npos) << first.errors[0];
  converge(*client);
  expect_end(*client);
  EXPECT_EQ(service->entries(), (std::set<test::Key>{{"album", "al-r"}}));
}

TEST_F(Conformance, HeadersFromTheProviderGoWithEveryRequestAndNeverIntoAReason) {
  orvel::ClientOptions options = test::quick_options();
  std::atomic<int> asked{0};
  options.headers = [&] {
    ++asked;
    return orvel::Headers{{"Authorization", "Bearer s3cr3t-" + std::to_string(asked.load())}};
  };
  auto client = open(options);
  service->control(R"({"faults":[{"action":"redirect","itemId":"al-h"},{"action":"error","endpoint":"mine"}]})");
  client->set_wished(Kind::album, "al-h", true, "H", "");
  const orvel::SyncSummary first = client->sync_now(Clock::now() + 60s);
  EXPECT_FALSE(first.errors.empty());
  for (const std::string &error : first.errors) EXPECT_EQ(error.find("s3cr3t"), std::string::npos) << error;
  converge(*client);
  EXPECT_GE(asked.load(), 4) << "asked again before each request";
  EXPECT_EQ(static_cast<int>(service->requests().size()), asked.load());
  // The service's log leaves the token out; the provider's failure is named without its words.
  options.headers = [] () -> orvel::Headers { throw std::runtime_error("token s3cr3t expired"); };
  client.reset();
  client = open(options);
  client->set_wished(Kind::album, "al-i", true, "I", "");
  const orvel::SyncSummary failed = client->sync_now(Clock::now() + 60s);
  EXPECT_GE(failed.failed, 1) << "(again within the pass once its short backoff passed)";
  ASSERT_FALSE(failed.errors.empty());
  EXPECT_EQ(failed.errors[0], "the headers provider failed");
}

TEST_F(Conformance, ACrashWhileARequestIsOnTheWireLosesNoLaterTap) {
  orvel::ClientOptions options = test::quick_options();
  options.request_timeout = 2s;
  auto a = open(options);
  service->control(R"({"faults":[{"action":"hold","itemId":"tr-x"}]})");
  a->set_wished(Kind::track, "tr-x", true, "X", "");
  std::future<orvel::SyncSummary> pass = std::async(std::launch::async, [&] { return a->sync_now(Clock::now() + 60s); });
  const auto logged = [&](auto what) {
    const auto log = service->requests();
    return std::any_of(log.begin(), log.end(), [&](const test::Logged &r) { return r.item_id == "tr-x" && what(r); });
  };
  const Clock::time_point give_up = Clock::now() + 30s;
  while (!logged([](const test::Logged &r) { return r.fault == "hold"; }) && Clock::now() < give_up) {
    std::this_thread::sleep_for(10ms);
  }
  // What a SIGKILL now would leave: the request is out, the service applies it once the connection closes.
  const std::string killed = test::temp_dir();
  for (const char *name : {"wishlist.snapshot", "installation-id"}) {
    std::filesystem::copy_file(dir + "/" + name, killed + "/" + name);
  }
  EXPECT_EQ(pass.get().unknown, 1);
  a.reset();
  while (!logged([](const test::Logged &r) { return r.applied; }) && Clock::now() < give_up) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(service->entries(), (std::set<test::Key>{{"track", "tr-x"}}));

  // Reopened, the request that left is uncertain: the user's later tap goes as a request of its own.
  {
    WishlistClient b(service->base_url(), killed, test::quick_options());
    b.set_wished(Kind::track, "tr-x", false);
    (void)b.sync_now(Clock::now() + 60s);
    EXPECT_EQ(service->entries(), std::set<test::Key>{});
    EXPECT_FALSE(b.wished(Kind::track, "tr-x"));
    // Nothing held; the request that left may stay in mind as one that could still land.
    const SyncState left = b.status(Kind::track, "tr-x").state;
    EXPECT_TRUE(left == SyncState::synced || left == SyncState::uncertain) << orvel::to_string(left);
  }
  test::remove_tree(killed);
}

}  // namespace
