# SPDX-License-Identifier: MIT
"""The four kinds of entry."""

from __future__ import annotations

from typing import Tuple

from ._enums import TextEnum


class Kind(TextEnum):
    """A kind of entry; a ``str`` equal to the library's spelling (``Kind.ALBUM == "album"``)."""

    TRACK = "track"
    ALBUM = "album"
    ARTIST = "artist"
    PLAYLIST = "playlist"


KINDS: Tuple[str, ...] = tuple(kind.value for kind in Kind)
"""The four kinds of entry, exactly as the library spells them, in its order."""
