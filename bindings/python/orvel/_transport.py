# SPDX-License-Identifier: MIT
"""WishlistClient's HTTP: one request under one deadline, its answer taken as the journal's outcome.

Python's own http.client, one connection per request: giving a request up is closing its
connection, so a request reported FAILED can no longer arrive.
"""

from __future__ import annotations

import email.utils
import http.client
import io
import socket
import ssl
import time
from dataclasses import dataclass
from typing import Callable, Dict, Mapping, Optional, Tuple
from urllib.parse import urljoin, urlsplit

from ._synced import Outcome

_MAX_REDIRECTS = 5
_WISH_ANSWER_BYTES = 64 * 1024  # a change's answer is read (and dropped) up to this much
_CHUNK = 64 * 1024


class _Expired(Exception):
    """The request's deadline passed."""


@dataclass(frozen=True)
class Answer:
    """What became of one request."""

    outcome: Outcome
    status: Optional[int] = None
    """The HTTP status, None when there was no answer."""
    body: bytes = b""
    retry_after: Optional[float] = None
    """Seconds the service asked to wait (429 and 503), None when it did not say."""
    connection_failed: bool = False
    """No connection was made (refused, unknown host, connect timeout): it never left."""
    reason: str = ""
    """Why it failed, for people: never a header or a token."""


def origin(url: str) -> Tuple[str, str, int]:
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    port = parts.port or (443 if scheme == "https" else 80)
    return scheme, (parts.hostname or "").lower(), port


def retry_after_seconds(value: Optional[str], now: Optional[float] = None) -> Optional[float]:
    """A Retry-After header in seconds from now: delta-seconds or an HTTP date; None when unreadable."""
    if value is None:
        return None
    value = value.strip()
    if value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when is None or when.tzinfo is None:
        return None
    return max(0.0, when.timestamp() - (time.time() if now is None else now))


def outcome_of_status(status: int) -> Outcome:
    """2xx accepted; 408, 429 and 5xx "try again"; any other 4xx refused for good; anything else failed."""
    if 200 <= status < 300:
        return Outcome.ACCEPTED
    if status in (408, 429) or 500 <= status < 600:
        return Outcome.FAILED
    if 400 <= status < 500:
        return Outcome.REJECTED
    return Outcome.FAILED


class _DeadlineRaw(io.RawIOBase):
    """A socket's reading side where every read waits no longer than what is left of the deadline,
    so that an answer trickled a byte at a time still ends when the deadline does."""

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self._sock, self._deadline = sock, deadline

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise _Expired()
        self._sock.settimeout(left)
        try:
            return self._sock.recv_into(buffer)
        except socket.timeout:
            raise _Expired() from None


class _DeadlineSocket:
    """What http.client needs of a socket, every operation bounded by one deadline."""

    def __init__(self, sock: socket.socket, deadline: float) -> None:
        self._sock, self._deadline = sock, deadline

    def _left(self) -> float:
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise _Expired()
        return left

    def sendall(self, data: bytes) -> None:
        self._sock.settimeout(self._left())  # bounds the whole sendall
        try:
            self._sock.sendall(data)
        except socket.timeout:
            raise _Expired() from None

    def makefile(self, mode: str = "rb", *args: object, **kwargs: object) -> io.BufferedReader:
        return io.BufferedReader(_DeadlineRaw(self._sock, self._deadline))

    def settimeout(self, value: Optional[float]) -> None:
        pass  # the deadline rules

    def close(self) -> None:
        pass  # http.client closes it as soon as an answer says "Connection: close", before its body is read

    def shutdown(self, how: int) -> None:
        self._sock.shutdown(how)


class Transport:
    """Sends the client's requests: the headers provider called before each, a deadline on the
    whole request, a cap on a list's size, redirects within the base URL's origin only."""

    def __init__(self, headers: Optional[Callable[[], Mapping[str, str]]], ssl_context: Optional[ssl.SSLContext],
                 max_response_bytes: int) -> None:
        self._headers = headers
        self._ssl = ssl_context if ssl_context is not None else ssl.create_default_context()
        self._max_response_bytes = max_response_bytes

    def post(self, url: str, body: bytes, content_type: str, idempotency_key: str, timeout: float) -> Answer:
        """A change: its answer, or UNKNOWN when it may have arrived without one."""
        headers = {"Content-Type": content_type, "Idempotency-Key": idempotency_key}
        return self._request("POST", url, body, headers, timeout, _WISH_ANSWER_BYTES, cap_fails=False)

    def get(self, url: str, timeout: float) -> Answer:
        """The list: ACCEPTED with its body, else FAILED (a list fetch is never unknown)."""
        answer = self._request("GET", url, None, {"Accept": "application/json"}, timeout,
                               self._max_response_bytes, cap_fails=True)
        if answer.outcome is not Outcome.ACCEPTED:
            answer = Answer(Outcome.FAILED, answer.status, b"", answer.retry_after, answer.connection_failed,
                            answer.reason)
        return answer

    def _request(self, method: str, url: str, body: Optional[bytes], headers: Dict[str, str], timeout: float,
                 cap: int, cap_fails: bool) -> Answer:
        deadline = time.monotonic() + timeout
        first = origin(url)
        for _ in range(_MAX_REDIRECTS + 1):
            answer, location = self._once(method, url, body, headers, deadline, cap, cap_fails)
            if location is None:
                return answer
            target = urljoin(url, location)
            if origin(target) != first:
                return Answer(Outcome.FAILED, answer.status,
                              reason=f"a redirect to another origin was refused ({answer.status})")
            url = target
        return Answer(Outcome.FAILED, reason=f"more than {_MAX_REDIRECTS} redirects")

    def _connection(self, url: str, deadline: float) -> Tuple[http.client.HTTPConnection, str]:
        parts = urlsplit(url)
        scheme = parts.scheme.lower()
        left = max(0.001, deadline - time.monotonic())
        if scheme == "https":
            conn: http.client.HTTPConnection = http.client.HTTPSConnection(
                parts.hostname or "", parts.port, timeout=left, context=self._ssl)
        elif scheme == "http":
            conn = http.client.HTTPConnection(parts.hostname or "", parts.port, timeout=left)
        else:
            raise ValueError(f"a {scheme or 'relative'} URL is not http or https")
        target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        return conn, target

    def _once(self, method: str, url: str, body: Optional[bytes], fixed: Dict[str, str], deadline: float,
              cap: int, cap_fails: bool) -> Tuple[Answer, Optional[str]]:
        try:
            conn, target = self._connection(url, deadline)
        except ValueError as error:
            return Answer(Outcome.FAILED, reason=str(error)), None
        written = False
        sock: Optional[socket.socket] = None
        try:
            try:
                conn.connect()
            except (OSError, ssl.SSLError) as error:
                return Answer(Outcome.FAILED, connection_failed=True,
                              reason=f"cannot connect: {type(error).__name__}"), None
            sock = conn.sock
            conn.sock = _DeadlineSocket(sock, deadline)  # type: ignore[assignment]
            try:
                headers = dict(self._headers() if self._headers else {})
            except Exception as error:  # its text may hold a token: only its type is told
                return Answer(Outcome.FAILED, reason=f"the headers provider raised {type(error).__name__}"), None
            headers.update(fixed)
            headers["Connection"] = "close"
            conn.request(method, target, body=body, headers=headers)
            written = True
            response = conn.getresponse()
            status = response.status
            if status in (301, 302, 303, 307, 308):
                location = response.getheader("Location")
                if location and (method == "GET" or status in (307, 308)):
                    return Answer(Outcome.FAILED, status), location
                return Answer(Outcome.FAILED, status, reason=f"a redirect ({status}) was not followed"), None
            length = response.getheader("Content-Length")
            if cap_fails and length and length.isdigit() and int(length) > cap:
                return Answer(Outcome.FAILED, status, reason=f"the response is over {cap} bytes"), None
            data = bytearray()
            while True:
                chunk = response.read(min(_CHUNK, cap + 1 - len(data)))
                if not chunk:
                    break
                data += chunk
                if len(data) > cap:
                    if cap_fails:
                        return Answer(Outcome.FAILED, status, reason=f"the response is over {cap} bytes"), None
                    break
            retry = retry_after_seconds(response.getheader("Retry-After")) if status in (429, 503) else None
            return Answer(outcome_of_status(status), status, bytes(data), retry), None
        except _Expired:
            return self._cut_off(written, "the deadline passed"), None
        except (OSError, http.client.HTTPException) as error:
            return self._cut_off(written, f"the connection broke: {type(error).__name__}"), None
        except ValueError as error:  # a header http.client refuses (a line break in a token)
            return self._cut_off(written, f"the request could not be made: {type(error).__name__}"), None
        finally:
            conn.close()
            if sock is not None:
                sock.close()  # the request is given up: it can no longer arrive

    @staticmethod
    def _cut_off(written: bool, why: str) -> Answer:
        # Once the request was written it may have been applied: only then is it unknown.
        return Answer(Outcome.UNKNOWN if written else Outcome.FAILED, reason=why)
