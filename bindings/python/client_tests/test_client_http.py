# SPDX-License-Identifier: MIT
"""The client's HTTP against servers of other shapes: https with an untrusted and a trusted
certificate, answers that close their connection, a chunked list past the size cap."""

import json
import shutil
import ssl
import subprocess
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import orvel


class Wishes(BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        body = json.dumps({"items": []}).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def tls_service(tmp_path):
    if not shutil.which("openssl"):
        pytest.skip("openssl is not installed")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Wishes)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"https://127.0.0.1:{server.server_address[1]}", cert
    server.shutdown()
    server.server_close()


def test_an_untrusted_certificate_fails_and_a_trusted_one_is_accepted(tls_service, tmp_path):
    base_url, cert = tls_service
    with orvel.WishlistClient(base_url, str(tmp_path / "a"), request_timeout=30, events="inline") as wishes:
        wishes.set_wished("album", "al-1", True)
        summary = wishes.sync_now()
        assert (summary.failed, summary.accepted, summary.refreshed) == (1, 0, False)
        assert "SSL" in wishes.last_failure and wishes.status("album", "al-1").attempts == 1
    trusted = ssl.create_default_context(cafile=str(cert))
    with orvel.WishlistClient(base_url, str(tmp_path / "b"), ssl_context=trusted, events="inline") as wishes:
        wishes.set_wished("album", "al-1", True)
        summary = wishes.sync_now()
        assert (summary.accepted, summary.refreshed) == (1, True), wishes.last_failure


def test_a_server_that_closes_each_connection_is_read_whole(tmp_path):
    # HTTP/1.0: every answer says the connection closes, before its body is read.
    server = ThreadingHTTPServer(("127.0.0.1", 0), Wishes)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base_url = f"http://127.0.0.1:{server.server_address[1]}"
        with orvel.WishlistClient(base_url, str(tmp_path), events="inline") as wishes:
            wishes.set_wished("album", "al-1", True)
            summary = wishes.sync_now()
            assert (summary.accepted, summary.refreshed) == (1, True), wishes.last_failure
    finally:
        server.shutdown()
        server.server_close()


class Chunked(BaseHTTPRequestHandler):
    """The list in chunks, with no Content-Length: its size is known only once read."""

    protocol_version = "HTTP/1.1"
    entries = 0

    def do_GET(self):
        items = [{"kind": "track", "itemId": f"tr-{n}", "title": "T" * 50, "artist": ""} for n in range(self.entries)]
        body = json.dumps({"items": items}).encode()
        self.send_response(200)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for start in range(0, len(body), 1000):
            piece = body[start:start + 1000]
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
        self.wfile.write(b"0\r\n\r\n")

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("entries, loaded", [(10, True), (1000, False)])
def test_a_chunked_list_past_the_cap_loads_nothing(tmp_path, entries, loaded):
    handler = type("Sized", (Chunked,), {"entries": entries})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        base_url = f"http://127.0.0.1:{server.server_address[1]}"
        with orvel.WishlistClient(base_url, str(tmp_path), max_response_bytes=16384, events="inline") as wishes:
            assert wishes.sync_now().refreshed == loaded
            assert len(wishes) == (entries if loaded else 0)
            assert loaded or wishes.last_failure == "the response is over 16384 bytes"
    finally:
        server.shutdown()
        server.server_close()
