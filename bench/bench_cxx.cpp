// SPDX-License-Identifier: MIT
// What orvel.hpp costs over the C functions and yyjson used by hand, in one
// process: iterating over a store's entries (the export read by yyjson, each
// element's four members) against the same done directly, and has() (with a
// std::string id, and with a view, which is copied) against
// orvel_is_wished on the same queries, both on one store. Prints each pair's
// ratio of CPU times at the end (the median of the repetitions of each side).
//
//   orvel_cxx_bench [--max-entries=N] [benchmark flags]
//   (scripts use --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true)
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "orvel.hpp"
#include "responses.h"

namespace {

std::size_t g_max = 100000;

orvel::Wishlist loaded(std::size_t n) {
  orvel::Wishlist wishes;
  if (wishes.load(bench::make_shape_response(bench::Shape::items, n)) <= 0) std::abort();
  return wishes;
}

// Every entry through the C++ snapshot.
void BM_cxx_iterate(benchmark::State &state) {
  const orvel::Wishlist wishes = loaded(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::size_t touched = 0;
    for (const orvel::Entry entry : wishes.entries()) {
      touched += static_cast<std::size_t>(entry.kind) + entry.item_id.size() + entry.title.size() +
                 entry.artist.size();
    }
    benchmark::DoNotOptimize(touched);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The baseline: the C export read by yyjson, each element's four members
// looked up by name.
void BM_yyjson_iterate(benchmark::State &state) {
  const orvel::Wishlist wishes = loaded(static_cast<std::size_t>(state.range(0)));
  const orvel_store *store = wishes.native_handle();
  for (auto _ : state) {
    char *json = orvel_export_json(store);
    yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
    std::size_t touched = 0, idx = 0, max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "items"), idx, max, item) {
      touched += yyjson_get_len(yyjson_obj_get(item, "kind")) + yyjson_get_len(yyjson_obj_get(item, "itemId")) +
                 yyjson_get_len(yyjson_obj_get(item, "title")) + yyjson_get_len(yyjson_obj_get(item, "artist"));
    }
    benchmark::DoNotOptimize(touched);
    yyjson_doc_free(doc);
    orvel_free(json);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

struct Query {
  orvel::Kind kind;
  std::string kind_text;
  std::string id;
};

// 65,536 present identities in a random order (or all of them).
std::vector<Query> queries_of(const orvel::Wishlist &wishes) {
  std::vector<Query> queries;
  for (const orvel::Entry entry : wishes.entries()) {
    queries.push_back({entry.kind, std::string(orvel::to_string(entry.kind)), std::string(entry.item_id)});
  }
  std::mt19937_64 rng(7);
  std::shuffle(queries.begin(), queries.end(), rng);
  if (queries.size() > (1u << 16)) queries.resize(1u << 16);
  return queries;
}

// has() with the std::string id, or (View) through the std::string_view
// overload, which copies the id.
template <bool View>
void BM_cxx_has(benchmark::State &state) {
  const orvel::Wishlist wishes = loaded(static_cast<std::size_t>(state.range(0)));
  const std::vector<Query> queries = queries_of(wishes);
  std::size_t i = 0;
  for (auto _ : state) {
    const Query &q = queries[i];
    if constexpr (View) {
      benchmark::DoNotOptimize(wishes.has(q.kind, std::string_view(q.id)));
    } else {
      benchmark::DoNotOptimize(wishes.has(q.kind, q.id));
    }
    if (++i == queries.size()) i = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_c_is_wished(benchmark::State &state) {
  const orvel::Wishlist wishes = loaded(static_cast<std::size_t>(state.range(0)));
  const std::vector<Query> queries = queries_of(wishes);
  const orvel_store *store = wishes.native_handle();
  std::size_t i = 0;
  for (auto _ : state) {
    const Query &q = queries[i];
    benchmark::DoNotOptimize(orvel_is_wished(store, q.kind_text.c_str(), q.id.c_str()));
    if (++i == queries.size()) i = 0;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The console's report, and each run's time kept to print the ratios after.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    // CPU time: the machine's other work then weighs least. With repetitions
    // reported as aggregates only, the median aggregate stands for them.
    for (const Run &run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Iteration) {
        times_[run.run_name.str()].push_back(run.GetAdjustedCPUTime());
      } else if (run.aggregate_name == "median") {
        times_[run.run_name.str()] = {run.GetAdjustedCPUTime()};
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_ratio(const std::string &name, const std::string &baseline) {
    const double a = median(name), b = median(baseline);
    if (a > 0 && b > 0) std::printf("ratio %s / %s: %.3f\n", name.c_str(), baseline.c_str(), a / b);
  }

 private:
  double median(const std::string &name) {
    std::vector<double> &t = times_[name];
    if (t.empty()) return 0;
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
  }
  std::map<std::string, std::vector<double>> times_;
};

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
  std::vector<std::int64_t> sizes;
  for (std::int64_t n : {1000, 100000}) {
    if (static_cast<std::size_t>(n) <= g_max) sizes.push_back(n);
  }
  for (std::int64_t n : sizes) {
    benchmark::RegisterBenchmark("cxx_iterate", BM_cxx_iterate)->Arg(n);
    benchmark::RegisterBenchmark("yyjson_iterate", BM_yyjson_iterate)->Arg(n);
    benchmark::RegisterBenchmark("cxx_has", BM_cxx_has<false>)->Arg(n);
    benchmark::RegisterBenchmark("cxx_has_view", BM_cxx_has<true>)->Arg(n);
    benchmark::RegisterBenchmark("c_is_wished", BM_c_is_wished)->Arg(n);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (std::int64_t n : sizes) {
    std::string size = "/";  // not "/" + ...: g++ 12 warns wrongly of an overlap there
    size += std::to_string(n);
    reporter.print_ratio("cxx_iterate" + size, "yyjson_iterate" + size);
    reporter.print_ratio("cxx_has" + size, "c_is_wished" + size);
    reporter.print_ratio("cxx_has_view" + size, "c_is_wished" + size);
  }
  benchmark::Shutdown();
  return 0;
}
