// SPDX-License-Identifier: MIT
// The change journal's cross-language scenario through orvel.hpp: its output
// must be journal.c's byte for byte (see run.sh). The throwing form, with the
// non-throwing one where a call is meant to fail.
// Usage: journal_cxx RESPONSE_FILE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>

#include "orvel.hpp"

namespace {

constexpr std::string_view kBase = "https://api.example.test//";
constexpr std::string_view kNewTitle = "Neu \xc3\xbc \xf0\x9f\x8e\xa7";
constexpr std::string_view kArtist = "He said \"hi\"\n";

void out(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

void counts(const orvel::SyncedWishlist &w) {
  out("counts: held " + std::to_string(w.held()) + " unsent " + std::to_string(w.unsent()) + " in-flight " +
      std::to_string(w.in_flight()) + " confirming " + std::to_string(w.confirming()));
}

std::int64_t send(orvel::SyncedWishlist &w) {
  const std::optional<orvel::PendingRequest> request = w.next_request(kBase);
  out(request ? "send: " + std::to_string(request->op_id) + " " + request->json : std::string("send: none"));
  return request ? request->op_id : 0;
}

// What the C scenario prints for a call that fails: -1 and the reason.
template <class T>
std::string refused(const orvel::Result<T> &result) {
  if (result) throw std::logic_error("the call should have failed");
  return "-1 error=" + std::string(result.reason());
}

void report_outcome(orvel::SyncedWishlist &w, std::int64_t op, orvel::Outcome outcome) {
  out("report: 0 store " + std::to_string(static_cast<int>(w.report(op, outcome))));
}

// An entry's status as the C scenario prints it: the call's result, then every
// member; the kind as a text, which may not be one.
void status(const orvel::SyncedWishlist &w, std::string_view kind, std::string_view item_id) {
  const orvel::Result<orvel::Kind> parsed = orvel::try_kind_from_string(kind);
  const orvel::Result<orvel::EntryStatus> got =
      parsed ? w.try_status(*parsed, item_id) : orvel::Result<orvel::EntryStatus>(orvel::detail::fail(parsed.reason()));
  if (!got) {
    out("status: " + refused(got));
    return;
  }
  const orvel::EntryStatus &e = *got;
  out("status: " + std::to_string(e.state != orvel::EntryState::synced ? 1 : 0) + " state " +
      std::to_string(static_cast<int>(e.state)) + " wished " + std::to_string(e.wished ? int(*e.wished) : -1) +
      " op " + std::to_string(e.op_id) + " attempts " + std::to_string(e.attempts) + " uncertain " +
      std::to_string(e.uncertain));
}

std::string loaded(orvel::SyncedWishlist &w, std::int64_t token, std::string_view response) {
  const orvel::Result<std::optional<int>> count = w.try_load(token, response);
  if (!count) return refused(count);
  return *count ? std::to_string(**count) : "-2 error=stale response";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) return 1;
  const std::string response((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

  using orvel::Kind;
  using orvel::Outcome;
  auto w = std::make_optional<orvel::SyncedWishlist>();
  out("version: " + std::string(orvel::sync_version()) + " abi " + std::to_string(orvel::sync_abi_version()));
  const std::int64_t first = w->begin_refresh();
  out("refresh: " + std::to_string(first) + " load " + loaded(*w, first, response));
  out("set: " + std::to_string(w->set_wished(Kind::album, "al-new", true, kNewTitle, kArtist)));
  out("set: " + std::to_string(w->set_wished(Kind::track, "tr-3", false)));
  out("set: " + std::to_string(w->set_wished(Kind::track, "tr-none", false)));
  out("set: " + std::to_string(w->set_wished(Kind::playlist, "pl-9", true, "P", "")));
  out("set: " + std::to_string(w->set_wished(Kind::album, "al-1", false, "Caf\xc3\xa9", "")));
  counts(*w);
  const std::int64_t a = send(*w), b = send(*w), c = send(*w);
  w->report(a, Outcome::accepted);
  out("report: 0");
  w->report(b, Outcome::rejected);
  out("report: 0 has " + std::to_string(w->has(Kind::track, "tr-3") ? 1 : 0));
  w->report(c, Outcome::failed);
  out("report: 0");
  out("report-again: " + refused(w->try_report(c, Outcome::failed)));
  counts(*w);
  const std::int64_t older = w->begin_refresh(), newer = w->begin_refresh();
  out("refresh: " + std::to_string(newer) + " load " + loaded(*w, newer, response));
  out("refresh: " + std::to_string(older) + " load " + loaded(*w, older, "[]"));
  counts(*w);
  const std::string journal_text = w->save(), store_text = w->export_json();
  out("saved-journal: " + journal_text);
  out("saved-store: " + store_text);

  // A restart: made anew from what was saved.
  w.reset();
  orvel::SyncedWishlist r = orvel::SyncedWishlist::restore(journal_text, store_text);
  out("restart: store " + std::to_string(r.size()) + " journal " + std::to_string(r.held()));
  counts(r);
  out("bad-kind: " + refused(orvel::try_kind_from_string("Album")));
  out("bad-utf8: " + refused(r.try_set_wished(Kind::album, "x", true, "\xff")));
  const std::int64_t d = send(r), e = send(r);
  r.report(d, Outcome::accepted);
  r.report(e, Outcome::accepted);
  out("report: 0 0");
  send(r);
  const std::int64_t last = r.begin_refresh();
  out("refresh: " + std::to_string(last) + " load " + loaded(r, last, response));
  counts(r);
  out("journal: " + r.save());
  out("store: " + r.export_json());

  // Since 1.1: what a report did to the store, an unknown outcome, an entry's
  // status, and one snapshot.
  out("set: " + std::to_string(r.set_wished(Kind::artist, "ar-new", true, "", "Nova")));
  out("set: " + std::to_string(r.set_wished(Kind::artist, "ar-1", false, "", "Velvetine")));
  report_outcome(r, send(r), Outcome::unknown);
  status(r, "artist", "ar-new");
  out("uncertain: " + std::to_string(r.uncertain()));
  report_outcome(r, send(r), Outcome::rejected);
  report_outcome(r, send(r), Outcome::rejected);
  status(r, "artist", "ar-new");
  status(r, "artist", "ar-1");
  status(r, "Artist", "ar-1");
  out("set: " + std::to_string(r.set_wished(Kind::track, "tr-snap", true, "S", "")));
  send(r);
  const std::string snapshot = r.snapshot();
  out("snapshot: " + snapshot);

  // A restart from the snapshot alone.
  const orvel::SyncedWishlist s = orvel::SyncedWishlist::open_snapshot(snapshot);
  out("reopened: store " + std::to_string(s.size()));
  counts(s);
  out("uncertain: " + std::to_string(s.uncertain()));
  status(s, "track", "tr-snap");
  out("reopen-bad: " + refused(orvel::SyncedWishlist::try_open_snapshot(R"({"format":"other"})")));
  return 0;
}
