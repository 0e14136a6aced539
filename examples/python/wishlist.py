# SPDX-License-Identifier: MIT
"""The wishlist of one user, kept in step with the service: it loads the list,
shows it, wishes one album through the change journal, sends the change
(backing off while the service fails or does not answer) and shows the list
again. The store and the journal are saved together in FOLDER/wishlist.snapshot
after every change, so a second run goes on where the first stopped.

    python3 wishlist.py BASE_URL FOLDER [TIMEOUT_SECONDS]      (each request's deadline, 10 by default)
"""

import os
import socket
import sys
import time
import urllib.error
import urllib.request

import orvel

MAX_TRIES = 6
MAX_LIST_BYTES = 4 << 20  # a list larger than this is refused
SNAPSHOT = "wishlist.snapshot"  # the store and the journal, saved together
# http()'s status when no answer came: the request certainly did not leave (refused, or the
# name did not resolve), or it may have reached the service (deadline passed, connection broken).
NOT_SENT, NO_ANSWER = 0, -1


def open_wishes(folder):
    """The wishlist saved in folder, or a new one when nothing is saved there yet. A
    snapshot that cannot be read ends the program, left as it is: starting anew would
    save over it."""
    path = os.path.join(folder, SNAPSHOT)
    try:
        with open(path, "rb") as file:
            return orvel.SyncedWishlist.open_snapshot(file.read())
    except FileNotFoundError:
        return orvel.SyncedWishlist()
    except OSError as error:
        sys.exit(f"wishlist: {path}: {error.strerror}")
    except orvel.OrvelError as error:
        sys.exit(f"wishlist: {path}: {error.reason or error}")


def write_atomically(folder, name, text):
    """Replaces the file whole: a temporary file, fsync, rename, and fsync of the
    folder, so a crash leaves the old file or the new one."""
    path = os.path.join(folder, name)
    with open(path + ".tmp", "w", encoding="utf-8") as file:
        file.write(text)
        file.flush()
        os.fsync(file.fileno())
    os.replace(path + ".tmp", path)
    directory = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def save(wishes, folder):
    """The save step, after every change: the store and the journal in one snapshot."""
    write_atomically(folder, SNAPSHOT, wishes.snapshot())


def http(request, timeout):
    """The HTTP status and body of one request, or NOT_SENT or NO_ANSWER, its
    connection closed by then, so that it can no longer land after this returns."""
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status, answer.read(MAX_LIST_BYTES + 1)
    except urllib.error.HTTPError as answer:
        answer.close()
        return answer.code, b""
    except urllib.error.URLError as error:  # before or while writing the request; reason says why
        never_left = isinstance(error.reason, (ConnectionRefusedError, socket.gaierror))
        return NOT_SENT if never_left else NO_ANSWER, b""
    except OSError:  # while waiting for the answer
        return NO_ANSWER, b""


def refresh(wishes, base_url, folder, timeout):
    """Loads the list from the service; the token is taken before the request leaves."""
    token = wishes.begin_refresh()
    status, body = http(urllib.request.Request(orvel.build_mine_url(base_url)), timeout)
    if 200 <= status < 300 and len(body) <= MAX_LIST_BYTES:
        try:
            wishes.load(token, body)  # None (ignored) when a newer list was loaded first
            save(wishes, folder)
            return
        except orvel.InvalidInputError:  # not JSON: the store stays as it was
            pass
    print(f"the list could not be loaded (HTTP {max(status, 0)}): showing the saved one")


def show(wishes):
    print(f"wishlist: {len(wishes)} entries")
    for entry in wishes:
        print(f"  {entry.kind.value} {entry.item_id}: {entry.title}" + (f", by {entry.artist}" if entry.artist else ""))


def outcome_of(status):
    """2xx: applied; 408, 429, 5xx or not sent: failed, to try again later; no answer:
    unknown, it may have landed, tried again too; other 4xx: refused for good."""
    if status == NO_ANSWER:
        return orvel.Outcome.UNKNOWN
    if 200 <= status < 300:
        return orvel.Outcome.ACCEPTED
    if 400 <= status < 500 and status not in (408, 429):
        return orvel.Outcome.REJECTED
    return orvel.Outcome.FAILED


def sync_one(wishes, base_url, folder, timeout):
    """The sync step: sends the oldest unsent change and reports what became of it.
    Its outcome, or None when nothing was left to send."""
    request = wishes.next_request(base_url)
    if request is None:
        return None
    save(wishes, folder)  # in flight before it leaves: after a crash a later tap is sent, not cancelled
    status, _ = http(urllib.request.Request(request.url, data=request.body.encode("utf-8"), method=request.method,
                                            headers={"Content-Type": request.content_type}), timeout)
    outcome = outcome_of(status)
    wishes.report(request.op_id, outcome)
    return outcome


def send_changes(wishes, base_url, folder, timeout):
    """Sends every change, waiting longer after each failure or request without an
    answer (no hot loop while the service is down); after MAX_TRIES of them the rest
    waits for a later run."""
    delay, failures = 0.2, 0
    while (outcome := sync_one(wishes, base_url, folder, timeout)) is not None:
        save(wishes, folder)
        if outcome == orvel.Outcome.ACCEPTED:
            print("sent: accepted")
        elif outcome == orvel.Outcome.REJECTED:
            print("sent: refused by the service")
        else:
            failures += 1
            if failures == MAX_TRIES:
                print(f"sent: failed; {wishes.unsent} changes kept for later")
                return
            what = "failed" if outcome == orvel.Outcome.FAILED else "no answer in time"
            print(f"sent: {what}, trying again in {delay:.1f} s")
            time.sleep(delay)
            delay = min(delay * 2, 5)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit("usage: wishlist.py BASE_URL FOLDER [TIMEOUT_SECONDS]")
    base_url, folder = argv[1], argv[2]
    timeout = float(argv[3]) if len(argv) == 4 else 10.0
    with open_wishes(folder) as wishes:
        refresh(wishes, base_url, folder, timeout)
        show(wishes)
        op_id = wishes.set_wished("album", "al-42", wished=True, title="Blue Hour", artist="Ines Varga")
        print("wished album al-42" if op_id else "album al-42 is wished already")
        save(wishes, folder)
        send_changes(wishes, base_url, folder, timeout)
        refresh(wishes, base_url, folder, timeout)
        show(wishes)
        print(f"changes not yet confirmed: {wishes.held}")


if __name__ == "__main__":
    main(sys.argv)
