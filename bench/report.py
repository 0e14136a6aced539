#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints the benchmark results as Markdown tables: each operation next to
its baseline (the JSON work it cannot avoid) and next to the peer (yyjson with
an absl::flat_hash_map), time per entry from 100 to 1,000,000 entries, and
peak memory; with --plots DIR, also draws them as PNG pictures in DIR.

    report.py [--plots DIR] BENCH_JSON... [PEAK_JSON_LINES]

Several benchmark outputs (one per process) are merged; a benchmark found in
several (rounds of the same sizes) reports the median of their medians. A
file ending in .jsonl holds the peak-memory lines.
"""
import json
import re
import sys

NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
SHAPES = ("items", "grouped", "compact")
# The copy baselines: how a store could keep each element's texts.
COPIES = (("load_copy_baseline", "+ four copies"), ("load_block_baseline", "+ one block"),
          ("load_arena_baseline", "+ arena"))
# Lookups asked of the library and of the peer, with the same queries.
LOOKUPS = (("is_wished_hit", "peer_contains_hit", "hit"), ("is_wished_miss", "peer_contains_miss", "miss"))


def load_results(paths):
    # A benchmark measured in several rounds (files) reports the median of
    # its rounds' medians.
    context, rounds = {}, {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for name, result in read_benchmarks(data).items():
            rounds.setdefault(name, []).append(result)
    results = {}
    for name, runs in rounds.items():
        runs = sorted(runs, key=lambda run: run["ns"])
        results[name] = runs[len(runs) // 2]
    return context, results


def read_benchmarks(data):
    # Repeated benchmarks report their median; the others their one run.
    results = {}
    for b in data["benchmarks"]:
        aggregate = b.get("run_type") == "aggregate"
        if aggregate and b.get("aggregate_name") != "median":
            continue
        name = re.sub(r"/repeats:\d+", "", b.get("run_name", b["name"])).removesuffix("/manual_time")
        if name in results and not aggregate:
            continue
        results[name] = {
            "ns": b["real_time"] * NS[b["time_unit"]],
            "items": b.get("items_per_second"),
            "bytes": b.get("bytes_per_second"),
        }
    return results


def sizes_of(results, prefix):
    return sorted(int(n.rsplit("/", 1)[1]) for n in results if n.startswith(prefix + "/"))


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def rate(value, unit):
    if not value:
        return "–"
    for prefix, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if value >= scale:
            return f"{value / scale:.3g} {prefix}{unit}/s"
    return f"{value:.3g} {unit}/s"


def fmt_bytes(n):
    for unit, scale in (("MB", 1e6), ("KiB", 1024)):
        if n >= scale:
            return f"{n / scale:.3g} {unit}"
    return f"{n} B"


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


class Results:
    def __init__(self, r):
        self.r = r

    def get(self, name, n=None):
        return self.r.get(name if n is None else f"{name}/{n}")

    def ratio(self, name, base, n):
        a, b = self.get(name, n), self.get(base, n)
        return a["ns"] / b["ns"] if a and b else None

    def per_call(self, name, n):
        # ns per item: per call for lookups, per entry for batches of toggles.
        res = self.get(name, n)
        return 1e9 / res["items"] if res and res["items"] else None

    def call_ratio(self, name, base, n):
        a, b = self.per_call(name, n), self.per_call(base, n)
        return a / b if a and b else None

    def per_element(self, name, n):
        res = self.get(name, n)
        return res["ns"] / n if res else None


def fmt_ratio(x, bold=False):
    if x is None:
        return "–"
    return f"**{x:.2f}**" if bold else f"{x:.2f}"


def worst(values):
    values = [v for v in values if v is not None]
    return max(values) if values else None


def summary(res, peaks):
    print("### Against the targets\n")
    rows = []
    big = (1000, 10000, 100000, 1000000)
    for shape in SHAPES:
        for op in ("load", "reload"):
            ratios = [res.ratio(f"{op}/{shape}", f"load_baseline/{shape}", n) for n in big]
            rows.append([f"{op}, {shape}", "parse and walk, 10^3 … 10^6", fmt_ratio(worst(ratios)),
                         " / ".join(fmt_ratio(x) for x in ratios)])
    all_sizes = sizes_of(res.r, "load/items")
    for op in ("load", "reload"):
        ratios = [res.ratio(f"{op}/{shape}", f"peer_{op}/{shape}", n) for shape in SHAPES for n in all_sizes]
        rows.append([op, f"peer {op}, every shape, 10^2 … 10^6", fmt_ratio(worst(ratios)),
                     "lowest " + fmt_ratio(min([x for x in ratios if x is not None], default=None))])
    for lib, peer, what in LOOKUPS:
        sizes = sizes_of(res.r, lib)
        ratios = [res.call_ratio(lib, peer, n) for n in sizes]
        rows.append([f"is_wished, {what}", f"peer lookup, {what}, 10^2 … 10^6", fmt_ratio(worst(ratios)),
                     " / ".join(fmt_ratio(x) for x in ratios)])
    ratios = [res.ratio("export", "export_baseline", n) for n in sizes_of(res.r, "export")]
    rows.append(["export", "build and write, 10^2 … 10^6", fmt_ratio(worst(ratios)),
                 " / ".join(fmt_ratio(x) for x in ratios)])
    for m in peaks:
        if m["what"] in ("load", "reload") and m["shape"] in SHAPES:
            rows.append([f"peak resident, {m['what']}, {m['shape']}", f"the response, {m['elements']:,} elements",
                         fmt_ratio(m["resident_ratio"]), f"{m['resident_peak_bytes'] / 1e6:.1f} MB"])
        elif m["what"] == "load":
            rows.append([f"memory kept, {m['shape']}", f"{m['elements']:,} elements read, {m['stored']} kept",
                         fmt_bytes(m["store_bytes"]), f"response {m['response_bytes'] / 1e6:.1f} MB"])
    table(["measure", "against", "worst", "at each size"], rows)


def load_tables(res):
    print("### Load (`orvel_load_mine_json`) and reload against parse-and-walk and the peer\n")
    rows = []
    for shape in SHAPES:
        for n in sizes_of(res.r, f"load/{shape}"):
            lib, base = res.get(f"load/{shape}", n), res.get(f"load_baseline/{shape}", n)
            reload, peer, peer_reload = (res.get(f"reload/{shape}", n), res.get(f"peer_load/{shape}", n),
                                         res.get(f"peer_reload/{shape}", n))
            rows.append([shape, f"{n:,}", fmt_time(lib["ns"]), fmt_time(base["ns"]) if base else "–",
                         fmt_ratio(res.ratio(f"load/{shape}", f"load_baseline/{shape}", n), True),
                         fmt_time(reload["ns"]) if reload else "–",
                         fmt_ratio(res.ratio(f"reload/{shape}", f"load_baseline/{shape}", n), True),
                         fmt_time(peer["ns"]) if peer else "–",
                         fmt_ratio(res.ratio(f"load/{shape}", f"peer_load/{shape}", n)),
                         fmt_time(peer_reload["ns"]) if peer_reload else "–",
                         fmt_ratio(res.ratio(f"reload/{shape}", f"peer_reload/{shape}", n)),
                         rate(lib["items"], "entries")])
    table(["shape", "elements", "load", "parse and walk", "load ratio", "reload", "reload ratio", "peer load",
           "load / peer", "peer reload", "reload / peer", "load rate"], rows)

    print("Copy baselines: parse-and-walk plus copies of each element's texts in three layouts, each as its "
          "ratio to parse-and-walk.\n")
    rows = []
    for shape in SHAPES:
        for n in sizes_of(res.r, f"load/{shape}"):
            rows.append([shape, f"{n:,}"] + [fmt_ratio(res.ratio(f"{name}/{shape}", f"load_baseline/{shape}", n))
                                             for name, _ in COPIES])
    table(["shape", "elements"] + [f"baseline {label}" for _, label in COPIES], rows)


def export_table(res):
    print("### Export (`orvel_export_json`) against build-and-write\n")
    rows = []
    for n in sizes_of(res.r, "export"):
        lib, base = res.get("export", n), res.get("export_baseline", n)
        rows.append([f"{n:,}", fmt_time(lib["ns"]), fmt_time(base["ns"]) if base else "–",
                     fmt_ratio(res.ratio("export", "export_baseline", n)),
                     rate(lib["items"], "entries"), rate(lib["bytes"], "B")])
    table(["elements loaded", "export", "baseline", "ratio", "entries", "bytes"], rows)


def call_tables(res):
    print("### Lookups against the peer, time per call\n")
    rows = []
    for n in sizes_of(res.r, "is_wished_hit"):
        row = [f"{n:,}"]
        for lib, peer, _ in LOOKUPS:
            a, b = res.per_call(lib, n), res.per_call(peer, n)
            row += [fmt_time(a) if a else "–", fmt_time(b) if b else "–", fmt_ratio(res.call_ratio(lib, peer, n), True)]
        rows.append(row)
    table(["entries", "is_wished hit", "peer hit", "ratio", "is_wished miss", "peer miss", "ratio"], rows)

    print("### Lookups and toggles, time per call\n")
    ops = ["is_wished_hit", "is_wished_hit_in_order", "is_wished_miss", "toggle_add", "toggle_remove_newest",
           "toggle_remove_random"]
    sizes = sizes_of(res.r, "is_wished_hit")
    rows = []
    for op in ops:
        row = [op] + [fmt_time(t) if (t := res.per_call(op, n)) else "–" for n in sizes]
        first, last = (res.per_call(op, sizes[0]), res.per_call(op, sizes[-1])) if sizes else (None, None)
        row.append(fmt_ratio(last / first) if first and last else "–")
        rows.append(row)
    table(["operation"] + [f"{n:,}" for n in sizes] + [f"{sizes[-1]:,} / {sizes[0]:,}" if sizes else "ratio"], rows)

    print("### Messages, time per call\n")
    table(["operation", "time"], [[op, fmt_time(res.get(op)["ns"])] for op in ("wish_request", "mine_url")
                                  if res.get(op)])


def peak_table(peaks):
    print("### Peak memory of one load (or reload), text included\n")
    rows = []
    for m in peaks:
        rows.append([m["what"], m["shape"], f"{m['elements']:,}", f"{m['response_bytes'] / 1e6:.1f} MB",
                     f"{m['heap_peak_bytes'] / 1e6:.1f} MB", f"{m['heap_ratio']:.2f}",
                     f"{m['resident_peak_bytes'] / 1e6:.1f} MB", f"{m['resident_ratio']:.2f}",
                     fmt_bytes(m["store_bytes"]) if m["what"] != "parse" else "–",
                     f"{m['store_bytes_per_entry']:.0f} B" if m["stored"] else "–"])
    table(["measure", "shape", "elements", "response", "heap peak", "× response", "resident peak",
           "× response", "store after", "store per entry"], rows)


def plot(res, directory):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    lines = (("load", "load", "-o"), ("reload", "reload", "-s"), ("load_baseline", "parse and walk", "--^"),
             ("peer_load", "peer load", ":o"), ("peer_reload", "peer reload", ":s"))
    fig, axes = plt.subplots(1, len(SHAPES), figsize=(15, 4.6), sharey=True)
    for ax, shape in zip(axes, SHAPES):
        for name, label, style in lines:
            sizes = sizes_of(res.r, f"{name}/{shape}")
            ax.plot(sizes, [res.per_element(f"{name}/{shape}", n) for n in sizes], style, label=label)
        ax.set_xscale("log")
        ax.set_title(f"{shape} shape")
        ax.set_xlabel("elements in the response")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("time per element (ns)")
    axes[0].set_ylim(bottom=0)
    axes[-1].legend()
    fig.suptitle("Load and reload against parse-and-walk and the peer (yyjson + absl::flat_hash_map)")
    fig.tight_layout()
    fig.savefig(f"{directory}/load.png", dpi=90)

    fig, ax = plt.subplots(figsize=(7.5, 4.6))
    for name, label, style in (("is_wished_hit", "is_wished, hit", "-o"), ("is_wished_miss", "is_wished, miss", "-s"),
                               ("peer_contains_hit", "peer, hit", ":o"), ("peer_contains_miss", "peer, miss", ":s")):
        sizes = sizes_of(res.r, name)
        ax.plot(sizes, [res.per_call(name, n) for n in sizes], style, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("entries in the store")
    ax.set_ylabel("time per lookup (ns)")
    ax.set_title("Lookups of random identities against the peer")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(f"{directory}/lookup.png", dpi=90)


def main():
    args = sys.argv[1:]
    plots = None
    if args[:1] == ["--plots"]:
        plots, args = args[1], args[2:]
    bench_files = [a for a in args if not a.endswith(".jsonl")]
    peaks = []
    for path in (a for a in args if a.endswith(".jsonl")):
        with open(path) as f:
            peaks += [json.loads(line) for line in f if line.strip()]
    context, r = load_results(bench_files)
    res = Results(r)
    print(f"Host: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz\n")
    summary(res, peaks)
    load_tables(res)
    export_table(res)
    call_tables(res)
    if peaks:
        peak_table(peaks)
    if plots:
        plot(res, plots)


if __name__ == "__main__":
    main()
