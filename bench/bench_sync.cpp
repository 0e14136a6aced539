// SPDX-License-Identifier: MIT
// Benchmarks of the change journal, each next to the work it cannot avoid:
//  - a cycle of intents, requests and outcomes, against the same number of
//    liborvel toggles and request builds, whatever the journal holds;
//  - a refresh, against liborvel's own load of the same response;
//  - saving and restoring 10^4 operations, against yyjson writing and reading
//    the same document;
//  - setting, refreshing and restoring n intents over an n-entry list, n
//    removals against n additions (a removal must cost what an addition
//    does, wherever its entry stands).
//
//   orvel_sync_bench [--max-entries=N] [benchmark flags]
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvel.h"
#include "orvel_sync.h"

namespace {

std::size_t g_max = 1000000;

struct Synced {
  orvel_store *store = orvel_create();
  orvel_journal *journal = orvel_sync_create(store);
  ~Synced() {
    orvel_sync_destroy(journal);
    orvel_destroy(store);
  }
};

std::string id_of(const char *prefix, std::size_t i) { return prefix + std::to_string(i); }

// A journal holding `held` operations, accepted and waiting for a refresh
// (the state that piles up between refreshes).
void fill(Synced &s, std::size_t held) {
  for (std::size_t i = 0; i < held; ++i) {
    const std::string id = id_of("held-", i);
    orvel_sync_set(s.journal, 1, "track", id.c_str(), "A title", "An artist");
    int64_t op = 0;
    orvel_sync_free(orvel_sync_next_request(s.journal, nullptr, &op));
    orvel_sync_report(s.journal, op, ORVEL_SYNC_ACCEPTED);
  }
}

// One cycle on one entry that leaves the journal and the store as they were:
// an intent to add, its request, and the request refused (so the entry is
// taken back out of the store).
void BM_sync_cycle(benchmark::State &state) {
  Synced s;
  fill(s, static_cast<std::size_t>(state.range(0)));
  const std::vector<std::string> ids = {"x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7"};
  std::size_t k = 0;
  for (auto _ : state) {
    const char *id = ids[k++ & 7].c_str();
    int64_t op = 0;
    if (orvel_sync_set(s.journal, 1, "album", id, "Title", "Artist") <= 0) std::abort();
    orvel_sync_free(orvel_sync_next_request(s.journal, nullptr, &op));
    orvel_sync_report(s.journal, op, ORVEL_SYNC_REJECTED);
  }
  if (orvel_sync_count(s.journal, ORVEL_SYNC_HELD) != state.range(0)) std::abort();
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// The same cycle's unavoidable work: the toggle in, the request, the toggle out.
void BM_sync_cycle_baseline(benchmark::State &state) {
  orvel_store *store = orvel_create();
  for (std::size_t i = 0; i < static_cast<std::size_t>(state.range(0)); ++i) {
    orvel_apply_local_toggle(store, "track", id_of("held-", i).c_str(), "A title", "An artist");
  }
  const std::vector<std::string> ids = {"x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7"};
  std::size_t k = 0;
  for (auto _ : state) {
    const char *id = ids[k++ & 7].c_str();
    orvel_apply_local_toggle(store, "album", id, "Title", "Artist");
    orvel_free(orvel_build_wish_request_json(nullptr, 1, "album", id, "Title", "Artist"));
    orvel_apply_local_toggle(store, "album", id, nullptr, nullptr);
  }
  orvel_destroy(store);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// A list response of n entries in the "items" shape.
std::string list_of(std::size_t n) {
  std::string text = "{\"total\":" + std::to_string(n) + ",\"items\":[";
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) text += ',';
    text += R"({"kind":"track","itemId":"listed-)" + std::to_string(i) +
            R"(","title":"A title of some length","artist":"An artist"})";
  }
  return text + "]}";
}

// A refresh of an n-entry list by a journal holding `held` unsent additions
// (each shown again after the load), against liborvel's load of the list.
void BM_sync_load(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0)), held = static_cast<std::size_t>(state.range(1));
  const std::string list = list_of(n);
  Synced s;
  for (std::size_t i = 0; i < held; ++i) {
    orvel_sync_set(s.journal, 1, "album", id_of("mine-", i).c_str(), "Title", "Artist");
  }
  for (auto _ : state) {
    const int32_t count = orvel_sync_load(s.journal, orvel_sync_begin_refresh(s.journal), list.data(), list.size());
    if (count != static_cast<int32_t>(n + held)) std::abort();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.size()));
}

void BM_core_load(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string list = list_of(n);
  orvel_store *store = orvel_create();
  for (auto _ : state) {
    if (orvel_load_mine_json(store, list.data(), list.size()) != static_cast<int32_t>(n)) std::abort();
  }
  orvel_destroy(store);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * list.size()));
}

// --- Many intents held at once, removals against additions ---------------------

// A journal over a store that holds the n-entry list, loaded through it.
void load_list(Synced &s, const std::string &list) {
  if (orvel_sync_load(s.journal, orvel_sync_begin_refresh(s.journal), list.data(), list.size()) < 0) std::abort();
}

// Intent i: the list's i-th entry removed, or a new entry added.
void set_intent(Synced &s, std::size_t i, bool removal) {
  const int64_t id = removal ? orvel_sync_set(s.journal, 0, "track", id_of("listed-", i).c_str(), nullptr, nullptr)
                             : orvel_sync_set(s.journal, 1, "album", id_of("mine-", i).c_str(), "Title", "Artist");
  if (id <= 0) std::abort();
}

// n intents set over a store of the n-entry list: each of its entries
// removed (range 1 is 1), or as many new ones added (0). Timed: the sets.
void BM_sync_set_many(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const bool removals = state.range(1) != 0;
  const std::string list = list_of(n);
  for (auto _ : state) {
    Synced s;
    load_list(s, list);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < n; ++i) set_intent(s, i, removals);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// A refresh of the n-entry list by a journal holding n unsent intents of
// either kind, each shown again after the load.
void BM_sync_load_many(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const bool removals = state.range(1) != 0;
  const std::string list = list_of(n);
  Synced s;
  load_list(s, list);
  for (std::size_t i = 0; i < n; ++i) set_intent(s, i, removals);
  const auto shown = static_cast<int32_t>(removals ? 0 : 2 * n);
  for (auto _ : state) {
    if (orvel_sync_load(s.journal, orvel_sync_begin_refresh(s.journal), list.data(), list.size()) != shown) {
      std::abort();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// Restoring a saved journal of n unsent intents of either kind into a new
// journal over the store as the app reloads it at start-up (the list): the
// restore shows every intent. Timed: the restore.
void BM_sync_restore_many(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const bool removals = state.range(1) != 0;
  const std::string list = list_of(n);
  std::string saved;
  {
    Synced s;
    load_list(s, list);
    for (std::size_t i = 0; i < n; ++i) set_intent(s, i, removals);
    char *text = orvel_sync_export(s.journal);
    saved = text;
    orvel_sync_free(text);
  }
  for (auto _ : state) {
    Synced s;
    if (orvel_load_mine_json(s.store, list.data(), list.size()) != static_cast<int32_t>(n)) std::abort();
    const auto start = std::chrono::steady_clock::now();
    const int32_t held = orvel_sync_restore(s.journal, saved.data(), saved.size());
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (held != static_cast<int32_t>(n)) std::abort();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// A journal of n operations in every state, and its saved text.
struct Saved {
  Synced s;
  std::string text;
  explicit Saved(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      orvel_sync_set(s.journal, i % 3 != 0, "track", id_of("t-", i).c_str(), i % 3 != 0 ? "A title" : nullptr,
                     i % 3 != 0 ? "An artist" : nullptr);
      if (i % 2 == 0) {
        int64_t op = 0;
        orvel_sync_free(orvel_sync_next_request(s.journal, nullptr, &op));
        if (i % 4 == 0) orvel_sync_report(s.journal, op, ORVEL_SYNC_ACCEPTED);
      }
    }
    char *t = orvel_sync_export(s.journal);
    text = t;
    orvel_sync_free(t);
  }
};

void BM_sync_export(benchmark::State &state) {
  Saved saved(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) orvel_sync_free(orvel_sync_export(saved.s.journal));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

// yyjson writing the same document: parsed once into a mutable copy, then
// copied and written each time (building the document is part of writing it).
void BM_yyjson_write(benchmark::State &state) {
  Saved saved(static_cast<std::size_t>(state.range(0)));
  yyjson_doc *doc = yyjson_read(saved.text.data(), saved.text.size(), 0);
  for (auto _ : state) {
    yyjson_mut_doc *copy = yyjson_doc_mut_copy(doc, nullptr);
    std::free(yyjson_mut_write(copy, 0, nullptr));
    yyjson_mut_doc_free(copy);
  }
  yyjson_doc_free(doc);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

void BM_sync_restore(benchmark::State &state) {
  Saved saved(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    orvel_journal *fresh = orvel_sync_create(saved.s.store);
    state.ResumeTiming();
    if (orvel_sync_restore(fresh, saved.text.data(), saved.text.size()) < 0) std::abort();
    state.PauseTiming();
    orvel_sync_destroy(fresh);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

// yyjson reading the same document: the parse, and a walk over every value
// of every operation (what any reader of it must at least do).
void BM_yyjson_read(benchmark::State &state) {
  Saved saved(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    yyjson_doc *doc = yyjson_read(saved.text.data(), saved.text.size(), 0);
    std::size_t touched = 0, idx = 0, max = 0, i = 0, n = 0;
    yyjson_val *op = nullptr, *key = nullptr, *val = nullptr;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "operations"), idx, max, op) {
      yyjson_obj_foreach(op, i, n, key, val) touched += yyjson_get_len(key) + yyjson_get_len(val);
    }
    benchmark::DoNotOptimize(touched);
    yyjson_doc_free(doc);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

void held_sizes(benchmark::internal::Benchmark *b) {
  for (std::int64_t h : {0, 100, 1000, 10000, 100000}) {
    if (static_cast<std::size_t>(h) <= g_max) b->Arg(h);
  }
}

void load_sizes(benchmark::internal::Benchmark *b) {
  for (std::int64_t n : {1000, 10000, 100000}) {
    for (std::int64_t held : {0, 10, 100, 1000}) {
      if (static_cast<std::size_t>(n) <= g_max) b->Args({n, held});
    }
  }
}

void core_sizes(benchmark::internal::Benchmark *b) {
  for (std::int64_t n : {1000, 10000, 100000}) {
    if (static_cast<std::size_t>(n) <= g_max) b->Arg(n);
  }
}

void many_sizes(benchmark::internal::Benchmark *b) {
  for (std::int64_t n : {1000, 10000, 100000}) {
    for (std::int64_t removals : {0, 1}) {
      if (static_cast<std::size_t>(n) <= g_max) b->Args({n, removals});
    }
  }
}

void journal_sizes(benchmark::internal::Benchmark *b) {
  for (std::int64_t n : {1000, 10000}) {
    if (static_cast<std::size_t>(n) <= g_max) b->Arg(n);
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--max-entries=", 14) == 0) {
      g_max = std::strtoull(argv[i] + 14, nullptr, 10);
    } else {
      args.push_back(argv[i]);
    }
  }
  benchmark::RegisterBenchmark("sync_cycle", BM_sync_cycle)->Apply(held_sizes);
  benchmark::RegisterBenchmark("sync_cycle_baseline", BM_sync_cycle_baseline)->Apply(held_sizes);
  benchmark::RegisterBenchmark("sync_load", BM_sync_load)->Apply(load_sizes);
  benchmark::RegisterBenchmark("sync_core_load", BM_core_load)->Apply(core_sizes);
  benchmark::RegisterBenchmark("sync_export", BM_sync_export)->Apply(journal_sizes);
  benchmark::RegisterBenchmark("sync_yyjson_write", BM_yyjson_write)->Apply(journal_sizes);
  benchmark::RegisterBenchmark("sync_restore", BM_sync_restore)->Apply(journal_sizes);
  benchmark::RegisterBenchmark("sync_yyjson_read", BM_yyjson_read)->Apply(journal_sizes);
  benchmark::RegisterBenchmark("sync_set_many", BM_sync_set_many)->Apply(many_sizes)->UseManualTime();
  benchmark::RegisterBenchmark("sync_load_many", BM_sync_load_many)->Apply(many_sizes);
  benchmark::RegisterBenchmark("sync_restore_many", BM_sync_restore_many)->Apply(many_sizes)->UseManualTime();
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
