# SPDX-License-Identifier: MIT
"""The README's app loop, run as written against a small wishlist service on 127.0.0.1."""

import json
import os
import pathlib
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import orvel

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
REFUSED = ("playlist", "pl-refused")


def example_code():
    """The first python block after the README's journal heading: the app's code."""
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Keeping changes until the service confirms them"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


class Service:
    """Holds a set of entries and answers like the wishlist service, with faults on a
    fixed schedule: of every four POSTs the first fails with 503 unapplied and the
    third is applied but answered 500; one POST is applied and answered too late;
    one identity is refused for good (422)."""

    def __init__(self, entries, slow_post):
        self.entries = dict(entries)  # (kind, item_id) -> (title, artist)
        self.posts = 0
        self.slow_post = slow_post
        self.lock = threading.Lock()

    def post(self, body):
        wish = json.loads(body)
        key = (wish["kind"], wish["itemId"])
        with self.lock:
            self.posts += 1
            n = self.posts
            if n % 4 == 1:
                return 503, 0
            if key == REFUSED:
                return 422, 0
            if wish["op"] == "add":
                self.entries[key] = (wish["title"], wish["artist"])
            else:
                self.entries.pop(key, None)
        return (500 if n % 4 == 3 else 204), (8 if n == self.slow_post else 0)

    def listing(self):
        # The loader's shape of one member per kind, with objects.
        with self.lock:
            shape = {}
            for (kind, item_id), (title, artist) in self.entries.items():
                shape.setdefault(kind + "s", []).append({"id": item_id, "title": title, "artist": artist})
        return json.dumps(shape).encode()

    def handler(self):
        service = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                ok = self.path == "/wishlist/api/wish" and self.headers["Content-Type"] == "application/json"
                status, delay = service.post(body) if ok else (404, 0)
                time.sleep(delay)
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def do_GET(self):
                body = service.listing()
                self.send_response(200 if self.path == "/wishlist/api/mine" else 404)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        return Handler


@pytest.fixture
def service():
    svc = Service({("track", "t1"): ("One", "A"), ("album", "a1"): ("First", "B")}, slow_post=6)
    server = ThreadingHTTPServer(("127.0.0.1", 0), svc.handler())
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    svc.base_url = f"http://127.0.0.1:{server.server_address[1]}/"
    yield svc
    server.shutdown()
    server.server_close()


def shown(wishes):
    return {(e.kind, e.item_id): (e.title, e.artist) for e in wishes}


def load_example():
    app = {}
    exec(compile(example_code(), str(README), "exec"), app)
    app["TIMEOUT"] = 5  # the slow answer (8 s) times out; any other has time to spare on a loaded machine
    app["BACKOFF"] = (0.01, 0.04)
    return app


def test_the_readme_loop_survives_failures_a_refusal_a_timeout_and_a_restart(service, tmp_path, monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
    app = load_example()
    path, base = str(tmp_path / "wishes.json"), service.base_url

    wishes = app["open_wishes"](path)
    assert app["refresh"](wishes, base, path) and shown(wishes) == service.entries
    for kind, item_id, wished, title in [("album", "a2", True, "Two"), ("track", "t1", False, "One"),
                                         ("playlist", "pl-refused", True, "No")]:
        assert wishes.set_wished(kind, item_id, wished=wished, title=title, artist="") > 0
        app["save"](wishes, path)
    # One pass: the first POST fails (503), and the two behind it still go out.
    assert not app["send_changes"](wishes, base, path)
    assert service.posts == 3 and (wishes.unsent, wishes.confirming) == (1, 1)
    assert REFUSED not in wishes and REFUSED not in service.entries  # refused for good, and put back
    wishes.close()  # the app ends; its snapshot holds what is left
    assert sorted(os.listdir(tmp_path)) == ["wishes.json"]

    wishes = app["open_wishes"](path)
    assert set(shown(wishes)) == {("album", "a1"), ("album", "a2")}
    assert wishes.set_wished("artist", "ar1", wished=True, title="", artist="Ar") > 0
    app["save"](wishes, path)
    # a2 goes through; ar1 fails (503), is applied but answered too late (unknown), fails
    # again (500), then goes through: three passes with waits between them.
    assert app["sync"](wishes, base, path, passes=5)
    assert service.posts == 8
    assert shown(wishes) == service.entries == {
        ("album", "a1"): ("First", "B"), ("album", "a2"): ("Two", ""), ("artist", "ar1"): ("", "Ar"),
    }
    assert wishes.held == 0
    # The late answer was reported unknown: the journal still watches that entry.
    assert wishes.status("artist", "ar1").state == orvel.EntryState.UNCERTAIN
    wishes.close()

    # What was saved last is that state too.
    with app["open_wishes"](path) as again:
        assert shown(again) == service.entries and again.held == 0 and again.uncertain == 1


def test_a_service_that_cannot_be_reached_keeps_every_change(tmp_path):
    app = load_example()
    path = str(tmp_path / "wishes.json")
    with app["open_wishes"](path) as wishes:
        wishes.set_wished("album", "a1", wished=True, title="T", artist="A")
        base = "http://127.0.0.1:9"  # discard: nothing listens
        assert not app["sync"](wishes, base, path, passes=3)
        # Refused connections never reached it: failed, not unknown.
        assert (wishes.unsent, wishes.uncertain, ("album", "a1") in wishes) == (1, 0, True)
        assert wishes.status("album", "a1").attempts == 3
    with app["open_wishes"](path) as again:
        assert again.unsent == 1


@pytest.mark.parametrize(
    "status, outcome",
    [(200, "ACCEPTED"), (204, "ACCEPTED"), (400, "REJECTED"), (404, "REJECTED"), (422, "REJECTED"),
     (408, "FAILED"), (429, "FAILED"), (500, "FAILED"), (503, "FAILED")],
)
def test_each_status_is_the_outcome_the_transport_rule_gives(status, outcome):
    class Answer(BaseHTTPRequestHandler):
        def do_POST(self):
            self.rfile.read(int(self.headers["Content-Length"]))
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Answer)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        request = orvel.build_wish_request(True, "album", "a", base_url=f"http://127.0.0.1:{server.server_address[1]}")
        assert load_example()["post"](request) == orvel.Outcome[outcome]
    finally:
        server.shutdown()
        server.server_close()
