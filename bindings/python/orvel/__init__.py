# SPDX-License-Identifier: MIT
"""Python binding for liborvel: one user's wishlist, its service messages and its export,
and (with liborvel-sync) the change journal that keeps its changes until the service
has confirmed them.

    import orvel
    with orvel.Wishlist() as wishes:
        wishes.load(response_bytes)
        if ("album", "al-1") not in wishes and wishes.toggle("album", "al-1", "Title", "Artist"):
            post(orvel.build_wish_request(True, "album", "al-1", "Title", "Artist"))
        for entry in wishes:
            print(entry.kind, entry.item_id, entry.title, entry.artist)

Texts go in as ``str`` (encoded as UTF-8) or ``bytes`` (passed as they are);
texts come back as ``str``. Every text the libraries return is copied and
released exactly once. See ``load_library`` for where the libraries are looked for.
"""

from ._client import Change, ClientOptions, ClientState, Rejection, Status, SyncState, SyncSummary, WishlistClient
from ._errors import ERRORS, SYNC_ERRORS, InvalidInputError, LibraryNotFoundError, OrvelError, Reason
from ._kinds import KINDS, Kind
from ._library import (
    ABI_VERSION,
    LIBRARY_SEARCH_ORDER,
    SYNC_ABI_VERSION,
    SYNC_LIBRARY_SEARCH_ORDER,
    load_library,
)
from ._requests import (
    WishRequest,
    abi_version,
    build_mine_url,
    build_wish_request,
    build_wish_request_json,
    selftest,
    validate_kind,
    version,
)
from ._state_dir import StateError
from ._store import Entry
from ._synced import (
    EntryState,
    EntryStatus,
    Outcome,
    PendingRequest,
    StoreChange,
    SyncedWishlist,
    sync_abi_version,
    sync_version,
)
from ._text import Response, Text
from ._version import __version__
from ._wishlist import Wishlist

__all__ = [
    "ABI_VERSION",
    "Change",
    "ClientOptions",
    "ClientState",
    "Rejection",
    "StateError",
    "Status",
    "SyncState",
    "SyncSummary",
    "WishlistClient",
    "ERRORS",
    "Entry",
    "EntryState",
    "EntryStatus",
    "InvalidInputError",
    "KINDS",
    "Kind",
    "LIBRARY_SEARCH_ORDER",
    "LibraryNotFoundError",
    "OrvelError",
    "Outcome",
    "PendingRequest",
    "Reason",
    "Response",
    "StoreChange",
    "SYNC_ABI_VERSION",
    "SYNC_ERRORS",
    "SYNC_LIBRARY_SEARCH_ORDER",
    "SyncedWishlist",
    "Text",
    "WishRequest",
    "Wishlist",
    "abi_version",
    "build_mine_url",
    "build_wish_request",
    "build_wish_request_json",
    "load_library",
    "selftest",
    "sync_abi_version",
    "sync_version",
    "validate_kind",
    "version",
]

# The public classes present themselves as orvel's (repr, errors, pickling's refusal).
for _public in (Change, ClientOptions, ClientState, Rejection, StateError, Status, SyncState, SyncSummary,
                WishlistClient, Entry, EntryState, EntryStatus, InvalidInputError, Kind, LibraryNotFoundError, OrvelError, Outcome,
                PendingRequest, Reason, StoreChange, SyncedWishlist, WishRequest, Wishlist):
    _public.__module__ = __name__
del _public


def __dir__() -> "list[str]":
    return sorted(__all__ + ["__version__"])
