# SPDX-License-Identifier: MIT
"""Kills a syncing client with SIGKILL at seeded random moments while the user keeps tapping,
and checks after each kill that every tap it printed is in the saved state and that the state opens.

  crash_taps.py BASE_URL STATE_DIR CYCLES SEED

The supervisor starts no thread of its own: each client runs in a forked child.
"""

import os
import random
import signal
import sys
import time

import orvel

ENTRIES = 7


def tap(i):
    """The user's i-th tap: entries in turn, wished on one round and not on the next."""
    return "track", f"tr-{i % ENTRIES}", (i // ENTRIES) % 2 == 0


def child(base_url, folder, first, out):
    try:
        client = orvel.WishlistClient(base_url, folder, backoff_base=0.01, backoff_cap=0.2, request_timeout=5)
        client.start()
        i = first
        while True:
            kind, item_id, wished = tap(i)
            client.set_wished(kind, item_id, wished)
            os.write(out, b"%d\n" % i)  # after set_wished returned: saved
            i += 1
            time.sleep(0.002)
    finally:
        os._exit(3)


def main(base_url, folder, cycles, seed):
    rng = random.Random(seed)
    last = -1  # the last tap printed: taps are printed in order, with no gap
    printed_total = kills = lost = 0
    for _ in range(cycles):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            child(base_url, folder, last + 1, write_end)
        os.close(write_end)
        time.sleep(rng.uniform(0.03, 0.2))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        kills += 1
        data = b""
        while chunk := os.read(read_end, 65536):
            data += chunk
        os.close(read_end)
        printed = [int(n) for n in data.split()]
        assert printed == list(range(last + 1, last + 1 + len(printed))), "taps out of order"
        printed_total += len(printed)
        last = printed[-1] if printed else last
        with orvel.WishlistClient(base_url, folder) as wishes:  # the state opens, its lock free
            for e in range(ENTRIES):
                taps = [i for i in range(max(0, last - ENTRIES + 1), last + 1) if i % ENTRIES == e]
                if not taps:
                    continue
                allowed = {tap(taps[-1])[2]}
                if (last + 1) % ENTRIES == e:
                    allowed.add(tap(last + 1)[2])  # set_wished returned, killed before it printed
                if wishes.wished("track", f"tr-{e}") not in allowed:
                    lost += 1
    print(f"{kills} kills, {printed_total} taps printed, {lost} lost")
    return 1 if lost else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])))
