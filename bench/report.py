#!/usr/bin/env python3
"""Prints the benchmark results as Markdown tables: each operation next to
its baseline, time per entry from 1,000 to 1,000,000 entries, and peak memory.

    report.py BENCH_JSON... [PEAK_JSON_LINES]

Several benchmark outputs (one per process) are merged; a file ending in
.jsonl holds the peak-memory lines.
"""
import json
import re
import sys

NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
SHAPES = ("items", "grouped", "compact")
# The copy baselines: how a store could keep each element's texts.
COPIES = (("load_copy_baseline", "+ four copies"), ("load_block_baseline", "+ one block"),
          ("load_arena_baseline", "+ arena"))


def load_results(paths):
    context, results = {}, {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        results.update(read_benchmarks(data))
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


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def per_entry_growth(results, name):
    small, large = results.get(f"{name}/1000"), results.get(f"{name}/1000000")
    if not small or not large:
        return None
    return (large["ns"] / 1e6) / (small["ns"] / 1e3)


def main():
    bench_files = [a for a in sys.argv[1:] if not a.endswith(".jsonl")]
    peak_files = [a for a in sys.argv[1:] if a.endswith(".jsonl")]
    context, r = load_results(bench_files)
    print(f"Host: {context.get('host_name', '?')}, {context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz\n")

    print("### Summary\n")
    rows = []

    def ratio_at(name, base, n):
        a, b = r.get(f"{name}/{n}"), r.get(f"{base}/{n}")
        return f"{a['ns'] / b['ns']:.2f}" if a and b else "–"

    def per_call_growth(name, small, large):
        a, b = r.get(f"{name}/{small}"), r.get(f"{name}/{large}")
        return f"{(1 / b['items']) / (1 / a['items']):.2f}" if a and b else "–"

    for shape in SHAPES:
        g = per_entry_growth(r, f"load/{shape}")
        rows.append([f"load, {shape}", "parse and walk", ratio_at(f"load/{shape}", f"load_baseline/{shape}", 10000)
                     + " / " + ratio_at(f"load/{shape}", f"load_baseline/{shape}", 100000),
                     ratio_at(f"load/{shape}", f"load_baseline/{shape}", 1000000),
                     f"{g:.2f}" if g is not None else "–"])
    g = per_entry_growth(r, "export")
    rows.append(["export", "build and write", ratio_at("export", "export_baseline", 100000),
                 ratio_at("export", "export_baseline", 1000000), f"{g:.2f}" if g is not None else "–"])
    for op in ("is_wished_hit", "is_wished_hit_in_order", "is_wished_miss", "toggle_add", "toggle_remove_newest"):
        rows.append([op, "same call on 100 entries", per_call_growth(op, 100, 100000),
                     per_call_growth(op, 100, 1000000), per_call_growth(op, 1000, 1000000)])
    table(["operation", "against", "ratio at 10,000 / 100,000 (load) or 100,000", "ratio at 1,000,000",
           "time per entry or call, 1,000,000 / 1,000"], rows)

    print("### Load (`orvel_load_mine_json`) against parse-and-walk\n")
    rows = []
    for shape in SHAPES:
        for n in sizes_of(r, f"load/{shape}"):
            lib = r[f"load/{shape}/{n}"]
            base = r.get(f"load_baseline/{shape}/{n}")
            reload = r.get(f"reload/{shape}/{n}")
            row = [shape, f"{n:,}", fmt_time(lib["ns"]), fmt_time(base["ns"]) if base else "–",
                   f"**{lib['ns'] / base['ns']:.2f}**" if base else "–"]
            for name, _ in COPIES:
                copy = r.get(f"{name}/{shape}/{n}")
                row.append(f"{copy['ns'] / base['ns']:.2f}" if copy and base else "–")
            row += [fmt_time(reload["ns"]) if reload else "–", rate(lib["items"], "entries")]
            rows.append(row)
    table(["shape", "elements", "load", "parse and walk", "ratio"]
          + [f"baseline {label}, ratio" for _, label in COPIES] + ["reload", "load rate"], rows)
    for shape in SHAPES:
        for name, label in ((f"load/{shape}", "load"), (f"load_baseline/{shape}", "baseline")):
            g = per_entry_growth(r, name)
            if g is not None:
                print(f"- time per element, 1,000,000 against 1,000 ({shape}, {label}): {g:.2f}")
    print()

    print("### Export (`orvel_export_json`) against build-and-write\n")
    rows = []
    for n in sizes_of(r, "export"):
        lib, base = r[f"export/{n}"], r.get(f"export_baseline/{n}")
        rows.append([f"{n:,}", fmt_time(lib["ns"]), fmt_time(base["ns"]) if base else "–",
                     f"{lib['ns'] / base['ns']:.2f}" if base else "–",
                     rate(lib["items"], "entries"), rate(lib["bytes"], "B")])
    table(["elements loaded", "export", "baseline", "ratio", "entries", "bytes"], rows)

    print("### Lookups and toggles, time per call\n")
    ops = ["is_wished_hit", "is_wished_hit_in_order", "is_wished_miss", "toggle_add", "toggle_remove_newest", "toggle_remove_random"]
    sizes = sizes_of(r, "is_wished_hit")
    rows = []
    for op in ops:
        row = [op]
        for n in sizes:
            res = r.get(f"{op}/{n}")
            row.append(fmt_time(1e9 / res["items"]) if res and res["items"] else "–")
        first, last = r.get(f"{op}/{sizes[0]}"), r.get(f"{op}/{sizes[-1]}") if sizes else None
        row.append(f"{first['items'] / last['items']:.2f}" if first and last else "–")
        rows.append(row)
    table(["operation"] + [f"{n:,}" for n in sizes] + [f"{sizes[-1]:,} / {sizes[0]:,}" if sizes else "ratio"], rows)

    print("### Messages, time per call\n")
    table(["operation", "time"], [[op, fmt_time(r[op]["ns"])] for op in ("wish_request", "mine_url") if op in r])

    for peak_file in peak_files:
        print("### Peak memory of one load (or reload), text included\n")
        rows = []
        with open(peak_file) as f:
            for line in f:
                m = json.loads(line)
                rows.append([m["what"], m["shape"], f"{m['elements']:,}", f"{m['response_bytes'] / 1e6:.1f} MB",
                             f"{m['heap_peak_bytes'] / 1e6:.1f} MB", f"{m['heap_ratio']:.2f}",
                             f"{m['resident_peak_bytes'] / 1e6:.1f} MB", f"{m['resident_ratio']:.2f}",
                             f"{m['store_bytes_per_entry']:.0f} B" if m["stored"] else "–",
                             f"{m['store_ratio']:.2f}" if m["stored"] else "–"])
        table(["measure", "shape", "elements", "response", "heap peak", "× response", "resident peak",
               "× response", "store per entry", "store × response"], rows)


if __name__ == "__main__":
    main()
