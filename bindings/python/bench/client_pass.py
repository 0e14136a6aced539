#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""What WishlistClient adds to a sync pass: 1,000 changes sent to the sample service by the client
(one request at a time, as the baseline), against the same requests sent by a minimal loop over the
same HTTP library (http.client, a connection per request) that keeps nothing and saves nothing.
One process, runs interleaved, the median of each; prints the ratio.

  client_pass.py [CHANGES] [RUNS] [STATE_PARENT]   (STATE_PARENT: where the client's folders go;
                                                   /dev/shm leaves the disk's fsync out)
"""

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


def baseline(base_url, items):
    parts = urlsplit(base_url)
    started = time.perf_counter()
    for n, (kind, item_id, title, artist) in enumerate(items):
        body = json.dumps({"op": "add", "kind": kind, "itemId": item_id, "title": title, "artist": artist},
                          separators=(",", ":")).encode()
        conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
        conn.request("POST", parts.path + "/wishlist/api/wish", body=body,
                     headers={"Content-Type": "application/json", "Idempotency-Key": f"b-{n}", "Connection": "close"})
        conn.getresponse().read()
        conn.close()
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=30)
    conn.request("GET", parts.path + "/wishlist/api/mine", headers={"Connection": "close"})
    conn.getresponse().read()
    conn.close()
    return time.perf_counter() - started


def client(base_url, items, parent):
    with tempfile.TemporaryDirectory(dir=parent) as folder:
        with orvel.WishlistClient(base_url, folder, max_in_flight=1, events="inline") as wishes:
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
    parent = sys.argv[3] if len(sys.argv) > 3 else None
    ours, theirs = [], []
    with ServiceProcess(["--empty", "--max-requests", str(4 * n * runs + 100)], max_seconds=1800) as service:
        for run in range(runs):
            service.control({"entries": [], "clearLog": True})
            theirs.append(baseline(service.base_url, changes(n, run)))
            service.control({"entries": [], "clearLog": True})
            ours.append(client(service.base_url, changes(n, run), parent))
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"{n} changes, {runs} runs: client {a:.3f} s, minimal loop {b:.3f} s, ratio {a / b:.3f}"
          f" (state in {parent or tempfile.gettempdir()})")


if __name__ == "__main__":
    main()
