# SPDX-License-Identifier: MIT
"""One Wishlist or SyncedWishlist shared by threads, and closed while they use it."""

import threading

import pytest

import orvel

WORKERS = 4
WARM_UP = 50  # calls each worker makes before the object is closed under it
ROUNDS = 3000  # an upper bound: a worker stops at the first call on the closed object
ITEMS = [f"t{n}" for n in range(8)]


def wishlist_round(w, n, seen):
    item = ITEMS[n % len(ITEMS)]
    w.toggle("track", item, "T", "A")
    w.has("track", item)
    assert len(w) <= len(ITEMS)
    assert all(e.item_id in ITEMS for e in w)


def synced_round(w, n, seen):
    w.set_wished("track", ITEMS[n % len(ITEMS)], wished=n % 3 != 0, title="T", artist="A")
    request = w.next_request("http://h")
    if request is not None:
        # Every id is one the journal gave, to this request's entry alone.
        assert 0 < request.op_id and request.kind == "track" and request.item_id in ITEMS
        assert seen.setdefault(request.op_id, request.item_id) == request.item_id
        w.report(request.op_id, orvel.Outcome.ACCEPTED if n % 2 else orvel.Outcome.FAILED)
    if n % 50 == 0:
        w.load(w.begin_refresh(), '{"tracks":["t1"]}')
    assert w.held >= 0 and repr(w)


@pytest.mark.parametrize("make, one_round", [(orvel.Wishlist, wishlist_round), (orvel.SyncedWishlist, synced_round)],
                         ids=["Wishlist", "SyncedWishlist"])
def test_threads_share_one_object_and_close_waits_for_their_calls(make, one_round):
    w = make()
    warmed = threading.Barrier(WORKERS + 1, timeout=120)
    seen = {}
    failures = []
    stopped = []

    def work(worker):
        try:
            for n in range(ROUNDS):
                if n == WARM_UP:
                    warmed.wait()
                try:
                    one_round(w, worker * ROUNDS + n, seen)
                except ValueError as error:
                    if "closed" not in str(error):
                        raise
                    stopped.append(worker)
                    return
        except BaseException as error:  # reported on the main thread
            failures.append(error)
            warmed.abort()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(WORKERS)]
    for t in threads:
        t.start()
    try:
        warmed.wait()
    except threading.BrokenBarrierError:
        pass
    w.close()
    for t in threads:
        t.join(timeout=120)
    assert not failures, failures
    assert not any(t.is_alive() for t in threads)
    assert w.closed and repr(w).endswith("closed>") and not w
    with pytest.raises(ValueError, match="closed"):
        len(w)
