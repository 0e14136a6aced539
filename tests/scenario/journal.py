# SPDX-License-Identifier: MIT
"""The change journal's cross-language scenario through the Python package (see run.sh)."""

import sys

import orvel

BASE = "https://api.example.test//"
NEW_TITLE = "Neu \u00fc \U0001f3a7"
ARTIST = 'He said "hi"\n'
CAFE = "Caf\u00e9"
NOT_UTF8 = b"\xff"


def out(line: str) -> None:
    sys.stdout.buffer.write(line.encode("utf-8") + b"\n")


def counts(w: orvel.SyncedWishlist) -> None:
    out(f"counts: held {w.held} unsent {w.unsent} in-flight {w.in_flight} confirming {w.confirming}")


def send(w: orvel.SyncedWishlist) -> int:
    request = w.next_request(BASE)
    out(f"send: {request.op_id} {request.json}" if request else "send: none")
    return request.op_id if request else 0


def refused(call) -> str:
    """What the C scenario prints for a call that fails: -1 and the reason."""
    try:
        call()
    except orvel.OrvelError as error:
        return f"-1 error={error.reason}"
    raise AssertionError("the call should have failed")


def report_outcome(w: orvel.SyncedWishlist, op: int, outcome: orvel.Outcome) -> None:
    out(f"report: 0 store {int(w.report(op, outcome))}")


def status(w: orvel.SyncedWishlist, kind: str, item_id: str) -> None:
    """An entry's status as the C scenario prints it: the call's result, then every member."""
    try:
        e = w.status(kind, item_id)
    except orvel.OrvelError as error:
        out(f"status: -1 error={error.reason}")
        return
    wished = -1 if e.wished is None else int(e.wished)
    out(f"status: {int(e.state != orvel.EntryState.SYNCED)} state {int(e.state)} wished {wished} op {e.op_id} "
        f"attempts {e.attempts} uncertain {e.uncertain}")


def loaded(w: orvel.SyncedWishlist, token: int, response) -> str:
    count = w.load(token, response)
    return str(count) if count is not None else f"-2 error={orvel.Reason.STALE_RESPONSE}"


def main() -> None:
    with open(sys.argv[1], "rb") as file:
        response = file.read()
    w = orvel.SyncedWishlist()
    out(f"version: {orvel.sync_version()} abi {orvel.sync_abi_version()}")
    first = w.begin_refresh()
    out(f"refresh: {first} load {loaded(w, first, response)}")
    out(f"set: {w.set_wished('album', 'al-new', wished=True, title=NEW_TITLE, artist=ARTIST)}")
    out(f"set: {w.set_wished('track', 'tr-3', wished=False)}")
    out(f"set: {w.set_wished('track', 'tr-none', wished=False)}")
    out(f"set: {w.set_wished(orvel.Kind.PLAYLIST, 'pl-9', wished=True, title='P', artist='')}")
    out(f"set: {w.set_wished('album', 'al-1', wished=False, title=CAFE, artist='')}")
    counts(w)
    a, b, c = send(w), send(w), send(w)
    w.report(a, orvel.Outcome.ACCEPTED)
    out("report: 0")
    w.report(b, orvel.Outcome.REJECTED)
    out(f"report: 0 has {int(w.has('track', 'tr-3'))}")
    w.report(c, orvel.Outcome.FAILED)
    out("report: 0")
    out(f"report-again: {refused(lambda: w.report(c, orvel.Outcome.FAILED))}")
    counts(w)
    older, newer = w.begin_refresh(), w.begin_refresh()
    out(f"refresh: {newer} load {loaded(w, newer, response)}")
    out(f"refresh: {older} load {loaded(w, older, '[]')}")
    counts(w)
    journal_text, store_text = w.save(), w.export_json()
    out(f"saved-journal: {journal_text}")
    out(f"saved-store: {store_text}")

    # A restart: made anew from what was saved.
    w.close()
    with orvel.SyncedWishlist.restore(journal_text, store_text) as w:
        out(f"restart: store {len(w)} journal {w.held}")
        counts(w)
        out(f"bad-kind: {refused(lambda: w.set_wished('Album', 'x', wished=True))}")
        out(f"bad-utf8: {refused(lambda: w.set_wished('album', 'x', wished=True, title=NOT_UTF8))}")
        d, e = send(w), send(w)
        w.report(d, orvel.Outcome.ACCEPTED)
        w.report(e, orvel.Outcome.ACCEPTED)
        out("report: 0 0")
        send(w)
        last = w.begin_refresh()
        out(f"refresh: {last} load {loaded(w, last, response)}")
        counts(w)
        out(f"journal: {w.save()}")
        out(f"store: {w.export_json()}")

        # Since 1.1: what a report did to the store, an unknown outcome, an entry's
        # status, and one snapshot.
        out(f"set: {w.set_wished('artist', 'ar-new', wished=True, title='', artist='Nova')}")
        out(f"set: {w.set_wished('artist', 'ar-1', wished=False, title='', artist='Velvetine')}")
        report_outcome(w, send(w), orvel.Outcome.UNKNOWN)
        status(w, "artist", "ar-new")
        out(f"uncertain: {w.uncertain}")
        report_outcome(w, send(w), orvel.Outcome.REJECTED)
        report_outcome(w, send(w), orvel.Outcome.REJECTED)
        status(w, "artist", "ar-new")
        status(w, "artist", "ar-1")
        status(w, "Artist", "ar-1")
        out(f"set: {w.set_wished('track', 'tr-snap', wished=True, title='S', artist='')}")
        send(w)
        snapshot = w.snapshot()
        out(f"snapshot: {snapshot}")

    # A restart from the snapshot alone.
    with orvel.SyncedWishlist.open_snapshot(snapshot) as w:
        out(f"reopened: store {len(w)}")
        counts(w)
        out(f"uncertain: {w.uncertain}")
        status(w, "track", "tr-snap")
        bad = '{"format":"other"}'
        out(f"reopen-bad: {refused(lambda: orvel.SyncedWishlist.open_snapshot(bad))}")


main()
