# SPDX-License-Identifier: MIT
"""WishlistClient: a SyncedWishlist that does its own HTTP, saving, retries and events."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import functools
import queue
import random
import ssl
import sys
import threading
import time
import traceback
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple
from urllib.parse import urlsplit

from ._enums import TextEnum
from ._errors import InvalidInputError
from ._kinds import Kind
from ._requests import build_mine_url
from ._state_dir import FileOps, StateDir, StateError
from ._store import Entry
from ._synced import EntryState, Outcome, PendingRequest, StoreChange, SyncedWishlist
from ._text import Text
from ._transport import Answer, Transport

MIB = 1024 * 1024
# Requests a pass takes from the journal per save (max_in_flight when more): 32 at first, twice
# as many each time after, up to 256, so that a long pass makes few saves and a short one few
# hand-outs that a crash would bring back as unknown.
HAND_OUT, HAND_OUT_MAX = 32, 256


@dataclass(frozen=True)
class ClientOptions:
    """WishlistClient's settings; every default is the one docs/client.md gives. Times are seconds."""

    headers: Optional[Callable[[], Mapping[str, str]]] = None
    """Called before each request for extra headers (an Authorization that changes)."""
    request_timeout: float = 10.0
    """One change's whole request, connect to last byte."""
    list_timeout: float = 30.0
    """The whole list response."""
    max_response_bytes: int = 64 * MIB
    """A larger list response fails the refresh; nothing is loaded."""
    max_in_flight: int = 4
    """Requests at once, never two for one entry."""
    backoff_base: float = 1.0
    backoff_cap: float = 300.0
    """A retry waits random(0, min(backoff_cap, backoff_base * 2**attempts))."""
    offline_after: int = 3
    """Consecutive connection failures before the client is offline (then one probe per backoff_cap)."""
    refresh_interval: float = 900.0
    """A background refresh when nothing else happens."""
    ssl_context: Optional[ssl.SSLContext] = None
    """For https: the platform's default context (certificates checked) when None."""
    events: str = "thread"
    """Where callbacks run: "thread" (the client's dispatcher thread) or "inline" (the thread whose
    call caused them, after the client's lock is released)."""
    random: Optional[random.Random] = None
    """The jitter's source; a seeded one makes delays repeat in tests."""


class SyncState(TextEnum):
    """Where one entry stands (Status.state)."""

    SYNCED = "synced"
    PENDING = "pending"
    """Not sent yet, or waiting for its backoff."""
    SENDING = "sending"
    CONFIRMING = "confirming"
    """Accepted; the next list fetched confirms it."""
    UNCERTAIN = "uncertain"
    """Nothing held, but a request whose fate is unknown may still land (the client watches for it)."""


class ClientState(TextEnum):
    """The client's state, for on_state."""

    IDLE = "idle"
    SYNCING = "syncing"
    BACKING_OFF = "backing_off"
    OFFLINE = "offline"
    CLOSED = "closed"


@dataclass(frozen=True)
class Status:
    """One entry's state: set_wished() and status() give it."""

    state: SyncState
    wished: bool
    """What the store shows now."""
    attempts: int = 0
    """How often the change held for it was sent."""
    next_attempt_at: Optional[float] = None
    """When it will be sent again (a time.time() value), None when not waiting."""


@dataclass(frozen=True)
class SyncSummary:
    """What one pass did."""

    sent: int = 0
    accepted: int = 0
    rejected: int = 0
    failed: int = 0
    unknown: int = 0
    refreshed: bool = False
    next_pass_at: Optional[float] = None
    """When a change waits to be sent again (a time.time() value), None when none does."""


@dataclass(frozen=True)
class Change:
    """An entry the store shows otherwise, for on_change. ``cause``: "local" (set_wished),
    "rejected" (a refused change put back) or "refresh" (the service's list)."""

    kind: Kind
    item_id: str
    wished: bool
    cause: str


@dataclass(frozen=True)
class Rejection:
    """A change the service refused for good (a 4xx), for on_rejected; the store is put back."""

    kind: Kind
    item_id: str
    wished: bool
    status: Optional[int]


_Key = Tuple[str, str]
_STATE_OF = {EntryState.SYNCED: SyncState.SYNCED, EntryState.UNSENT: SyncState.PENDING,
             EntryState.IN_FLIGHT: SyncState.SENDING, EntryState.CONFIRMING: SyncState.CONFIRMING,
             EntryState.UNCERTAIN: SyncState.UNCERTAIN}


def _wall(monotonic: Optional[float]) -> Optional[float]:
    return None if monotonic is None else time.time() + (monotonic - time.monotonic())


def _text(value: Text) -> str:
    return value.decode("utf-8", "surrogateescape") if isinstance(value, bytes) else str(value)


def _key(kind: Text, item_id: Text) -> _Key:
    return _text(kind), _text(item_id)


class WishlistClient:
    """The user's wishlist, kept in sync with the service by itself.

        with orvel.WishlistClient("https://wishlist.example.com", state_dir) as client:
            client.start()                                   # background passes
            client.set_wished("album", "al-1", True, "Title", "Artist")

    Each change shows at once and is saved (state_dir/wishlist.snapshot, replaced atomically)
    before set_wished returns; it is sent, retried with backoff, and confirmed by the list.
    Threads may share a client; callbacks run outside its lock. Raises StateError when
    state_dir is in use by another client or its snapshot does not read back.
    """

    def __init__(self, base_url: str, state_dir: str, options: Optional[ClientOptions] = None, *,
                 _file_ops: Optional[FileOps] = None, **settings: Any) -> None:
        self._options = dataclasses.replace(options or ClientOptions(), **settings)
        opts = self._options
        if opts.events not in ("thread", "inline"):
            raise ValueError(f"events must be 'thread' or 'inline', not {opts.events!r}")
        if opts.max_in_flight < 1 or opts.offline_after < 1:
            raise ValueError("max_in_flight and offline_after are at least 1")
        self._base_url = base_url
        self._mine_url = build_mine_url(base_url)
        if urlsplit(self._mine_url).scheme not in ("http", "https") or not urlsplit(self._mine_url).hostname:
            raise ValueError(f"base_url must be an absolute http:// or https:// URL, not {base_url!r}")
        self._random = opts.random or random.SystemRandom()
        self._transport = Transport(opts.headers, opts.ssl_context, opts.max_response_bytes)
        self._lock = threading.RLock()
        self._wake = threading.Condition(self._lock)
        self._pass_lock = threading.Lock()
        self._listeners: Dict[str, List[Callable[[Any], None]]] = {"change": [], "rejected": [], "state": []}
        self._events: List[Tuple[str, Any]] = []
        self._dispatcher: Optional[threading.Thread] = None
        self._queue: "queue.SimpleQueue[Optional[List[Tuple[str, Any]]]]" = queue.SimpleQueue()
        self._not_before: Dict[int, float] = {}  # op id -> the monotonic time it may be sent again
        self._held: Dict[int, PendingRequest] = {}  # handed out by the journal, waiting for its time
        self._sending: Dict[int, PendingRequest] = {}
        self._failures = 0  # consecutive connection failures
        self._probe_at: Optional[float] = None  # while offline: the next probe
        self._last_refresh: Optional[float] = None
        self._dirty = False
        self._last_failure: Optional[str] = None
        self._state = ClientState.IDLE
        self._closing = False
        self._closed = False
        self._background: Optional[threading.Thread] = None
        self._pool: Optional[concurrent.futures.ThreadPoolExecutor] = None
        self._inline: Dict["concurrent.futures.Future[Answer]", Callable[[], Answer]] = {}
        self._holds: Dict[int, int] = {}  # op id -> how often the journal handed it out to be held
        self._op_keys: Dict[int, _Key] = {}  # op id -> its entry, while a delay is kept for it
        self._pause_until = 0.0  # the background's wait after a pass that raised
        self._dir = StateDir(state_dir, _file_ops)
        try:
            self._installation = self._dir.installation_id()
            saved = self._dir.read_snapshot()
            if saved is None:
                self._wishes = SyncedWishlist()
            else:
                try:
                    self._wishes = SyncedWishlist.open_snapshot(saved)
                except InvalidInputError as error:
                    raise StateError(f"{self._dir.snapshot_path} does not read back ({error.reason}); it is left "
                                     "as it is: move it away to start empty") from None
        except BaseException:
            self._dir.close()
            raise

    # ---- the resource -----------------------------------------------------------------
    def __enter__(self) -> "WishlistClient":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if "_closed" in self.__dict__ and not self._closed and "_wishes" in self.__dict__:
            try:
                self.close()
            except Exception:  # pragma: no cover - at interpreter exit
                pass

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def state(self) -> ClientState:
        return self._state

    @property
    def last_failure(self) -> Optional[str]:
        """Why the latest request that failed did (a refused redirect, a size cap, a deadline), for
        people; None before any. It never holds a header or a token."""
        return self._last_failure

    def close(self) -> None:
        """Stops background passes, waits for the call and the pass in progress, saves, and
        releases the folder; harmless when already closed."""
        with self._lock:
            if self._closing:
                already = True
            else:
                already, self._closing = False, True
                self._wake.notify_all()
        if already:
            self._join_closing()
            return
        background = self._background
        if background is not None and background is not threading.current_thread():
            background.join()
        with self._pass_lock:  # the pass in progress ends: it starts nothing once closing
            with self._lock:
                try:
                    for op_id in list(self._held):  # held here, it never left
                        self._wishes.report(op_id, Outcome.FAILED)
                    self._held.clear()
                    self._save()
                finally:
                    self._wishes.close()
                    self._dir.close()
                    self._closed = True
                    self._set_state(ClientState.CLOSED)
                    self._wake.notify_all()
        if self._pool is not None:
            self._pool.shutdown(wait=True)
        self._flush()
        dispatcher = self._dispatcher
        if dispatcher is not None:
            self._queue.put(None)
            if dispatcher is not threading.current_thread():
                dispatcher.join()

    def _join_closing(self) -> None:
        with self._lock:
            while not self._closed and self._background is not threading.current_thread():
                self._wake.wait()

    def _open(self) -> None:
        """The caller holds the lock."""
        if self._closing:
            raise ValueError("the WishlistClient is closed")

    # ---- the user's side --------------------------------------------------------------
    def set_wished(self, kind: Text, item_id: Text, wished: bool, title: Optional[Text] = None,
                   artist: Optional[Text] = None) -> Status:
        """Shows the intent at once and saves it before returning; it is sent in the next pass."""
        if not isinstance(wished, bool):
            raise TypeError(f"wished must be bool, not {type(wished).__name__}")
        key = _key(kind, item_id)
        try:
            with self._lock:
                self._open()
                before = self._wishes.has(kind, item_id)
                for op_id, request in list(self._held.items()):
                    if (request.kind.value, request.item_id) == key:
                        # It never left: failed, so that the newer intent replaces it.
                        self._wishes.report(op_id, Outcome.FAILED)
                        del self._held[op_id]
                        self._forget(op_id)
                self._wishes.set_wished(kind, item_id, wished=wished, title=title, artist=artist)
                self._save()
                if before != wished:
                    self._emit("change", Change(Kind(key[0]), key[1], wished, "local"))
                self._dirty = True
                self._wake.notify_all()
                return self._status(kind, item_id)
        finally:
            self._flush()

    def wished(self, kind: Text, item_id: Text) -> bool:
        with self._lock:
            self._open()
            return self._wishes.has(kind, item_id)

    def status(self, kind: Text, item_id: Text) -> Status:
        with self._lock:
            self._open()
            return self._status(kind, item_id)

    def entries(self) -> List[Entry]:
        """The entries the store shows, in store order."""
        with self._lock:
            self._open()
            return list(self._wishes)

    def __len__(self) -> int:
        with self._lock:
            self._open()
            return len(self._wishes)

    @property
    def size(self) -> int:
        return len(self)

    def __contains__(self, entry: object) -> bool:
        with self._lock:
            self._open()
            return entry in self._wishes

    @property
    def uncertain(self) -> int:
        """Entries on which a request whose fate is unknown may still land."""
        with self._lock:
            self._open()
            return self._wishes.uncertain

    @property
    def held(self) -> int:
        """Changes not yet confirmed by the service."""
        with self._lock:
            self._open()
            return self._wishes.held

    def _status(self, kind: Text, item_id: Text) -> Status:
        entry = self._wishes.status(kind, item_id)
        state = _STATE_OF[entry.state]
        due = self._not_before.get(entry.op_id)
        if entry.state is EntryState.IN_FLIGHT and entry.op_id in self._held:
            state = SyncState.PENDING
        waiting = due is not None and state is SyncState.PENDING and due > time.monotonic()
        return Status(state, self._wishes.has(kind, item_id), self._sent(entry.attempts, entry.op_id),
                      _wall(due) if waiting else None)

    # ---- events -----------------------------------------------------------------------
    def on_change(self, callback: Callable[[Change], None]) -> Callable[[Change], None]:
        """Calls callback(Change) for each entry the store shows otherwise; usable as a decorator."""
        return self._listen("change", callback)

    def on_rejected(self, callback: Callable[[Rejection], None]) -> Callable[[Rejection], None]:
        """Calls callback(Rejection) for each change the service refused for good."""
        return self._listen("rejected", callback)

    def on_state(self, callback: Callable[[ClientState], None]) -> Callable[[ClientState], None]:
        """Calls callback(ClientState) when the client's state changes."""
        return self._listen("state", callback)

    def _listen(self, name: str, callback: Callable[[Any], None]) -> Callable[[Any], None]:
        if not callable(callback):
            raise TypeError("a callback must be callable")
        with self._lock:
            self._listeners[name].append(callback)
        return callback

    def _emit(self, name: str, value: Any) -> None:
        """Queues an event; the caller holds the lock, and _flush() delivers it once it is released."""
        if self._listeners[name]:
            self._events.append((name, value))

    def _set_state(self, state: ClientState) -> None:
        if state is not self._state:
            self._state = state
            self._emit("state", state)

    def _flush(self, during_pass: bool = False) -> None:
        """Delivers the events queued, the lock released. Inline events wait for the pass's end,
        so that a callback may call anything, close() included."""
        if during_pass and self._options.events == "inline":
            return
        with self._lock:
            events, self._events = self._events, []
            listeners = {name: list(each) for name, each in self._listeners.items()}
        if not events:
            return
        batch = [(callback, value) for name, value in events for callback in listeners[name]]
        if self._options.events == "inline":
            self._deliver(batch)
            return
        with self._lock:
            if self._dispatcher is None:
                self._dispatcher = threading.Thread(target=self._dispatch, name="orvel-events", daemon=True)
                self._dispatcher.start()
        self._queue.put(batch)  # type: ignore[arg-type]

    def _dispatch(self) -> None:
        while True:
            batch = self._queue.get()
            if batch is None:
                return
            self._deliver(batch)  # type: ignore[arg-type]

    @staticmethod
    def _deliver(batch: List[Tuple[Callable[[Any], None], Any]]) -> None:
        for callback, value in batch:
            try:
                callback(value)
            except Exception:  # one listener's fault reaches neither the others nor the client
                traceback.print_exc(file=sys.stderr)

    # ---- saving -----------------------------------------------------------------------
    def _save(self) -> None:
        """The caller holds the lock."""
        self._dir.save_snapshot(self._wishes._snapshot_bytes())

    # ---- passes -----------------------------------------------------------------------
    def sync_now(self, deadline: Optional[float] = None) -> SyncSummary:
        """One pass now: sends what can be sent (up to max_in_flight at once), waits for the
        answers, then refreshes the list once. ``deadline``: seconds after which no new request
        starts (those under way end within their own timeout)."""
        with self._lock:
            self._open()
        try:
            return self._pass(None if deadline is None else time.monotonic() + deadline, refresh=True)
        finally:
            self._flush()

    def _executor(self) -> concurrent.futures.ThreadPoolExecutor:
        if self._pool is None:
            self._pool = concurrent.futures.ThreadPoolExecutor(self._options.max_in_flight,
                                                               thread_name_prefix="orvel-send")
        return self._pool

    def _pass(self, deadline: Optional[float], refresh: Optional[bool]) -> SyncSummary:
        counts = {"sent": 0, Outcome.ACCEPTED: 0, Outcome.REJECTED: 0, Outcome.FAILED: 0, Outcome.UNKNOWN: 0}
        with self._pass_lock:
            with self._lock:
                if self._closing:
                    return SyncSummary()
                self._set_state(ClientState.SYNCING)
            self._flush(during_pass=True)
            futures: Dict[concurrent.futures.Future[Answer], PendingRequest] = {}
            probe_failed = False
            error: Optional[Exception] = None  # raised once every request started is reported
            unsaved = False  # answers reported since the last save
            while True:
                with self._lock:
                    starting = (error is None and not self._closing and not probe_failed
                                and (deadline is None or time.monotonic() < deadline))
                    fetched: List[PendingRequest] = []
                    if starting:
                        try:
                            fetched = self._hand_out(len(futures), counts)
                        except Exception as failure:
                            error = failure
                    if fetched or (unsaved and self._events):
                        # None leaves before it is saved in flight (after a crash the journal then
                        # knows it may land), no answer's event fires before its outcome is saved;
                        # the answers' outcomes share the save of the next hand-outs.
                        try:
                            self._save()
                            unsaved = False
                        except Exception as failure:
                            error = error or failure
                            for request in fetched:  # they never left
                                del self._held[request.op_id]
                                self._wishes.report(request.op_id, Outcome.FAILED)
                    if starting and error is None:
                        for request in self._due(len(futures), counts):
                            self._start(request, futures, counts)
                    if not futures and unsaved:
                        try:
                            self._save()
                            unsaved = False
                        except Exception as failure:
                            error = error or failure
                self._flush(during_pass=True)
                if not futures:
                    break
                for future, call in list(self._inline.items()):  # one at a time: sent on this thread
                    del self._inline[future]
                    try:
                        future.set_result(call())
                    except Exception as failure:
                        future.set_exception(failure)
                done, _ = concurrent.futures.wait(futures, return_when=concurrent.futures.FIRST_COMPLETED)
                with self._lock:
                    for future in done:
                        request = futures.pop(future)
                        try:
                            answer = future.result()
                        except Exception as failure:  # it may have left: never taken for a failure
                            answer = Answer(Outcome.UNKNOWN, reason=f"the request broke: {type(failure).__name__}")
                        try:
                            self._settle(request, answer, counts)
                        except Exception as failure:
                            error = error or failure
                        probe_failed = probe_failed or self._probe_at is not None and answer.connection_failed
                    unsaved = True
            refreshed = False
            with self._lock:
                wanted = refresh if refresh is not None else self._refresh_due(counts)
                probing = self._probe_at is not None and counts["sent"] == 0  # the list is the probe
                go = (wanted or probing) and error is None and not self._closing and not probe_failed
            if go:
                refreshed = self._refresh()
            with self._lock:
                if not self._closing:
                    self._set_state(ClientState.OFFLINE if self._probe_at is not None
                                    else ClientState.BACKING_OFF if self._held else ClientState.IDLE)
                next_at = min((self._not_before.get(op, 0.0) for op in self._held), default=None)
                if self._probe_at is not None:
                    next_at = self._probe_at  # a probe goes then, whatever the delays
            if error is not None:
                raise error
        return SyncSummary(counts["sent"], counts[Outcome.ACCEPTED], counts[Outcome.REJECTED],
                           counts[Outcome.FAILED], counts[Outcome.UNKNOWN], refreshed, _wall(next_at))

    def _limits(self, counts: Dict[Any, int]) -> Tuple[int, float]:
        """How many may be on the wire now, and the time against which delays count."""
        if self._probe_at is not None:  # offline: one probe a pass, whatever its delay
            return (0 if counts["sent"] > 0 else 1), float("inf")
        return self._options.max_in_flight, time.monotonic()

    def _hand_out(self, sending: int, counts: Dict[Any, int]) -> List[PendingRequest]:
        """Takes requests from the journal into _held (the caller holds the lock, then saves before
        any leaves), when fewer are due there than there are free places. It takes several rounds'
        worth at once, so that one save serves many requests. A request whose time has not come
        stays held (in flight to the journal, not on the wire: after a restart it counts as
        unknown, which is harmless) while the journal gives others."""
        limit, now = self._limits(counts)
        due = self._count_due(now, limit - sending)
        if sending + due >= limit:
            return []
        window = limit if self._probe_at is not None else max(counts.get("window", HAND_OUT), limit)
        fetched: List[PendingRequest] = []
        while due < window:
            request = self._wishes.next_request(self._base_url)
            if request is None:
                break
            self._held[request.op_id] = request
            fetched.append(request)
            if self._not_before.get(request.op_id, 0.0) > now:
                self._holds[request.op_id] = self._holds.get(request.op_id, 0) + 1
            else:
                due += 1
        counts["window"] = min(2 * window, HAND_OUT_MAX)
        return fetched

    def _count_due(self, now: float, enough: int) -> int:
        """How many held requests may go now, counted up to enough."""
        due = 0
        for op_id in self._held:
            if due >= enough:
                break
            if self._not_before.get(op_id, 0.0) <= now:
                due += 1
        return due

    def _due(self, sending: int, counts: Dict[Any, int]) -> List[PendingRequest]:
        """The saved hand-outs whose time has come, for the free places, in the order they were
        handed out; the caller holds the lock."""
        limit, now = self._limits(counts)
        taken: List[PendingRequest] = []
        for op_id in self._held:
            if sending + len(taken) >= limit:
                break
            if self._not_before.get(op_id, 0.0) <= now:
                taken.append(self._held[op_id])
        for request in taken:
            del self._held[request.op_id]
        return taken

    def _start(self, request: PendingRequest, futures: Dict[Any, PendingRequest], counts: Dict[Any, int]) -> None:
        self._sending[request.op_id] = request
        counts["sent"] += 1
        key = f"{self._installation}-{request.op_id}"
        call = functools.partial(self._transport.post, request.url, request.body.encode("utf-8"),
                                 request.content_type, key, self._options.request_timeout)
        if self._options.max_in_flight == 1:
            future: concurrent.futures.Future[Answer] = concurrent.futures.Future()
            self._inline[future] = call  # no thread to hand it to and back from
        else:
            future = self._executor().submit(call)
        futures[future] = request

    def _settle(self, request: PendingRequest, answer: Answer, counts: Dict[Any, int]) -> None:
        """Reports one answer to the journal and queues its events; the caller holds the lock and saves."""
        opts, now = self._options, time.monotonic()
        self._sending.pop(request.op_id, None)
        attempts = self._wishes.status(request.kind, request.item_id)
        change = self._wishes.report(request.op_id, answer.outcome)
        counts[answer.outcome] += 1
        if answer.outcome in (Outcome.FAILED, Outcome.UNKNOWN):
            tries = self._sent(attempts.attempts, request.op_id) if attempts.op_id == request.op_id else 1
            delay = self._random.uniform(0, min(opts.backoff_cap, opts.backoff_base * 2.0 ** min(tries, 62)))
            if answer.retry_after is not None:
                delay = max(delay, answer.retry_after)
            self._not_before[request.op_id] = now + delay
            self._op_keys[request.op_id] = (request.kind.value, request.item_id)
        else:
            self._forget(request.op_id)
        self._connected(answer, now)
        if answer.reason:
            self._last_failure = answer.reason
        if answer.outcome is Outcome.REJECTED:
            self._emit("rejected", Rejection(request.kind, request.item_id, request.wished, answer.status))
        if change is not StoreChange.UNCHANGED:
            self._emit("change", Change(request.kind, request.item_id, change is StoreChange.SHOWN, "rejected"))

    def _sent(self, attempts: int, op_id: int) -> int:
        """How often the operation really left: the journal's count, less its hand-outs to be held."""
        return max(0, attempts - self._holds.get(op_id, 0))

    def _forget(self, op_id: int) -> None:
        self._not_before.pop(op_id, None)
        self._op_keys.pop(op_id, None)
        self._holds.pop(op_id, None)

    def _connected(self, answer: Answer, now: float) -> None:
        """Counts connection failures: offline after offline_after in a row, online at any answer."""
        if answer.connection_failed:
            self._failures += 1
            if self._failures >= self._options.offline_after:
                self._probe_at = now + self._options.backoff_cap
        else:
            self._failures = 0
            self._probe_at = None

    def _refresh_due(self, counts: Dict[Any, int]) -> bool:
        """A background pass refreshes when something waits for a list's confirmation, or when it is time."""
        if self._last_refresh is None or counts[Outcome.ACCEPTED] or counts[Outcome.UNKNOWN]:
            return True
        return time.monotonic() >= self._last_refresh + self._options.refresh_interval

    def _refresh(self) -> bool:
        with self._lock:
            token = self._wishes.begin_refresh()  # before the request leaves
            self._last_refresh = time.monotonic()  # tried: the next is an interval away, answered or not
        answer = self._transport.get(self._mine_url, self._options.list_timeout)
        with self._lock:
            self._connected(answer, time.monotonic())
            if answer.reason:
                self._last_failure = answer.reason
            if answer.outcome is not Outcome.ACCEPTED or self._closing:
                return False
            before = {(e.kind.value, e.item_id) for e in self._wishes}
            try:
                loaded = self._wishes.load(token, answer.body)
            except InvalidInputError:
                return False  # not a list: the store stays as it was
            if loaded is None:
                return False
            after = {(e.kind.value, e.item_id) for e in self._wishes}
            self._save()
            for kind, item_id in sorted(before ^ after):
                self._emit("change", Change(Kind(kind), item_id, (kind, item_id) in after, "refresh"))
            for op_id, key in list(self._op_keys.items()):  # forget the delays of operations gone
                if op_id not in self._held and self._wishes.status(*key).op_id != op_id:
                    self._forget(op_id)
        self._flush(during_pass=True)
        return True

    # ---- the background ---------------------------------------------------------------
    def start(self) -> None:
        """Background passes: after each change, when a retry's time comes, and every refresh_interval."""
        with self._lock:
            self._open()
            if self._background is not None:
                return
            self._dirty = True
            self._background = threading.Thread(target=self._run, name="orvel-sync", daemon=True)
            self._background.start()

    def stop(self) -> None:
        """Ends background passes (the pass under way finishes first)."""
        with self._lock:
            background, self._background = self._background, None
            self._wake.notify_all()
        if background is not None and background is not threading.current_thread():
            background.join()

    def _next_wake(self) -> float:
        """The caller holds the lock: when the background has something to do."""
        if self._probe_at is not None:
            return max(self._probe_at, self._pause_until)
        now = time.monotonic()
        times = [self._not_before.get(op, 0.0) for op in self._held]
        times.append((self._last_refresh if self._last_refresh is not None else now) + self._options.refresh_interval)
        if self._dirty:
            times.append(now)
        return max(min(times), self._pause_until)

    def _run(self) -> None:
        me, errors = threading.current_thread(), 0
        while True:
            with self._lock:
                while True:
                    if self._closing or self._background is not me:
                        self._wake.notify_all()
                        return
                    wake = self._next_wake()
                    if time.monotonic() >= wake:
                        break
                    self._wake.wait(wake - time.monotonic())
                self._dirty = False
            try:
                self._pass(None, refresh=None)
                errors = 0
            except Exception:  # a folder that cannot be written: tried again, later each time
                traceback.print_exc(file=sys.stderr)
                errors += 1
                with self._lock:
                    opts = self._options
                    self._dirty = True
                    wait = min(opts.backoff_cap, opts.backoff_base * 2.0 ** min(errors, 62))
                    self._pause_until = time.monotonic() + wait
            self._flush()

    def __repr__(self) -> str:
        if self._closed:
            return "<orvel.WishlistClient closed>"
        return f"<orvel.WishlistClient {self._state.value}, {self._dir.path}>"
