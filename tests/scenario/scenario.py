# SPDX-License-Identifier: MIT
"""The cross-language scenario through the Python package (see run.sh)."""

import sys

import orvel

BASE = "https://api.example.test//"
NEW_TITLE = "Neu \u00fc \U0001f3a7"
ARTIST = 'He said "hi"\n'


def out(line: str) -> None:
    sys.stdout.buffer.write(line.encode("utf-8") + b"\n")


def text(label: str, build) -> None:
    try:
        out(f"{label}: {build()}")
    except orvel.OrvelError as error:
        out(f"{label}: (none) error={error.reason}")


def field(value: str) -> str:
    """A field as its length in UTF-8 bytes and its text."""
    return f"{len(value.encode('utf-8'))}:{value}"


def main() -> None:
    with open(sys.argv[1], "rb") as file:
        response = file.read()
    with orvel.Wishlist() as w:
        out(f"version: {orvel.version()} abi {orvel.abi_version()}")
        out(f"load: {w.load(response)}")
        out(f"toggle-in: {int(w.toggle(orvel.Kind.ALBUM, 'al-new', NEW_TITLE))}")
        out(f"toggle-out: {int(w.toggle('track', 'tr-3'))}")
        out(f"has: {int(w.has('album', 'al-new'))} {int(('track', 'tr-3') in w)}")
        out(f"count: {len(w)}")
        text("mine-url", lambda: orvel.build_mine_url(BASE))
        text("request", lambda: orvel.build_wish_request(True, "album", "al-new", NEW_TITLE, ARTIST, BASE).json)
        text("request-bad-utf8", lambda: orvel.build_wish_request_json(False, "album", "al-new", b"\xff\xfe", None, BASE))
        try:
            w.load(b'["\xff"]')
        except orvel.OrvelError as error:
            out(f"load-bad-utf8: -1 error={error.reason}")
        text("export", w.export_json)
        for index, entry in enumerate(w):
            out(f"entry {index}: {entry.kind} {field(entry.item_id)} {field(entry.title)} {field(entry.artist)}")


main()
