# SPDX-License-Identifier: MIT
"""The sample service as its clients see it: the protocol, every fault, the
request log, the seed and the bounds. Run by CTest (service_tests)."""

import http.client
import json
import os
import pathlib
import re
import socket
import subprocess
import sys
import time

import pytest

from harness import SCRIPT, ServiceProcess

ENTRIES = [
    {"kind": "track", "itemId": "tr-1", "title": "Glass River", "artist": "Mara Quince"},
    {"kind": "album", "itemId": "al-7", "title": "Fjord \"Live\"", "artist": "Ünal"},
]


def wish(op, kind, item_id, title="", artist=""):
    return json.dumps({"op": op, "kind": kind, "itemId": item_id, "title": title, "artist": artist})


@pytest.fixture(scope="module")
def running():
    with ServiceProcess(["--base-path", "/v1"], max_seconds=120) as service:
        yield service


@pytest.fixture
def service(running):
    running.control({"entries": ENTRIES, "shape": "items", "faults": [], "clearLog": True})
    return running


def call(service, method, path, body=None, headers=None, timeout=10):
    """(status, headers, body) of one request on a new connection; raises when no answer comes."""
    host, port = service.origin[len("http://"):].split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        hdrs = {"Content-Type": "application/json"} if body is not None else {}
        hdrs.update(headers or {})
        connection.request(method, path, body=body, headers=hdrs)
        answer = connection.getresponse()
        return answer.status, dict(answer.getheaders()), answer.read()
    finally:
        connection.close()


def post(service, body, **kw):
    return call(service, "POST", "/v1/wishlist/api/wish", body, **kw)


def keys(service):
    return {(e["kind"], e["itemId"]) for e in service.state()["entries"]}


def test_listens_on_127_0_0_1_only():
    for host in ("0.0.0.0", "::", "localhost", "192.168.1.1"):
        run = subprocess.run([sys.executable, SCRIPT, "--host", host], capture_output=True, text=True, timeout=30)
        assert run.returncode == 2 and "127.0.0.1 only" in run.stderr, host


@pytest.mark.parametrize("shape", ["items", "wishes", "array", "grouped", "grouped-singular", "ids", "export"])
def test_every_list_shape_loads_into_the_same_entries(service, shape):
    service.control({"shape": shape})
    status, headers, body = call(service, "GET", "/v1/wishlist/api/mine")
    assert status == 200 and headers["Content-Type"] == "application/json"
    json.loads(body)
    orvel = pytest.importorskip("orvel") if os.environ.get("ORVEL_LIBRARY") else None
    if orvel is None:
        pytest.skip("ORVEL_LIBRARY is not set: the shapes are not loaded into a store")
    with orvel.Wishlist() as wishes:
        wishes.load(body)
        got = [(e.kind, e.item_id, e.title, e.artist) for e in wishes]
    expected = [(e["kind"], e["itemId"], "" if shape == "ids" else e["title"], "" if shape == "ids" else e["artist"])
                for e in ENTRIES]
    assert got == expected


def test_the_shapes_are_served_as_docs_protocol_shows_them(service):
    doc = (pathlib.Path(SCRIPT).parents[2] / "docs" / "protocol.md").read_text(encoding="utf-8")
    block = re.search(r"serves \(`--shape`\):\n\n```json\n(.*?)```", doc, re.S).group(1).splitlines()
    service.control({"entries": ENTRIES[:1]})
    served = []
    for shape in ("items", "wishes", "array", "grouped", "grouped-singular", "ids", "export"):
        service.control({"shape": shape})
        served.append(call(service, "GET", "/v1/wishlist/api/mine")[2].decode("utf-8"))
    assert served == block


def test_changes_apply_and_malformed_requests_are_refused(service):
    assert post(service, wish("add", "artist", "ar-2", "Ines Varga"))[0] == 204
    assert post(service, wish("remove", "track", "tr-1"))[0] == 204
    assert post(service, wish("remove", "track", "not-there"))[0] == 204  # a set-state: removing twice is fine
    assert keys(service) == {("album", "al-7"), ("artist", "ar-2")}
    for body, headers, status in (
            ("{}", None, 400),
            (wish("toggle", "album", "a"), None, 400),
            (wish("add", "Album", "a"), None, 400),
            (wish("add", "album", ""), None, 400),
            ("not json", None, 400),
            (wish("add", "album", "a"), {"Content-Type": "text/plain"}, 415)):
        assert post(service, body, headers=headers)[0] == status, body
    assert call(service, "GET", "/v1/wishlist/api/wish")[0] == 405
    assert call(service, "POST", "/v1/wishlist/api/mine", "{}")[0] == 405
    assert call(service, "GET", "/wishlist/api/mine")[0] == 404  # outside the base path
    assert keys(service) == {("album", "al-7"), ("artist", "ar-2")}


# action, extra rule members, expected status (None: no answer), applied
ANSWER_FAULTS = [
    ("drop", {}, None, False),
    ("error", {}, 503, False),
    ("error", {"status": 502}, 502, False),
    ("fail-after-apply", {}, 500, True),
    ("reject", {}, 422, False),
    ("reject", {"status": 409}, 409, False),
    ("throttle", {"retryAfter": 7}, 429, False),
    ("redirect", {}, 307, False),
    ("late", {"seconds": 0.3}, 204, True),
    ("trickle", {"interval": 0.001}, 204, True),
]


@pytest.mark.parametrize("action,extra,status,applied", ANSWER_FAULTS)
def test_each_fault_answers_and_applies_as_documented(service, action, extra, status, applied):
    service.control({"faults": [{"action": action, **extra}]})
    started = time.monotonic()
    try:
        got, headers, _ = post(service, wish("add", "album", "al-9", "T", "A"))
    except (http.client.HTTPException, OSError):
        got, headers = None, {}
    assert got == status
    assert (("album", "al-9") in keys(service)) == applied
    log = service.state()["requests"]
    assert [(r["fault"], r["status"], r["applied"]) for r in log] == [(action, status, applied)]
    if action == "throttle":
        assert headers["Retry-After"] == "7"
    if action == "redirect":
        assert headers["Location"].startswith("http://127.0.0.2:")
    if action == "late":
        assert time.monotonic() - started >= 0.3
    # times defaults to 1: the next request is served plainly.
    assert post(service, wish("add", "album", "al-9", "T", "A"))[0] == 204


def test_a_refused_item_stays_refused_while_others_pass(service):
    service.control({"faults": [{"action": "reject", "itemId": "pl-bad", "times": None},
                                {"action": "error", "kind": "artist", "times": None, "status": 500}]})
    for _ in range(3):
        assert post(service, wish("add", "playlist", "pl-bad"))[0] == 422
        assert post(service, wish("add", "artist", "ar-1"))[0] == 500
    assert post(service, wish("add", "playlist", "pl-good"))[0] == 204
    assert keys(service) == {("track", "tr-1"), ("album", "al-7"), ("playlist", "pl-good")}


def test_a_held_request_is_applied_after_the_client_gave_up(service):
    """And each request logs how many held requests' clients still wait for them."""
    import threading
    service.control({"faults": [{"action": "hold", "seconds": 20}]})
    gave_up = threading.Event()

    def impatient():
        with pytest.raises((socket.timeout, TimeoutError)):
            post(service, wish("add", "album", "al-held"), timeout=3)
        gave_up.set()

    client = threading.Thread(target=impatient)
    client.start()
    while not service.state()["requests"]:
        time.sleep(0.01)
    call(service, "GET", "/v1/wishlist/api/mine")  # while the client still waits
    assert ("album", "al-held") not in keys(service) or gave_up.is_set()
    client.join(10)
    deadline = time.monotonic() + 15
    while ("album", "al-held") not in keys(service):
        assert time.monotonic() < deadline, "the held request was never applied"
        time.sleep(0.05)
    call(service, "GET", "/v1/wishlist/api/mine")  # after it gave up
    log = service.state()["requests"]
    assert [(r["status"], r["applied"]) for r in log] == [(None, True), (200, False), (200, False)]
    if not gave_up.is_set():
        pytest.fail("the client never gave up")
    assert [r["heldOpen"] for r in log] == [0, 1, 0]


def test_a_late_list_is_the_list_as_it_was_when_asked(service):
    """Answered late and out of order: the older list arrives after the newer one."""
    import threading
    service.control({"faults": [{"endpoint": "mine", "action": "late", "seconds": 0.8}]})
    answers = []
    first = threading.Thread(target=lambda: answers.append(("first", call(service, "GET", "/v1/wishlist/api/mine"))))
    first.start()
    while not service.state()["requests"]:
        time.sleep(0.01)
    assert post(service, wish("add", "track", "tr-new"))[0] == 204
    answers.append(("second", call(service, "GET", "/v1/wishlist/api/mine")))
    first.join(10)
    assert [name for name, _ in answers] == ["second", "first"]
    ids = {name: [e["itemId"] for e in json.loads(a[2])["items"]] for name, a in answers}
    assert ids == {"first": ["tr-1", "al-7"], "second": ["tr-1", "al-7", "tr-new"]}


def test_an_oversized_list_is_padded_to_the_size_given(service):
    service.control({"faults": [{"action": "oversize", "bytes": 70000}]})
    status, _, body = call(service, "GET", "/v1/wishlist/api/mine")
    assert status == 200 and len(body) == 70000
    assert len(json.loads(body)["items"]) == 2


def test_a_truncated_list_is_half_of_it(service):
    service.control({"faults": [{"action": "truncate"}]})
    status, _, body = call(service, "GET", "/v1/wishlist/api/mine")
    assert status == 200
    with pytest.raises(ValueError):
        json.loads(body)
    assert call(service, "GET", "/v1/wishlist/api/mine")[2].startswith(body)


def test_a_trickled_answer_comes_a_byte_at_a_time(service):
    service.control({"faults": [{"endpoint": "mine", "action": "trickle", "interval": 0.002}]})
    started = time.monotonic()
    status, _, body = call(service, "GET", "/v1/wishlist/api/mine")
    assert status == 200 and len(json.loads(body)["items"]) == 2
    assert time.monotonic() - started >= 0.002 * len(body)


def test_an_idempotency_key_is_applied_once(service):
    key = {"Idempotency-Key": "op-42"}
    service.control({"faults": [{"action": "fail-after-apply"}]})
    assert post(service, wish("add", "album", "al-k"), headers=key)[0] == 500
    assert post(service, wish("remove", "album", "al-k"))[0] == 204  # another device removes it
    assert post(service, wish("add", "album", "al-k"), headers=key)[0] == 204  # the retry of the first
    assert ("album", "al-k") not in keys(service)
    assert [(r["applied"], r["replayed"]) for r in service.state()["requests"]] == \
        [(True, False), (True, False), (False, True)]


def test_every_request_is_recorded_without_its_authorization(service):
    post(service, wish("add", "album", "al-1"), headers={"Authorization": "Bearer secret", "X-Trace": "t-1"})
    call(service, "GET", "/v1/wishlist/api/mine?page=1")
    log = service.state()["requests"]
    assert [(r["method"], r["path"], r["status"]) for r in log] == \
        [("POST", "/v1/wishlist/api/wish", 204), ("GET", "/v1/wishlist/api/mine?page=1", 200)]
    headers = {k.lower(): v for k, v in log[0]["headers"].items()}
    assert headers["x-trace"] == "t-1" and "authorization" not in headers
    assert log[0]["wish"]["itemId"] == "al-1"
    assert "secret" not in json.dumps(service.state())


def test_control_orders_are_checked(service):
    for order in ({"faults": [{"action": "explode"}]}, {"faults": [{"action": "drop", "endpoint": "mine"}]},
                  {"faults": [{"action": "error", "status": 404}]}, {"faults": [{"action": "error", "times": 0}]},
                  {"faults": [{"action": "error", "typo": 1}]}, {"shape": "round"}, {"entries": [{"kind": "x"}]},
                  {"unknown": 1}):
        with pytest.raises(Exception) as raised:
            service.control(order)
        assert getattr(raised.value, "code", None) == 400, order
    assert service.state()["faults"] == []


def statuses(seed):
    rule = json.dumps({"action": "error", "probability": 0.5, "times": None})
    with ServiceProcess(["--base-path", "/v1", "--seed", str(seed), "--fault", rule], max_seconds=60) as service:
        return [post(service, wish("add", "album", f"al-{i}"))[0] for i in range(16)]


def test_the_seed_reproduces_the_faults():
    first = statuses(7)
    assert first == statuses(7)
    assert set(first) == {204, 503}
    assert first != statuses(8)


@pytest.mark.parametrize("args,limit", [(["--max-requests", "3"], 30), (["--max-seconds", "1"], 30)])
def test_it_stops_by_itself(args, limit):
    command = [sys.executable, SCRIPT, "--quiet", *args]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    base = process.stdout.readline().strip()
    port = int(base.rsplit(":", 1)[1])
    if "--max-requests" in args:
        for _ in range(3):
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", "/wishlist/api/mine")
            assert connection.getresponse().status == 200
            connection.close()
    try:
        assert process.wait(limit) == 0
    finally:
        process.kill()
        process.stdout.close()


def test_a_stop_lets_the_answers_under_way_finish():
    import threading
    with ServiceProcess(["--fault", '{"endpoint":"mine","action":"late","seconds":0.5}']) as service:
        answers = []
        late = threading.Thread(target=lambda: answers.append(call(service, "GET", "/wishlist/api/mine")[0]))
        late.start()
        while not service.state()["requests"]:
            time.sleep(0.01)
        service.control({"stop": True})
        late.join(10)
        assert answers == [200]
        assert service.process.wait(30) == 0
