"""The four kinds of entry."""

from __future__ import annotations

from enum import Enum
from typing import Tuple


class Kind(str, Enum):
    """A kind of entry; a ``str`` equal to the library's spelling (``Kind.ALBUM == "album"``)."""

    TRACK = "track"
    ALBUM = "album"
    ARTIST = "artist"
    PLAYLIST = "playlist"

    def __str__(self) -> str:
        # The library's spelling in str() and f-strings alike, on every Python.
        return str(self.value)


KINDS: Tuple[str, ...] = tuple(kind.value for kind in Kind)
"""The four kinds of entry, exactly as the library spells them, in its order."""
