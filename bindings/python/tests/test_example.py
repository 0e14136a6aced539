"""The README's app loop, run as written against a small wishlist service on 127.0.0.1."""

import json
import pathlib
import re
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

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
        return (500 if n % 4 == 3 else 204), (1.5 if n == self.slow_post else 0)

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
    svc = Service({("track", "t1"): ("One", "A"), ("album", "a1"): ("First", "B")}, slow_post=8)
    server = ThreadingHTTPServer(("127.0.0.1", 0), svc.handler())
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    svc.base_url = f"http://127.0.0.1:{server.server_address[1]}/"
    yield svc
    server.shutdown()
    server.server_close()


def shown(wishes):
    return {(e.kind, e.item_id): (e.title, e.artist) for e in wishes}


def test_the_readme_loop_survives_failures_a_refusal_and_a_restart(service, tmp_path, monkeypatch):
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        monkeypatch.delenv(proxy, raising=False)
    app = {}
    exec(compile(example_code(), str(README), "exec"), app)
    app["TIMEOUT"] = 0.5  # the slow answer times out
    folder, base = str(tmp_path), service.base_url

    wishes = app["open_wishes"](folder)
    assert app["refresh"](wishes, base, folder) and shown(wishes) == service.entries
    for kind, item_id, wished, title in [("album", "a2", True, "Two"), ("track", "t1", False, "One"),
                                         ("playlist", "pl-refused", True, "No")]:
        assert wishes.set_wished(kind, item_id, wished=wished, title=title, artist="") > 0
        app["save"](wishes, folder)
    app["send_changes"](wishes, base, folder)  # the first POST fails: the pass stops there
    assert (wishes.held, wishes.unsent) == (3, 3)
    wishes.close()  # the app ends before anything went through

    wishes = app["open_wishes"](folder)
    assert set(shown(wishes)) == {("album", "a1"), ("album", "a2"), REFUSED}
    assert wishes.set_wished("artist", "ar1", wished=True, title="", artist="Ar") > 0
    app["save"](wishes, folder)
    assert app["refresh"](wishes, base, folder)  # nothing sent yet: the changes stay shown
    assert set(shown(wishes)) == {("album", "a1"), ("album", "a2"), REFUSED, ("artist", "ar1")}
    for _ in range(10):
        if not wishes.unsent:
            break
        app["send_changes"](wishes, base, folder)
    assert (wishes.unsent, wishes.in_flight) == (0, 0)
    assert REFUSED not in wishes and REFUSED not in service.entries  # refused for good, and put back
    assert app["refresh"](wishes, base, folder)
    assert shown(wishes) == service.entries == {
        ("album", "a1"): ("First", "B"), ("album", "a2"): ("Two", ""), ("artist", "ar1"): ("", "Ar"),
    }
    assert wishes.held == 0
    assert service.posts > service.slow_post  # every fault was met
    wishes.close()

    # What was saved last is that state too.
    with app["open_wishes"](folder) as again:
        assert shown(again) == service.entries and again.held == 0


def test_a_service_that_cannot_be_reached_keeps_every_change(tmp_path):
    app = {}
    exec(compile(example_code(), str(README), "exec"), app)
    folder = str(tmp_path)
    with app["open_wishes"](folder) as wishes:
        wishes.set_wished("album", "a1", wished=True, title="T", artist="A")
        base = "http://127.0.0.1:9"  # discard: nothing listens
        app["send_changes"](wishes, base, folder)
        assert not app["refresh"](wishes, base, folder)
        assert (wishes.unsent, ("album", "a1") in wishes) == (1, True)
