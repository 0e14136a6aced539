"""Python binding for liborvel: one user's wishlist, its service messages and its export.

    import orvel
    with orvel.Wishlist() as wishes:
        wishes.load(response_bytes)
        if not wishes.has("album", "al-1"):
            wishes.toggle("album", "al-1", title="Title", artist="Artist")
            request = orvel.build_wish_request(True, "album", "al-1", "Title", "Artist")

Texts go in as ``str`` (encoded as UTF-8) or ``bytes`` (passed as they are);
texts come back as ``str``. Every text the library returns is copied and
released with ``orvel_free`` exactly once. See ``load_library`` for where the
library is looked for.
"""

from __future__ import annotations

import ctypes
import json
from typing import Any, Dict, Optional, Tuple, Union

from ._library import ABI_VERSION, LibraryNotFoundError, OrvelError, load_library

__all__ = [
    "ABI_VERSION",
    "KINDS",
    "LibraryNotFoundError",
    "OrvelError",
    "Text",
    "Response",
    "Wishlist",
    "abi_version",
    "build_mine_url",
    "build_wish_request",
    "build_wish_request_json",
    "load_library",
    "selftest",
    "validate_kind",
    "version",
]

KINDS: Tuple[str, ...] = ("track", "album", "artist", "playlist")
"""The four kinds of entry, exactly as the library spells them."""

Text = Union[str, bytes]
"""A text argument: ``str`` is encoded as UTF-8, ``bytes`` pass unchanged."""

Response = Union[str, bytes, bytearray, memoryview]
"""A list response: any of these, passed with its exact length."""


def _encode(value: Optional[Text], name: str, optional: bool = True) -> Optional[bytes]:
    """The NUL-terminated form of a text argument; None stays absent where allowed."""
    if value is None:
        if optional:
            return None
        raise TypeError(f"{name} must be str or bytes, not None")
    if isinstance(value, str):
        data = value.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError(f"{name} must be str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{name} must not contain NUL characters")
    return data


def _last_error() -> str:
    return load_library().orvel_last_error().decode("utf-8")


def _take_text(pointer: Optional[int], what: str, with_error: bool = False) -> str:
    """Copies a returned text, frees it, and raises OrvelError when it is absent."""
    if not pointer:
        raise OrvelError(what, _last_error() if with_error else "")
    lib = load_library()
    try:
        return ctypes.string_at(pointer).decode("utf-8")
    finally:
        lib.orvel_free(pointer)


def version() -> str:
    """The library's version text, such as "1.0.0"."""
    return load_library().orvel_version().decode("ascii")


def abi_version() -> int:
    """The library's interface version (ABI_VERSION)."""
    return int(load_library().orvel_abi_version())


def validate_kind(kind: Text) -> bool:
    """True when ``kind`` is one of KINDS, exactly (case-sensitive)."""
    return load_library().orvel_validate_kind(_encode(kind, "kind", optional=False)) == 0


def selftest() -> int:
    """Runs the built-in self-test: 0 when it passes, else the first failing step (1 to 6)."""
    return int(load_library().orvel_selftest())


def build_mine_url(base_url: Optional[Text] = None) -> str:
    """The URL that lists the user's wishes; None or "" selects the built-in default base."""
    pointer = load_library().orvel_build_mine_url(_encode(base_url, "base_url"))
    return _take_text(pointer, "cannot build the list URL (out of memory)")


def build_wish_request_json(
    add: bool,
    kind: Text,
    item_id: Text,
    title: Optional[Text] = None,
    artist: Optional[Text] = None,
    base_url: Optional[Text] = None,
) -> str:
    """The JSON envelope of the POST that adds (``add`` true) or removes one wish, as text.

    Raises OrvelError with message "invalid kind" or "empty item_id" when an argument
    check fails, and with an empty message when the base URL is not valid UTF-8 or
    memory runs out.
    """
    pointer = load_library().orvel_build_wish_request_json(
        _encode(base_url, "base_url"),
        1 if add else 0,
        _encode(kind, "kind", optional=False),
        _encode(item_id, "item_id", optional=False),
        _encode(title, "title"),
        _encode(artist, "artist"),
    )
    return _take_text(pointer, "cannot build the wish request", with_error=True)


def build_wish_request(
    add: bool,
    kind: Text,
    item_id: Text,
    title: Optional[Text] = None,
    artist: Optional[Text] = None,
    base_url: Optional[Text] = None,
) -> Dict[str, str]:
    """The envelope as a dict with "method", "url", "contentType" and "body" (body a str)."""
    envelope: Dict[str, str] = json.loads(build_wish_request_json(add, kind, item_id, title, artist, base_url))
    return envelope


def _response_buffer(response: Response) -> Tuple[Any, int]:
    """A pointer-compatible view of a response and its exact length in bytes."""
    if isinstance(response, str):
        response = response.encode("utf-8")
    if isinstance(response, memoryview):
        if response.readonly or not response.c_contiguous:
            response = response.tobytes()
        else:
            response = response.cast("B")
    elif not isinstance(response, (bytes, bytearray)):
        raise TypeError(f"response must be str, bytes, bytearray or memoryview, not {type(response).__name__}")
    size = len(response)
    if size == 0:
        # A length of 0 would mean "up to the first NUL": give the library one
        # that ends at once, so an empty response fails as empty JSON.
        return ctypes.c_char_p(b""), 0
    if isinstance(response, bytes):
        return ctypes.c_char_p(response), size
    return (ctypes.c_char * size).from_buffer(response), size  # no copy of a large buffer


class Wishlist:
    """One user's wishlist store.

    Use it as a context manager, or call close(); a store that is never closed is
    released when the object is collected. A closed Wishlist raises ValueError.
    Not safe to use from two threads at once; separate Wishlists are independent.
    """

    def __init__(self) -> None:
        self._lib = load_library()
        self._store: Optional[int] = self._lib.orvel_create()
        if not self._store:
            raise MemoryError("orvel_create: out of memory")

    def close(self) -> None:
        """Releases the store; harmless when already closed."""
        store, self._store = getattr(self, "_store", None), None
        if store:
            self._lib.orvel_destroy(store)

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return not self._store

    def __enter__(self) -> "Wishlist":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()

    def _handle(self) -> int:
        if not self._store:
            raise ValueError("the wishlist is closed")
        return self._store

    def load(self, response: Response) -> int:
        """Replaces the content with a list response and returns the number of entries.

        Raises OrvelError("cannot load the response: invalid json") and keeps the old
        content when the text is not strict JSON (empty, not UTF-8, trailing bytes...).
        """
        buffer, size = _response_buffer(response)
        count = self._lib.orvel_load_mine_json(self._handle(), buffer, size)
        if count < 0:
            raise OrvelError("cannot load the response", _last_error())
        return int(count)

    def toggle(self, kind: Text, item_id: Text, title: Optional[Text] = None, artist: Optional[Text] = None) -> bool:
        """Adds the entry (returns True) or removes it (returns False).

        Raises OrvelError, the store unchanged, for an invalid kind, an empty item id,
        a full store or lack of memory.
        """
        kind_bytes = _encode(kind, "kind", optional=False)
        id_bytes = _encode(item_id, "item_id", optional=False)
        result = self._lib.orvel_apply_local_toggle(
            self._handle(), kind_bytes, id_bytes, _encode(title, "title"), _encode(artist, "artist")
        )
        if result < 0:
            if self._lib.orvel_validate_kind(kind_bytes) != 0:
                reason = "invalid kind"
            elif not id_bytes:
                reason = "empty item_id"
            else:
                reason = "out of memory or the store is full"
            raise OrvelError(f"cannot toggle {kind!r} {item_id!r}", reason)
        return result == 1

    def has(self, kind: Text, item_id: Text) -> bool:
        """True when the (kind, item_id) entry is in the wishlist."""
        wished = self._lib.orvel_is_wished(
            self._handle(), _encode(kind, "kind", optional=False), _encode(item_id, "item_id", optional=False)
        )
        return wished == 1

    is_wished = has

    def __contains__(self, entry: Tuple[Text, Text]) -> bool:
        kind, item_id = entry
        return self.has(kind, item_id)

    @property
    def size(self) -> int:
        """The number of entries."""
        return int(self._lib.orvel_count(self._handle()))

    def __len__(self) -> int:
        return self.size

    def export_json(self) -> str:
        """The whole wishlist as the library's JSON text: {"total":N,"items":[...]}."""
        return _take_text(self._lib.orvel_export_json(self._handle()), "cannot export the wishlist (a text is not valid UTF-8, or memory is short)")

    def export(self) -> Dict[str, Any]:
        """The whole wishlist as a dict: {"total": n, "items": [{kind, itemId, title, artist}...]}."""
        document: Dict[str, Any] = json.loads(self.export_json())
        return document
