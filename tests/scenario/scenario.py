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
        out(f"{label}: (none) error={error.message}")


def main() -> None:
    with open(sys.argv[1], "rb") as file:
        response = file.read()
    with orvel.Wishlist() as w:
        out(f"version: {orvel.version()} abi {orvel.abi_version()}")
        out(f"load: {w.load(response)}")
        out(f"toggle-in: {int(w.toggle('album', 'al-new', NEW_TITLE))}")
        out(f"toggle-out: {int(w.toggle('track', 'tr-3'))}")
        out(f"has: {int(w.has('album', 'al-new'))} {int(w.has('track', 'tr-3'))}")
        out(f"count: {w.size}")
        text("mine-url", lambda: orvel.build_mine_url(BASE))
        text("request", lambda: orvel.build_wish_request_json(True, "album", "al-new", NEW_TITLE, ARTIST, BASE))
        text("request-bad-utf8", lambda: orvel.build_wish_request_json(False, "album", "al-new", b"\xff\xfe", None, BASE))
        try:
            w.load(b'["\xff"]')
        except orvel.OrvelError as error:
            out(f"load-bad-utf8: -1 error={error.message}")
        text("export", w.export_json)


main()
