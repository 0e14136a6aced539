// SPDX-License-Identifier: MIT
// WishlistClient: the journal, its saved state, the sends with their retries
// and the events, behind one lock.
#include <algorithm>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "events.hpp"
#include "http_rules.hpp"
#include "orvel/client.hpp"
#include "state_dir.hpp"

namespace orvel {

using client_detail::EventThread;
using client_detail::StateDir;

std::string_view to_string(SyncState state) noexcept {
  static constexpr std::string_view kNames[] = {"synced", "pending", "sending", "confirming", "uncertain"};
  return kNames[static_cast<std::size_t>(state)];
}

std::string_view to_string(ClientState state) noexcept {
  static constexpr std::string_view kNames[] = {"idle", "syncing", "backing_off", "offline", "closed"};
  return kNames[static_cast<std::size_t>(state)];
}

namespace {

constexpr int kMaxRedirects = 5;
// Requests a pass takes from the journal per save (max_in_flight when that is
// more): 32 at first, twice as many each time after, up to 256, so that a long
// pass makes few saves and a short one few hand-outs that a crash would bring
// back as unknown.
constexpr int kHandOut = 32;
constexpr int kHandOutMax = 256;
using Key = std::pair<Kind, std::string>;

bool is_redirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

}  // namespace

class WishlistClient::Impl {
 public:
  struct Handlers {
    std::mutex mutex;
    std::function<void(const Change &)> change;
    std::function<void(const Rejection &)> rejected;
    std::function<void(ClientState)> state;
  };

  Impl(std::string base_url, std::string state_dir, ClientOptions options)
      : base_url_(std::move(base_url)), options_(std::move(options)) {
    if (options_.max_in_flight < 1 || options_.offline_after < 1) {
      throw Error("max_in_flight and offline_after are at least 1");
    }
    transport_ = options_.transport ? options_.transport : make_default_transport();
    if (!transport_) throw Error("no transport: this build has no default one (libcurl); pass options.transport");
    mine_url_ = Wishlist::mine_url(base_url_);
    dir_ = std::make_unique<StateDir>(std::move(state_dir));
    installation_ = dir_->installation_id();
    const std::string name = dir_->file(StateDir::kSnapshot);
    if (const std::optional<std::string> text = dir_->read_snapshot()) {
      Result<SyncedWishlist> opened = SyncedWishlist::try_open_snapshot(*text);
      if (!opened) throw Error(name + " cannot be read back (" + std::string(opened.reason()) + "): it is kept as it is");
      wishes_ = std::move(*opened);
    } else {
      wishes_ = SyncedWishlist();
    }
    std::random_device seed;
    random_.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    next_refresh_at_ = Clock::now();
    saver_ = std::thread([this] { saver(); });
  }

  ~Impl() { close(); }

  // ---- the user's calls -------------------------------------------------------
  Status set_wished(Kind kind, std::string_view item_id, bool wished, OptionalText title, OptionalText artist) {
    std::unique_lock<std::mutex> hold(mutex_);
    check_open();
    const std::int64_t before = wishes_->status(kind, item_id).op_id;
    const bool shown = wishes_->has(kind, item_id);
    // A held request (taken in a batch, or held back for its backoff) never
    // left: failed, so that the newer intent replaces it.
    for (auto held = held_.begin(); held != held_.end();) {
      if (held->kind == kind && held->item_id == item_id) {
        (void)wishes_->try_report(held->op_id, Outcome::failed);
        not_before_.erase(held->op_id);
        held = held_.erase(held);
      } else {
        ++held;
      }
    }
    wishes_->set_wished(kind, item_id, wished, title, artist);
    const std::int64_t after = wishes_->status(kind, item_id).op_id;
    if (before != 0 && before != after) not_before_.erase(before);
    const std::uint64_t change = changed();
    if (shown != wished) post_change(kind, std::string(item_id), wished);
    dirty_ = true;
    wake_.notify_all();
    const Status status = status_locked(kind, item_id);
    wait_saved(hold, change);  // throws when the state could not be saved
    return status;
  }

  bool wished(Kind kind, std::string_view item_id) const {
    std::lock_guard<std::mutex> hold(mutex_);
    check_open();
    return wishes_->has(kind, item_id);
  }

  Status status(Kind kind, std::string_view item_id) const {
    std::lock_guard<std::mutex> hold(mutex_);
    check_open();
    return status_locked(kind, item_id);
  }

  std::vector<Change> entries() const {
    std::lock_guard<std::mutex> hold(mutex_);
    check_open();
    std::vector<Change> out;
    for (const Entry entry : wishes_->entries()) out.push_back(Change{entry.kind, std::string(entry.item_id), true});
    return out;
  }

  std::size_t size() const {
    std::lock_guard<std::mutex> hold(mutex_);
    check_open();
    return wishes_->size();
  }

  template <class F>
  void set_handler(std::function<F> Handlers::*which, std::function<F> handler) {
    std::lock_guard<std::mutex> hold(handlers_->mutex);
    (*handlers_).*which = std::move(handler);
  }

  ClientState state() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return state_;
  }
  const ClientOptions &options() const noexcept { return options_; }

  // ---- passes -----------------------------------------------------------------
  SyncSummary sync_now(Deadline deadline) {
    std::lock_guard<std::mutex> one_pass(pass_mutex_);
    Pass pass;
    pass.deadline = deadline;
    pass.started = Clock::now();
    {
      std::lock_guard<std::mutex> hold(mutex_);
      check_open();
      if (closing_) return pass.summary;
      dirty_ = false;
      const Clock::time_point now = Clock::now();
      if (offline_ && now < probe_at_) {
        pass.summary.next_pass_at = probe_at_;
        return pass.summary;
      }
      pass.probing = offline_;
      passing_ = true;
      set_state(ClientState::syncing);
    }
    const int workers = pass.probing ? 1 : options_.max_in_flight;
    std::vector<std::thread> threads;
    for (int i = 1; i < workers; ++i) threads.emplace_back([&] { send_changes(pass); });
    send_changes(pass);
    for (std::thread &thread : threads) thread.join();
    {
      // The answers not yet saved, before the refresh (which may take long).
      std::unique_lock<std::mutex> hold(mutex_);
      if (changed_ > std::max(saved_, failed_)) {
        try {
          wait_saved(hold, changed_);
        } catch (const Error &error) {
          pass.save_failed = true;
          add_error(pass, error.what());
        }
      }
    }
    refresh(pass);
    std::unique_lock<std::mutex> hold(mutex_);
    passing_ = false;
    try {
      wait_saved(hold, changed_);
    } catch (const Error &error) {
      add_error(pass, error.what());
    }
    if (pass.cut_short) {
      dirty_ = true;
    } else if (!offline_) {
      // A backoff that had passed when the pass began, yet was not handed
      // out by it, belongs to an operation the journal no longer holds.
      for (auto at = not_before_.begin(); at != not_before_.end();) {
        at = at->second <= pass.started ? not_before_.erase(at) : std::next(at);
      }
    }
    pass.summary.next_pass_at = next_pass_at_locked();
    set_state(offline_ ? ClientState::offline
                       : pass.summary.next_pass_at ? ClientState::backing_off : ClientState::idle);
    return pass.summary;
  }

  void start() {
    std::lock_guard<std::mutex> hold(mutex_);
    check_open();
    if (background_.joinable()) return;
    stop_background_ = false;
    background_ = std::thread([this] { background(); });
  }

  void stop() {
    std::thread ending;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stop_background_ = true;
      ending = std::move(background_);
    }
    wake_.notify_all();
    if (ending.joinable()) ending.join();
  }

  void close() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (closing_) return;
      closing_ = true;
    }
    stop();
    std::lock_guard<std::mutex> no_pass(pass_mutex_);  // a sync_now in progress ends
    {
      std::unique_lock<std::mutex> hold(mutex_);
      // Held requests never left: failed, so the saved state shows them unsent, not uncertain.
      for (const Held &held : held_) (void)wishes_->try_report(held.op_id, Outcome::failed);
      if (!held_.empty()) changed();
      held_.clear();
      try {
        wait_saved(hold, changed_);
      } catch (const Error &) {
        // The last save stands; requests held count as unknown after a restart, which is harmless.
      }
      stop_saver_ = true;
      closed_ = true;
      set_state(ClientState::closed);
    }
    saved_changed_.notify_all();
    saver_.join();
    events_.finish();
    dir_.reset();  // releases the folder's lock
  }

 private:
  struct Held {
    std::int64_t op_id;
    Kind kind;
    std::string item_id;
    PendingRequest request;
    std::uint64_t change;  // the change whose save shows it in flight
  };
  struct Pass {
    Deadline deadline;
    Clock::time_point started;
    SyncSummary summary;
    bool probing = false;
    bool probe_sent = false;
    bool cut_short = false;
    bool save_failed = false;  // a hand-out could not be saved: the pass ends
    int window = kHandOut;  // the size of the pass's next batch
  };

  void check_open() const {
    if (closed_) throw Error("the wishlist client is closed");
  }

  // A change to save: its number, which wait_saved takes. The saver thread
  // writes the newest snapshot whenever there is one newer than the file, so
  // outcomes that come faster than the disk share one write.
  std::uint64_t changed() {
    ++changed_;
    saved_changed_.notify_all();
    return changed_;
  }

  // Waits until change `change` is on disk; throws naming the file when its save failed.
  void wait_saved(std::unique_lock<std::mutex> &hold, std::uint64_t change) {
    if (change > wanted_) {
      wanted_ = change;
      saved_changed_.notify_all();
    }
    saved_changed_.wait(hold, [&] { return saved_ >= change || failed_ >= change; });
    if (saved_ < change) throw Error(save_error_);
  }

  void saver() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      // During a pass, outcomes wait for the next batch's save (a sender
      // waits for it), a call that waits for its change, an event (none
      // fires before its outcome is saved) or the end of the sending: one
      // write then holds them all. An outcome a crash catches unsaved comes
      // back in flight, and is sent again with its Idempotency-Key.
      saved_changed_.wait(hold, [&] {
        const std::uint64_t done = std::max(saved_, failed_);
        return stop_saver_ || (changed_ > done && (wanted_ > done || !passing_ ||
                                                   (!unsaved_events_.empty() && unsaved_events_.back().first > done)));
      });
      if (changed_ <= std::max(saved_, failed_)) return;  // stopping, and everything is saved
      const std::uint64_t upto = changed_;
      std::string error;
      std::string text;
      try {
        text = wishes_->snapshot();
      } catch (const Error &e) {
        error = e.what();
      }
      hold.unlock();
      if (error.empty()) {
        try {
          dir_->save_snapshot(text);
        } catch (const Error &e) {
          error = e.what();
        }
      }
      hold.lock();
      if (error.empty()) {
        saved_ = upto;
        // The events of what is now saved, in order.
        auto ready = std::partition_point(unsaved_events_.begin(), unsaved_events_.end(),
                                          [&](const auto &event) { return event.first <= upto; });
        for (auto event = unsaved_events_.begin(); event != ready; ++event) events_.post(std::move(event->second));
        unsaved_events_.erase(unsaved_events_.begin(), ready);
      } else {
        failed_ = upto;
        save_error_ = error;
      }
      saved_changed_.notify_all();
    }
  }

  // An event about the newest change: delivered once that change is saved.
  void post_saved(std::function<void()> event) { unsaved_events_.emplace_back(changed_, std::move(event)); }

  Status status_locked(Kind kind, std::string_view item_id) const {
    const EntryStatus entry = wishes_->status(kind, item_id);
    Status status;
    status.attempts = entry.attempts;
    switch (entry.state) {
      case EntryState::synced: status.state = SyncState::synced; break;
      case EntryState::unsent: status.state = SyncState::pending; break;
      case EntryState::in_flight: status.state = sending_.count(entry.op_id) ? SyncState::sending : SyncState::pending; break;
      case EntryState::confirming: status.state = SyncState::confirming; break;
      case EntryState::uncertain: status.state = SyncState::uncertain; break;
    }
    if (status.state == SyncState::pending) {
      if (const auto at = not_before_.find(entry.op_id); at != not_before_.end()) status.next_attempt_at = at->second;
    }
    return status;
  }

  std::optional<Clock::time_point> next_pass_at_locked() const {
    std::optional<Clock::time_point> next;
    if (offline_) return probe_at_;
    for (const auto &[op, at] : not_before_) {
      if (!next || at < *next) next = at;
    }
    return next;
  }

  void set_state(ClientState state) {
    if (state == state_) return;
    state_ = state;
    events_.post([handlers = handlers_, state] {
      std::function<void(ClientState)> call;
      {
        std::lock_guard<std::mutex> hold(handlers->mutex);
        call = handlers->state;
      }
      if (call) call(state);
    });
  }

  void post_change(Kind kind, std::string item_id, bool wished) {
    post_saved([handlers = handlers_, change = Change{kind, std::move(item_id), wished}] {
      std::function<void(const Change &)> call;
      {
        std::lock_guard<std::mutex> hold(handlers->mutex);
        call = handlers->change;
      }
      if (call) call(change);
    });
  }

  void post_rejection(Rejection rejection) {
    post_saved([handlers = handlers_, rejection = std::move(rejection)] {
      std::function<void(const Rejection &)> call;
      {
        std::lock_guard<std::mutex> hold(handlers->mutex);
        call = handlers->rejected;
      }
      if (call) call(rejection);
    });
  }

  bool due(std::int64_t op_id, Clock::time_point now) const {
    const auto at = not_before_.find(op_id);
    return at == not_before_.end() || at->second <= now;
  }

  // The first held request whose time has come, in hand-out order; none when
  // none is due. Batches are appended under rising changes, so none after it
  // was saved sooner.
  std::optional<Held> take_due(Clock::time_point now) {
    for (auto held = held_.begin(); held != held_.end(); ++held) {
      if (!due(held->op_id, now)) continue;
      Held taken = std::move(*held);
      held_.erase(held);
      return taken;
    }
    return std::nullopt;
  }

  // The next request to send now, or none. When no held one is due, a batch
  // is taken from the journal into the held set (pass.window due ones, or
  // max_in_flight when more; one while offline: the probe) under one change:
  // the senders that take from it wait for that one save, and those that
  // come once it is done send at once. Those whose backoff has not passed stay
  // held (not counted): in flight for the journal, so after a restart they
  // come back unknown, which is harmless: they never left.
  std::optional<Held> pick(Pass &pass) {
    if (closing_ || pass.save_failed) return std::nullopt;
    if (Clock::now() >= pass.deadline) {
      pass.cut_short = true;
      return std::nullopt;
    }
    // Offline: one probe at most, when its time has come.
    if (offline_ && (!pass.probing || pass.probe_sent)) return std::nullopt;
    const Clock::time_point now = Clock::now();
    if (std::optional<Held> held = take_due(now)) return held;
    const int window = offline_ ? 1 : std::max(pass.window, options_.max_in_flight);
    const std::uint64_t change = changed_ + 1;
    bool taken = false;
    for (int count = 0; count < window;) {
      std::optional<PendingRequest> request = wishes_->next_request(base_url_);
      if (!request) break;
      if (due(request->op_id, now)) ++count;
      held_.push_back(Held{request->op_id, request->kind, request->item_id, std::move(*request), change});
      taken = true;
    }
    if (!taken) return std::nullopt;
    if (!offline_) pass.window = std::min(2 * window, kHandOutMax);  // not for the probe
    changed();
    return take_due(now);
  }

  // A batch's save failed: none of its requests left. Back to unsent (the
  // one taken and every held one that no save shows), and the pass ends.
  void drop_unsaved(Pass &pass, const Held &taken, const std::string &error) {
    (void)wishes_->try_report(taken.op_id, Outcome::failed);
    for (auto held = held_.begin(); held != held_.end();) {
      if (held->change > saved_) {
        (void)wishes_->try_report(held->op_id, Outcome::failed);
        held = held_.erase(held);
      } else {
        ++held;
      }
    }
    changed();
    pass.save_failed = true;
    add_error(pass, error);
  }

  Headers app_headers(std::string *failure) const {
    if (!options_.headers) return {};
    try {
      return options_.headers();
    } catch (...) {
      *failure = "the headers provider failed";  // its own words may hold a secret
      return {};
    }
  }

  // Sends, following redirects that stay on the same origin.
  HttpResponse send(HttpRequest request, Deadline deadline) {
    const std::optional<std::string> origin = client_detail::origin_of(request.url);
    for (int hop = 0;; ++hop) {
      HttpResponse response = transport_->send(request, deadline);
      if (response.kind != HttpResponse::Kind::answered || !is_redirect(response.status)) {
        if (response.kind == HttpResponse::Kind::answered && response.body.size() > request.max_response_bytes) {
          response.kind = HttpResponse::Kind::maybe_sent;
          response.reason = "response larger than " + std::to_string(request.max_response_bytes) + " bytes";
        }
        return response;
      }
      const std::optional<std::string_view> location = client_detail::header(response.headers, "Location");
      const std::optional<std::string> target =
          location ? client_detail::resolve_location(request.url, *location) : std::nullopt;
      const std::optional<std::string> to = target ? client_detail::origin_of(*target) : std::nullopt;
      if (!to || !origin || *to != *origin) {
        response.reason = "redirect to another origin refused" + (to ? " (" + *to + ")" : std::string());
      } else if (request.method == "POST" && response.status != 307 && response.status != 308) {
        response.reason = "redirect that would change the method refused";
      } else if (hop >= kMaxRedirects) {
        response.reason = "too many redirects";
      } else {
        request.url = *target;
        continue;
      }
      return response;
    }
  }

  // A request leaves only once a save shows it in flight: should the app die
  // while it is out, the reopened journal counts it as unknown, and a newer
  // tap on its entry becomes a request of its own instead of cancelling one
  // that may land. One save serves a batch and the answers before it.
  void send_changes(Pass &pass) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      std::optional<Held> held = pick(pass);
      if (!held) return;
      pass.probe_sent = true;
      if (held->change > saved_) {
        try {
          wait_saved(hold, held->change);
        } catch (const Error &error) {
          drop_unsaved(pass, *held, error.what());
          return;
        }
      }
      const PendingRequest &change = held->request;
      sending_.insert(change.op_id);
      ++pass.summary.sent;
      hold.unlock();
      std::string failure;
      HttpRequest request;
      request.method = change.method;
      request.url = change.url;
      request.body = change.body;
      request.max_response_bytes = options_.max_response_bytes;
      request.headers = {{"Content-Type", change.content_type},
                         {"Idempotency-Key", installation_ + "-" + std::to_string(change.op_id)}};
      for (auto &header : app_headers(&failure)) request.headers.push_back(std::move(header));
      HttpResponse response;
      if (failure.empty()) {
        response = send(std::move(request), std::min(pass.deadline, Clock::now() + options_.request_timeout));
      } else {
        response.kind = HttpResponse::Kind::not_sent;
        response.reason = failure;
      }
      hold.lock();
      settle(pass, change, response);
    }
  }

  // A save's error once per pass, however many of its waits it failed.
  static void add_error(Pass &pass, const std::string &error) {
    std::vector<std::string> &errors = pass.summary.errors;
    if (std::find(errors.begin(), errors.end(), error) == errors.end()) errors.push_back(error);
  }

  void count_connection(const HttpResponse &response, Pass &pass) {
    if (response.kind != HttpResponse::Kind::not_sent) {
      consecutive_failures_ = 0;
      offline_ = false;
      return;
    }
    if (++consecutive_failures_ >= options_.offline_after) {
      offline_ = true;
      probe_at_ = Clock::now() + options_.backoff_cap;
      set_state(ClientState::offline);
    }
    (void)pass;
  }

  void settle(Pass &pass, const PendingRequest &change, const HttpResponse &response) {
    sending_.erase(change.op_id);
    const Outcome outcome = client_detail::outcome_of(response);
    if (!response.reason.empty()) pass.summary.errors.push_back(response.reason);
    count_connection(response, pass);
    const Result<StoreChange> done = wishes_->try_report(change.op_id, outcome);
    if (!done) {
      pass.summary.errors.push_back("report: " + std::string(done.reason()));
      return;
    }
    switch (outcome) {
      case Outcome::accepted: ++pass.summary.accepted; break;
      case Outcome::rejected: ++pass.summary.rejected; break;
      case Outcome::failed: ++pass.summary.failed; break;
      case Outcome::unknown: ++pass.summary.unknown; break;
    }
    if (outcome == Outcome::failed || outcome == Outcome::unknown) {
      const std::uint32_t attempts = wishes_->status(change.kind, change.item_id).attempts;
      std::chrono::milliseconds delay =
          client_detail::backoff_delay(attempts, options_.backoff_base, options_.backoff_cap, random_);
      if (const auto asked = client_detail::retry_after(response, std::chrono::system_clock::now())) {
        delay = std::max(delay, *asked);
      }
      // Unless a newer intent replaced it: then the journal no longer holds it.
      if (wishes_->status(change.kind, change.item_id).op_id == change.op_id) {
        not_before_[change.op_id] = Clock::now() + delay;
      }
    } else {
      not_before_.erase(change.op_id);
    }
    changed();
    if (outcome == Outcome::rejected) {
      post_rejection(Rejection{change.kind, change.item_id, change.wished, response.status});
      if (*done != StoreChange::unchanged) post_change(change.kind, change.item_id, *done == StoreChange::shown);
    }
  }

  std::set<Key> keys() const {
    std::set<Key> out;
    for (const Entry entry : wishes_->entries()) out.emplace(entry.kind, std::string(entry.item_id));
    return out;
  }

  void refresh(Pass &pass) {
    std::int64_t token = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (closing_ || pass.save_failed || (offline_ && (pass.probe_sent || !pass.probing))) return;
      if (pass.cut_short || Clock::now() >= pass.deadline) return;
      token = wishes_->begin_refresh();
    }
    std::string failure;
    HttpRequest request;
    request.method = "GET";
    request.url = mine_url_;
    request.max_response_bytes = options_.max_response_bytes;
    request.headers = app_headers(&failure);
    HttpResponse response;
    if (failure.empty()) {
      response = send(std::move(request), std::min(pass.deadline, Clock::now() + options_.list_timeout));
    } else {
      response.reason = failure;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    count_connection(response, pass);
    if (response.kind != HttpResponse::Kind::answered || response.status / 100 != 2) {
      pass.summary.errors.push_back(
          "refresh failed: " +
          (response.kind == HttpResponse::Kind::answered && response.reason.empty()
               ? "status " + std::to_string(response.status)
               : response.reason));
      return;
    }
    const std::set<Key> before = keys();
    const Result<std::optional<int>> loaded = wishes_->try_load(token, response.body);
    if (!loaded) {
      pass.summary.errors.push_back("refresh failed: " + std::string(loaded.reason()));
      return;
    }
    if (!*loaded) return;  // a newer list was loaded meanwhile
    next_refresh_at_ = Clock::now() + options_.refresh_interval;
    pass.summary.refreshed = true;
    changed();
    const std::set<Key> after = keys();
    for (const Key &key : before) {
      if (!after.count(key)) post_change(key.first, key.second, false);
    }
    for (const Key &key : after) {
      if (!before.count(key)) post_change(key.first, key.second, true);
    }
  }

  // Passes after a change, when a backoff or probe time comes, and every refresh_interval.
  void background() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stop_background_ && !closing_) {
      Clock::time_point due = next_refresh_at_;
      if (const auto next = next_pass_at_locked()) due = std::min(due, *next);
      if (!dirty_ && Clock::now() < due) {
        wake_.wait_until(hold, due);
        continue;
      }
      hold.unlock();
      const Deadline deadline = Clock::now() + 4 * std::max(options_.request_timeout, options_.list_timeout);
      try {
        const SyncSummary summary = sync_now(deadline);
        (void)summary;
      } catch (const Error &) {
        // Closed meanwhile: the loop ends below.
      }
      hold.lock();
      // A pass that made no progress waits for its timers, not round again.
      if (next_refresh_at_ <= Clock::now()) next_refresh_at_ = Clock::now() + options_.refresh_interval;
    }
  }

  const std::string base_url_;
  std::string mine_url_;
  const ClientOptions options_;
  std::shared_ptr<Transport> transport_;
  std::unique_ptr<StateDir> dir_;
  std::string installation_;

  mutable std::mutex mutex_;  // the journal and every field below
  std::optional<SyncedWishlist> wishes_;
  std::map<std::int64_t, Clock::time_point> not_before_;  // per operation: its backoff
  std::list<Held> held_;  // handed out by the journal, held until their time comes, in that order
  std::set<std::int64_t> sending_;
  int consecutive_failures_ = 0;
  bool offline_ = false;
  Clock::time_point probe_at_;
  Clock::time_point next_refresh_at_;
  bool dirty_ = false;
  bool closing_ = false;
  bool closed_ = false;
  ClientState state_ = ClientState::idle;
  std::mt19937_64 random_;

  std::uint64_t changed_ = 0;  // changes made, saved, and covered by a failed save
  std::uint64_t saved_ = 0;
  std::uint64_t failed_ = 0;
  std::string save_error_;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> unsaved_events_;
  std::condition_variable saved_changed_;
  bool stop_saver_ = false;
  std::uint64_t wanted_ = 0;  // the newest change a call waits to see saved
  bool passing_ = false;  // a pass is sending
  std::thread saver_;

  std::mutex pass_mutex_;  // one pass at a time
  std::condition_variable wake_;
  std::thread background_;
  bool stop_background_ = false;

  std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
  EventThread events_;
};

WishlistClient::WishlistClient(std::string base_url, std::string state_dir, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(base_url), std::move(state_dir), std::move(options))) {}
WishlistClient::~WishlistClient() = default;

Status WishlistClient::set_wished(Kind kind, std::string_view item_id, bool wished, OptionalText title,
                                  OptionalText artist) {
  return impl_->set_wished(kind, item_id, wished, title, artist);
}
bool WishlistClient::wished(Kind kind, std::string_view item_id) const { return impl_->wished(kind, item_id); }
Status WishlistClient::status(Kind kind, std::string_view item_id) const { return impl_->status(kind, item_id); }
std::vector<Change> WishlistClient::entries() const { return impl_->entries(); }
std::size_t WishlistClient::size() const { return impl_->size(); }
void WishlistClient::on_change(std::function<void(const Change &)> handler) {
  impl_->set_handler(&Impl::Handlers::change, std::move(handler));
}
void WishlistClient::on_rejected(std::function<void(const Rejection &)> handler) {
  impl_->set_handler(&Impl::Handlers::rejected, std::move(handler));
}
void WishlistClient::on_state(std::function<void(ClientState)> handler) {
  impl_->set_handler(&Impl::Handlers::state, std::move(handler));
}
SyncSummary WishlistClient::sync_now(Deadline deadline) { return impl_->sync_now(deadline); }
void WishlistClient::start() { impl_->start(); }
void WishlistClient::stop() { impl_->stop(); }
void WishlistClient::close() { impl_->close(); }
ClientState WishlistClient::state() const { return impl_->state(); }
const ClientOptions &WishlistClient::options() const noexcept { return impl_->options(); }

}  // namespace orvel
