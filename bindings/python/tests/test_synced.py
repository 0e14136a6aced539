# SPDX-License-Identifier: MIT
"""Tests of SyncedWishlist against the built liborvel-sync (found from ORVEL_LIBRARY)."""

import copy
import os
import pathlib
import pickle
import re
import subprocess
import sys

import pytest

import orvel

HEADER = pathlib.Path(__file__).resolve().parents[3] / "include" / "orvel_sync.h"
RESPONSE = '{"tracks":["t1"],"albums":[{"id":"a1","title":"First"}]}'


@pytest.fixture
def wishes():
    with orvel.SyncedWishlist() as w:
        assert w.load(w.begin_refresh(), RESPONSE) == 2
        yield w


def entries(w):
    return {(e.kind, e.item_id) for e in w}


@pytest.mark.skipif(not HEADER.exists(), reason="needs the checkout's header")
def test_versions_and_outcomes_agree_with_the_header():
    text = HEADER.read_text()
    macro = lambda name: re.search(rf"#define {name} (\S+)", text).group(1)  # noqa: E731
    version = ".".join(macro(f"ORVEL_SYNC_VERSION_{part}") for part in ("MAJOR", "MINOR", "PATCH"))
    assert orvel.sync_version() == version
    assert orvel.sync_abi_version() == orvel.SYNC_ABI_VERSION == int(macro("ORVEL_SYNC_ABI_VERSION"))
    for enum, prefix, names in (
        (orvel.Outcome, "ORVEL_SYNC_", ("ACCEPTED", "REJECTED", "FAILED", "UNKNOWN")),
        (orvel.StoreChange, "ORVEL_SYNC_STORE_", ("UNCHANGED", "REMOVED", "SHOWN")),
        (orvel.EntryState, "ORVEL_SYNC_", ("SYNCED", "UNSENT", "IN_FLIGHT", "CONFIRMING", "UNCERTAIN")),
    ):
        assert {e.name: e.value for e in enum} == {n: int(macro(prefix + n)) for n in names}


def test_a_change_goes_out_and_is_confirmed(wishes):
    op = wishes.set_wished("album", "a2", wished=True, title="Two", artist="B")
    assert op > 0 and ("album", "a2") in wishes
    assert wishes.set_wished("album", "a2", wished=True) == 0  # shown already: nothing recorded
    request = wishes.next_request("http://h/")
    assert request.op_id == op and isinstance(request, orvel.WishRequest)
    assert request.json == orvel.build_wish_request_json(True, "album", "a2", "Two", "B", "http://h/")
    assert (request.method, request.url, request.content_type) == ("POST", "http://h/wishlist/api/wish", "application/json")
    assert wishes.next_request() is None
    assert (wishes.held, wishes.unsent, wishes.in_flight, wishes.confirming) == (1, 0, 1, 0)
    wishes.report(op, orvel.Outcome.ACCEPTED)
    assert (wishes.held, wishes.confirming) == (1, 1)
    token = wishes.begin_refresh()
    assert wishes.load(token, '{"albums":["a1","a2"],"tracks":["t1"]}') == 3
    assert wishes.held == 0


@pytest.mark.parametrize(
    "wished, outcome, shown, held, change, uncertain",
    [
        (True, orvel.Outcome.REJECTED, False, 0, orvel.StoreChange.REMOVED, 0),  # a refused addition is taken back
        (False, orvel.Outcome.REJECTED, True, 0, orvel.StoreChange.SHOWN, 0),  # a refused removal is shown again
        (True, orvel.Outcome.FAILED, True, 1, orvel.StoreChange.UNCHANGED, 0),  # sent again later
        (True, orvel.Outcome.UNKNOWN, True, 1, orvel.StoreChange.UNCHANGED, 1),  # sent again, and watched for
        (True, 1, True, 1, orvel.StoreChange.UNCHANGED, 0),  # outcomes by number, as the header's
    ],
)
def test_each_outcome(wishes, wished, outcome, shown, held, change, uncertain):
    item = "a2" if wished else "a1"
    op = wishes.set_wished("album", item, wished=wished, title="T", artist="")
    assert wishes.next_request().op_id == op
    assert wishes.report(op, outcome) is change
    assert (("album", item) in wishes, wishes.held, wishes.uncertain) == (shown, held, uncertain)
    if outcome in (orvel.Outcome.FAILED, orvel.Outcome.UNKNOWN):
        assert wishes.next_request().op_id == op


def test_failed_and_unknown_requests_go_behind_the_rest(wishes):
    first, second = (wishes.set_wished("track", t, wished=True) for t in ("x1", "x2"))
    wishes.report(wishes.next_request().op_id, orvel.Outcome.UNKNOWN)
    assert [wishes.next_request().op_id, wishes.next_request().op_id] == [second, first]


def test_status_follows_an_entry_through_the_journal(wishes):
    S = orvel.EntryState
    status = lambda: wishes.status("album", "a2")  # noqa: E731
    steps = [status()]
    op = wishes.set_wished("album", "a2", wished=True, title="Two")
    steps.append(status())
    wishes.report(wishes.next_request().op_id, orvel.Outcome.UNKNOWN)
    steps.append(status())
    wishes.next_request()
    steps.append(status())
    wishes.report(op, orvel.Outcome.ACCEPTED)
    steps.append(status())
    wishes.load(wishes.begin_refresh(), '{"albums":["a1","a2"],"tracks":["t1"]}')
    steps.append(status())
    E = orvel.EntryStatus
    assert steps == [
        E(S.SYNCED, None, 0, 0, 0),
        E(S.UNSENT, True, op, 0, 0),
        E(S.UNSENT, True, op, 1, 1),
        E(S.IN_FLIGHT, True, op, 2, 1),
        E(S.CONFIRMING, True, op, 2, 1),
        E(S.UNCERTAIN, True, 0, 0, 1),  # confirmed, but the unknown request may still land
    ]
    assert wishes.held == 0 and wishes.uncertain == 1


@pytest.mark.parametrize("kind, item_id, reason", [("Album", "a1", "invalid kind"), ("album", "", "empty item_id")])
def test_status_refuses_what_is_no_entry(wishes, kind, item_id, reason):
    with pytest.raises(orvel.InvalidInputError) as caught:
        wishes.status(kind, item_id)
    assert caught.value.reason == reason


def test_one_snapshot_carries_the_store_and_the_journal(wishes):
    wishes.set_wished("album", "a2", wished=True, title="Two")
    in_flight = wishes.next_request().op_id
    wishes.set_wished("track", "t1", wished=False)
    text, store = wishes.snapshot(), wishes.export_json()
    with orvel.SyncedWishlist.open_snapshot(text.encode()) as again:
        assert again.export_json() == store and (again.held, again.unsent, again.uncertain) == (2, 2, 1)
        # In flight when saved: it may have landed, so it counts as unknown and goes behind the rest.
        assert [again.next_request().op_id, again.next_request().op_id] == [in_flight + 1, in_flight]
        assert orvel.SyncedWishlist.open_snapshot(again.snapshot()).in_flight == 0
    wishes.close()
    with pytest.raises(ValueError, match="closed"):
        wishes.snapshot()


@pytest.mark.parametrize(
    "damage, reason",
    [
        (lambda t: t[:-1], "invalid json"),
        (lambda t: t.replace('"orvel-snapshot"', '"other"'), "invalid snapshot"),
        (lambda t: t.replace('"store":', '"stock":'), "invalid snapshot"),
        (lambda t: t.replace('"version":1,', '"version":9,', 1), "unsupported version"),
        (lambda t: t.replace('"orvel-journal"', '"other"'), "invalid journal"),
        (lambda t: "", "invalid json"),
    ],
)
def test_open_snapshot_refuses_what_it_cannot_read(wishes, damage, reason):
    wishes.set_wished("album", "a2", wished=True)
    with pytest.raises(orvel.InvalidInputError) as caught:
        orvel.SyncedWishlist.open_snapshot(damage(wishes.snapshot()))
    assert caught.value.reason == reason


@pytest.mark.parametrize(
    "call, reason",
    [
        (lambda w, op: w.report(op + 1, orvel.Outcome.ACCEPTED), "unknown operation"),
        (lambda w, op: w.report(op, 5), "invalid argument"),
        (lambda w, op: w.report(op, 0), "invalid argument"),
        # ctypes would cut these to 64 and 32 bits: op itself, and ACCEPTED.
        (lambda w, op: w.report(op + 2**64, orvel.Outcome.ACCEPTED), "unknown operation"),
        (lambda w, op: w.report(op, 2**32 + 1), "invalid argument"),
        (lambda w, op: w.load(2**64 + w.begin_refresh(), "[]"), "unknown token"),
        (lambda w, op: w.load(w.begin_refresh() + 5, "[]"), "unknown token"),
        (lambda w, op: w.load(w.begin_refresh(), "[1,"), "invalid json"),
        (lambda w, op: w.set_wished("Album", "x", wished=True), "invalid kind"),
        (lambda w, op: w.set_wished("album", "", wished=True), "empty item_id"),
        (lambda w, op: w.set_wished("album", "x", wished=True, title=b"\xff"), "invalid utf-8"),
        (lambda w, op: w.next_request(b"\xff"), "invalid utf-8"),
    ],
)
def test_refused_calls_raise_the_journal_reason_and_change_nothing(wishes, call, reason):
    op = wishes.set_wished("track", "t2", wished=True)
    assert wishes.next_request().op_id == op
    before = (wishes.save(), wishes.export_json())
    with pytest.raises(orvel.InvalidInputError) as caught:
        call(wishes, op)
    assert caught.value.reason == reason and isinstance(caught.value, ValueError)
    after = wishes.save(), wishes.export_json()
    assert after[1] == before[1] and re.sub(r'"lastToken":\d+,', "", after[0]) == re.sub(r'"lastToken":\d+,', "", before[0])
    wishes.report(op, orvel.Outcome.ACCEPTED)  # still in flight


@pytest.mark.parametrize(
    "call",
    [
        lambda w: w.set_wished("album", "x", wished="no"),  # a non-empty text would wish it
        lambda w: w.set_wished("album", "x", wished=1),
        lambda w: w.set_wished("album", "x", wished=None),
        lambda w: w.set_wished("album", "x"),  # wished has no default
        lambda w: w.set_wished("album", "x", True),  # nor a place: a title cannot slide into it
        lambda w: w.set_wished("album", "x", "Title", "Artist"),
    ],
)
def test_wished_is_a_keyword_bool(wishes, call):
    before = wishes.save(), wishes.export_json()
    with pytest.raises(TypeError):
        call(wishes)
    assert (wishes.save(), wishes.export_json()) == before


@pytest.mark.parametrize("kind, item_id, wished", [("album", "a2", True), ("album", "a1", False),
                                                   (orvel.Kind.TRACK, "t\u00e9\"1", True)])
def test_a_pending_request_says_what_it_asks(wishes, kind, item_id, wished):
    op = wishes.set_wished(kind, item_id, wished=wished, title="T")
    request = wishes.next_request()
    assert (request.op_id, request.kind, request.item_id, request.wished) == (op, kind, item_id, wished)
    assert isinstance(request.kind, orvel.Kind)


@pytest.mark.parametrize("op, outcome", [("1", orvel.Outcome.ACCEPTED), (1.0, 1), (True, 1), (1, None), (1, "accepted")])
def test_wrong_types_are_type_errors(wishes, op, outcome):
    with pytest.raises(TypeError):
        wishes.report(op, outcome)


def test_a_stale_response_is_ignored(wishes):
    older, newer = wishes.begin_refresh(), wishes.begin_refresh()
    assert wishes.load(newer, '{"tracks":["t9"]}') == 1
    assert wishes.load(older, RESPONSE) is None
    assert entries(wishes) == {("track", "t9")}


def test_save_and_restore_carry_the_journal_across_a_restart(wishes):
    wishes.set_wished("album", "a2", wished=True, title="Two", artist="")
    in_flight = wishes.next_request().op_id
    wishes.set_wished("track", "t1", wished=False)
    journal, store = wishes.save(), wishes.export_json()
    wishes.close()
    with orvel.SyncedWishlist.restore(journal, store.encode()) as again:
        assert again.export_json() == store and (again.held, again.unsent) == (2, 2)
        # In flight before: it may have landed, so it counts as unknown and is sent again behind the rest.
        assert [again.next_request().op_id, again.next_request().op_id] == [in_flight + 1, in_flight]
        with pytest.raises(orvel.InvalidInputError, match="unknown operation"):
            again.report(in_flight + 100, orvel.Outcome.ACCEPTED)
    with orvel.SyncedWishlist.restore(journal) as bare:  # no saved store: the intents alone
        assert entries(bare) == {("album", "a2")}


@pytest.mark.parametrize(
    "journal, store, reason",
    [
        ("{", None, "invalid json"),
        ('{"format":"other"}', None, "invalid journal"),
        ('{"format":"orvel-journal","version":99}', None, "unsupported version"),
        (None, "[1,", "invalid json"),
    ],
)
def test_restore_refuses_what_it_cannot_read(wishes, journal, store, reason):
    journal = journal if journal is not None else wishes.save()
    with pytest.raises(orvel.InvalidInputError) as caught:
        orvel.SyncedWishlist.restore(journal, store)
    assert caught.value.reason == reason


def test_the_store_changes_only_through_the_journal(wishes):
    assert not hasattr(wishes, "toggle")
    with pytest.raises(TypeError):
        wishes.load(RESPONSE)  # a load needs its token
    for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="SyncedWishlist.restore"):
            duplicate(wishes)


def test_repr_truth_and_close():
    w = orvel.SyncedWishlist()
    assert (repr(w), bool(w)) == ("<orvel.SyncedWishlist 0 entries, 0 changes held>", False)
    w.set_wished("album", "a", wished=True, title="T")
    assert (repr(w), bool(w)) == ("<orvel.SyncedWishlist 1 entry, 1 change held>", True)
    assert [e.title for e in w] == ["T"] and w.export()["total"] == 1
    w.close()
    w.close()
    assert (repr(w), bool(w), w.closed) == ("<orvel.SyncedWishlist closed>", False, True)
    for use in (lambda: w.set_wished("album", "b", wished=True), w.next_request, w.save, lambda: w.held, lambda: len(w)):
        with pytest.raises(ValueError, match="closed"):
            use()


def _run(code, **env):
    full = {k: v for k, v in os.environ.items() if k not in env}
    full.update({k: v for k, v in env.items() if v is not None})
    done = subprocess.run([sys.executable, "-c", code], env=full, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_liborvel_sync_is_found_beside_liborvel():
    core = os.environ.get("ORVEL_LIBRARY")
    if not core:
        pytest.skip("needs ORVEL_LIBRARY")
    out = _run("import orvel\norvel.SyncedWishlist().close()\nfrom orvel import _library\nprint(_library._sync_lib._name)",
               ORVEL_SYNC_LIBRARY=None)
    assert os.path.dirname(out.strip()) in (os.path.dirname(core), os.path.join(os.path.dirname(core), "sync"))


def test_a_missing_liborvel_sync_matters_only_to_the_journal():
    code = """if True:
        import orvel
        with orvel.Wishlist() as w:
            print(w.toggle("album", "a"))
        try:
            orvel.SyncedWishlist()
        except orvel.LibraryNotFoundError as e:
            print(isinstance(e, ImportError), isinstance(e, orvel.OrvelError))
            print(e)
    """
    out = _run(code, ORVEL_SYNC_LIBRARY="/nonexistent/liborvel-sync.so.1")
    assert out.startswith("True\nTrue True\nliborvel-sync could not be loaded. Tried:\n")
    assert "/nonexistent/liborvel-sync.so.1 ($ORVEL_SYNC_LIBRARY)" in out
    assert "ORVEL_SYNC_LIBRARY=/path/to/" in out and "apt install liborvel-sync1" in out
