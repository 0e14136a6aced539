# SPDX-License-Identifier: MIT
"""SyncedWishlist: a store and the change journal (liborvel-sync) that keeps its changes."""

from __future__ import annotations

import ctypes
import json as _json
from dataclasses import dataclass
from enum import IntEnum
from typing import Optional, Type, TypeVar

from ._errors import InvalidInputError, OrvelError, Reason, error_for
from ._kinds import Kind
from ._library import SyncEntry, load_library, load_sync_library
from ._requests import WishRequest
from ._store import StoreView
from ._text import Response, Text, encode, response_buffer, take_bytes, take_text


class Outcome(IntEnum):
    """What became of a request, for SyncedWishlist.report()."""

    ACCEPTED = 1
    """The service applied it (a 2xx answer)."""
    REJECTED = 2
    """The service refused it for good (a 4xx answer but 408 and 429): the store is put back."""
    FAILED = 3
    """It certainly did not reach the service (refused connection, unknown host), or the
    service said "try again" (408, 429, 5xx): it will be sent again."""
    UNKNOWN = 4
    """It may have reached the service (a deadline passed, or the connection broke after
    it was written): sent again, and the journal watches for it landing late."""


class StoreChange(IntEnum):
    """What report() did to the store."""

    UNCHANGED = 0
    REMOVED = 1
    """A refused addition: the entry is gone."""
    SHOWN = 2
    """A refused removal: the entry is back."""


class EntryState(IntEnum):
    """Where an entry stands in the journal (EntryStatus.state)."""

    SYNCED = 0
    """Nothing held: the store shows the service's state."""
    UNSENT = 1
    IN_FLIGHT = 2
    CONFIRMING = 3
    """The newest change was accepted; a list fetched since will confirm it."""
    UNCERTAIN = 4
    """Nothing held, but a request reported UNKNOWN may still land."""


@dataclass(frozen=True)
class EntryStatus:
    """One entry's state in the journal, from SyncedWishlist.status()."""

    state: EntryState
    wished: Optional[bool]
    """The user's newest intent; None when SYNCED."""
    op_id: int
    """The newest operation held for it, 0 when none is."""
    attempts: int
    """How often that operation's request was handed out."""
    uncertain: int
    """Requests reported UNKNOWN that may still land."""


# orvel_sync_count's selectors and orvel_sync_load's result for a stale response.
_HELD, _UNSENT, _IN_FLIGHT, _CONFIRMING, _UNCERTAIN = 0, 1, 2, 3, 4
_STALE = -2

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


@dataclass(frozen=True)
class PendingRequest(WishRequest):
    """The request of one journal operation; report its outcome under ``op_id``.

    ``kind``, ``item_id`` and ``wished`` say what it asks of the service: that entry
    wished (an addition) or not (a removal), as the request's body says it.
    """

    op_id: int
    kind: Kind
    item_id: str
    wished: bool

    @classmethod
    def _of(cls, text: str, op_id: int) -> "PendingRequest":
        request = WishRequest._parse(text)
        body = _json.loads(request.body)
        return cls(request.method, request.url, request.content_type, request.body, text,
                   op_id=op_id, kind=Kind(body["kind"]), item_id=body["itemId"], wished=body["op"] == "add")


def _whole_number(value: object, name: str, lowest: int, highest: int, reason: Reason) -> int:
    """An int argument; one out of the C type's range fails as the library fails any it never gave."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int, not {type(value).__name__}")
    if not lowest <= value <= highest:
        raise InvalidInputError(f"{name} {value} is out of range", reason)
    return int(value)


_Self = TypeVar("_Self", bound="SyncedWishlist")


class SyncedWishlist(StoreView):
    """A wishlist store and its change journal: each change is kept until the service
    has confirmed it, through refreshes, failed requests and restarts.

    Read it as a Wishlist (has, ``in``, len, iteration, export_json, export); change it
    only through set_wished and the list responses given to load(token, response), so
    the journal sees every change. Send next_request()'s requests, report() what became
    of each, and save one snapshot() after each change; open_snapshot() makes the
    object anew from it (save() and export_json() with restore() do the same in two texts). Failures raise OrvelError (InvalidInputError, a
    ValueError, for refused input) with the journal's reason. Use it as a context
    manager or close() it. Needs liborvel-sync, looked for on first use.
    Threads may share one: each call runs alone, and close() waits for a call in
    progress (later calls raise ValueError).
    """

    _copy_hint = "use SyncedWishlist.restore(save(), export_json())"

    def __init__(self) -> None:
        self._empty()
        store = self._lib.orvel_create()
        if not store:
            raise MemoryError("orvel_create: out of memory")
        journal = self._sync.orvel_sync_create(store)
        if not journal:
            self._lib.orvel_destroy(store)
            raise MemoryError("orvel_sync_create: out of memory")
        self._store, self._journal = store, journal

    def _empty(self) -> None:
        """The libraries and the lock, no handles yet."""
        StoreView.__init__(self)
        self._lib = load_library()
        self._sync = load_sync_library()
        self._journal: Optional[int] = None

    @classmethod
    def open_snapshot(cls: Type[_Self], text: Response) -> _Self:
        """A new SyncedWishlist from what snapshot() gave: its store and its journal.

        Operations that were in flight come back unsent, counted as reported UNKNOWN.
        Raises InvalidInputError ("invalid json", "invalid snapshot", "invalid journal",
        "unsupported version") when the text cannot be read.
        """
        buffer, size = response_buffer(text, "text")
        wishes = cls.__new__(cls)
        wishes._empty()
        store = ctypes.c_void_p()
        journal = wishes._sync.orvel_sync_open_snapshot(buffer, size, ctypes.byref(store))
        if not journal:
            raise wishes._failure("cannot open the snapshot")
        wishes._store, wishes._journal = store.value, journal
        return wishes

    @classmethod
    def restore(cls: Type[_Self], journal_text: Response, store_text: Optional[Response] = None) -> _Self:
        """A new SyncedWishlist from what save() and export_json() gave: the store loaded
        from ``store_text`` (empty when None), then the journal restored over it.

        Operations that were in flight come back unsent. Raises InvalidInputError
        ("invalid json", "invalid journal", "unsupported version") when a text cannot
        be read.
        """
        wishes = cls()
        try:
            if store_text is not None:
                buffer, size = response_buffer(store_text, "store_text")
                if wishes._lib.orvel_load_mine_json(wishes._store, buffer, size) < 0:
                    raise error_for("cannot load the saved store", wishes._lib.orvel_last_error().decode("utf-8"))
            buffer, size = response_buffer(journal_text, "journal_text")
            if wishes._sync.orvel_sync_restore(wishes._journal, buffer, size) < 0:
                raise wishes._failure("cannot restore the journal")
        except BaseException:
            wishes.close()
            raise
        return wishes

    def close(self) -> None:
        """Releases the journal, then the store; harmless when already closed. Waits for a call in progress."""
        with self._lock:
            journal, self._journal = getattr(self, "_journal", None), None
            store, self._store = self._store, None
            if journal:
                self._sync.orvel_sync_destroy(journal)
            if store:
                self._lib.orvel_destroy(store)

    def __enter__(self) -> "SyncedWishlist":
        return self

    def _journal_handle(self) -> int:
        """The journal; the caller holds the lock."""
        self._handle()  # raises when closed
        assert self._journal is not None
        return self._journal

    def _failure(self, what: str) -> OrvelError:
        return error_for(what, self._sync.orvel_sync_last_error().decode("utf-8"))

    def set_wished(
        self,
        kind: Text,
        item_id: Text,
        *,
        wished: bool,
        title: Optional[Text] = None,
        artist: Optional[Text] = None,
    ) -> int:
        """Records that (kind, item_id) should be wished (``wished=True``) or not and shows
        it at once.

        Returns the new operation's id, or 0 when nothing needs sending (the store shows
        it already, or it cancelled an unsent change). For a removal, title and artist let
        a refused removal show the entry again. ``wished`` must be a bool (TypeError).
        """
        if not isinstance(wished, bool):
            raise TypeError(f"wished must be bool, not {type(wished).__name__}")
        texts = (encode(kind, "kind", optional=False), encode(item_id, "item_id", optional=False),
                 encode(title, "title"), encode(artist, "artist"))
        with self._lock:
            op_id = self._sync.orvel_sync_set(self._journal_handle(), 1 if wished else 0, *texts)
            if op_id < 0:
                raise self._failure(f"cannot record {kind!r} {item_id!r}")
        return int(op_id)

    def next_request(self, base_url: Optional[Text] = None) -> Optional[PendingRequest]:
        """The request of the oldest unsent change, now in flight; None when nothing can be sent.

        ``base_url`` as for build_wish_request. Report its outcome with report(op_id, ...)
        once it is settled, and only then.
        """
        base = encode(base_url, "base_url")
        op_id = ctypes.c_int64(0)
        with self._lock:
            pointer = self._sync.orvel_sync_next_request(self._journal_handle(), base, ctypes.byref(op_id))
            if not pointer:
                failure = self._failure("cannot make the next request")
                if not failure.reason:
                    return None  # nothing to send
                raise failure
        text = take_text(pointer, self._sync.orvel_sync_free, lambda: self._failure("cannot make the next request"))
        return PendingRequest._of(text, int(op_id.value))

    def report(self, op_id: int, outcome: Outcome) -> StoreChange:
        """Takes what became of the request of ``op_id``: an Outcome (or its number).
        Returns what that did to the store (a refused change is put back).

        Raises InvalidInputError ("unknown operation") for an id that is not in flight,
        ("invalid argument") for an outcome that is not one of Outcome.
        """
        op = _whole_number(op_id, "op_id", _INT64_MIN, _INT64_MAX, Reason.UNKNOWN_OPERATION)
        number = _whole_number(outcome, "outcome", -(2**31), 2**31 - 1, Reason.INVALID_ARGUMENT)
        change = ctypes.c_int32(0)
        with self._lock:
            if self._sync.orvel_sync_report_outcome(self._journal_handle(), op, number, ctypes.byref(change)) < 0:
                raise self._failure(f"cannot report operation {op}")
        return StoreChange(change.value)

    def status(self, kind: Text, item_id: Text) -> EntryStatus:
        """Where (kind, item_id) stands in the journal; SYNCED when nothing is held for it.

        Raises InvalidInputError ("invalid kind", "empty item_id").
        """
        texts = encode(kind, "kind", optional=False), encode(item_id, "item_id", optional=False)
        entry = SyncEntry()
        with self._lock:
            if self._sync.orvel_sync_entry_status(self._journal_handle(), *texts, ctypes.byref(entry)) < 0:
                raise self._failure(f"cannot read the status of {kind!r} {item_id!r}")
        return EntryStatus(EntryState(entry.state), None if entry.wished < 0 else entry.wished == 1,
                           int(entry.op_id), int(entry.attempts), int(entry.uncertain))

    def begin_refresh(self) -> int:
        """A token for the list fetch about to start: take it before the request leaves."""
        with self._lock:
            token = self._sync.orvel_sync_begin_refresh(self._journal_handle())
            if token < 0:
                raise self._failure("cannot begin a refresh")
        return int(token)

    def load(self, token: int, response: Response) -> Optional[int]:
        """Loads the list response of the fetch ``token`` was taken for, then shows again
        every change the response may not reflect. Returns the number of entries, or
        None when a newer response was loaded already (this one is then ignored).

        Raises InvalidInputError ("invalid json", "unknown token"), the store unchanged.
        """
        number = _whole_number(token, "token", _INT64_MIN, _INT64_MAX, Reason.UNKNOWN_TOKEN)
        buffer, size = response_buffer(response)
        with self._lock:
            count = self._sync.orvel_sync_load(self._journal_handle(), number, buffer, size)
            if count < 0 and count != _STALE:
                raise self._failure("cannot load the response")
        return None if count == _STALE else int(count)

    def snapshot(self) -> str:
        """The store and the journal in one JSON text, for open_snapshot(): one file
        written atomically after each change saves both."""
        return self._snapshot_bytes().decode("utf-8")

    def _snapshot_bytes(self) -> bytes:
        """snapshot() as the UTF-8 bytes a file gets (WishlistClient saves these)."""
        with self._lock:
            return take_bytes(
                self._sync.orvel_sync_snapshot(self._journal_handle()), self._sync.orvel_sync_free,
                lambda: self._failure("cannot take a snapshot"),
            )

    def save(self) -> str:
        """The journal as a JSON text, for restore(); save it with export_json() after each change."""
        with self._lock:
            return take_text(
                self._sync.orvel_sync_export(self._journal_handle()), self._sync.orvel_sync_free,
                lambda: self._failure("cannot save the journal"),
            )

    def _count(self, which: int) -> int:
        with self._lock:
            count = self._sync.orvel_sync_count(self._journal_handle(), which)
            if count < 0:
                raise self._failure("cannot count the operations")
        return int(count)

    @property
    def held(self) -> int:
        """Changes the journal holds: not yet confirmed by the service."""
        return self._count(_HELD)

    @property
    def unsent(self) -> int:
        """Changes waiting to be sent."""
        return self._count(_UNSENT)

    @property
    def in_flight(self) -> int:
        """Changes whose request next_request() gave and report() has not settled."""
        return self._count(_IN_FLIGHT)

    @property
    def confirming(self) -> int:
        """Changes the service accepted, until a list response fetched since shows them."""
        return self._count(_CONFIRMING)

    @property
    def uncertain(self) -> int:
        """Entries on which a request reported UNKNOWN may still land (not counted in held)."""
        return self._count(_UNCERTAIN)

    def _describe(self) -> str:
        held = self.held
        return f"{super()._describe()}, {held} change{'' if held == 1 else 's'} held"


def sync_version() -> str:
    """liborvel-sync's version text (ORVEL_SYNC_VERSION)."""
    return load_sync_library().orvel_sync_version().decode("ascii")


def sync_abi_version() -> int:
    """liborvel-sync's interface version (SYNC_ABI_VERSION)."""
    return int(load_sync_library().orvel_sync_abi_version())
