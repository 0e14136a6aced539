# SPDX-License-Identifier: MIT
"""Tests of the Python binding against the built library (ORVEL_LIBRARY)."""

import copy
import json
import os
import pathlib
import pickle
import re
import subprocess
import sys
import threading

import pytest

import orvel

HEADER = pathlib.Path(__file__).resolve().parents[3] / "include" / "orvel.h"


def _macro(name):
    """A number the header defines, or a version as its three numbers."""
    text = HEADER.read_text()
    if name.endswith("_VERSION") and not name.endswith("ABI_VERSION"):
        return ".".join(_macro(f"{name}_{part}") for part in ("MAJOR", "MINOR", "PATCH"))
    return re.search(rf"#define {name} (\S+)", text).group(1)


def _run(code, **env_changes):
    """Runs code in a new interpreter with the test's environment changed so."""
    env = dict(os.environ)
    for name, value in env_changes.items():
        env.pop(name, None)
        if value is not None:
            env[name] = value
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.skipif(not HEADER.exists(), reason="needs the checkout's header")
def test_versions_and_selftest():
    assert orvel.version() == orvel.__version__ == _macro("ORVEL_VERSION")
    assert orvel.abi_version() == orvel.ABI_VERSION == int(_macro("ORVEL_ABI_VERSION"))
    assert orvel.selftest() == 0
    assert all(orvel.validate_kind(k) for k in orvel.KINDS)
    assert orvel.KINDS == tuple(orvel.Kind) and orvel.Kind("album") is orvel.Kind.ALBUM
    assert (str(orvel.Kind.ALBUM), f"{orvel.Kind.ALBUM}") == ("album", "album")
    assert not orvel.validate_kind("Track")


def test_the_public_namespace_is_the_documented_one():
    assert dir(orvel) == sorted(orvel.__all__ + ["__version__"])
    assert not {"Any", "Dict", "ctypes", "json", "annotations"} & set(dir(orvel))
    assert all(hasattr(orvel, name) for name in orvel.__all__)
    assert repr(orvel.Wishlist).startswith("<class 'orvel.Wishlist'")


@pytest.mark.parametrize(
    "base, url",
    [
        ("https://x.example//", "https://x.example/wishlist/api/mine"),
        (b"B/", "B/wishlist/api/mine"),
        ("///", "/wishlist/api/mine"),
    ],
)
def test_mine_url(base, url):
    assert orvel.build_mine_url(base) == url
    assert orvel.build_mine_url(None) == orvel.build_mine_url("")


@pytest.mark.parametrize("base", [b"\xff", b"https://x.example/\xc3", b"\xed\xa0\x80"])
def test_a_base_that_is_not_utf8_is_refused_like_any_bad_input(base):
    with pytest.raises(orvel.InvalidInputError) as caught:
        orvel.build_mine_url(base)
    assert caught.value.reason == orvel.Reason.INVALID_UTF8
    assert isinstance(caught.value, ValueError) and not isinstance(caught.value, UnicodeError)


def test_request_matches_the_library_text():
    text = orvel.build_wish_request_json(True, "track", "t1", None, "A", base_url="B")
    assert text == (
        '{"method":"POST","url":"B/wishlist/api/wish","contentType":"application/json",'
        '"body":"{\\"op\\":\\"add\\",\\"kind\\":\\"track\\",\\"itemId\\":\\"t1\\",\\"title\\":\\"\\",\\"artist\\":\\"A\\"}"}'
    )
    request = orvel.build_wish_request(True, orvel.Kind.TRACK, "t1", None, "A", base_url="B")
    assert request.json == text
    assert (request.method, request.url, request.content_type) == ("POST", "B/wishlist/api/wish", "application/json")
    envelope = orvel.build_wish_request(False, "album", "a", 'Say "hi"\n', "\u266b\U0001f3b5")
    assert json.loads(envelope.body) == {
        "op": "remove", "kind": "album", "itemId": "a", "title": 'Say "hi"\n', "artist": "\u266b\U0001f3b5",
    }
    with pytest.raises(AttributeError):
        envelope.url = "elsewhere"


@pytest.mark.parametrize(
    "kind, item_id, title, base, reason, error",
    [
        ("Album", "a", None, None, "invalid kind", orvel.InvalidInputError),
        ("Album", "", None, None, "invalid kind", orvel.InvalidInputError),
        ("album", "", None, None, "empty item_id", orvel.InvalidInputError),
        ("album", "a", None, b"\xff", "", orvel.InvalidInputError),  # not UTF-8: liborvel gives no reason
        ("album", "a", b"\xc3", None, "", orvel.InvalidInputError),
    ],
)
def test_request_errors_carry_the_library_reason(kind, item_id, title, base, reason, error):
    with pytest.raises(error) as caught:
        orvel.build_wish_request_json(True, kind, item_id, title, base_url=base)
    assert caught.value.reason == reason
    assert isinstance(caught.value, ValueError)


def test_a_reason_never_comes_from_an_earlier_call():
    # Memory for the URL runs out (a cap on the address space): liborvel then
    # leaves the error text of the failed load before it in place.
    code = """if True:
        import resource, orvel
        w = orvel.Wishlist()
        base = b"h" * (256 << 20)
        try:
            w.load("{")
        except orvel.OrvelError as e:
            assert e.reason == "invalid json"
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + (32 << 20), resource.RLIM_INFINITY))
        for build in (lambda: orvel.build_wish_request_json(True, "album", "a", base_url=base),
                      lambda: orvel.build_mine_url(base)):
            try:
                build()
                print("built")
            except orvel.OrvelError as e:
                print(type(e).__name__, repr(e.reason))
    """
    done = _run(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["OrvelError 'out of memory'"] * 2


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: orvel.build_mine_url(5), TypeError),
        (lambda: orvel.build_wish_request_json(True, None, "a"), TypeError),
        (lambda: orvel.build_wish_request_json(True, "album", 7), TypeError),
        (lambda: orvel.build_wish_request_json(True, "album", "a\0b"), ValueError),
        (lambda: orvel.build_wish_request_json(True, "album", "\ud800"), UnicodeEncodeError),
        (lambda: orvel.validate_kind(None), TypeError),
    ],
)
def test_wrong_argument_types_are_python_errors(call, error):
    with pytest.raises(error):
        call()


def test_toggle_has_len_and_export():
    with orvel.Wishlist() as w:
        assert len(w) == 0
        assert w.toggle("album", "a1", title="T\u00e9") is True
        assert w.has("album", "a1") and ("album", "a1") in w and not w.has("track", "a1")
        assert not w.has("Album", "a1") and 5 not in w and ("album",) not in w
        assert w.export_json() == '{"total":1,"items":[{"kind":"album","itemId":"a1","title":"T\u00e9","artist":""}]}'
        assert w.export()["total"] == 1
        assert w.toggle("album", "a1") is False
        assert len(w) == 0


@pytest.mark.parametrize(
    "kind, item_id, title, reason",
    [
        ("Album", "a1", None, "invalid kind"),
        ("Album", "a1", b"\xff", "invalid kind"),  # liborvel's own checks come first
        ("album", "", None, "empty item_id"),
        ("album", b"", None, "empty item_id"),
        ("album", "a1", b"T\xff", "invalid utf-8"),  # would make the store impossible to export
        ("album", b"\xc3", None, "invalid utf-8"),
    ],
)
def test_toggle_failures_leave_the_store_unchanged(kind, item_id, title, reason):
    with orvel.Wishlist() as w:
        w.toggle("track", "t")
        with pytest.raises(orvel.InvalidInputError) as caught:
            w.toggle(kind, item_id, title)
        assert caught.value.reason == reason
        assert len(w) == 1 and w.export()["total"] == 1


@pytest.mark.parametrize(
    "use, want",
    [
        (lambda e: tuple(e), ("album", "a1", "T", "A")),
        (lambda e: [kind for kind, _item_id, _title, _artist in [e]], ["album"]),
        (lambda e: (e[1], e[-1]), ("a1", "A")),
        (lambda e: (e.kind, e.item_id, e.title, e.artist), ("album", "a1", "T", "A")),
        (lambda e: e._asdict(), {"kind": "album", "item_id": "a1", "title": "T", "artist": "A"}),
        (lambda e: e == orvel.Entry("album", "a1", "T", "A"), True),
        (lambda e: e == orvel.Entry("album", "a1", "T", "B"), False),
        (lambda e: len({e, orvel.Entry("album", "a1", "T", "A")}), 1),
        (lambda e: type(e.kind), orvel.Kind),
        (lambda e: repr(e), "Entry(kind=<Kind.ALBUM: 'album'>, item_id='a1', title='T', artist='A')"),
    ],
    ids=["tuple", "unpacking", "indexing", "attributes", "as-dict", "equal", "unequal", "hash", "kind-type", "repr"],
)
def test_an_entry_is_a_named_tuple(use, want):
    with orvel.Wishlist() as w:
        w.toggle("album", "a1", "T", "A")
        (entry,) = w
        assert use(entry) == want


def test_iteration_yields_entries_in_store_order():
    with orvel.Wishlist() as w:
        w.load('{"albums":[{"id":"a1","title":"T","artist":"A"}],"tracks":["t1"],"wishes":[{"kind":"artist","itemId":"r"}]}')
        entries = list(w)
        assert entries == [
            orvel.Entry("artist", "r", "", ""),
            orvel.Entry("track", "t1", "", ""),
            orvel.Entry(orvel.Kind.ALBUM, "a1", "T", "A"),
        ] == [orvel.Entry(i["kind"], i["itemId"], i["title"], i["artist"]) for i in w.export()["items"]]
        assert all(e in w for e in entries)
        with pytest.raises(AttributeError):
            entries[0].title = "other"
        for entry in w:  # changing the store while iterating does not disturb the loop
            w.toggle(entry.kind, entry.item_id)
        assert len(w) == 0 and list(w) == []


@pytest.mark.parametrize(
    "fill, closed, shown, truth",
    [(0, False, "<orvel.Wishlist 0 entries>", False), (1, False, "<orvel.Wishlist 1 entry>", True),
     (3, False, "<orvel.Wishlist 3 entries>", True), (3, True, "<orvel.Wishlist closed>", False)],
)
def test_repr_and_truth(fill, closed, shown, truth):
    w = orvel.Wishlist()
    for i in range(fill):
        w.toggle("track", f"t{i}")
    if closed:
        w.close()
    assert (repr(w), bool(w)) == (shown, truth)
    w.close()


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_a_wishlist_cannot_be_duplicated(duplicate):
    with orvel.Wishlist() as w:
        with pytest.raises(TypeError, match="cannot .*orvel.Wishlist"):
            duplicate(w)


def test_the_copy_that_shared_the_store_is_gone():
    # 1.0.0 copied the handle: both objects released one store (a crash).
    done = _run('import copy, orvel\nw = orvel.Wishlist()\ntry:\n    c = copy.copy(w)\nexcept TypeError:\n    pass\n'
                'del w\nprint(orvel.Wishlist().toggle("album", "a2"))\n')
    assert (done.returncode, done.stdout) == (0, "True\n"), done.stderr


def test_deprecated_names_still_work_and_warn():
    with orvel.Wishlist() as w:
        w.toggle("track", "t")
        with pytest.deprecated_call():
            assert w.size == 1
        with pytest.deprecated_call():
            assert w.is_wished("track", "t")
    with pytest.deprecated_call():
        assert orvel.build_wish_request(True, "track", "t", base_url="B")["url"] == "B/wishlist/api/wish"
    with pytest.raises(orvel.OrvelError) as caught:
        orvel.build_wish_request_json(True, "x", "t")
    with pytest.deprecated_call():
        assert caught.value.message == "invalid kind"


def test_errors_keep_their_reason_through_pickle():
    error = pickle.loads(pickle.dumps(orvel.InvalidInputError("cannot load the response", "invalid json")))
    assert (type(error), error.reason, str(error)) == (
        orvel.InvalidInputError, "invalid json", "cannot load the response: invalid json")


RESPONSE = '{"tracks":["t1","t2","t1"],"albums":[{"id":"\u00e9"}]}'


@pytest.mark.parametrize(
    "response",
    [
        RESPONSE,
        RESPONSE.encode(),
        bytearray(RESPONSE.encode()),
        memoryview(RESPONSE.encode()),
        memoryview(bytearray(RESPONSE.encode())),
        memoryview(b"xx" + RESPONSE.encode() + b"yy")[2:-2],
    ],
    ids=["str", "bytes", "bytearray", "memoryview", "writable-memoryview", "sliced-memoryview"],
)
def test_load_accepts_every_byte_buffer_with_its_exact_length(response):
    with orvel.Wishlist() as w:
        assert w.load(response) == 3
        assert w.has("album", "\u00e9")


@pytest.mark.parametrize("bad", [b"", "", b"[1,]", b'["t1"]\0', "\ufeff[]", b"[\"\xff\"]", bytearray(), memoryview(b"")])
def test_failed_load_reports_invalid_json_and_keeps_the_store(bad):
    with orvel.Wishlist() as w:
        w.load(RESPONSE)
        with pytest.raises(ValueError) as caught:
            w.load(bad)
        assert isinstance(caught.value, orvel.OrvelError) and caught.value.reason == "invalid json"
        assert len(w) == 3


@pytest.mark.parametrize("bad", [12, None, ["[]"], 1.5])
def test_load_of_a_non_text_is_a_type_error(bad):
    with orvel.Wishlist() as w, pytest.raises(TypeError):
        w.load(bad)


def test_export_loads_back_byte_for_byte():
    with orvel.Wishlist() as a, orvel.Wishlist() as b:
        for i in range(50):
            a.toggle(orvel.KINDS[i % 4], f"id-{i}", title=f'"{i}"\\/', artist="\u266b")
        assert b.load(a.export_json()) == 50
        assert a.export_json() == b.export_json()
        assert list(a) == list(b)


def test_closed_wishlist():
    w = orvel.Wishlist()
    w.toggle("track", "t")
    w.close()
    w.close()
    assert w.closed and not w
    for use in (lambda: len(w), lambda: w.load("[]"), lambda: w.has("track", "t"), w.export_json, lambda: iter(w)):
        with pytest.raises(ValueError, match="closed"):
            use()


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_returned_texts_are_freed():
    with orvel.Wishlist() as w:
        w.load(RESPONSE)

        def calls(n):
            for i in range(n):
                orvel.build_wish_request(i & 1, "track", "t1", "x" * 200)
                orvel.build_mine_url("B")
                w.export_json()
                orvel.Wishlist().toggle("album", "a")  # released on collection

        calls(10_000)
        before = _resident_bytes()
        calls(100_000)
        # A leak of any of these texts would be tens of megabytes here.
        assert _resident_bytes() - before < 4 * 1024 * 1024


def test_separate_stores_on_several_threads():
    errors = []

    def work(n):
        try:
            with orvel.Wishlist() as w:
                for i in range(200):
                    w.toggle("track", f"{n}-{i}")
                assert len(w) == 200
                assert w.load(w.export_json()) == 200
                with pytest.raises(orvel.OrvelError) as caught:
                    w.load("{")
                assert caught.value.reason == "invalid json"
                assert orvel.selftest() == 0
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_missing_library_says_what_was_tried_and_how_to_fix_it():
    code = ("import orvel\ntry:\n    orvel.selftest()\nexcept ImportError as e:\n"
            "    print(type(e).__name__, isinstance(e, orvel.OrvelError)); print(e)\n")
    out = _run(code, ORVEL_LIBRARY="/nonexistent/liborvel.so.1", LD_LIBRARY_PATH=None).stdout
    assert out.startswith("LibraryNotFoundError True\n")
    assert "/nonexistent/liborvel.so.1 ($ORVEL_LIBRARY)" in out and "ORVEL_LIBRARY=" in out


def test_the_loaded_library_is_kept_for_the_process():
    lib = orvel.load_library()
    assert orvel.load_library() is lib
    with pytest.raises(orvel.OrvelError):
        orvel.load_library("/elsewhere/liborvel.so.1")
