# SPDX-License-Identifier: MIT
"""liborvel's versions, self-test and service messages: the module-level functions."""

from __future__ import annotations

import ctypes
import json as _json
import warnings
from dataclasses import dataclass, field
from typing import Optional

from ._errors import InvalidInputError, OrvelError, Reason
from ._library import load_library
from ._text import Text, encode, is_utf8, require_utf8, take_text


def version() -> str:
    """liborvel's version text (ORVEL_VERSION)."""
    return load_library().orvel_version().decode("ascii")


def abi_version() -> int:
    """liborvel's interface version (ABI_VERSION)."""
    return int(load_library().orvel_abi_version())


def validate_kind(kind: Text) -> bool:
    """True when ``kind`` is one of KINDS, exactly (case-sensitive)."""
    return load_library().orvel_validate_kind(encode(kind, "kind", optional=False)) == 0


def selftest() -> int:
    """Runs the built-in self-test: 0 when it passes, else the first failing step (1 to 6)."""
    return int(load_library().orvel_selftest())


def entry_reason(lib: ctypes.CDLL, kind: Optional[bytes], item_id: Optional[bytes]) -> Optional[Reason]:
    """Why liborvel refuses this (kind, item_id), checked in its own order; None when it does not.

    Callers derive a failure's reason from this rather than from the error text,
    which a failing call does not always write.
    """
    if lib.orvel_validate_kind(kind) != 0:
        return Reason.INVALID_KIND
    if not item_id:
        return Reason.EMPTY_ITEM_ID
    return None


def build_mine_url(base_url: Optional[Text] = None) -> str:
    """The URL that lists the user's wishes; None or "" selects the built-in default base.

    Raises InvalidInputError (reason "invalid utf-8") for a base that is not valid UTF-8.
    """
    base = encode(base_url, "base_url")
    require_utf8("cannot build the list URL", base_url=base)
    lib = load_library()
    return take_text(
        lib.orvel_build_mine_url(base), lib.orvel_free,
        lambda: OrvelError("cannot build the list URL", Reason.OUT_OF_MEMORY),
    )


def build_wish_request_json(
    add: bool,
    kind: Text,
    item_id: Text,
    title: Optional[Text] = None,
    artist: Optional[Text] = None,
    base_url: Optional[Text] = None,
) -> str:
    """The JSON envelope of the POST that adds (``add`` true) or removes one wish, as liborvel writes it.

    Raises InvalidInputError with reason "invalid kind" or "empty item_id" when an
    argument check fails, or with reason "" (liborvel gives none) when a text is not
    valid UTF-8; OrvelError with reason "out of memory" when memory runs out.
    """
    lib = load_library()
    texts = (
        encode(kind, "kind", optional=False), encode(item_id, "item_id", optional=False),
        encode(title, "title"), encode(artist, "artist"), encode(base_url, "base_url"),
    )
    kind_b, item_b, title_b, artist_b, base_b = texts
    pointer = lib.orvel_build_wish_request_json(base_b, 1 if add else 0, kind_b, item_b, title_b, artist_b)

    def failure() -> OrvelError:
        # liborvel's error text is not read: when memory for the URL runs out it
        # keeps an earlier call's text, which must never pass for this one's.
        what = "cannot build the wish request"
        reason = entry_reason(lib, kind_b, item_b)
        if reason is not None:
            return InvalidInputError(what, reason)
        if all(is_utf8(t) for t in texts):
            return OrvelError(what, Reason.OUT_OF_MEMORY)
        return InvalidInputError(f"{what}: a text is not valid UTF-8")

    return take_text(pointer, lib.orvel_free, failure)


@dataclass(frozen=True)
class WishRequest:
    """The POST that adds or removes one wish: send ``body`` to ``url`` with ``method``
    and a Content-Type of ``content_type``. ``json`` is liborvel's envelope text, byte
    for byte."""

    method: str
    url: str
    content_type: str
    body: str
    json: str = field(repr=False)

    @classmethod
    def _parse(cls, text: str, **extra: int) -> "WishRequest":
        envelope = _json.loads(text)
        return cls(envelope["method"], envelope["url"], envelope["contentType"], envelope["body"], text, **extra)

    _ENVELOPE_NAMES = {"method": "method", "url": "url", "contentType": "content_type", "body": "body"}

    def __getitem__(self, name: str) -> str:
        """Deprecated: the envelope's members by their JSON names, as the dict of 1.0.0 gave them."""
        warnings.warn(
            "WishRequest[name] is deprecated; use the attributes method, url, content_type and body",
            DeprecationWarning, stacklevel=2,
        )
        return str(getattr(self, self._ENVELOPE_NAMES[name]))


def build_wish_request(
    add: bool,
    kind: Text,
    item_id: Text,
    title: Optional[Text] = None,
    artist: Optional[Text] = None,
    base_url: Optional[Text] = None,
) -> WishRequest:
    """The envelope of build_wish_request_json, parsed into a WishRequest."""
    return WishRequest._parse(build_wish_request_json(add, kind, item_id, title, artist, base_url))
