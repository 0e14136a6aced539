# SPDX-License-Identifier: MIT
"""WishlistClient against the sample service: its faults, restarts from the saved state, backoff,
offline, and the background."""

import random
import time

import pytest

import orvel

FAST = dict(backoff_base=0.05, backoff_cap=0.4, events="inline")


def client(service, folder, **settings):
    return orvel.WishlistClient(service.base_url, str(folder), random=random.Random(7), **{**FAST, **settings})


def served(service):
    return {(e["kind"], e["itemId"]) for e in service.state()["entries"]}


def shown(wishes):
    return {(e.kind.value, e.item_id) for e in wishes.entries()}


def settle(wishes, passes=40, leave=0):
    """Passes until at most `leave` changes are held (the poison item's), waiting out backoffs."""
    for _ in range(passes):
        summary = wishes.sync_now()
        if wishes.held <= leave and not summary.unknown:
            return summary
        time.sleep(0.1)
    raise AssertionError(f"{wishes.held} changes still held")


def requests_for(service, item_id):
    return [r for r in service.state()["requests"] if r["wish"] and r["wish"]["itemId"] == item_id]


def test_the_conformance_scenario_with_restarts(service, tmp_path):
    rejected = []
    POISON = ("track", "tr-poison")
    service.control({"faults": [
        {"action": "drop", "itemId": "al-drop"},
        {"action": "fail-after-apply", "itemId": "tr-faa"},
        {"action": "reject", "itemId": "ar-bad", "times": None},
        {"action": "error", "itemId": "tr-poison", "times": None},
        {"action": "throttle", "itemId": "al-thr", "retryAfter": 1},
    ]})
    wishes = client(service, tmp_path)
    wishes.on_rejected(rejected.append)
    for kind, item_id in [("album", "al-drop"), ("track", "tr-faa"), ("artist", "ar-bad"), POISON,
                          ("album", "al-thr"), ("playlist", "pl-ok")]:
        assert wishes.set_wished(kind, item_id, True, "T", "A").state is orvel.SyncState.PENDING
    first = wishes.sync_now()
    # Retries that come due during the pass go in it too; the refusal and the drop's unknown do not repeat.
    assert first.sent >= 6 and (first.rejected, first.unknown) == (1, 1) and first.failed >= 3
    assert [(r.kind, r.item_id, r.status) for r in rejected] == [("artist", "ar-bad", 422)]
    assert ("artist", "ar-bad") not in shown(wishes)
    # 429's Retry-After: not sent again before a second has passed.
    throttled = wishes.status("album", "al-thr")
    assert throttled.state is orvel.SyncState.PENDING and throttled.next_attempt_at >= time.time() + 0.5
    while wishes.status("album", "al-thr").state is orvel.SyncState.PENDING:
        wishes.sync_now()
        time.sleep(0.05)
    times = [r["time"] for r in requests_for(service, "al-thr")]
    assert len(times) == 2 and times[1] - times[0] >= 1.0
    wishes.close()  # a restart from the saved state

    wishes = client(service, tmp_path)
    settle(wishes, leave=1)
    assert served(service) == {("album", "al-drop"), ("track", "tr-faa"), ("album", "al-thr"), ("playlist", "pl-ok")}
    assert [r["replayed"] for r in requests_for(service, "al-drop")] == [False, False]  # dropped: never applied
    wishes.close()

    # Late answers: the client gives up after its deadline (unknown), the request lands, and the
    # user's later change still wins.
    service.control({"faults": [{"action": "late", "itemId": "tr-late", "seconds": 3},
                                {"action": "hold", "itemId": "pl-hold", "seconds": 20},
                                {"action": "error", "itemId": "tr-poison", "times": None}]})
    wishes = client(service, tmp_path, request_timeout=1.5)
    wishes.set_wished("track", "tr-late", True, "Late", "A")
    wishes.set_wished("playlist", "pl-hold", True, "Held", "A")
    late = wishes.sync_now()
    assert late.unknown == 2
    assert wishes.status("track", "tr-late").state is not orvel.SyncState.SYNCED  # it may still land
    wishes.set_wished("track", "tr-late", False)  # the user changes their mind
    wishes.close()
    wishes = client(service, tmp_path)  # generous timeouts again
    settle(wishes, leave=1)
    assert ("track", "tr-late") not in served(service) and ("track", "tr-late") not in shown(wishes)
    assert ("playlist", "pl-hold") in served(service) and ("playlist", "pl-hold") in shown(wishes)
    held = requests_for(service, "pl-hold")
    assert held[0]["fault"] == "hold" and held[-1]["heldOpen"] == 0  # sent again only once given up
    assert held[-1]["headers"]["Idempotency-Key"] == held[0]["headers"]["Idempotency-Key"]

    # Lists answered late, trickled, too large: the refresh fails and nothing is loaded.
    before = shown(wishes)
    for fault, settings in [({"action": "late", "endpoint": "mine", "seconds": 3}, {"list_timeout": 1.5}),
                            ({"action": "trickle", "endpoint": "mine", "interval": 0.05}, {"list_timeout": 1.5}),
                            ({"action": "oversize", "endpoint": "mine", "bytes": 70000},
                             {"max_response_bytes": 65536}),
                            ({"action": "redirect", "endpoint": "mine"}, {})]:
        wishes.close()
        service.control({"faults": [fault, {"action": "error", "itemId": "tr-poison", "times": None}]})
        service.control({"entries": [{"kind": "track", "itemId": "tr-ghost"}] + service.state()["entries"]})
        wishes = client(service, tmp_path, **settings)
        started = time.monotonic()
        summary = wishes.sync_now()
        assert not summary.refreshed and shown(wishes) == before, fault
        assert time.monotonic() - started < 10, fault  # the whole-response deadline fired
        service.control({"entries": [e for e in service.state()["entries"] if e["itemId"] != "tr-ghost"]})

    # A change answered byte by byte, and one redirected to another origin.
    service.control({"faults": [{"action": "trickle", "itemId": "al-slow", "interval": 0.1},
                                {"action": "redirect", "itemId": "al-moved"},
                                {"action": "error", "itemId": "tr-poison", "times": None}]})
    wishes.close()
    wishes = client(service, tmp_path, request_timeout=1.5)
    wishes.set_wished("album", "al-slow", True)
    wishes.set_wished("album", "al-moved", True)
    summary = wishes.sync_now()
    assert summary.unknown == 1 and summary.failed >= 2  # trickled: unknown; redirected and poison: failed
    assert not [r for r in service.state()["requests"] if "127.0.0.2" in str(r["headers"].get("Host"))]
    wishes.close()

    wishes = client(service, tmp_path)
    settle(wishes, leave=1)
    # The end: the store is the service's set but the poison item, nothing held but it.
    assert shown(wishes) == served(service) | {POISON}
    assert wishes.held == 1 and wishes.status(*POISON).state is orvel.SyncState.PENDING
    assert {("album", "al-slow"), ("album", "al-moved")} <= served(service)
    wishes.close()


def test_a_poison_item_never_delays_the_others(service, tmp_path):
    service.control({"faults": [{"action": "error", "itemId": "tr-poison", "times": None}]})
    with client(service, tmp_path, backoff_base=0.5, backoff_cap=30) as wishes:
        wishes.set_wished("track", "tr-poison", True)
        wishes.sync_now()
        for n in range(6):
            wishes.set_wished("album", f"al-{n}", True)
            summary = wishes.sync_now()
            assert summary.accepted == 1, summary
            assert wishes.status("album", f"al-{n}").state is orvel.SyncState.SYNCED
        # Held client-side while its backoff runs: sent far fewer times than there were passes.
        assert len(requests_for(service, "tr-poison")) <= 4
        assert wishes.status("track", "tr-poison").state is orvel.SyncState.PENDING


def test_offline_after_consecutive_connection_failures_then_one_probe_a_pass(tmp_path):
    states = []
    wishes = orvel.WishlistClient("http://127.0.0.1:9", str(tmp_path), offline_after=3, backoff_cap=60,
                                  max_in_flight=1, events="inline")
    wishes.on_state(states.append)
    for n in range(5):
        wishes.set_wished("album", f"al-{n}", True)
    first = wishes.sync_now()
    # Offline from the third failure in a row: the other two are not tried.
    assert first.failed == 3 and first.sent == 3 and wishes.state is orvel.ClientState.OFFLINE
    assert first.next_pass_at >= time.time() + 50  # the next probe, a backoff_cap away
    probe = wishes.sync_now()
    assert probe.sent == 1 and probe.unknown == 0
    assert states == [orvel.ClientState.SYNCING, orvel.ClientState.OFFLINE] * 2
    assert wishes.held == 5 and len(wishes) == 5  # every change kept
    wishes.close()
    assert states[-1] is orvel.ClientState.CLOSED


def test_the_background_syncs_after_a_change_and_is_quiet_with_nothing_to_do(service, tmp_path):
    changes = []
    with client(service, tmp_path, events="thread", refresh_interval=600) as wishes:
        wishes.on_change(changes.append)
        wishes.start()
        wishes.set_wished("album", "al-1", True, "T", "A")
        deadline = time.monotonic() + 30
        while wishes.held and time.monotonic() < deadline:
            time.sleep(0.05)
        assert wishes.held == 0 and served(service) == {("album", "al-1")}
        quiet = len(service.state()["requests"])
        time.sleep(1.5)
        assert len(service.state()["requests"]) == quiet  # nothing to do: no requests
        service.control({"entries": [{"kind": "track", "itemId": "tr-9"}]})
        wishes.stop()
        wishes.sync_now()
    assert [(c.item_id, c.wished, c.cause) for c in changes] == [
        ("al-1", True, "local"), ("al-1", False, "refresh"), ("tr-9", True, "refresh")]


def test_headers_come_from_the_provider_before_each_request_and_never_show(service, tmp_path):
    calls = []

    def headers():
        calls.append(1)
        return {"Authorization": f"Bearer secret-{len(calls)}", "X-Client": f"n{len(calls)}"}

    with client(service, tmp_path, headers=headers) as wishes:
        wishes.set_wished("album", "al-1", True)
        wishes.sync_now()
        assert [r["headers"].get("X-Client") for r in service.state()["requests"]] == ["n1", "n2"]

    def failing():
        raise RuntimeError("Bearer secret-token")

    for provider in (failing, lambda: {"X-Broken": "a\r\nInjected: 1"}):
        with client(service, tmp_path, headers=provider) as wishes:
            wishes.set_wished("album", "al-2", True)
            summary = wishes.sync_now()
            assert summary.failed + summary.unknown >= 1 and wishes.held == 1  # kept, to be sent again
            assert "secret" not in (wishes.last_failure or "")
    assert ("album", "al-2") not in served(service)


@pytest.mark.parametrize("fault, reason", [
    ({"action": "redirect"}, "a redirect to another origin was refused (307)"),
    ({"action": "redirect", "endpoint": "mine"}, "a redirect to another origin was refused (307)"),
    ({"action": "oversize", "endpoint": "mine", "bytes": 5000}, "the response is over 4096 bytes"),
])
def test_a_refused_answer_is_a_failure_with_its_reason(service, tmp_path, fault, reason):
    service.control({"faults": [fault]})
    with client(service, tmp_path, max_response_bytes=4096) as wishes:
        wishes.set_wished("album", "al-1", True)
        summary = wishes.sync_now()
        assert wishes.last_failure == reason
        assert summary.failed == (fault.get("endpoint") != "mine") and summary.unknown == 0


def test_a_save_that_fails_during_a_pass_strands_no_request(service, tmp_path):
    from test_client_state import Recording
    ops = Recording()
    with orvel.WishlistClient(service.base_url, str(tmp_path), _file_ops=ops, **FAST) as wishes:
        wishes.set_wished("album", "al-1", True)
        wishes.set_wished("album", "al-2", True)
        ops.fail = ("replace", "wishlist.snapshot")
        with pytest.raises(OSError):
            wishes.sync_now()
        ops.fail = None
        settle(wishes)
        assert served(service) == {("album", "al-1"), ("album", "al-2")} == shown(wishes)


def test_one_save_serves_many_hand_outs_and_answers(service, tmp_path):
    from test_client_state import Recording
    ops = Recording()
    with orvel.WishlistClient(service.base_url, str(tmp_path), _file_ops=ops, **FAST) as wishes:
        for n in range(100):
            wishes.set_wished("track", f"tr-{n}", True)
        ops.calls.clear()
        assert wishes.sync_now().accepted == 100
        saves = ops.calls.count(("replace", "wishlist.snapshot"))
        assert 1 < saves < 10  # a save per batch of hand-outs, not per request or answer


def test_a_crash_while_a_request_is_on_the_wire_loses_no_later_tap(service, tmp_path):
    import shutil
    import threading
    service.control({"faults": [{"action": "hold", "itemId": "al-1", "seconds": 20}]})
    first, image = tmp_path / "first", tmp_path / "what a kill leaves"
    with client(service, first, request_timeout=2) as wishes:
        wishes.set_wished("album", "al-1", True)
        sending = threading.Thread(target=wishes.sync_now)
        sending.start()
        deadline = time.monotonic() + 10
        while not requests_for(service, "al-1") and time.monotonic() < deadline:
            time.sleep(0.02)
        shutil.copytree(first, image, ignore=shutil.ignore_patterns("lock"))  # mid-request
        sending.join()  # unknown once its time is up; the service then applies it
    while ("album", "al-1") not in served(service) and time.monotonic() < deadline + 20:
        time.sleep(0.05)
    with client(service, image) as again:
        again.set_wished("album", "al-1", False)  # the user's later tap
        settle(again)
        assert ("album", "al-1") not in served(service) and not again.wished("album", "al-1")


@pytest.mark.parametrize("value, expected", [
    ("3", 3.0), ("0", 0.0), (" 12 ", 12.0),
    ("Wed, 21 Oct 2015 07:28:00 GMT", 30.0),  # 30 s after "now" below
    ("soon", None), ("-1", None), ("", None), (None, None),
])
def test_retry_after_in_seconds_or_an_http_date(value, expected):
    from orvel._transport import retry_after_seconds
    now = 1445412450.0  # Wed, 21 Oct 2015 07:27:30 GMT
    assert retry_after_seconds(value, now) == expected


def test_at_most_max_in_flight_requests_at_once(service, tmp_path):
    service.control({"faults": [{"action": "late", "seconds": 1, "times": None}]})
    with client(service, tmp_path, max_in_flight=3) as wishes:
        for n in range(7):
            wishes.set_wished("album", f"al-{n}", True)
        assert wishes.sync_now().accepted == 7
    arrivals = sorted(r["time"] for r in service.state()["requests"] if r["wish"])
    # Answered after a second each: the 4th waits for one of the first 3, the 7th for one of the next.
    assert arrivals[3] - arrivals[0] >= 0.9 and arrivals[6] - arrivals[3] >= 0.9
    assert arrivals[6] - arrivals[0] < 5.5  # three at a time: one after another would take 6 s


def test_the_background_tries_again_soon_after_a_pass_that_could_not_save(service, tmp_path, capsys):
    from test_client_state import Recording
    ops = Recording()
    with orvel.WishlistClient(service.base_url, str(tmp_path), _file_ops=ops, refresh_interval=600,
                              **FAST) as wishes:
        wishes.set_wished("album", "al-1", True)
        ops.fail = ("replace", "wishlist.snapshot")
        wishes.start()
        deadline = time.monotonic() + 30
        while "No space left" not in capsys.readouterr().err and time.monotonic() < deadline:
            time.sleep(0.05)
        ops.fail = None  # room again: saved within a backoff, not a refresh_interval, later
        while wishes.held and time.monotonic() < deadline:
            time.sleep(0.05)
        assert wishes.held == 0 and served(service) == {("album", "al-1")}
    with orvel.WishlistClient(service.base_url, str(tmp_path)) as again:
        assert again.held == 0 and ("album", "al-1") in again


def test_an_operation_keeps_its_idempotency_key_across_a_restart(service, tmp_path):
    service.control({"faults": [{"action": "error", "itemId": "al-1"}]})
    with client(service, tmp_path, backoff_base=60, backoff_cap=60) as wishes:
        wishes.set_wished("album", "al-1", True)
        assert wishes.sync_now().failed == 1
    with client(service, tmp_path) as wishes:  # the delay is not kept: sent again at once
        assert wishes.sync_now().accepted == 1
    with client(service, tmp_path / "another installation") as other:
        other.set_wished("album", "al-2", True)
        other.sync_now()
    keys = [r["headers"]["Idempotency-Key"] for r in service.state()["requests"] if r["wish"]]
    assert len(keys) == 3 and keys[0] == keys[1] != keys[2]
    assert keys[0].rsplit("-", 1)[0] != keys[2].rsplit("-", 1)[0]  # the installations' ids differ


def test_a_newer_intent_replaces_a_change_held_for_its_backoff_at_once(service, tmp_path):
    service.control({"faults": [{"action": "error", "itemId": "al-1"}]})
    with client(service, tmp_path, backoff_base=60, backoff_cap=60) as wishes:
        wishes.set_wished("album", "al-1", True)
        assert wishes.sync_now().failed == 1
        wishes.sync_now()  # handed out again, and held here: its time has not come
        waiting = wishes.status("album", "al-1")
        assert waiting.state is orvel.SyncState.PENDING and waiting.next_attempt_at > time.time() + 1
        assert waiting.attempts == 1
        wishes.set_wished("album", "al-1", False)  # the user changes their mind
        summary = wishes.sync_now()
        assert summary.accepted == 1 and wishes.held == 0 and ("album", "al-1") not in wishes
    assert [(r["wish"]["op"], r["status"]) for r in requests_for(service, "al-1")] == [("add", 503), ("remove", 204)]


def test_a_background_client_probes_once_a_backoff_cap_while_the_service_is_down(tmp_path, monkeypatch):
    from orvel._transport import Transport
    calls = []
    for name in ("post", "get"):
        def counted(self, *args, _real=getattr(Transport, name), **kwargs):
            calls.append(time.monotonic())
            return _real(self, *args, **kwargs)
        monkeypatch.setattr(Transport, name, counted)
    with orvel.WishlistClient("http://127.0.0.1:9", str(tmp_path), offline_after=3, backoff_base=0.05,
                              backoff_cap=1, events="inline") as wishes:
        for n in range(3):
            wishes.set_wished("album", f"al-{n}", True)
        wishes.start()
        time.sleep(3.5)
        assert wishes.state is orvel.ClientState.OFFLINE
    # Three failures in a row at once (and perhaps a quick retry), then one probe a second: no spinning.
    assert 4 <= len(calls) <= 10, len(calls)
    probes = [call for call in calls if call - calls[0] > 0.5]
    assert all(b - a >= 0.9 for a, b in zip(probes, probes[1:])), probes
