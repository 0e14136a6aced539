# SPDX-License-Identifier: MIT
"""The package's exceptions and the reason texts the libraries give."""

from __future__ import annotations

import warnings
from typing import Any, Tuple

from ._enums import TextEnum


class Reason(TextEnum):
    """Every reason text liborvel and liborvel-sync give, as ``OrvelError.reason`` holds it.

    A ``str``: ``error.reason == orvel.Reason.INVALID_KIND`` and ``== "invalid kind"`` alike.
    liborvel gives the first four (ERRORS), liborvel-sync every one (SYNC_ERRORS).
    """

    NULL_ARG = "null arg"
    INVALID_KIND = "invalid kind"
    EMPTY_ITEM_ID = "empty item_id"
    INVALID_JSON = "invalid json"
    INVALID_UTF8 = "invalid utf-8"
    INVALID_ARGUMENT = "invalid argument"
    UNKNOWN_OPERATION = "unknown operation"
    UNKNOWN_TOKEN = "unknown token"
    STALE_RESPONSE = "stale response"
    INVALID_JOURNAL = "invalid journal"
    UNSUPPORTED_VERSION = "unsupported version"
    JOURNAL_NOT_EMPTY = "journal not empty"
    INVALID_SNAPSHOT = "invalid snapshot"
    OUT_OF_MEMORY = "out of memory"


ERRORS: Tuple[str, ...] = tuple(
    r.value for r in (Reason.INVALID_KIND, Reason.EMPTY_ITEM_ID, Reason.NULL_ARG, Reason.INVALID_JSON)
)
"""liborvel's error texts (orvel_last_error), in the order its header lists them."""

SYNC_ERRORS: Tuple[str, ...] = tuple(
    r.value
    for r in (
        Reason.NULL_ARG, Reason.INVALID_KIND, Reason.EMPTY_ITEM_ID, Reason.INVALID_UTF8,
        Reason.INVALID_ARGUMENT, Reason.UNKNOWN_OPERATION, Reason.UNKNOWN_TOKEN, Reason.STALE_RESPONSE,
        Reason.INVALID_JSON, Reason.INVALID_JOURNAL, Reason.UNSUPPORTED_VERSION, Reason.JOURNAL_NOT_EMPTY,
        Reason.INVALID_SNAPSHOT, Reason.OUT_OF_MEMORY,
    )
)
"""liborvel-sync's reasons (orvel_sync_last_error), in the order its header lists them."""

# Reasons that say the caller's input was refused: Python callers catch those
# as ValueError.
# (Values, not members: an Enum member hashes by its name.)
_INPUT_REASONS = frozenset(
    r.value
    for r in (
        Reason.INVALID_KIND, Reason.EMPTY_ITEM_ID, Reason.INVALID_JSON, Reason.INVALID_UTF8,
        Reason.INVALID_ARGUMENT, Reason.UNKNOWN_OPERATION, Reason.UNKNOWN_TOKEN,
        Reason.INVALID_JOURNAL, Reason.UNSUPPORTED_VERSION, Reason.INVALID_SNAPSHOT,
    )
)


class OrvelError(Exception):
    """A library call failed.

    ``reason`` holds the failing call's own reason text (one of ``Reason``), or "" when
    the call gives none; it never describes an earlier call. ``str(error)`` says what
    failed and why.
    """

    def __init__(self, what: str, reason: str = "") -> None:
        self.what = what
        self.reason = str(reason)
        super().__init__(f"{what}: {self.reason}" if self.reason else what)

    def __reduce__(self) -> Tuple[Any, ...]:
        # Keeps the reason through pickle (multiprocessing, concurrent.futures).
        return (type(self), (self.what, self.reason))

    @property
    def message(self) -> str:
        """Deprecated alias of ``reason`` (the name of 1.0.0)."""
        warnings.warn("OrvelError.message is deprecated; use OrvelError.reason", DeprecationWarning, stacklevel=2)
        return self.reason


class InvalidInputError(OrvelError, ValueError):
    """The library refused an argument: a kind, an empty item id, a text that is not
    UTF-8, a response, journal or snapshot text it cannot read, an unknown operation or token.
    Also a ``ValueError``."""


class LibraryNotFoundError(OrvelError, ImportError):
    """liborvel (or liborvel-sync) could not be loaded; the text lists every place tried."""


def error_for(what: str, reason: str) -> OrvelError:
    """The exception for a failure with this reason: a ValueError too when the input was refused."""
    cls = InvalidInputError if reason in _INPUT_REASONS else OrvelError
    return cls(what, reason)
