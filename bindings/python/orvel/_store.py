# SPDX-License-Identifier: MIT
"""Reading a store: what Wishlist and SyncedWishlist share."""

from __future__ import annotations

import ctypes
import json as _json
import threading
from typing import Any, Dict, Iterator, NamedTuple, NoReturn, Optional

from ._errors import OrvelError
from ._kinds import Kind
from ._text import Text, encode, take_text


class Entry(NamedTuple):
    """One wished entry, as the store holds it: a named tuple, so that
    ``kind, item_id, title, artist = entry`` unpacks it and ``entry.kind`` names it."""

    kind: Kind
    item_id: str
    title: str
    artist: str


class StoreView:
    """A store owned by the object: read access, release, and no copies.

    Subclasses call ``__init__`` first, then set ``_lib`` and ``_store`` and release
    them in ``close()``. Every native call runs under ``_lock``, close() too: one
    object may be shared by threads, and close() waits for a call in progress.
    """

    _lib: ctypes.CDLL
    _store: Optional[int] = None
    _copy_hint = "make a new one and load(export_json()) into it"

    def __init__(self) -> None:
        # Reentrant: a call may make others (repr counts, iteration exports).
        self._lock = threading.RLock()

    def close(self) -> None:  # pragma: no cover - every subclass has its own
        raise NotImplementedError

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return not self._store

    def __enter__(self) -> "StoreView":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if "_lock" in self.__dict__:  # else __init__ failed before anything was made
            self.close()

    def _name(self) -> str:
        cls = type(self)
        return f"{cls.__module__}.{cls.__qualname__}"

    def _handle(self) -> int:
        if not self._store:
            raise ValueError(f"the {type(self).__name__} is closed")
        return self._store

    def has(self, kind: Text, item_id: Text) -> bool:
        """True when the (kind, item_id) entry is in the store (False for a kind that is not one of KINDS)."""
        kind_b, item_b = encode(kind, "kind", optional=False), encode(item_id, "item_id", optional=False)
        with self._lock:
            return bool(self._lib.orvel_is_wished(self._handle(), kind_b, item_b) == 1)

    def __contains__(self, entry: object) -> bool:
        """``(kind, item_id) in wishes``, or an Entry."""
        if isinstance(entry, Entry):
            return self.has(entry.kind, entry.item_id)
        if isinstance(entry, tuple) and len(entry) == 2:
            return self.has(entry[0], entry[1])
        return False

    def __len__(self) -> int:
        with self._lock:
            return int(self._lib.orvel_count(self._handle()))

    def __bool__(self) -> bool:
        # Never raises: a closed store is simply false.
        with self._lock:
            return not self.closed and len(self) > 0

    def __iter__(self) -> Iterator[Entry]:
        """The entries in store order, as they are when iter() is called."""
        items = self.export()["items"]
        return iter([Entry(Kind(i["kind"]), i["itemId"], i["title"], i["artist"]) for i in items])

    def export_json(self) -> str:
        """The whole store as liborvel's JSON text: {"total":N,"items":[...]}."""
        with self._lock:
            return take_text(
                self._lib.orvel_export_json(self._handle()), self._lib.orvel_free,
                lambda: OrvelError("cannot export the store (a text is not valid UTF-8, or memory ran out)"),
            )

    def export(self) -> Dict[str, Any]:
        """The whole store as a dict: {"total": n, "items": [{kind, itemId, title, artist}...]}."""
        document: Dict[str, Any] = _json.loads(self.export_json())
        return document

    def _describe(self) -> str:
        n = len(self)
        return f"{n} entr{'y' if n == 1 else 'ies'}"

    def __repr__(self) -> str:
        with self._lock:
            return f"<{self._name()} {'closed' if self.closed else self._describe()}>"

    # A copy would share the native store, which both would then release.
    def _refuse(self, what: str) -> NoReturn:
        raise TypeError(f"cannot {what} {self._name()}: it owns a native store; {self._copy_hint}")

    def __copy__(self) -> NoReturn:
        self._refuse("copy")

    def __deepcopy__(self, memo: object) -> NoReturn:
        self._refuse("deep-copy")

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        self._refuse("pickle")
