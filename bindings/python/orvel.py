"""Python binding for liborvel, through ctypes (standard library only).

The library is found, in this order, at the path given to ``load_library``,
at the path in the ``ORVEL_LIBRARY`` environment variable, or as
``liborvel.so.1`` on the default loader path.

    import orvel
    with orvel.Wishlist() as wishes:
        wishes.load(response_bytes)
        if ("album", "al-1") not in wishes:
            wishes.toggle("album", "al-1", title="Title", artist="Artist")
            request = orvel.build_wish_request(True, "album", "al-1", "Title", "Artist")

Texts are passed as UTF-8. Every text the library returns is copied into a
Python ``str`` and released with ``orvel_free`` exactly once.
"""

import ctypes
import json
import os
import threading

__all__ = [
    "OrvelError",
    "Wishlist",
    "load_library",
    "version",
    "abi_version",
    "validate_kind",
    "build_mine_url",
    "build_wish_request",
    "build_wish_request_json",
    "selftest",
    "KINDS",
]

ABI_VERSION = 1
KINDS = ("track", "album", "artist", "playlist")


class OrvelError(Exception):
    """A library call failed; ``message`` is the library's error text (may be empty)."""

    def __init__(self, what, message=""):
        self.message = message
        super().__init__(f"{what}: {message}" if message else what)


_lib = None
_lib_lock = threading.Lock()


def _declare(lib):
    c_int32, c_char_p, c_void_p, c_size_t = ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t
    # Returned texts are c_void_p: a c_char_p result would copy the text and
    # lose the pointer that must be passed to orvel_free.
    signatures = {
        "orvel_version": (c_char_p, []),  # static text, never freed
        "orvel_abi_version": (c_int32, []),
        "orvel_last_error": (c_char_p, []),  # per-thread buffer, never freed
        "orvel_free": (None, [c_void_p]),
        "orvel_create": (c_void_p, []),
        "orvel_destroy": (None, [c_void_p]),
        "orvel_validate_kind": (c_int32, [c_char_p]),
        "orvel_count": (c_int32, [c_void_p]),
        "orvel_is_wished": (c_int32, [c_void_p, c_char_p, c_char_p]),
        "orvel_apply_local_toggle": (c_int32, [c_void_p, c_char_p, c_char_p, c_char_p, c_char_p]),
        "orvel_build_mine_url": (c_void_p, [c_char_p]),
        "orvel_build_wish_request_json": (
            c_void_p,
            [c_char_p, c_int32, c_char_p, c_char_p, c_char_p, c_char_p],
        ),
        "orvel_load_mine_json": (c_int32, [c_void_p, c_char_p, c_size_t]),
        "orvel_export_json": (c_void_p, [c_void_p]),
        "orvel_selftest": (c_int32, []),
    }
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def load_library(path=None):
    """Loads liborvel (once per process) and returns the ctypes handle."""
    global _lib
    with _lib_lock:
        if _lib is None:
            candidate = path or os.environ.get("ORVEL_LIBRARY") or "liborvel.so.1"
            lib = ctypes.CDLL(candidate)
            _declare(lib)
            if lib.orvel_abi_version() != ABI_VERSION:
                raise OrvelError(f"{candidate}: interface version {lib.orvel_abi_version()}, expected {ABI_VERSION}")
            _lib = lib
        return _lib


def _encode(text, name):
    if text is None:
        return None
    if isinstance(text, bytes):
        value = text
    elif isinstance(text, str):
        value = text.encode("utf-8")
    else:
        raise TypeError(f"{name} must be str, bytes or None, not {type(text).__name__}")
    if b"\0" in value:
        raise ValueError(f"{name} must not contain NUL characters")
    return value


def _last_error():
    return load_library().orvel_last_error().decode("utf-8")


def _take_text(pointer, what, with_error=False):
    """Copies and frees a returned text; raises OrvelError when it is absent."""
    lib = load_library()
    if not pointer:
        raise OrvelError(what, _last_error() if with_error else "")
    try:
        return ctypes.string_at(pointer).decode("utf-8")
    finally:
        lib.orvel_free(pointer)


def version():
    """The library version text, such as "1.0.0"."""
    return load_library().orvel_version().decode("ascii")


def abi_version():
    """The library's interface version (1)."""
    return load_library().orvel_abi_version()


def validate_kind(kind):
    """True when kind is one of KINDS, exactly."""
    return load_library().orvel_validate_kind(_encode(kind, "kind")) == 0


def build_mine_url(base_url=None):
    """The URL that lists the user's wishes; None or "" selects the built-in default."""
    return _take_text(load_library().orvel_build_mine_url(_encode(base_url, "base_url")), "cannot build the URL")


def build_wish_request_json(add, kind, item_id, title=None, artist=None, base_url=None):
    """The JSON envelope of the POST that adds (add true) or removes a wish, as text."""
    lib = load_library()
    pointer = lib.orvel_build_wish_request_json(
        _encode(base_url, "base_url"),
        1 if add else 0,
        _encode(kind, "kind"),
        _encode(item_id, "item_id"),
        _encode(title, "title"),
        _encode(artist, "artist"),
    )
    return _take_text(pointer, "cannot build the wish request", with_error=True)


def build_wish_request(add, kind, item_id, title=None, artist=None, base_url=None):
    """The envelope as a dict with method, url, contentType and body (body a str)."""
    return json.loads(build_wish_request_json(add, kind, item_id, title, artist, base_url))


def selftest():
    """0 when the built-in self-test passes, else the first failing step."""
    return load_library().orvel_selftest()


class Wishlist:
    """One user's wishlist store. Use as a context manager, or call close()."""

    def __init__(self):
        self._lib = load_library()
        self._store = self._lib.orvel_create()
        if not self._store:
            raise MemoryError("orvel_create: out of memory")

    def close(self):
        """Releases the store; the object is unusable afterwards. Safe to call twice."""
        store, self._store = getattr(self, "_store", None), None
        if store:
            self._lib.orvel_destroy(store)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        self.close()

    def _handle(self):
        if not self._store:
            raise ValueError("the wishlist is closed")
        return self._store

    def load(self, response):
        """Replaces the content with a list response (str or bytes); returns the entry count.

        Raises OrvelError("invalid json") and keeps the old content when the text is not
        strict JSON.
        """
        data = response.encode("utf-8") if isinstance(response, str) else bytes(response)
        # Passed with its exact length; an empty text becomes a 1-byte NUL buffer so
        # that the library reads "" rather than "up to the first NUL".
        buffer = ctypes.create_string_buffer(data, len(data) + 1)
        count = self._lib.orvel_load_mine_json(self._handle(), buffer, len(data))
        if count < 0:
            raise OrvelError("cannot load the response", _last_error())
        return count

    def toggle(self, kind, item_id, title=None, artist=None):
        """Adds the entry (returns True) or removes it (returns False)."""
        result = self._lib.orvel_apply_local_toggle(
            self._handle(),
            _encode(kind, "kind"),
            _encode(item_id, "item_id"),
            _encode(title, "title"),
            _encode(artist, "artist"),
        )
        if result < 0:
            raise OrvelError(f"cannot toggle {kind!r} {item_id!r} (invalid kind, empty id, or out of memory)")
        return result == 1

    def is_wished(self, kind, item_id):
        return self._lib.orvel_is_wished(self._handle(), _encode(kind, "kind"), _encode(item_id, "item_id")) == 1

    def __contains__(self, entry):
        kind, item_id = entry
        return self.is_wished(kind, item_id)

    def __len__(self):
        return self._lib.orvel_count(self._handle())

    def export_json(self):
        """The whole wishlist as the library's JSON text."""
        return _take_text(self._lib.orvel_export_json(self._handle()), "cannot export the wishlist")

    def export(self):
        """The whole wishlist as a dict: {"total": n, "items": [{kind, itemId, title, artist}...]}."""
        return json.loads(self.export_json())
