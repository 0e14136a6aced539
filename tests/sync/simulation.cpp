// SPDX-License-Identifier: MIT
// The simulated world: a service that may lose requests and answers and
// refuses some entries for good, apps that record intents, send, report,
// refresh out of order and restart, and another device writing underneath.
// The apps use only the public headers, as a real app does.
#include "simulation.h"

#include <yyjson.h>

#include <algorithm>
#include <compare>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "orvel.h"
#include "orvel_sync.h"

namespace orvel_sim {
namespace {

// splitmix64: small, fast, and the same sequence on every platform.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }
  bool percent(int p) { return below(100) < p; }
  template <class T>
  const T &pick(const std::vector<T> &v) { return v[static_cast<std::size_t>(below(static_cast<int>(v.size())))]; }

 private:
  std::uint64_t state_;
};

struct Key {
  std::string kind, id;
  auto operator<=>(const Key &) const = default;
  std::string text() const { return kind + "/" + id; }
};

struct Entry {
  Key key;
  std::string title, artist;
  auto operator<=>(const Entry &) const = default;
};

std::string take(char *text, void (*release)(void *)) {
  std::string copy = text != nullptr ? text : "<null>";
  release(text);
  return copy;
}

std::string str(yyjson_val *obj, const char *name) {
  yyjson_val *v = yyjson_obj_get(obj, name);
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string("<absent>");
}

// The entries of a store, read back from its export.
std::vector<Entry> entries_of(const orvel_store *store) {
  std::vector<Entry> out;
  const std::string text = take(orvel_export_json(store), orvel_free);
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  size_t idx = 0, max = 0;
  yyjson_val *e = nullptr;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "items"), idx, max, e) {
    out.push_back({{str(e, "kind"), str(e, "itemId")}, str(e, "title"), str(e, "artist")});
  }
  yyjson_doc_free(doc);
  return out;
}

// ---- the service ----------------------------------------------------------------

struct Wish {
  bool add = false;
  Entry entry;
};

class Service {
 public:
  std::vector<Entry> entries;  // in the order they were added
  std::set<Key> refused;       // client requests for these are refused for good
  std::optional<Key> poison;   // client requests for this one fail (5xx) for ever
  std::map<Key, bool> last_write;

  bool has(const Key &k) const { return find(k) != entries.end(); }

  void write(const Wish &w) {
    last_write[w.entry.key] = w.add;
    auto it = find(w.entry.key);
    if (w.add && it == entries.end()) entries.push_back(w.entry);
    if (!w.add && it != entries.end()) entries.erase(it);
  }

  // The list response in one of the shapes the loader reads.
  std::string render(int shape) const {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = nullptr;
    const auto object_of = [&](const Entry &e, bool with_kind) {
      yyjson_mut_val *o = yyjson_mut_obj(doc);
      if (with_kind) yyjson_mut_obj_add_strcpy(doc, o, "kind", e.key.kind.c_str());
      yyjson_mut_obj_add_strcpy(doc, o, "itemId", e.key.id.c_str());
      yyjson_mut_obj_add_strcpy(doc, o, "title", e.title.c_str());
      yyjson_mut_obj_add_strcpy(doc, o, "artist", e.artist.c_str());
      return o;
    };
    if (shape == 0) {  // {"total":n,"items":[...]}
      root = yyjson_mut_obj(doc);
      yyjson_mut_obj_add_uint(doc, root, "total", entries.size());
      yyjson_mut_val *items = yyjson_mut_obj_add_arr(doc, root, "items");
      for (const Entry &e : entries) yyjson_mut_arr_append(items, object_of(e, true));
    } else if (shape == 1) {  // grouped by kind, members in reverse of reading order
      root = yyjson_mut_obj(doc);
      // (yyjson keeps a key's pointer, so the keys are literals)
      for (const auto &[kind, member] : {std::pair{"playlist", "playlists"}, {"album", "albums"}, {"track", "tracks"}}) {
        yyjson_mut_val *arr = yyjson_mut_obj_add_arr(doc, root, member);
        for (const Entry &e : entries) {
          if (e.key.kind == kind) yyjson_mut_arr_append(arr, object_of(e, false));
        }
      }
    } else {  // a bare array
      root = yyjson_mut_arr(doc);
      for (const Entry &e : entries) yyjson_mut_arr_append(root, object_of(e, true));
    }
    yyjson_mut_doc_set_root(doc, root);
    std::string text = take(yyjson_mut_write(doc, 0, nullptr), std::free);
    yyjson_mut_doc_free(doc);
    return text;
  }

 private:
  std::vector<Entry>::const_iterator find(const Key &k) const {
    return std::find_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.key == k; });
  }
  std::vector<Entry>::iterator find(const Key &k) {
    return std::find_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.key == k; });
  }
};

// What a request envelope asks of the service; nullopt when it is malformed.
std::optional<Wish> read_request(const std::string &envelope) {
  yyjson_doc *doc = yyjson_read(envelope.data(), envelope.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  std::optional<Wish> wish;
  const std::string url = str(root, "url"), body = str(root, "body");
  const std::string path = "/wishlist/api/wish";
  if (str(root, "method") == "POST" && str(root, "contentType") == "application/json" && url.size() > path.size() &&
      url.compare(url.size() - path.size(), path.size(), path) == 0) {
    yyjson_doc *b = yyjson_read(body.data(), body.size(), 0);
    yyjson_val *o = yyjson_doc_get_root(b);
    const std::string op = str(o, "op");
    if (op == "add" || op == "remove") {
      wish = Wish{op == "add", {{str(o, "kind"), str(o, "itemId")}, str(o, "title"), str(o, "artist")}};
    }
    yyjson_doc_free(b);
  }
  yyjson_doc_free(doc);
  return wish;
}

// ---- an app ------------------------------------------------------------------------

struct Request {
  std::int64_t op;
  Key key;
  bool answered = false;
  std::int32_t outcome = 0;
};

struct Fetch {
  std::int64_t token;
  std::optional<std::string> response;  // once the service has answered
};

struct Recorded {
  Key key;
  bool wished;
  std::int32_t outcome = 0;  // the last report, 0 for none
};

struct App {
  orvel_store *store = nullptr;
  orvel_journal *journal = nullptr;
  std::vector<Request> requests;  // sent, not yet reported
  std::vector<Fetch> fetches;
  std::int64_t loaded = 0;        // the newest token loaded
  std::int64_t last_op = 0;
  std::map<std::int64_t, Recorded> ops;
  std::map<Key, std::int64_t> last_for;  // the last operation recorded per entry

  void open() {
    store = orvel_create();
    journal = orvel_sync_create(store);
  }
  // The status of an entry, as the journal tells it.
  orvel_sync_entry status(const Key &k) const {
    orvel_sync_entry e{};
    orvel_sync_entry_status(journal, k.kind.c_str(), k.id.c_str(), &e);
    return e;
  }
  void close() {
    orvel_sync_destroy(journal);
    orvel_destroy(store);
    journal = nullptr;
    store = nullptr;
  }
  std::int32_t count(std::int32_t which) const { return orvel_sync_count(journal, which); }
};

const char *outcome_name(std::int32_t o) {
  return o == ORVEL_SYNC_ACCEPTED ? "accepted" : o == ORVEL_SYNC_REJECTED ? "rejected" : o == ORVEL_SYNC_FAILED ? "failed" : "unknown";
}

// A request the network holds: it may land at any later step, or never.
struct Late {
  std::int64_t op;
  Wish wish;
};

class World {
 public:
  explicit World(std::uint64_t seed) : rng_(seed) {
    Settings &s = result_.settings;
    s.clients = rng_.percent(30) ? 2 : 1;
    s.other_device = rng_.percent(30);
    s.steps = 40 + rng_.below(120);
    s.drop = rng_.pick(std::vector<int>{0, 10, 30});
    s.lose_answer = rng_.pick(std::vector<int>{0, 10, 30});
    s.restart = rng_.pick(std::vector<int>{0, 2, 6});
    s.corrupt = rng_.pick(std::vector<int>{0, 5});
    s.late = rng_.pick(std::vector<int>{0, 0, 10, 25});
    s.poison = rng_.percent(25);
    s.snapshot = rng_.pick(std::vector<int>{0, 50, 100});
    const std::vector<std::string> kinds = {"track", "album", "playlist"};
    const int pool = 3 + rng_.below(5);
    for (int i = 0; i < pool; ++i) keys_.push_back({rng_.pick(kinds), "i" + std::to_string(i)});
    for (const Key &k : keys_) {
      if (rng_.percent(15)) service_.refused.insert(k);
      if (rng_.percent(40)) service_.entries.push_back({k, "S" + k.id, ""});
    }
    if (s.poison) service_.poison = rng_.pick(keys_);
    apps_.resize(static_cast<std::size_t>(s.clients));
    for (App &a : apps_) a.open();
  }
  ~World() {
    for (App &a : apps_) a.close();
  }

  Result run() {
    step("settings: " + result_.settings.describe());
    for (int i = 0; i < result_.settings.steps && result_.ok; ++i) {
      random_step();
      check_always();
    }
    if (result_.ok) settle();
    for (const App &a : apps_) result_.operations += a.ops.size();
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const std::string &line : result_.trace) {
      for (char c : line) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
      h = (h ^ '\n') * 0x100000001b3ULL;
    }
    result_.digest = h;
    return std::move(result_);
  }

 private:
  bool alone() const { return apps_.size() == 1 && !result_.settings.other_device; }

  void step(const std::string &line) { result_.trace.push_back(line); }

  void violated(const std::string &what) {
    if (!result_.ok) return;
    result_.ok = false;
    result_.violation = what;
    step("VIOLATION: " + what);
  }

  App &some_app(std::string *name) {
    const int i = rng_.below(static_cast<int>(apps_.size()));
    *name = "app" + std::to_string(i);
    return apps_[static_cast<std::size_t>(i)];
  }

  void random_step() {
    const Settings &s = result_.settings;
    const int weights[] = {25, 15, 15, 15, 6, 6, 6, s.restart, late_.empty() ? 0 : 6, s.other_device ? 5 : 0};
    int total = 0;
    for (int w : weights) total += w;
    int roll = rng_.below(total), which = 0;
    while (roll >= weights[which]) roll -= weights[which++];
    std::string name;
    App &a = some_app(&name);
    switch (which) {
      case 0: intend(a, name); break;
      case 1: send(a, name); break;
      case 2: deliver_request(a, name, true); break;
      case 3: report_one(a, name); break;
      case 4: begin_fetch(a, name); break;
      case 5: serve_fetch(a, name); break;
      case 6: deliver_fetch(a, name, true); break;
      case 7: restart(a, name); break;
      case 8: land_late(); break;
      default: device_write(); break;
    }
  }

  // The user mostly flips what the app shows, and sometimes repeats it.
  void intend(App &a, const std::string &name) {
    const Key k = rng_.pick(keys_);
    const bool shown = orvel_is_wished(a.store, k.kind.c_str(), k.id.c_str()) == 1;
    const bool wished = rng_.percent(85) ? !shown : shown;
    const std::vector<std::string> titles = {"", "T", "\xc3\x84 \"q\"", "line\nbreak"};
    const std::string title = rng_.pick(titles) + k.id;
    const bool texts = wished || rng_.percent(50);
    const std::int64_t id = orvel_sync_set(a.journal, wished ? 1 : 0, k.kind.c_str(), k.id.c_str(),
                                           texts ? title.c_str() : nullptr, texts ? "A" : nullptr);
    step(name + " set " + k.text() + (wished ? " wished" : " not wished") + " -> " + std::to_string(id));
    if (id < 0) return violated("set failed: " + std::string(orvel_sync_last_error()));
    if (id == 0) {
      if ((orvel_is_wished(a.store, k.kind.c_str(), k.id.c_str()) == 1) != wished) {
        violated("set recorded nothing and the store does not show the intent");
      }
      // It undid an unsent operation: nothing of the entry is left to send.
      if (shown != wished) {
        if (a.status(k).state != ORVEL_SYNC_SYNCED) violated("a cancelled operation is still held for " + k.text());
        a.last_for.erase(k);
      }
      return;
    }
    if (id <= a.last_op) violated("operation ids must increase");
    a.last_op = id;
    a.ops[id] = {k, wished};
    a.last_for[k] = id;
    if ((orvel_is_wished(a.store, k.kind.c_str(), k.id.c_str()) == 1) != wished) {
      violated("the store does not show an intent just recorded");
    }
  }

  // An intent the journal queued again, under a new id, after a late
  // request landed over it: it must be the user's last intent for the entry.
  bool adopt(App &a, const Key &k, std::int64_t op, bool wished) {
    if (a.ops.count(op) != 0 || a.last_for.count(k) == 0 || a.ops.at(a.last_for.at(k)).wished != wished) return false;
    step("the journal queues the intent for " + k.text() + " again as op " + std::to_string(op));
    a.ops[op] = {k, wished};
    a.last_for[k] = op;
    a.last_op = std::max(a.last_op, op);
    return true;
  }

  bool send(App &a, const std::string &name) {
    std::int64_t op = -1;
    char *raw = orvel_sync_next_request(a.journal, "https://wishes.example/", &op);
    if (raw == nullptr) {
      if (op != 0 || orvel_sync_last_error()[0] != '\0') violated("next_request failed without a reason of its own");
      return false;
    }
    const std::string envelope = take(raw, orvel_sync_free);
    step(name + " send op " + std::to_string(op));
    auto it = a.ops.find(op);
    const std::optional<Wish> wish = read_request(envelope);
    // An intent the journal queues again, after a late request landed over
    // it, comes under a new id: the user's last intent for that entry.
    if (it == a.ops.end() && wish && adopt(a, wish->entry.key, op, wish->add)) it = a.ops.find(op);
    if (it == a.ops.end() || !wish) {
      violated("a request for an operation never recorded, or malformed: " + envelope);
      return false;
    }
    if (wish->entry.key != it->second.key || wish->add != it->second.wished) {
      violated("the request of op " + std::to_string(op) + " does not carry its intent");
    }
    for (const Request &r : a.requests) {
      if (r.key == wish->entry.key) violated("two requests in flight for " + r.key.text());
    }
    a.requests.push_back({op, wish->entry.key});
    pending_.emplace(std::make_pair(&a - apps_.data(), op), *wish);
    return true;
  }

  // A request reaches the service (or not), and its answer the app (or not).
  void deliver_request(App &a, const std::string &name, bool faults) {
    std::vector<std::size_t> waiting;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
      if (!a.requests[i].answered) waiting.push_back(i);
    }
    if (waiting.empty()) return;
    Request &r = a.requests[rng_.pick(waiting)];
    r.answered = true;
    const Wish wish = pending_.at({&a - apps_.data(), r.op});
    if (service_.poison == wish.entry.key) {
      r.outcome = ORVEL_SYNC_FAILED;
      step("service answers 503 to op " + std::to_string(r.op) + " (" + wish.entry.key.text() + ")");
      return;
    }
    if (faults && rng_.percent(result_.settings.drop)) {
      r.outcome = ORVEL_SYNC_FAILED;
      step(name + " op " + std::to_string(r.op) + " lost on the way");
      return;
    }
    if (faults && rng_.percent(result_.settings.late)) {
      r.outcome = ORVEL_SYNC_UNKNOWN;
      late_.push_back({r.op, wish});
      step(name + " op " + std::to_string(r.op) + " held by the network: its deadline passes");
      return;
    }
    if (service_.refused.count(wish.entry.key) != 0) {
      r.outcome = ORVEL_SYNC_REJECTED;
      step("service refuses op " + std::to_string(r.op) + " (" + wish.entry.key.text() + ")");
      return;
    }
    service_.write(wish);
    r.outcome = ORVEL_SYNC_ACCEPTED;
    if (faults && rng_.percent(result_.settings.lose_answer)) {
      r.outcome = ORVEL_SYNC_UNKNOWN;
      step("service applies op " + std::to_string(r.op) + ", its answer is lost");
      return;
    }
    step("service applies op " + std::to_string(r.op) + " (" + (wish.add ? "add " : "remove ") +
         wish.entry.key.text() + ")");
  }

  void report_one(App &a, const std::string &name) {
    std::vector<std::size_t> answered;
    for (std::size_t i = 0; i < a.requests.size(); ++i) {
      if (a.requests[i].answered) answered.push_back(i);
    }
    if (answered.empty()) return;
    const std::size_t i = rng_.pick(answered);
    const Request r = a.requests[i];
    a.requests.erase(a.requests.begin() + static_cast<std::ptrdiff_t>(i));
    pending_.erase({&a - apps_.data(), r.op});
    step(name + " report op " + std::to_string(r.op) + " " + outcome_name(r.outcome));
    const Key &k = a.ops.at(r.op).key;
    const bool shown = orvel_is_wished(a.store, k.kind.c_str(), k.id.c_str()) == 1;
    std::int32_t change = -1;
    if (orvel_sync_report_outcome(a.journal, r.op, r.outcome, &change) != 0) {
      return violated("report failed: " + std::string(orvel_sync_last_error()));
    }
    const bool now = orvel_is_wished(a.store, k.kind.c_str(), k.id.c_str()) == 1;
    const std::int32_t expected = shown == now ? ORVEL_SYNC_STORE_UNCHANGED
                                  : now        ? ORVEL_SYNC_STORE_SHOWN
                                               : ORVEL_SYNC_STORE_REMOVED;
    if (change != expected) violated("the report says otherwise than what it did to the store");
    if (r.outcome == ORVEL_SYNC_ACCEPTED || r.outcome == ORVEL_SYNC_REJECTED) a.ops[r.op].outcome = r.outcome;
  }

  void begin_fetch(App &a, const std::string &name) {
    const std::int64_t token = orvel_sync_begin_refresh(a.journal);
    step(name + " begins a refresh, token " + std::to_string(token));
    a.fetches.push_back({token, std::nullopt});
  }

  // The service answers a fetch: its set as it is now.
  void serve_fetch(App &a, const std::string &name) {
    for (Fetch &f : a.fetches) {
      if (f.response) continue;
      f.response = service_.render(rng_.below(3));
      step("service answers " + name + "'s fetch " + std::to_string(f.token) + " with " +
           std::to_string(service_.entries.size()) + " entries");
      return;
    }
  }

  void deliver_fetch(App &a, const std::string &name, bool faults) {
    std::vector<std::size_t> served;
    for (std::size_t i = 0; i < a.fetches.size(); ++i) {
      if (a.fetches[i].response) served.push_back(i);
    }
    if (served.empty()) return;
    const std::size_t i = rng_.pick(served);
    Fetch f = a.fetches[i];
    a.fetches.erase(a.fetches.begin() + static_cast<std::ptrdiff_t>(i));
    std::string body = *f.response;
    const bool damaged = faults && rng_.percent(result_.settings.corrupt);
    if (damaged) body.resize(body.size() / 2);
    const std::string before = state_of(a);
    const std::int32_t n = orvel_sync_load(a.journal, f.token, body.data(), body.size());
    step(name + " loads fetch " + std::to_string(f.token) + (damaged ? " (damaged)" : "") + " -> " +
         std::to_string(n));
    if (damaged || f.token < a.loaded) {
      // Staleness is known from the token alone, before the text is read.
      if (n != (f.token < a.loaded ? ORVEL_SYNC_STALE : -1)) violated("a damaged or stale response was not refused");
      if (state_of(a) != before) violated("a refused response changed the store or the journal");
      return;
    }
    if (n < 0) return violated("a load failed: " + std::string(orvel_sync_last_error()));
    a.loaded = f.token;
  }

  // The app dies and starts again from what it saved: the store's export
  // and the journal's. Requests on the way reach the service or not, but
  // their answers reach nobody.
  void restart(App &a, const std::string &name) {
    const std::string store_text = take(orvel_export_json(a.store), orvel_free);
    const std::string journal_text = take(orvel_sync_export(a.journal), orvel_sync_free);
    const bool one_snapshot = rng_.percent(result_.settings.snapshot);
    const std::string snapshot = one_snapshot ? take(orvel_sync_snapshot(a.journal), orvel_sync_free) : "";
    std::map<std::int64_t, std::uint32_t> attempts;
    for (const Key &k : keys_) {
      const orvel_sync_entry e = a.status(k);
      if (e.op_id != 0) attempts[e.op_id] = e.attempts;
    }
    const std::int32_t held = a.count(ORVEL_SYNC_HELD), unsent = a.count(ORVEL_SYNC_UNSENT);
    const std::int32_t flying = a.count(ORVEL_SYNC_IN_FLIGHT), confirming = a.count(ORVEL_SYNC_CONFIRMING);
    const int replaced = in_flight_with_newer_intent(journal_text);
    a.close();
    step(name + " restarts" + (one_snapshot ? " from its snapshot" : ""));
    for (const Request &r : a.requests) {
      if (!r.answered) {
        const int fate = rng_.below(3);  // lands now, later, or never
        if (fate == 0) deliver_after_death(a, r);
        if (fate == 1) late_.push_back({r.op, pending_.at({&a - apps_.data(), r.op})});
      }
      pending_.erase({&a - apps_.data(), r.op});
    }
    a.requests.clear();
    a.fetches.clear();
    if (one_snapshot) {
      a.journal = orvel_sync_open_snapshot(snapshot.data(), snapshot.size(), &a.store);
      if (a.journal == nullptr) {
        a.open();  // something to close
        return violated("the snapshot could not be read back: " + std::string(orvel_sync_last_error()));
      }
    } else {
      a.open();
      if (orvel_load_mine_json(a.store, store_text.data(), store_text.size()) < 0 ||
          orvel_sync_restore(a.journal, journal_text.data(), journal_text.size()) < 0) {
        return violated("the saved texts could not be read back: " + std::string(orvel_sync_last_error()));
      }
    }
    for (const Key &k : keys_) {
      const orvel_sync_entry e = a.status(k);
      if (e.op_id != 0 && (attempts.count(e.op_id) == 0 || attempts.at(e.op_id) != e.attempts)) {
        violated("a restart changed the attempts of op " + std::to_string(e.op_id));
      }
    }
    if (take(orvel_export_json(a.store), orvel_free) != store_text) violated("a restart changed the store");
    if (a.count(ORVEL_SYNC_HELD) != held - replaced || a.count(ORVEL_SYNC_UNSENT) != unsent + flying - replaced ||
        a.count(ORVEL_SYNC_IN_FLIGHT) != 0 || a.count(ORVEL_SYNC_CONFIRMING) != confirming) {
      violated("a restart lost or changed operations");
    }
  }

  void deliver_after_death(App &a, const Request &r) {
    const Wish wish = pending_.at({&a - apps_.data(), r.op});
    if (service_.refused.count(wish.entry.key) != 0) return;
    service_.write(wish);
    step("service applies op " + std::to_string(r.op) + " of a dead app");
  }

  // In-flight operations whose entry also has a newer unsent one: a restore
  // lets the newer replace them.
  static int in_flight_with_newer_intent(const std::string &journal_text) {
    yyjson_doc *doc = yyjson_read(journal_text.data(), journal_text.size(), 0);
    std::set<Key> flying;
    int n = 0;
    size_t idx = 0, max = 0;
    yyjson_val *op = nullptr;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "operations"), idx, max, op) {
      const Key k{str(op, "kind"), str(op, "itemId")};
      const std::string state = str(op, "state");
      if (state == "inFlight") flying.insert(k);
      if (state == "unsent" && flying.count(k) != 0) ++n;
    }
    yyjson_doc_free(doc);
    return n;
  }

  // A request the network held lands now (or is lost for good).
  void land_late() {
    const std::size_t i = static_cast<std::size_t>(rng_.below(static_cast<int>(late_.size())));
    const Late l = late_[i];
    late_.erase(late_.begin() + static_cast<std::ptrdiff_t>(i));
    if (rng_.percent(20)) {
      step("the network loses op " + std::to_string(l.op) + " for good");
      return;
    }
    land(l);
  }

  void land(const Late &l) {
    if (service_.refused.count(l.wish.entry.key) != 0 || service_.poison == l.wish.entry.key) return;
    service_.write(l.wish);
    step("op " + std::to_string(l.op) + " lands late (" + (l.wish.add ? "add " : "remove ") + l.wish.entry.key.text() + ")");
  }

  void device_write() {
    const Key k = rng_.pick(keys_);
    const bool add = !service_.has(k);
    service_.write({add, {k, "D" + k.id, "device"}});
    step(std::string("another device ") + (add ? "adds " : "removes ") + k.text());
  }

  static std::string state_of(const App &a) {
    return take(orvel_export_json(a.store), orvel_free) + take(orvel_sync_export(a.journal), orvel_sync_free);
  }

  void check_always() {
    for (App &a : apps_) {
      if (!result_.ok) return;
      const std::int32_t held = a.count(ORVEL_SYNC_HELD);
      if (held != a.count(ORVEL_SYNC_UNSENT) + a.count(ORVEL_SYNC_IN_FLIGHT) + a.count(ORVEL_SYNC_CONFIRMING)) {
        violated("the counts do not add up");
      }
      if (a.count(ORVEL_SYNC_IN_FLIGHT) != static_cast<std::int32_t>(a.requests.size())) {
        violated("the journal's operations in flight are not the app's requests");
      }
      // The status of an entry names its newest operation and that one's intent.
      std::int32_t uncertain = 0;
      for (const Key &k : keys_) {
        const orvel_sync_entry e = a.status(k);
        uncertain += e.uncertain != 0;
        if (e.op_id != 0 && a.ops.count(e.op_id) == 0) adopt(a, k, e.op_id, e.wished == 1);
        if ((e.state == ORVEL_SYNC_SYNCED) != (e.op_id == 0 && e.uncertain == 0) ||
            (e.op_id != 0 && (a.ops.count(e.op_id) == 0 || a.ops.at(e.op_id).key != k ||
                              a.ops.at(e.op_id).wished != (e.wished == 1)))) {
          violated("the status of " + k.text() + " does not name its newest operation (state " +
                   std::to_string(e.state) + ", op " + std::to_string(e.op_id) + ", wished " + std::to_string(e.wished) +
                   ", uncertain " + std::to_string(e.uncertain) + ")");
        }
      }
      if (uncertain != a.count(ORVEL_SYNC_UNCERTAIN)) violated("the uncertain entries do not add up");
      if (!alone()) continue;
      // With nobody else writing, the store shows the user's last intent
      // for every entry the service takes.
      for (const auto &[key, op] : a.last_for) {
        const Recorded &r = a.ops.at(op);
        const bool shown = orvel_is_wished(a.store, key.kind.c_str(), key.id.c_str()) == 1;
        if (service_.refused.count(key) == 0 && shown != r.wished) {
          violated("the store does not show the last intent for " + key.text() + " (op " + std::to_string(op) + ")");
        }
        // A refused addition is taken back at once; only a list that holds
        // the entry (the service had it all along) brings it back.
        if (r.outcome == ORVEL_SYNC_REJECTED && r.wished && shown && !service_.has(key)) {
          violated("the store shows " + key.text() + " although its addition was refused");
        }
      }
    }
  }

  // No more faults: what the network holds lands, everything is sent one
  // request at a time (so that a failing entry that went first again would
  // hold back every other) and answered, then a refresh begun after the last
  // acceptance is loaded; until nothing but the entry the service always
  // fails is held. With two apps, each may take the other's writes for a
  // late landing of its own unknown requests, once per such request: the
  // passes are bounded by those, not by a fixed few.
  void settle() {
    step("settling");
    for (std::size_t i = 0; i < apps_.size(); ++i) {
      App &a = apps_[i];
      const std::string name = "app" + std::to_string(i);
      for (Fetch &f : a.fetches) {
        if (!f.response) f.response = service_.render(rng_.below(3));
      }
      while (!a.fetches.empty() && result_.ok) deliver_fetch(a, name, false);
      while (!a.requests.empty() && result_.ok) {
        deliver_request(a, name, false);
        report_one(a, name);
      }
    }
    for (const Late &l : late_) land(l);
    late_.clear();
    int passes = 6;
    for (const App &a : apps_) {
      for (const Key &k : keys_) passes += static_cast<int>(a.status(k).uncertain);
    }
    for (int pass = 0; pass < passes && result_.ok; ++pass) {
      for (std::size_t i = 0; i < apps_.size() && result_.ok; ++i) {
        App &a = apps_[i];
        const std::string name = "app" + std::to_string(i);
        for (int budget = 8 + 3 * a.count(ORVEL_SYNC_HELD); budget > 0 && result_.ok && send(a, name); --budget) {
          deliver_request(a, name, false);
          report_one(a, name);
        }
      }
      bool done = true;
      for (std::size_t i = 0; i < apps_.size() && result_.ok; ++i) {
        App &a = apps_[i];
        const std::string name = "app" + std::to_string(i);
        begin_fetch(a, name);
        serve_fetch(a, name);
        deliver_fetch(a, name, false);
        check_always();
        done = done && a.count(ORVEL_SYNC_HELD) == poison_held(a);
      }
      if (done) break;
    }
    for (std::size_t i = 0; i < apps_.size() && result_.ok; ++i) check_end(apps_[i], "app" + std::to_string(i));
  }

  std::int32_t poison_held(const App &a) const {
    return service_.poison && a.status(*service_.poison).op_id != 0 ? 1 : 0;
  }

  void check_end(const App &a, const std::string &name) {
    if (!result_.ok) return;
    if (a.count(ORVEL_SYNC_HELD) != poison_held(a)) return violated(name + " still holds operations after settling");
    // Local equals service, but for the entry the service always fails.
    std::vector<Entry> local = entries_of(a.store), remote = service_.entries;
    const auto poisoned = [&](const Entry &e) { return service_.poison == e.key; };
    local.erase(std::remove_if(local.begin(), local.end(), poisoned), local.end());
    remote.erase(std::remove_if(remote.begin(), remote.end(), poisoned), remote.end());
    std::sort(local.begin(), local.end());
    std::sort(remote.begin(), remote.end());
    if (local != remote) {
      const auto list = [](const std::vector<Entry> &v) {
        std::string out;
        for (const Entry &e : v) out += " " + e.key.text() + "(" + e.title + "," + e.artist + ")";
        return out;
      };
      return violated(name + "'s store differs from the service's set: store" + list(local) + "; service" + list(remote));
    }
    for (const auto &[key, op] : a.last_for) {
      const Recorded &r = a.ops.at(op);
      if (service_.poison == key) continue;
      // No intent lost: the last one for each entry was answered for good.
      if (r.outcome == 0) return violated("op " + std::to_string(op) + " for " + key.text() + " was never answered");
      if (alone() && r.outcome == ORVEL_SYNC_ACCEPTED && service_.has(key) != r.wished) {
        return violated("the service does not hold the last intent for " + key.text());
      }
    }
    for (const auto &[key, wished] : service_.last_write) {
      if (service_.has(key) != wished) return violated("the service does not hold its last write for " + key.text());
    }
  }

  Rng rng_;
  Result result_;
  Service service_;
  std::vector<Key> keys_;
  std::vector<App> apps_;
  std::map<std::pair<std::ptrdiff_t, std::int64_t>, Wish> pending_;  // (app, op) -> what it asks
  std::vector<Late> late_;
};

}  // namespace

std::string Settings::describe() const {
  std::ostringstream out;
  out << clients << (clients == 1 ? " app" : " apps") << (other_device ? " and another device" : "") << ", "
      << steps << " steps, " << drop << "% requests lost, " << lose_answer << "% answers lost, restart weight "
      << restart << ", " << corrupt << "% damaged responses, " << late << "% requests landing late"
      << (poison ? ", one entry failing for ever" : "") << ", " << snapshot << "% of restarts from the snapshot";
  return out.str();
}

Result simulate(std::uint64_t seed) { return World(seed).run(); }

std::string report(std::uint64_t seed, const Result &r) {
  std::ostringstream out;
  out << "seed " << seed << " violates: " << r.violation << "\n  " << r.settings.describe()
      << "\n  rerun: orvel_sync_sim --seed " << seed << "\n";
  for (const std::string &line : r.trace) out << "  | " << line << "\n";
  return out.str();
}

}  // namespace orvel_sim
