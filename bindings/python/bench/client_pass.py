#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What WishlistClient adds to a sync pass: 1,000 changes sent to the sample service by the client,
against the same requests sent by a minimal loop over the same HTTP library (http.client, a
connection per request, as many at once as the client sends) that keeps nothing and saves nothing.
One process, runs interleaved, the median of each; prints the ratio.

  client_pass.py [CHANGES] [RUNS] [STATE_PARENT] [IN_FLIGHT]
      STATE_PARENT: where the client's folders go (/dev/shm leaves the disk's fsync out);
      IN_FLIGHT: requests at once on both sides, the client's default when not given
"""

import concurrent.futures
import http.client
import json
import os
import statistics
import sys
import tempfile
import time
from urllib.parse import urlsplit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "tests", "service"))

import orvel  # noqa: E402
from harness import ServiceProcess  # noqa: E402


def changes(n, run):
    return [("track", f"tr-{run}-{i}", f"Title {i}", "Artist") for i in range(n)]


def baseline(base_url, items, in_flight):
    parts = urlsplit(base_url)

    def post(numbered):
        n, (kind, item_id, title, artist) = numbered
        body = json.dumps({"op": "add", "kind": kind, "itemId": item_id, "title": title, "artist": artist},
                          separators=(",", ":")).encode()
        conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
        conn.request("POST", parts.path + "/wishlist/api/wish", body=body,
                     headers={"Content-Type": "application/json", "Idempotency-Key": f"b-{n}", "Connection": "close"})
        conn.getresponse().read()
        conn.close()

    started = time.perf_counter()
    if in_flight == 1:
        for numbered in enumerate(items):
            post(numbered)
    else:
        with concurrent.futures.ThreadPoolExecutor(in_flight) as pool:
            list(pool.map(post, enumerate(items)))
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    conn.request("GET", parts.path + "/wishlist/api/mine", headers={"Connection": "close"})
    conn.getresponse().read()
    conn.close()
    return time.perf_counter() - started


def client(base_url, items, parent, in_flight):
    with tempfile.TemporaryDirectory(dir=parent) as folder:
        with orvel.WishlistClient(base_url, folder, max_in_flight=in_flight, events="inline") as wishes:
            for kind, item_id, title, artist in items:
                wishes.set_wished(kind, item_id, True, title, artist)
            started = time.perf_counter()
            summary = wishes.sync_now()
            elapsed = time.perf_counter() - started
            assert summary.accepted == len(items) and summary.refreshed, summary
    return elapsed


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    parent = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    in_flight = int(sys.argv[4]) if len(sys.argv) > 4 else orvel.ClientOptions().max_in_flight
    ours, theirs = [], []
    with ServiceProcess(["--empty", "--max-requests", str(4 * n * runs + 100)], max_seconds=1800) as service:
        for run in range(runs):
            service.control({"entries": [], "clearLog": True})
            theirs.append(baseline(service.base_url, changes(n, run), in_flight))
            service.control({"entries": [], "clearLog": True})
            ours.append(client(service.base_url, changes(n, run), parent, in_flight))
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"{n} changes, {in_flight} in flight, {runs} runs: client {a:.3f} s, minimal loop {b:.3f} s, ratio {a / b:.3f}"
          f" (state in {parent or tempfile.gettempdir()})")


if __name__ == "__main__":
    main()
