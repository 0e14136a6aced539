// SPDX-License-Identifier: MIT
// One client called from several threads while another closes it, and the
// client's own rules against a scripted transport: offline after repeated
// connection failures, a held request replaced by a newer intent, events
// outside the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "orvel/client.hpp"
#include "service.hpp"

namespace {

using orvel::Clock;
using orvel::HttpRequest;
using orvel::HttpResponse;
using orvel::Kind;
using namespace std::chrono_literals;

// A service in memory: accepts every change (or refuses the connection), lists what it holds.
class MemoryService : public orvel::Transport {
 public:
  HttpResponse send(const HttpRequest &request, orvel::Deadline) override {
    HttpResponse response;
    std::lock_guard<std::mutex> hold(mutex);
    ++sent;
    if (refuse) {
      response.kind = HttpResponse::Kind::not_sent;
      return response;
    }
    response.kind = HttpResponse::Kind::answered;
    if (request.method == "GET") {
      response.status = 200;
      response.body = "{\"items\":[" + listing + "]}";
    } else {
      response.status = status;
      posted.push_back(request.body);
    }
    return response;
  }
  std::mutex mutex;
  bool refuse = false;
  int status = 204;
  int sent = 0;
  std::string listing;
  std::vector<std::string> posted;
};

class ClientThreads : public ::testing::Test {
 protected:
  ~ClientThreads() override { test::remove_tree(dir); }
  std::string dir = test::temp_dir();
  std::shared_ptr<MemoryService> memory = std::make_shared<MemoryService>();
  orvel::ClientOptions options() {
    orvel::ClientOptions o = test::quick_options();
    o.transport = memory;
    return o;
  }
};

TEST_F(ClientThreads, CallsFromManyThreadsWhileAnotherCloses) {
  orvel::WishlistClient client("http://127.0.0.1:9", dir, options());
  std::atomic<int> done{0}, refused{0};
  std::promise<void> closed_seen;
  std::atomic<bool> closed_once{false};
  client.on_state([&](orvel::ClientState state) {
    if (state == orvel::ClientState::closed && !closed_once.exchange(true)) closed_seen.set_value();
  });
  client.on_change([&](const orvel::Change &) { (void)client.state(); });  // calls back in: no deadlock
  client.start();
  std::vector<std::thread> users;
  for (int t = 0; t < 4; ++t) {
    users.emplace_back([&, t] {
      for (int i = 0; i < 150; ++i) {
        try {
          const std::string id = "tr-" + std::to_string(t) + "-" + std::to_string(i % 7);
          client.set_wished(Kind::track, id, i % 2 == 0);
          (void)client.status(Kind::track, id);
          (void)client.wished(Kind::track, id);
          (void)client.entries();
          if (i % 25 == 0) (void)client.sync_now(Clock::now() + 30s);
          ++done;
        } catch (const orvel::Error &error) {
          EXPECT_STREQ(error.what(), "the wishlist client is closed");
          ++refused;
          return;
        }
      }
    });
  }
  std::thread closer([&] {
    while (done.load() < 100) std::this_thread::yield();
    client.close();
  });
  for (std::thread &user : users) user.join();
  closer.join();
  EXPECT_EQ(closed_seen.get_future().wait_for(30s), std::future_status::ready);
  EXPECT_THROW(client.set_wished(Kind::track, "late", true), orvel::Error);
  EXPECT_EQ(client.state(), orvel::ClientState::closed);
  client.close();  // again: nothing
  // What was saved opens again.
  orvel::WishlistClient again("http://127.0.0.1:9", dir, options());
  EXPECT_GE(done.load(), 100);
}

TEST_F(ClientThreads, OfflineAfterRepeatedConnectionFailuresThenOneProbe) {
  orvel::ClientOptions o = options();
  o.backoff_cap = 1h;  // no probe during the test
  o.offline_after = 3;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, o);
  memory->refuse = true;
  for (int i = 0; i < 5; ++i) client.set_wished(Kind::album, "al-" + std::to_string(i), true);
  const orvel::SyncSummary first = client.sync_now(Clock::now() + 30s);
  EXPECT_EQ(client.state(), orvel::ClientState::offline);
  EXPECT_LE(first.sent, 3 + 3) << "sending stops once offline (workers already sending finish)";
  EXPECT_FALSE(first.refreshed);
  const int after_first = memory->sent;
  for (int i = 0; i < 5; ++i) {
    const orvel::SyncSummary again = client.sync_now(Clock::now() + 30s);
    EXPECT_EQ(again.sent, 0);
    ASSERT_TRUE(again.next_pass_at.has_value());
    EXPECT_GT(*again.next_pass_at, Clock::now() + 30min) << "the next probe waits for backoff_cap";
  }
  EXPECT_EQ(memory->sent, after_first) << "no request while offline before the probe is due";
}

TEST_F(ClientThreads, AHeldRequestIsReplacedByANewerIntent) {
  orvel::ClientOptions o = options();
  o.backoff_base = 1h;
  o.backoff_cap = 1h;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, o);
  memory->status = 503;
  client.set_wished(Kind::album, "al-1", true);
  EXPECT_EQ(client.sync_now(Clock::now() + 30s).failed, 1);
  // The next pass hands it out and holds it: its backoff has not passed.
  EXPECT_EQ(client.sync_now(Clock::now() + 30s).sent, 0);
  EXPECT_EQ(client.status(Kind::album, "al-1").state, orvel::SyncState::pending);
  memory->status = 204;
  client.set_wished(Kind::album, "al-1", false);  // the newer intent goes at once
  const orvel::SyncSummary pass = client.sync_now(Clock::now() + 30s);
  EXPECT_EQ(pass.sent, 1);
  EXPECT_EQ(pass.accepted, 1);
  ASSERT_EQ(memory->posted.size(), 2u);
  EXPECT_NE(memory->posted[1].find("\"op\":\"remove\""), std::string::npos);
  EXPECT_EQ(client.status(Kind::album, "al-1").state, orvel::SyncState::synced);
}

TEST_F(ClientThreads, AnIdleBackgroundClientMakesNoRequests) {
  orvel::ClientOptions o = options();
  o.refresh_interval = 1h;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, o);
  std::promise<void> idle;
  std::atomic<bool> once{false};
  client.on_state([&](orvel::ClientState state) {
    if (state == orvel::ClientState::idle && !once.exchange(true)) idle.set_value();
  });
  client.set_wished(Kind::album, "al-1", true);
  client.start();
  ASSERT_EQ(idle.get_future().wait_for(30s), std::future_status::ready);
  int before;
  {
    std::lock_guard<std::mutex> hold(memory->mutex);
    before = memory->sent;
  }
  EXPECT_GE(before, 2) << "the change and the refresh";
  std::this_thread::sleep_for(300ms);
  std::lock_guard<std::mutex> hold(memory->mutex);
  EXPECT_EQ(memory->sent, before);
}

// Answers each request only once the test lets it go.
class GatedService : public orvel::Transport {
 public:
  HttpResponse send(const HttpRequest &request, orvel::Deadline) override {
    if (request.method == "POST") {
      arrived.set_value();
      release.get_future().wait();
    }
    HttpResponse response;
    response.kind = HttpResponse::Kind::answered;
    response.status = request.method == "POST" ? 422 : 200;
    response.body = "{\"items\":[]}";
    return response;
  }
  std::promise<void> arrived, release;
};

TEST_F(ClientThreads, AnEntryIsSendingWhileItsRequestIsOutAndARejectionIsSavedBeforeItsEvent) {
  auto gated = std::make_shared<GatedService>();
  orvel::ClientOptions o = options();
  o.transport = gated;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, o);
  std::promise<std::string> saved_at_event;
  client.on_rejected([&](const orvel::Rejection &) {
    std::ifstream in(dir + "/wishlist.snapshot", std::ios::binary);
    saved_at_event.set_value(std::string(std::istreambuf_iterator<char>(in), {}));
  });
  client.set_wished(Kind::album, "al-refused", true, "Refused", "R");
  std::thread pass([&] { (void)client.sync_now(Clock::now() + 30s); });
  gated->arrived.get_future().wait();
  EXPECT_EQ(client.status(Kind::album, "al-refused").state, orvel::SyncState::sending);
  EXPECT_TRUE(client.wished(Kind::album, "al-refused"));
  gated->release.set_value();
  pass.join();
  EXPECT_FALSE(client.wished(Kind::album, "al-refused"));
  std::future<std::string> snapshot = saved_at_event.get_future();
  ASSERT_EQ(snapshot.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(snapshot.get().find("al-refused"), std::string::npos) << "the event came before the save";
}

TEST_F(ClientThreads, ABackgroundClientRetriesAFailingChangeOnItsBackoffNotOnTheRefreshInterval) {
  orvel::ClientOptions o = options();
  o.backoff_base = 1ms;  // due again within moments of each pass's end
  o.backoff_cap = 4ms;
  o.refresh_interval = 1h;
  memory->status = 503;
  orvel::WishlistClient client("http://127.0.0.1:9", dir, o);
  client.set_wished(Kind::album, "al-1", true);
  client.start();
  const Clock::time_point give_up = Clock::now() + 60s;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(memory->mutex);
      if (memory->posted.size() >= 8) break;
    }
    ASSERT_LT(Clock::now(), give_up) << "the retries stopped";
    std::this_thread::sleep_for(5ms);
  }
  client.close();
}

TEST_F(ClientThreads, ARequestWhoseHandOutCannotBeSavedNeverLeaves) {
  orvel::WishlistClient client("http://127.0.0.1:9", dir, options());
  client.set_wished(Kind::album, "al-1", true);
  const std::string tmp = dir + "/wishlist.snapshot.tmp";
  std::filesystem::create_directory(tmp);  // every save fails now, even for root
  const orvel::SyncSummary failed = client.sync_now(Clock::now() + 30s);
  EXPECT_EQ(failed.sent, 0);
  EXPECT_EQ(memory->sent, 0) << "neither the change nor the refresh";
  ASSERT_EQ(failed.errors.size(), 1u);
  EXPECT_NE(failed.errors[0].find(tmp), std::string::npos) << failed.errors[0];
  EXPECT_EQ(client.status(Kind::album, "al-1").state, orvel::SyncState::pending) << "back to unsent";
  std::filesystem::remove(tmp);
  EXPECT_EQ(client.sync_now(Clock::now() + 30s).accepted, 1);
  EXPECT_EQ(memory->posted.size(), 1u);
}

}  // namespace
