// SPDX-License-Identifier: MIT
// Benchmarks of the library against the JSON library's own speed: each
// store operation next to a baseline that does only the JSON work it cannot
// avoid, on generated responses of 100 to 1,000,000 elements.
//
//   orvel_bench [--max-entries=N] [benchmark flags]
//
// --max-entries leaves out the larger sizes (CI runs every benchmark once on
// small inputs to prove they work; scripts/bench runs them all, each several
// times in a random order so that what else the machine does weighs alike on
// the library and on what it is compared with, and reports medians).
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvel.h"
#include "peer_map.h"
#include "responses.h"

namespace {

using bench::Entry;
using bench::Shape;

constexpr std::size_t kSizes[] = {100, 1000, 10000, 100000, 1000000};

struct StoreDeleter {
  void operator()(orvel_store *s) const { orvel_destroy(s); }
};
using Store = std::unique_ptr<orvel_store, StoreDeleter>;

// Responses are generated once per shape and size and shared by the benchmarks.
const std::string &response(Shape shape, std::size_t n) {
  static std::map<std::pair<int, std::size_t>, std::string> cache;
  auto &text = cache[{static_cast<int>(shape), n}];
  if (text.empty()) text = bench::make_shape_response(shape, n);
  return text;
}

Store loaded_store(std::size_t n) {
  Store store(orvel_create());
  const std::string &text = response(Shape::items, n);
  if (orvel_load_mine_json(store.get(), text.data(), text.size()) < 0) std::abort();
  return store;
}

// The entries a store holds, as unescaped texts, read back from its export.
std::vector<Entry> stored_entries(const orvel_store *store) {
  char *text = orvel_export_json(store);
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  std::vector<Entry> entries;
  yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(doc), "items");
  std::size_t idx = 0;
  std::size_t max = 0;
  yyjson_val *obj = nullptr;
  yyjson_arr_foreach(items, idx, max, obj) {
    entries.push_back({yyjson_get_str(yyjson_obj_get(obj, "kind")),
                       yyjson_get_str(yyjson_obj_get(obj, "itemId")),
                       yyjson_get_str(yyjson_obj_get(obj, "title")),
                       yyjson_get_str(yyjson_obj_get(obj, "artist"))});
  }
  yyjson_doc_free(doc);
  orvel_free(text);
  return entries;
}

void set_rates(benchmark::State &state, std::size_t entries, std::size_t bytes) {
  const auto runs = static_cast<std::int64_t>(state.iterations());
  state.SetItemsProcessed(runs * static_cast<std::int64_t>(entries));
  if (bytes > 0) state.SetBytesProcessed(runs * static_cast<std::int64_t>(bytes));
}

// --- Load ------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The page faults the process has taken so far. A block the allocator gets
// fresh from the kernel faults on each page the first time it is written;
// on this kind of virtual machine that costs as much as parsing the page's
// text, so the counts tell a measure made on fresh memory from one made on
// memory the heap already had.
double page_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_minflt + usage.ru_majflt);
}

// Reports the faults per iteration since `since`, as "faults".
void set_faults(benchmark::State &state, double since) {
  state.counters["faults"] = benchmark::Counter(page_faults() - since, benchmark::Counter::kAvgIterations);
}

// A load into a new store, as an application makes at start-up. Creating and
// destroying the store are not timed.
void bm_load(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  int stored = 0;
  const double faults = page_faults();
  for (auto _ : state) {
    Store store(orvel_create());
    const auto start = Clock::now();
    stored = orvel_load_mine_json(store.get(), text.data(), text.size());
    state.SetIterationTime(seconds_since(start));
  }
  set_faults(state, faults);
  set_rates(state, n, text.size());
  state.counters["stored"] = stored;
}

// A refresh: the store already holds the same response, whose entries the
// load releases before it is done.
void bm_reload(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  Store store(orvel_create());
  orvel_load_mine_json(store.get(), text.data(), text.size());
  const double faults = page_faults();
  for (auto _ : state) {
    benchmark::DoNotOptimize(orvel_load_mine_json(store.get(), text.data(), text.size()));
  }
  set_faults(state, faults);
  set_rates(state, n, text.size());
}

struct RootMember {
  std::string_view name;
  const char *default_kind;
};

constexpr RootMember kRootMembers[] = {
    {"items", nullptr},       {"wishes", nullptr},    {"track", "track"},   {"tracks", "track"},
    {"album", "album"},       {"albums", "album"},    {"artist", "artist"}, {"artists", "artist"},
    {"playlist", "playlist"}, {"playlists", "playlist"}};

yyjson_val *member(yyjson_val *obj, std::string_view name) {
  return yyjson_obj_getn(obj, name.data(), name.size());
}

// How a copy baseline keeps each element's texts: four malloc'd copies (the
// store's layout until one block per entry), one block per element holding
// all of them, or bump copies into 1 MiB chunks (an arena).
enum class Copies { none, four, block, arena };

struct Copier {
  Copies mode = Copies::none;
  std::vector<char *> blocks;
  char *chunk = nullptr;
  std::size_t room = 0;

  char *arena(std::size_t size) {
    if (size > room) {
      room = std::max<std::size_t>(size, 1 << 20);
      chunk = static_cast<char *>(std::malloc(room));
      blocks.push_back(chunk);
    }
    char *at = chunk;
    chunk += size;
    room -= size;
    return at;
  }
  void keep(const char *texts[4]) {
    std::size_t lens[4];
    std::size_t total = 0;
    for (int i = 0; i < 4; ++i) total += (lens[i] = std::strlen(texts[i])) + 1;
    if (mode == Copies::four) {
      for (int i = 0; i < 4; ++i) {
        auto *c = static_cast<char *>(std::malloc(lens[i] + 1));
        std::memcpy(c, texts[i], lens[i] + 1);
        blocks.push_back(c);
      }
      return;
    }
    char *at = mode == Copies::block ? static_cast<char *>(std::malloc(total + 12)) : arena(total + 12);
    if (mode == Copies::block) blocks.push_back(at);
    at += 12;
    for (int i = 0; i < 4; ++i) {
      std::memcpy(at, texts[i], lens[i] + 1);
      at += lens[i] + 1;
    }
  }
  void release() {
    for (char *b : blocks) std::free(b);
    blocks.clear();
    chunk = nullptr;
    room = 0;
  }
};

// The members the loader reads of one element: kind (null for a string
// element or when absent: the array's default kind then applies), itemId or
// id (the string element itself), title and artist (null when absent).
struct Element {
  yyjson_val *kind;
  yyjson_val *id;
  yyjson_val *title;
  yyjson_val *artist;
};

// Reads what the loader reads of one array, and nothing more, and hands each
// element to visit(element, default_kind). String elements count only under
// a default kind.
template <class Visit>
void walk_array(yyjson_val *arr, const char *default_kind, Visit &&visit) {
  std::size_t idx = 0;
  std::size_t max = 0;
  yyjson_val *el = nullptr;
  yyjson_arr_foreach(arr, idx, max, el) {
    if (yyjson_is_str(el)) {
      if (default_kind != nullptr) visit(Element{nullptr, el, nullptr, nullptr}, default_kind);
    } else if (yyjson_is_obj(el)) {
      yyjson_val *id = member(el, "itemId");
      if (!yyjson_is_str(id)) id = member(el, "id");
      visit(Element{member(el, "kind"), id, member(el, "title"), member(el, "artist")}, default_kind);
    }
  }
}

// Parses the text and hands each array the loader reads to
// visit(array, default_kind), in the loader's order.
template <class Visit>
void parse_and_visit(const std::string &text, Visit &&visit) {
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_arr(root)) visit(root, nullptr);
  for (const RootMember &m : kRootMembers) {
    if (yyjson_is_obj(root)) visit(member(root, m.name), m.default_kind);
  }
  yyjson_doc_free(doc);
}

// The baseline: every member read, its length summed so nothing is skipped;
// with a copier, the texts are also kept as the copier's layout does.
std::size_t parse_and_walk(const std::string &text, Copier *copier) {
  std::size_t sink = 0;
  const auto element = [&](const Element &e, const char *default_kind) {
    sink += yyjson_get_len(e.kind) + yyjson_get_len(e.id) + yyjson_get_len(e.title) + yyjson_get_len(e.artist);
    if (copier != nullptr) {
      const char *texts[4] = {e.kind != nullptr ? yyjson_get_str(e.kind) : default_kind, yyjson_get_str(e.id),
                              e.title != nullptr ? yyjson_get_str(e.title) : "",
                              e.artist != nullptr ? yyjson_get_str(e.artist) : ""};
      copier->keep(texts);
    }
  };
  parse_and_visit(text, [&](yyjson_val *arr, const char *default_kind) { walk_array(arr, default_kind, element); });
  return sink;
}

std::string_view text_of(yyjson_val *v) {
  return yyjson_is_str(v) ? std::string_view(yyjson_get_str(v), yyjson_get_len(v)) : std::string_view();
}

// The peer's load: the same parse and walk, each array's elements inserted
// into the map by the loader's rules after reserving room for all of them.
void peer_load(bench::PeerMap &map, const std::string &text) {
  parse_and_visit(text, [&](yyjson_val *arr, const char *default_kind) {
    map.reserve(map.size() + yyjson_arr_size(arr));
    walk_array(arr, default_kind, [&](const Element &e, const char *dk) {
      if (!yyjson_is_str(e.id)) return;
      const int kind = yyjson_is_str(e.kind) ? bench::peer_kind(text_of(e.kind)) : dk ? bench::peer_kind(dk) : -1;
      bench::peer_insert(map, kind, text_of(e.id), text_of(e.title), text_of(e.artist));
    });
  });
}

void bm_load_baseline(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  const double faults = page_faults();
  for (auto _ : state) benchmark::DoNotOptimize(parse_and_walk(text, nullptr));
  set_faults(state, faults);
  set_rates(state, n, text.size());
}

// The same on warm memory, as a load's own parse runs: a load frees its
// document while the store's new blocks stand above it in the heap, so the
// next parse gets the same pages back. Here a small block allocated above one
// document before it is freed does the same: without it the freed document
// is the top of the heap, which the allocator may give back to the kernel,
// and every parse then faults its pages in anew.
void bm_load_baseline_warm(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  yyjson_doc *first = yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr);
  void *above = std::malloc(64);
  yyjson_doc_free(first);
  const double faults = page_faults();
  for (auto _ : state) benchmark::DoNotOptimize(parse_and_walk(text, nullptr));
  set_faults(state, faults);
  std::free(above);
  set_rates(state, n, text.size());
}

// The same on fresh memory: before each parse (off the clock) the allocator
// gives back to the kernel all it can, so the document's pages fault in anew,
// as a first load's do. Shows what the heap's state is worth.
void bm_load_baseline_fresh(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  const double faults = page_faults();
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    state.ResumeTiming();
    benchmark::DoNotOptimize(parse_and_walk(text, nullptr));
  }
  set_faults(state, faults);
  set_rates(state, n, text.size());
}

// The parse alone, without the walk: less than a load must do (it must read
// the members), shown so that a ratio against it is not taken for one
// against parse-and-walk.
void bm_parse_only(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  const double faults = page_faults();
  for (auto _ : state) {
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, nullptr);
    benchmark::DoNotOptimize(yyjson_doc_get_val_count(doc));
    yyjson_doc_free(doc);
  }
  set_faults(state, faults);
  set_rates(state, n, text.size());
}

// The baseline plus copies of each element's texts in one of the layouts,
// released after the clock stops, as a new store's are.
void bm_load_copy_baseline(benchmark::State &state, Shape shape, std::size_t n, Copies mode) {
  const std::string &text = response(shape, n);
  Copier copier{mode, {}, nullptr, 0};
  copier.blocks.reserve(4 * n);
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(parse_and_walk(text, &copier));
    state.SetIterationTime(seconds_since(start));
    copier.release();
  }
  set_rates(state, n, text.size());
}

// The peer's load into a new map, timed as bm_load times the library's: the
// map is made and destroyed off the clock.
void bm_peer_load(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  std::size_t stored = 0;
  for (auto _ : state) {
    bench::PeerMap map;
    const auto start = Clock::now();
    peer_load(map, text);
    state.SetIterationTime(seconds_since(start));
    stored = map.size();
  }
  set_rates(state, n, text.size());
  state.counters["stored"] = static_cast<double>(stored);
}

// The peer's refresh, all or nothing as the library's: a new map is filled,
// then takes the old one's place, which is released.
void bm_peer_reload(benchmark::State &state, Shape shape, std::size_t n) {
  const std::string &text = response(shape, n);
  bench::PeerMap map;
  peer_load(map, text);
  for (auto _ : state) {
    bench::PeerMap fresh;
    peer_load(fresh, text);
    map.swap(fresh);
  }
  set_rates(state, n, text.size());
}

// --- Export ----------------------------------------------------------------------

void bm_export(benchmark::State &state, std::size_t n) {
  Store store = loaded_store(n);
  std::size_t bytes = 0;
  for (auto _ : state) {
    char *text = orvel_export_json(store.get());
    bytes = std::strlen(text);
    orvel_free(text);
  }
  set_rates(state, static_cast<std::size_t>(orvel_count(store.get())), bytes);
}

// The same document built from plain vectors of texts and written.
void bm_export_baseline(benchmark::State &state, std::size_t n) {
  const std::vector<Entry> entries = stored_entries(loaded_store(n).get());
  std::size_t bytes = 0;
  for (auto _ : state) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_obj_add_uint(doc, root, "total", entries.size());
    yyjson_mut_val *items = yyjson_mut_arr(doc);
    yyjson_mut_obj_add_val(doc, root, "items", items);
    for (const Entry &e : entries) {
      yyjson_mut_val *obj = yyjson_mut_obj(doc);
      yyjson_mut_obj_add_strcpy(doc, obj, "kind", e.kind.c_str());
      yyjson_mut_obj_add_strcpy(doc, obj, "itemId", e.id.c_str());
      yyjson_mut_obj_add_strcpy(doc, obj, "title", e.title.c_str());
      yyjson_mut_obj_add_strcpy(doc, obj, "artist", e.artist.c_str());
      yyjson_mut_arr_append(items, obj);
    }
    std::size_t len = 0;
    char *text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
    bytes = len;
    std::free(text);
    yyjson_mut_doc_free(doc);
  }
  set_rates(state, entries.size(), bytes);
}

// --- Lookups and toggles ------------------------------------------------------------

// Queries in a shuffled order, so a large store is not read front to back.
std::vector<Entry> shuffled(std::vector<Entry> entries, std::size_t limit) {
  std::mt19937_64 rng(7);
  std::shuffle(entries.begin(), entries.end(), rng);
  if (entries.size() > limit) entries.resize(limit);
  return entries;
}

std::vector<Entry> absent_entries(std::size_t count) {
  std::mt19937_64 rng(99);
  std::vector<Entry> entries;
  for (std::size_t i = 0; i < count; ++i) entries.push_back({"track", "absent" + bench::random_id(rng), "", ""});
  return entries;
}

enum class Query { hit_random, hit_in_order, miss };

// 65,536 queries (or one per entry): present ones in random or store order,
// or absent ones.
std::vector<Entry> queries_for(const orvel_store *store, Query query) {
  constexpr std::size_t kQueries = 1 << 16;
  if (query == Query::miss) return absent_entries(kQueries);
  std::vector<Entry> queries = stored_entries(store);
  return query == Query::hit_random ? shuffled(std::move(queries), kQueries) : queries;
}

void bm_is_wished(benchmark::State &state, std::size_t n, Query query) {
  Store store = loaded_store(n);
  const std::vector<Entry> queries = queries_for(store.get(), query);
  std::size_t i = 0;
  for (auto _ : state) {
    const Entry &q = queries[i];
    benchmark::DoNotOptimize(orvel_is_wished(store.get(), q.kind.c_str(), q.id.c_str()));
    if (++i == queries.size()) i = 0;
  }
  set_rates(state, 1, 0);
}

// The same queries asked of the peer's map, loaded from the same response.
void bm_peer_contains(benchmark::State &state, std::size_t n, Query query) {
  bench::PeerMap map;
  peer_load(map, response(Shape::items, n));
  const std::vector<Entry> queries = queries_for(loaded_store(n).get(), query);
  std::size_t i = 0;
  for (auto _ : state) {
    const Entry &q = queries[i];
    benchmark::DoNotOptimize(bench::peer_contains(map, q.kind.c_str(), q.id.c_str()));
    if (++i == queries.size()) i = 0;
  }
  set_rates(state, 1, 0);
}

// Adds a batch of new entries (timed), then takes them away again (not timed),
// so every batch meets a store of n entries.
void bm_toggle_add(benchmark::State &state, std::size_t n) {
  Store store = loaded_store(n);
  const std::vector<Entry> batch = absent_entries(256);
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const Entry &e : batch) {
      benchmark::DoNotOptimize(orvel_apply_local_toggle(store.get(), e.kind.c_str(), e.id.c_str(), "T", "A"));
    }
    state.SetIterationTime(seconds_since(start));
    for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
      orvel_apply_local_toggle(store.get(), it->kind.c_str(), it->id.c_str(), "", "");
    }
  }
  set_rates(state, batch.size(), 0);
}

// Removes entries (timed) and puts them back (not timed). newest: the
// entries most recently added (the ones just put back, still in cache);
// otherwise entries at random positions: the next batch of one random order
// of them all, drawn once (drawing a new order of a million entries for each
// batch would take far longer than the batch).
void bm_toggle_remove(benchmark::State &state, std::size_t n, bool newest) {
  Store store = loaded_store(n);
  std::vector<Entry> all = stored_entries(store.get());
  const std::size_t batch_size = std::min<std::size_t>(newest ? 256 : 32, all.size() / 2);
  std::mt19937_64 rng(3);
  if (!newest) std::shuffle(all.begin(), all.end(), rng);
  std::size_t next = 0;
  for (auto _ : state) {
    std::vector<Entry> batch;
    if (newest) {
      batch.assign(all.end() - static_cast<std::ptrdiff_t>(batch_size), all.end());
      std::reverse(batch.begin(), batch.end());
    } else {
      if (next + batch_size > all.size()) next = 0;
      batch.assign(all.begin() + static_cast<std::ptrdiff_t>(next),
                   all.begin() + static_cast<std::ptrdiff_t>(next + batch_size));
      next += batch_size;
    }
    const auto start = Clock::now();
    for (const Entry &e : batch) {
      benchmark::DoNotOptimize(orvel_apply_local_toggle(store.get(), e.kind.c_str(), e.id.c_str(), "", ""));
    }
    state.SetIterationTime(seconds_since(start));
    for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
      orvel_apply_local_toggle(store.get(), it->kind.c_str(), it->id.c_str(), it->title.c_str(), it->artist.c_str());
    }
  }
  set_rates(state, batch_size, 0);
}

enum class Order { newest, oldest, random };

// Removes three quarters of a loaded store's entries (timed), newest first,
// oldest first or in a random order, with the compactions and squeezes they
// cause; the store is loaded again off the clock. Every lookup goes to
// memory alike, so the orders differ only in what a removal does.
void bm_remove_many(benchmark::State &state, std::size_t n, Order order) {
  const std::string &text = response(Shape::items, n);
  Store store = loaded_store(n);
  std::vector<Entry> doomed = stored_entries(store.get());
  if (order == Order::newest) std::reverse(doomed.begin(), doomed.end());
  std::mt19937_64 rng(5);
  if (order == Order::random) std::shuffle(doomed.begin(), doomed.end(), rng);
  doomed.resize(doomed.size() * 3 / 4);
  for (auto _ : state) {
    const auto start = Clock::now();
    for (const Entry &e : doomed) {
      benchmark::DoNotOptimize(orvel_apply_local_toggle(store.get(), e.kind.c_str(), e.id.c_str(), "", ""));
    }
    state.SetIterationTime(seconds_since(start));
    orvel_load_mine_json(store.get(), text.data(), text.size());
  }
  set_rates(state, doomed.size(), 0);
}

// --- Messages --------------------------------------------------------------------------

void bm_wish_request(benchmark::State &state) {
  for (auto _ : state) {
    char *text = orvel_build_wish_request_json(nullptr, 1, "track", "6rqhFgbbKwnb9MLmUQDhG6",
                                               "Nöel \"Live\" at the Café", "Artíst");
    orvel_free(text);
  }
  set_rates(state, 1, 0);
}

void bm_mine_url(benchmark::State &state) {
  for (auto _ : state) orvel_free(orvel_build_mine_url("https://wishlist.example.com"));
  set_rates(state, 1, 0);
}

std::string size_name(std::size_t n) { return std::to_string(n); }

void register_all(std::size_t max_entries) {
  for (const std::size_t n : kSizes) {
    if (n > max_entries) continue;
    const auto add = [](const std::string &name, auto fn, auto... args) {
      return benchmark::RegisterBenchmark(name.c_str(), fn, args...);
    };
    const std::string size = size_name(n);
    for (const Shape shape : {Shape::items, Shape::grouped, Shape::compact}) {
      const std::string suffix = std::string(bench::shape_name(shape)) + "/" + size;
      add("load/" + suffix, bm_load, shape, n)->Unit(benchmark::kMicrosecond)->UseManualTime();
      add("reload/" + suffix, bm_reload, shape, n)->Unit(benchmark::kMicrosecond);
      add("load_baseline/" + suffix, bm_load_baseline, shape, n)->Unit(benchmark::kMicrosecond);
      add("load_baseline_warm/" + suffix, bm_load_baseline_warm, shape, n)->Unit(benchmark::kMicrosecond);
      add("load_baseline_fresh/" + suffix, bm_load_baseline_fresh, shape, n)->Unit(benchmark::kMicrosecond);
      add("parse_only/" + suffix, bm_parse_only, shape, n)->Unit(benchmark::kMicrosecond);
      add("peer_load/" + suffix, bm_peer_load, shape, n)->Unit(benchmark::kMicrosecond)->UseManualTime();
      add("peer_reload/" + suffix, bm_peer_reload, shape, n)->Unit(benchmark::kMicrosecond);
      for (const auto &[name, mode] : {std::pair{"load_copy_baseline/", Copies::four},
                                       std::pair{"load_block_baseline/", Copies::block},
                                       std::pair{"load_arena_baseline/", Copies::arena}}) {
        add(name + suffix, bm_load_copy_baseline, shape, n, mode)
            ->Unit(benchmark::kMicrosecond)
            ->UseManualTime();
      }
    }
    add("export/" + size, bm_export, n)->Unit(benchmark::kMicrosecond);
    add("export_baseline/" + size, bm_export_baseline, n)->Unit(benchmark::kMicrosecond);
    add("is_wished_hit/" + size, bm_is_wished, n, Query::hit_random);
    add("is_wished_hit_in_order/" + size, bm_is_wished, n, Query::hit_in_order);
    add("is_wished_miss/" + size, bm_is_wished, n, Query::miss);
    add("peer_contains_hit/" + size, bm_peer_contains, n, Query::hit_random);
    add("peer_contains_miss/" + size, bm_peer_contains, n, Query::miss);
    add("toggle_add/" + size, bm_toggle_add, n)->UseManualTime();
    add("toggle_remove_newest/" + size, bm_toggle_remove, n, true)->UseManualTime();
    add("toggle_remove_random/" + size, bm_toggle_remove, n, false)->UseManualTime();
    add("remove_many_newest/" + size, bm_remove_many, n, Order::newest)->UseManualTime();
    add("remove_many_oldest/" + size, bm_remove_many, n, Order::oldest)->UseManualTime();
    add("remove_many_random/" + size, bm_remove_many, n, Order::random)->UseManualTime();
  }
  benchmark::RegisterBenchmark("wish_request", bm_wish_request);
  benchmark::RegisterBenchmark("mine_url", bm_mine_url);
}

}  // namespace

int main(int argc, char **argv) {
  std::size_t max_entries = kSizes[std::size(kSizes) - 1];
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.rfind("--max-entries=", 0) == 0) {
      max_entries = std::strtoull(argv[i] + std::strlen("--max-entries="), nullptr, 10);
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  register_all(max_entries);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
