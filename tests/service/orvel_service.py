#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The sample wishlist service: one user's wishlist over HTTP on 127.0.0.1,
with faults on request, for trying liborvel out and for testing its clients.

  orvel_service.py [--port N] [--base-path /P] [--shape SHAPE] [--entries FILE | --empty]
                   [--fault JSON]... [--seed N] [--max-requests N] [--max-seconds S] [--quiet]

It prints its base URL as the first line of standard output, then serves
  GET  <base>/wishlist/api/mine   the list, in the chosen loader shape
  POST <base>/wishlist/api/wish   one change, the body of the library's envelope
  GET  /_control                  the wishlist, the faults left and every request seen
  POST /_control                  JSON: replace "entries", "shape" or "faults", "clearLog", "stop"
and stops by itself after --max-requests requests or --max-seconds seconds.
docs/protocol.md describes the protocol, tests/service/README.md the faults.
Python 3's standard library only.
"""

import argparse
import json
import random
import select
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HOST = "127.0.0.1"
MINE = "/wishlist/api/mine"
WISH = "/wishlist/api/wish"
CONTROL = "/_control"
KINDS = ("track", "album", "artist", "playlist")
MAX_BODY = 64 * 1024  # a wish body is a few hundred bytes

SAMPLE_ENTRIES = [
    {"kind": "track", "itemId": "tr-1", "title": "Glass River", "artist": "Mara Quince"},
    {"kind": "album", "itemId": "al-7", "title": "Northern Lights", "artist": "The Hollow Pines"},
    {"kind": "playlist", "itemId": "pl-3", "title": "Sunday Morning", "artist": ""},
]


# ---- the list response, in each shape the loader reads ---------------------------------
def _full(e):
    return {"kind": e["kind"], "itemId": e["itemId"], "title": e["title"], "artist": e["artist"]}


def _grouped(entries, suffix, element):
    doc = {}
    for e in entries:
        doc.setdefault(e["kind"] + suffix, []).append(element(e))
    return doc


SHAPES = {
    # {"items": [{"kind", "itemId", "title", "artist"}...]}
    "items": lambda es: {"items": [_full(e) for e in es]},
    # {"wishes": [{"kind", "id", "title", "artist"}...]}: "id" where "itemId" is missing
    "wishes": lambda es: {"wishes": [{"kind": e["kind"], "id": e["itemId"], "title": e["title"],
                                      "artist": e["artist"]} for e in es]},
    # a bare array of full objects
    "array": lambda es: [_full(e) for e in es],
    # one array per kind, plural names, objects without "kind"
    "grouped": lambda es: _grouped(es, "s", lambda e: {"id": e["itemId"], "title": e["title"],
                                                       "artist": e["artist"]}),
    # one array per kind, singular names
    "grouped-singular": lambda es: _grouped(es, "", lambda e: {"itemId": e["itemId"], "title": e["title"],
                                                               "artist": e["artist"]}),
    # one array of identifier strings per kind: titles and artists are not sent
    "ids": lambda es: _grouped(es, "s", lambda e: e["itemId"]),
    # the library's own export document
    "export": lambda es: {"total": len(es), "items": [_full(e) for e in es]},
}


# ---- faults -------------------------------------------------------------------------
# Each action, the endpoints it applies to and what it does:
ACTIONS = {
    "drop": ("wish",),              # close the connection unanswered, not applied
    "error": ("wish", "mine"),      # answer 5xx (status, 503), not applied
    "fail-after-apply": ("wish",),  # apply, then answer 5xx (status, 500)
    "reject": ("wish",),            # answer 4xx (status, 422), not applied
    "throttle": ("wish", "mine"),   # answer 429 with Retry-After (retryAfter, 1), not applied
    "late": ("wish", "mine"),       # apply (a list: as it is now), answer after seconds (2)
    "hold": ("wish",),              # no answer; apply once the client has closed (or after seconds, 30)
    "trickle": ("wish", "mine"),    # apply, answer one byte every interval (0.05) seconds
    "oversize": ("mine",),          # a list padded with spaces to bytes (1048577) bytes
    "truncate": ("mine",),          # the first half of the list only: not JSON
    "redirect": ("wish", "mine"),   # answer 307 to another origin (location), not applied
}
DEFAULT_STATUS = {"error": 503, "fail-after-apply": 500, "reject": 422}
MATCHES = ("endpoint", "kind", "itemId", "op")
FIELDS = set(MATCHES) | {"action", "times", "probability", "status", "seconds", "retryAfter", "interval",
                         "bytes", "location"}


class FaultError(ValueError):
    pass


def check_fault(rule):
    """A fault rule with its defaults filled in; FaultError names what is wrong."""
    if not isinstance(rule, dict):
        raise FaultError("a fault is a JSON object")
    unknown = set(rule) - FIELDS
    if unknown:
        raise FaultError(f"unknown fault member {sorted(unknown)[0]!r}")
    action = rule.get("action")
    if action not in ACTIONS:
        raise FaultError(f"unknown fault action {action!r} (one of {', '.join(ACTIONS)})")
    rule = dict(rule)
    rule.setdefault("endpoint", "wish" if "wish" in ACTIONS[action] else "mine")
    if rule["endpoint"] not in ACTIONS[action]:
        raise FaultError(f"action {action!r} does not apply to endpoint {rule['endpoint']!r}")
    rule.setdefault("times", 1)  # null: for ever
    rule.setdefault("probability", 1.0)
    if rule["times"] is not None and (not isinstance(rule["times"], int) or rule["times"] < 1):
        raise FaultError("times is a positive integer or null")
    if not isinstance(rule["probability"], (int, float)) or not 0 <= rule["probability"] <= 1:
        raise FaultError("probability is a number from 0 to 1")
    status = rule.setdefault("status", DEFAULT_STATUS.get(action))
    low, high = (400, 499) if action == "reject" else (500, 599)
    if status is not None and (not isinstance(status, int) or not low <= status <= high):
        raise FaultError(f"status of {action!r} is from {low} to {high}")
    for name, default in (("seconds", 30.0 if action == "hold" else 2.0), ("retryAfter", 1),
                          ("interval", 0.05), ("bytes", 1024 * 1024 + 1)):
        value = rule.setdefault(name, default)
        if not isinstance(value, (int, float)) or value < 0:
            raise FaultError(f"{name} is a number not below 0")
    return rule


class Service:
    """The wishlist, the fault rules and the request log, shared by the handler threads."""

    def __init__(self, entries, shape, faults, seed, max_requests, max_seconds, quiet):
        self.lock = threading.Lock()
        self.entries = {}
        self.set_entries(entries)
        self.shape = shape
        self.faults = [check_fault(f) for f in faults]
        self.random = random.Random(seed)
        self.seed = seed
        self.log = []
        self.idempotent = {}  # Idempotency-Key -> the status its first application was answered with
        self.max_requests = max_requests
        self.started = time.monotonic()
        self.deadline = self.started + max_seconds
        self.quiet = quiet
        self.requests_seen = 0
        self.stopping = threading.Event()
        self.active = 0  # requests being answered, waited for before the process ends
        self.holding = set()  # the connections of held requests
        self.idle = threading.Condition(self.lock)

    def set_entries(self, entries):
        fresh = {}
        for e in entries:
            if not (isinstance(e, dict) and e.get("kind") in KINDS and isinstance(e.get("itemId"), str)
                    and e["itemId"]):
                raise FaultError(f"an entry needs a kind of {', '.join(KINDS)} and a non-empty itemId: {e!r}")
            fresh.setdefault((e["kind"], e["itemId"]), (str(e.get("title", "")), str(e.get("artist", ""))))
        self.entries = fresh

    def entry_list(self):
        return [{"kind": k, "itemId": i, "title": t, "artist": a} for (k, i), (t, a) in self.entries.items()]

    def listing(self):
        with self.lock:
            return json.dumps(SHAPES[self.shape](self.entry_list()), ensure_ascii=False,
                              separators=(",", ":")).encode("utf-8")

    def apply(self, wish):
        with self.lock:
            key = (wish["kind"], wish["itemId"])
            if wish["op"] == "add":
                self.entries.setdefault(key, (wish["title"], wish["artist"]))
            else:
                self.entries.pop(key, None)

    def choose_fault(self, endpoint, wish):
        """The first rule that matches this request and is drawn, its count used; or None."""
        with self.lock:
            for rule in self.faults:
                if rule["endpoint"] != endpoint:
                    continue
                if any(m in rule and (wish is None or wish.get(m) != rule[m]) for m in MATCHES[1:]):
                    continue
                if rule["probability"] < 1 and self.random.random() >= rule["probability"]:
                    continue
                if rule["times"] is not None:
                    rule["times"] -= 1
                    if rule["times"] == 0:
                        self.faults.remove(rule)
                return dict(rule)
        return None

    def record(self, method, path, headers):
        """Counts a request, and logs it unless it is a control request; None once the bound is reached."""
        with self.lock:
            self.requests_seen += 1
            if self.requests_seen > self.max_requests:
                return None
            if self.requests_seen == self.max_requests:
                self.stopping.set()
            entry = {"seq": len(self.log) + 1, "time": round(time.monotonic() - self.started, 3),
                     "method": method, "path": path,
                     "headers": {k: v for k, v in headers.items() if k.lower() != "authorization"},
                     "status": None, "fault": None, "applied": False, "replayed": False, "wish": None,
                     "heldOpen": sum(not peer_closed(s) for s in self.holding)}
            if path != CONTROL:
                self.log.append(entry)
            return entry

    def state(self):
        with self.lock:
            return {"entries": self.entry_list(), "shape": self.shape, "seed": self.seed,
                    "faults": [dict(f) for f in self.faults], "requests": [dict(e) for e in self.log]}

    def control(self, order):
        if not isinstance(order, dict):
            raise FaultError("a control order is a JSON object")
        unknown = set(order) - {"entries", "shape", "faults", "clearLog", "stop"}
        if unknown:
            raise FaultError(f"unknown control member {sorted(unknown)[0]!r}")
        if "shape" in order and order["shape"] not in SHAPES:
            raise FaultError(f"unknown shape {order['shape']!r} (one of {', '.join(SHAPES)})")
        faults = [check_fault(f) for f in order.get("faults", [])]
        if "entries" in order and not isinstance(order["entries"], list):
            raise FaultError("entries is a JSON array")
        with self.lock:
            if "entries" in order:
                self.set_entries(order["entries"])
            if "shape" in order:
                self.shape = order["shape"]
            if "faults" in order:
                self.faults = faults
            if order.get("clearLog"):
                self.log = []
                self.idempotent = {}
        if order.get("stop"):
            self.stopping.set()

    def say(self, text):
        if not self.quiet:
            print(f"orvel_service: {text}", file=sys.stderr, flush=True)


def peer_closed(sock):
    """Whether the client has closed its end of the connection (an end of file waits to be read)."""
    try:
        readable, _, _ = select.select([sock], [], [], 0)
        return bool(readable) and sock.recv(1, socket.MSG_PEEK) == b""
    except (OSError, ValueError):
        return True


def parse_wish(body):
    """The change a POST body carries, or None when it is not one."""
    try:
        wish = json.loads(body.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        return None
    if not isinstance(wish, dict) or wish.get("op") not in ("add", "remove") or wish.get("kind") not in KINDS:
        return None
    if not isinstance(wish.get("itemId"), str) or not wish["itemId"]:
        return None
    if not all(isinstance(wish.get(m), str) for m in ("title", "artist")):
        return None
    return wish


def make_handler(service, base_path):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "orvel-sample-service"
        sys_version = ""

        def log_message(self, *args):
            pass

        # ---- answering --------------------------------------------------------------
        def answer(self, status, body=b"", headers=(), fault=None):
            """Sends a whole answer, at once or byte by byte, and logs its status."""
            head = [f"HTTP/1.1 {status} {self.responses.get(status, ('',))[0]}",
                    f"Server: {self.server_version}", f"Content-Length: {len(body)}"]
            if body:
                head.append("Content-Type: application/json")
            head += [f"{k}: {v}" for k, v in headers]
            raw = ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body
            self.entry["status"] = status
            try:
                if fault and fault["action"] == "trickle":
                    for i in range(len(raw)):
                        self.wfile.write(raw[i:i + 1])
                        self.wfile.flush()
                        time.sleep(fault["interval"])
                else:
                    self.wfile.write(raw)
                    self.wfile.flush()
            except OSError:
                self.close_connection = True
            self.say()

        def say(self):
            e = self.entry
            what = f" {e['wish']['op']} {e['wish']['kind']} {e['wish']['itemId']}" if e["wish"] else ""
            fault = f" [{e['fault']}]" if e["fault"] else ""
            service.say(f"{e['method']} {e['path']} {e['status'] or 'no answer'}{what}{fault}")

        def fail(self, status, reason):
            self.answer(status, json.dumps({"error": reason}).encode("utf-8"))

        def body(self):
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if length < 0 or length > MAX_BODY:
                self.close_connection = True
                return None
            return self.rfile.read(length)

        def client_closed(self, until):
            """Waits until the client has closed its end of the connection, or until `until`."""
            while time.monotonic() < until and not service.stopping.is_set():
                select.select([self.connection], [], [], 0.05)
                if peer_closed(self.connection):
                    return True
                time.sleep(0.01)  # readable but not closed: the client sent more, it has not given up
            return False

        # ---- the endpoints ----------------------------------------------------------
        def handle_one(self, method):
            self.entry = service.record(method, self.path, self.headers)
            if self.entry is None:
                self.close_connection = True
                self.entry = {"method": method, "path": self.path, "status": None, "wish": None, "fault": None}
                return self.fail(503, "the service has reached its request limit")
            path = self.path.split("?", 1)[0]
            if path == CONTROL:
                return self.control(method)
            if path == base_path + MINE:
                return self.mine() if method == "GET" else self.fail(405, "GET only")
            if path == base_path + WISH:
                return self.wish() if method == "POST" else self.fail(405, "POST only")
            self.fail(404, "no such endpoint")

        def do_GET(self):
            self.counted("GET")

        def do_POST(self):
            self.counted("POST")

        def counted(self, method):
            with service.lock:
                service.active += 1
            try:
                self.handle_one(method)
            finally:
                with service.lock:
                    service.active -= 1
                    service.idle.notify_all()
            if service.stopping.is_set():
                self.close_connection = True

        def control(self, method):
            if method == "POST":
                body = self.body()
                try:
                    service.control(json.loads(body or b"null"))
                except ValueError as error:  # FaultError, or JSON that does not parse
                    return self.fail(400, str(error))
            self.answer(200, json.dumps(service.state(), ensure_ascii=False).encode("utf-8"))

        def common_fault(self, fault):
            """The faults that answer without applying anything; True when one answered."""
            action = fault["action"] if fault else None
            if action == "error":
                self.fail(fault["status"], "the service failed")
            elif action == "throttle":
                self.answer(429, b"", [("Retry-After", str(int(fault["retryAfter"])))])
            elif action == "redirect":
                port = self.server.server_address[1]
                location = fault.get("location") or f"http://127.0.0.2:{port}{self.path}"
                self.answer(307, b"", [("Location", location)])
            else:
                return False
            return True

        def mine(self):
            fault = service.choose_fault("mine", None)
            self.entry["fault"] = fault and fault["action"]
            if self.common_fault(fault):
                return
            body = service.listing()  # as the wishlist is on arrival, even when answered late
            if fault and fault["action"] == "oversize":
                body += b" " * max(0, int(fault["bytes"]) - len(body))
            if fault and fault["action"] == "truncate":
                body = body[:len(body) // 2]
            if fault and fault["action"] == "late":
                time.sleep(min(fault["seconds"], max(0.0, service.deadline - time.monotonic())))
            self.answer(200, body, fault=fault)

        def wish(self):
            body = self.body()
            if body is None:
                return self.fail(413, f"a wish body is at most {MAX_BODY} bytes")
            if self.headers.get("Content-Type", "").split(";")[0].strip().lower() != "application/json":
                return self.fail(415, "the body must be application/json")
            wish = parse_wish(body)
            if wish is None:
                return self.fail(400, "the body is not a wish: op, kind, itemId, title, artist")
            self.entry["wish"] = wish
            key = self.headers.get("Idempotency-Key")
            with service.lock:
                replay = service.idempotent.get(key) if key else None
            if replay is not None:
                self.entry["replayed"] = True
                return self.answer(replay if 200 <= replay < 300 else 204)
            fault = service.choose_fault("wish", wish)
            action = fault and fault["action"]
            self.entry["fault"] = action
            if self.common_fault(fault):
                return
            if action == "reject":
                return self.fail(fault["status"], "refused")
            if action == "drop":
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return self.say()
            if action == "hold":
                self.close_connection = True
                with service.lock:
                    service.holding.add(self.connection)
                self.client_closed(min(time.monotonic() + fault["seconds"], service.deadline))
                with service.lock:
                    service.holding.discard(self.connection)
                self.applied(wish, key, 204)
                return self.say()
            self.applied(wish, key, 204)
            if action == "late":
                time.sleep(min(fault["seconds"], max(0.0, service.deadline - time.monotonic())))
            if action == "fail-after-apply":
                return self.fail(fault["status"], "the service failed after applying")
            self.answer(204, fault=fault)

        def applied(self, wish, key, status):
            service.apply(wish)
            self.entry["applied"] = True
            if key:
                with service.lock:
                    service.idempotent[key] = status

    return Handler


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="orvel_service.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default=HOST, help="the address to listen on: 127.0.0.1 only")
    parser.add_argument("--port", type=int, default=0, help="the port (default 0: a free one)")
    parser.add_argument("--base-path", default="", help="a path before /wishlist/api/... (e.g. /v1)")
    parser.add_argument("--shape", choices=sorted(SHAPES), default="items", help="the list response's shape")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--entries", metavar="FILE", help="a JSON array of {kind, itemId, title, artist}")
    group.add_argument("--empty", action="store_true", help="start with an empty wishlist")
    parser.add_argument("--fault", action="append", default=[], metavar="JSON",
                        help='a fault rule, e.g. \'{"action":"error","times":2}\' (repeatable)')
    parser.add_argument("--seed", type=int, default=1, help="seeds the faults' probabilities (default 1)")
    parser.add_argument("--max-requests", type=int, default=1000, help="stop after this many requests (1000)")
    parser.add_argument("--max-seconds", type=float, default=600, help="stop after this many seconds (600)")
    parser.add_argument("--quiet", action="store_true", help="do not log requests on standard error")
    args = parser.parse_args(argv)
    if args.host != HOST:
        parser.error(f"--host {args.host}: the sample service listens on {HOST} only")
    if not 0 <= args.port <= 65535:
        parser.error("--port is from 0 to 65535")
    if args.base_path and (not args.base_path.startswith("/") or args.base_path.endswith("/")):
        parser.error("--base-path starts with / and does not end with one")
    if args.max_requests < 1 or not 0 < args.max_seconds <= 24 * 3600:
        parser.error("--max-requests is at least 1, --max-seconds from 0 to 86400")
    return parser, args


def main(argv=None):
    parser, args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        if args.entries:
            with open(args.entries, encoding="utf-8") as file:
                entries = json.load(file)
        else:
            entries = [] if args.empty else SAMPLE_ENTRIES
        faults = [json.loads(f) for f in args.fault]
        service = Service(entries, args.shape, faults, args.seed, args.max_requests, args.max_seconds, args.quiet)
    except (OSError, ValueError) as error:
        parser.error(str(error))
    try:
        server = Server((HOST, args.port), make_handler(service, args.base_path))
    except OSError as error:
        parser.error(f"cannot listen on {HOST}:{args.port}: {error.strerror or error}")
    print(f"http://{HOST}:{server.server_address[1]}{args.base_path}", flush=True)
    service.say(f"serving {len(service.entries)} entries as '{args.shape}', seed {args.seed}; stops after "
                f"{args.max_requests} requests or {args.max_seconds:g} s")

    def watchdog():
        service.stopping.wait(max(0.0, service.deadline - time.monotonic()))
        service.stopping.set()
        server.shutdown()

    threading.Thread(target=watchdog, daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    server.server_close()
    # Each answer under way is finished (a held or late one is bounded by the lifetime);
    # idle keep-alive connections are simply dropped with the process.
    with service.lock:
        service.idle.wait_for(lambda: service.active == 0, timeout=10)
    service.say(f"stopped after {service.requests_seen} requests")
    return 0


if __name__ == "__main__":
    sys.exit(main())
