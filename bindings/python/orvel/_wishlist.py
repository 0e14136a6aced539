# SPDX-License-Identifier: MIT
"""Wishlist: one user's store, changed by toggles and list responses."""

from __future__ import annotations

import warnings
from typing import Optional

from ._errors import Reason, error_for
from ._library import load_library
from ._requests import entry_reason
from ._store import StoreView
from ._text import Response, Text, encode, is_utf8, response_buffer


class Wishlist(StoreView):
    """One user's wishlist store.

    Use it as a context manager, or call close(); a store that is never closed is
    released when the object is collected. A closed Wishlist raises ValueError (and
    is false). Iterating yields Entry objects in store order. It cannot be copied
    or pickled: export_json() and load() carry its content.
    Threads may share one: each call runs alone, and close() waits for a call in
    progress (later calls raise ValueError).
    """

    def __init__(self) -> None:
        super().__init__()
        self._lib = load_library()
        store = self._lib.orvel_create()
        if not store:
            raise MemoryError("orvel_create: out of memory")
        self._store = store

    def close(self) -> None:
        """Releases the store; harmless when already closed. Waits for a call in progress."""
        with self._lock:
            store, self._store = self._store, None
            if store:
                self._lib.orvel_destroy(store)

    def __enter__(self) -> "Wishlist":
        return self

    def load(self, response: Response) -> int:
        """Replaces the content with a list response and returns the number of entries.

        Raises InvalidInputError (reason "invalid json") and keeps the old content when
        the text is not strict JSON (empty, not UTF-8, trailing bytes...).
        """
        buffer, size = response_buffer(response)
        with self._lock:
            count = self._lib.orvel_load_mine_json(self._handle(), buffer, size)
        if count < 0:
            # Every failed load writes its own error text (this thread's): never a stale one.
            raise error_for("cannot load the response", self._lib.orvel_last_error().decode("utf-8"))
        return int(count)

    def toggle(self, kind: Text, item_id: Text, title: Optional[Text] = None, artist: Optional[Text] = None) -> bool:
        """Adds the entry (returns True) or removes it (returns False).

        Raises InvalidInputError, the store unchanged, for an invalid kind, an empty item
        id or a text that is not valid UTF-8 (which the store could never export), and
        OrvelError with reason "out of memory" when memory runs out (or the store is full).
        """
        what = f"cannot toggle {kind!r} {item_id!r}"
        texts = dict(kind=encode(kind, "kind", optional=False), item_id=encode(item_id, "item_id", optional=False),
                     title=encode(title, "title"), artist=encode(artist, "artist"))
        # liborvel would store a text that is not UTF-8, and then could never
        # export the store: refuse it, after the checks liborvel makes first.
        utf8 = all(is_utf8(t) for t in texts.values())
        with self._lock:
            store = self._handle()
            result = self._lib.orvel_apply_local_toggle(
                store, texts["kind"], texts["item_id"], texts["title"], texts["artist"]
            ) if utf8 else -1
        if result < 0:
            reason = entry_reason(self._lib, texts["kind"], texts["item_id"])
            if reason is None:
                reason = Reason.OUT_OF_MEMORY if utf8 else Reason.INVALID_UTF8
            raise error_for(what, reason)
        return result == 1

    def is_wished(self, kind: Text, item_id: Text) -> bool:
        """Deprecated alias of has()."""
        warnings.warn("Wishlist.is_wished() is deprecated; use has()", DeprecationWarning, stacklevel=2)
        return self.has(kind, item_id)

    @property
    def size(self) -> int:
        """Deprecated: len(wishlist)."""
        warnings.warn("Wishlist.size is deprecated; use len(wishlist)", DeprecationWarning, stacklevel=2)
        return len(self)
