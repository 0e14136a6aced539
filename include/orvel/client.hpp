// SPDX-License-Identifier: MIT
/*
 * orvel/client.hpp: WishlistClient, a wishlist that keeps itself in sync with
 * the service: it sends the journal's changes (retrying with backoff), saves
 * the state after every change and outcome, refreshes the list, and tells the
 * app what happened through events. App-side code (C++17, exceptions and the
 * standard library); CMake: target_link_libraries(app PRIVATE orvel::client).
 *
 *   orvel::WishlistClient wishes("https://wishlist.example.com", "/var/lib/app/wishes");
 *   wishes.set_wished(orvel::Kind::album, "al-42", true, "Blue Hour", "Ines Varga");
 *   wishes.start();    // background passes; or wishes.sync_now(deadline) by hand
 *
 * The state lives in state_dir: wishlist.snapshot (the journal's one snapshot,
 * replaced atomically: a change before set_wished returns; a pass's requests
 * before any of them leaves, taken from the journal 32 at a time at first
 * and twice as many each time after, up to 256 (max_in_flight when more), so
 * that one write serves many; its outcomes with the next write: the next
 * batch's, one before any event about them fires, the one that ends the
 * sending, at the latest before sync_now returns. An outcome a crash catches
 * unsaved is sent again with the same key),
 * installation-id (a random id, with each operation's id the Idempotency-Key
 * of its requests, so a retry after a restart carries the same key) and lock
 * (held while the client is open: a second client of the same folder fails
 * to open).
 *
 * Threads: every member may be called from any thread; one lock guards the
 * journal and the client's state. Events run on the client's own event
 * thread, one at a time in order, never while the client's lock is held, so a
 * callback may call the client (but not close() it, nor destroy it). close()
 * (and the destructor) waits for the call in progress and the background
 * pass, then delivers on_state(closed) and stops the event thread.
 *
 * Failures are thrown as orvel::Error (a std::runtime_error): a state folder
 * that cannot be opened, locked, read or written (the message names the
 * path), invalid arguments, and any call after close(). No header value or
 * token is ever part of a message.
 */
#ifndef ORVEL_CLIENT_HPP
#define ORVEL_CLIENT_HPP

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvel.hpp"

namespace orvel {

using Clock = std::chrono::steady_clock;
// The moment by which a request (connect to last byte) or a pass must be done.
using Deadline = Clock::time_point;
using Headers = std::vector<std::pair<std::string, std::string>>;

// ---- The transport --------------------------------------------------------------

struct HttpRequest {
  std::string method;  // "GET" or "POST"
  std::string url;
  Headers headers;  // Content-Type, Idempotency-Key and the app's provider's
  std::string body;
  // A response body past this size is not read: the result is then maybe_sent.
  std::size_t max_response_bytes = 0;
};

struct HttpResponse {
  enum class Kind {
    answered,    // the service answered: status, headers, body
    not_sent,    // certainly never reached it (refused, name not resolved, nothing written)
    maybe_sent,  // may have reached it (deadline passed or connection broke after writing)
  };
  Kind kind = Kind::not_sent;
  int status = 0;
  Headers headers;  // names as received; compare case-insensitively
  std::string body;
  std::string reason;  // why it was not answered, for people (never headers or tokens)
};

// What an app implements over its own HTTP stack. send() is called from the
// client's threads, up to max_in_flight at once, and must return by the
// deadline (the whole request, connect to last byte). It must not follow
// redirects: the client follows those that stay on the same origin.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual HttpResponse send(const HttpRequest &request, Deadline deadline) = 0;
};

// The default transport, on libcurl: TLS as the platform provides it,
// certificates always checked. nullptr when the library was built without
// libcurl (then pass a transport of your own).
std::shared_ptr<Transport> make_default_transport();

// ---- Options, status and events ----------------------------------------------------

struct ClientOptions {
  std::chrono::milliseconds request_timeout{10'000};   // a change's request, whole
  std::chrono::milliseconds list_timeout{30'000};      // the list response, whole
  std::size_t max_response_bytes = 64u << 20;          // 64 MiB: past it a refresh fails, nothing loaded
  int max_in_flight = 4;                               // requests at once, never two for one entry
  std::chrono::milliseconds backoff_base{1'000};       // delay = random(0, min(cap, base * 2^attempts))
  std::chrono::milliseconds backoff_cap{300'000};      // 5 min; also the offline probe period
  int offline_after = 3;                               // consecutive connection failures
  std::chrono::milliseconds refresh_interval{900'000};  // 15 min
  // Called before each request (outside the client's lock): e.g. an Authorization header.
  std::function<Headers()> headers;
  // nullptr: make_default_transport().
  std::shared_ptr<Transport> transport;
};

enum class SyncState { synced, pending, sending, confirming, uncertain };
std::string_view to_string(SyncState state) noexcept;

struct Status {
  SyncState state = SyncState::synced;
  std::uint32_t attempts = 0;                  // how often its request was handed out
  std::optional<Clock::time_point> next_attempt_at;  // while waiting for its backoff
};

struct SyncSummary {
  int sent = 0;  // requests that left (or may have)
  int accepted = 0;
  int rejected = 0;
  int failed = 0;
  int unknown = 0;
  bool refreshed = false;
  std::optional<Clock::time_point> next_pass_at;  // none: nothing waits but the refresh interval
  std::vector<std::string> errors;  // why requests failed or the refresh did not load, for people
};

enum class ClientState { idle, syncing, backing_off, offline, closed };
std::string_view to_string(ClientState state) noexcept;

// An entry the store shows differently now: a local change, a refused one put
// back, or a refresh.
struct Change {
  Kind kind;
  std::string item_id;
  bool wished;
};

// A change the service refused for good; the store is put back.
struct Rejection {
  Kind kind;
  std::string item_id;
  bool wished;  // what the refused request asked for
  int status;   // the service's answer (4xx)
};

// ---- The client ---------------------------------------------------------------------

class WishlistClient {
 public:
  // Opens state_dir (creating it), takes its lock and reads the snapshot, or
  // starts empty when there is none. A snapshot that does not read back is
  // refused, never replaced: the message names the file.
  WishlistClient(std::string base_url, std::string state_dir, ClientOptions options = {});
  ~WishlistClient();
  WishlistClient(const WishlistClient &) = delete;
  WishlistClient &operator=(const WishlistClient &) = delete;

  // Records the intent, shows it in the store at once, and saves the state
  // before it returns; wakes the background pass.
  Status set_wished(Kind kind, std::string_view item_id, bool wished, OptionalText title = std::nullopt,
                    OptionalText artist = std::nullopt);
  bool wished(Kind kind, std::string_view item_id) const;
  Status status(Kind kind, std::string_view item_id) const;
  std::vector<Change> entries() const;  // the store's entries, wished true, in store order
  std::size_t size() const;

  // Replace the handler (an empty one removes it); each runs on the event thread.
  void on_change(std::function<void(const Change &)> handler);
  void on_rejected(std::function<void(const Rejection &)> handler);
  void on_state(std::function<void(ClientState)> handler);

  // Sends what can be sent now (up to max_in_flight at once; changes waiting
  // for their backoff stay waiting), waits for the answers, then refreshes
  // once. Requests end by the deadline at the latest.
  SyncSummary sync_now(Deadline deadline);
  SyncSummary sync_now() { return sync_now(Clock::now() + options().list_timeout + options().request_timeout); }

  // Background passes after each change, on the backoff timer and every
  // refresh_interval. stop() waits for the pass in progress.
  void start();
  void stop();
  // Stops everything and releases the folder; later calls throw. Idempotent.
  void close();

  ClientState state() const;
  const ClientOptions &options() const noexcept;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvel

#endif  // ORVEL_CLIENT_HPP
