# SPDX-License-Identifier: MIT
"""Texts across the boundary: arguments in, buffers in, returned texts out."""

from __future__ import annotations

import ctypes
from typing import Any, Callable, Optional, Tuple, Union

from ._errors import InvalidInputError, OrvelError, Reason

Text = Union[str, bytes]
"""A text argument: ``str`` is encoded as UTF-8, ``bytes`` pass unchanged."""

Response = Union[str, bytes, bytearray, memoryview]
"""A list response (or a saved text): any of these, passed with its exact length."""


def encode(value: Optional[Text], name: str, optional: bool = True) -> Optional[bytes]:
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


def is_utf8(data: Optional[bytes]) -> bool:
    """True for absent or valid UTF-8 bytes; ASCII is checked without a copy."""
    if data is None or data.isascii():
        return True
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def require_utf8(what: str, **texts: Optional[bytes]) -> None:
    """Raises InvalidInputError ("invalid utf-8") naming the first text that is not UTF-8."""
    for name, data in texts.items():
        if not is_utf8(data):
            raise InvalidInputError(f"{what}: {name} is not valid UTF-8", Reason.INVALID_UTF8)


def response_buffer(response: Response, name: str = "response") -> Tuple[Any, int]:
    """A pointer-compatible view of a response and its exact length in bytes."""
    if isinstance(response, str):
        response = response.encode("utf-8")
    if isinstance(response, memoryview):
        if response.readonly or not response.c_contiguous:
            response = response.tobytes()
        else:
            response = response.cast("B")
    elif not isinstance(response, (bytes, bytearray)):
        raise TypeError(f"{name} must be str, bytes, bytearray or memoryview, not {type(response).__name__}")
    size = len(response)
    if size == 0:
        # A length of 0 would mean "up to the first NUL": give the library one
        # that ends at once, so an empty text fails as empty JSON.
        return ctypes.c_char_p(b""), 0
    if isinstance(response, bytes):
        return ctypes.c_char_p(response), size
    return (ctypes.c_char * size).from_buffer(response), size  # no copy of a large buffer


def take_text(pointer: Optional[int], free: Callable[[int], None], error: Callable[[], OrvelError]) -> str:
    """Copies a returned text and frees it; raises error() when it is absent."""
    return take_bytes(pointer, free, error).decode("utf-8")


def take_bytes(pointer: Optional[int], free: Callable[[int], None], error: Callable[[], OrvelError]) -> bytes:
    """take_text's bytes, for a text that only goes to a file: no decoding and encoding again."""
    if not pointer:
        raise error()
    try:
        return ctypes.string_at(pointer)
    finally:
        free(pointer)
