"""Tests of the Python binding against the built library (ORVEL_LIBRARY)."""

import json
import os
import subprocess
import sys
import threading

import pytest

import orvel


def test_versions_and_selftest():
    assert orvel.version() == "1.0.0"
    assert orvel.abi_version() == orvel.ABI_VERSION == 1
    assert orvel.selftest() == 0
    assert all(orvel.validate_kind(k) for k in orvel.KINDS)
    assert not orvel.validate_kind("Track")


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


def test_request_matches_the_library_text():
    text = orvel.build_wish_request_json(True, "track", "t1", None, "A", base_url="B")
    assert text == (
        '{"method":"POST","url":"B/wishlist/api/wish","contentType":"application/json",'
        '"body":"{\\"op\\":\\"add\\",\\"kind\\":\\"track\\",\\"itemId\\":\\"t1\\",\\"title\\":\\"\\",\\"artist\\":\\"A\\"}"}'
    )
    envelope = orvel.build_wish_request(False, "album", "a", 'Say "hi"\n', "\u266b\U0001f3b5")
    assert json.loads(envelope["body"]) == {
        "op": "remove", "kind": "album", "itemId": "a", "title": 'Say "hi"\n', "artist": "\u266b\U0001f3b5",
    }


@pytest.mark.parametrize(
    "kind, item_id, title, base, message",
    [
        ("Album", "a", None, None, "invalid kind"),
        ("Album", "", None, None, "invalid kind"),
        ("album", "", None, None, "empty item_id"),
        ("album", "a", None, b"\xff", ""),  # not UTF-8: no request, and no message
        ("album", "a", b"\xc3", None, ""),
    ],
)
def test_request_errors_carry_the_library_message(kind, item_id, title, base, message):
    with pytest.raises(orvel.OrvelError) as caught:
        orvel.build_wish_request_json(True, kind, item_id, title, base_url=base)
    assert caught.value.message == message


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


def test_toggle_has_size_and_export():
    with orvel.Wishlist() as w:
        assert (w.size, len(w)) == (0, 0)
        assert w.toggle("album", "a1", title="T\u00e9") is True
        assert w.has("album", "a1") and ("album", "a1") in w and not w.has("track", "a1")
        assert w.export_json() == '{"total":1,"items":[{"kind":"album","itemId":"a1","title":"T\u00e9","artist":""}]}'
        assert w.export()["total"] == 1
        assert w.toggle("album", "a1") is False
        assert w.size == 0


@pytest.mark.parametrize(
    "kind, item_id, message",
    [("Album", "a1", "invalid kind"), ("album", "", "empty item_id"), ("album", b"", "empty item_id")],
)
def test_toggle_failures_leave_the_store_unchanged(kind, item_id, message):
    with orvel.Wishlist() as w:
        w.toggle("track", "t")
        with pytest.raises(orvel.OrvelError) as caught:
            w.toggle(kind, item_id)
        assert caught.value.message == message
        assert w.size == 1


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
        with pytest.raises(orvel.OrvelError) as caught:
            w.load(bad)
        assert caught.value.message == "invalid json"
        assert w.size == 3


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


def test_closed_wishlist():
    w = orvel.Wishlist()
    w.toggle("track", "t")
    w.close()
    w.close()
    assert w.closed
    for use in (lambda: w.size, lambda: w.load("[]"), lambda: w.has("track", "t"), w.export_json):
        with pytest.raises(ValueError):
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
                orvel.build_wish_request_json(i & 1, "track", "t1", "x" * 200)
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
                assert w.size == 200
                assert w.load(w.export_json()) == 200
                with pytest.raises(orvel.OrvelError) as caught:
                    w.load("{")
                assert caught.value.message == "invalid json"
                assert orvel.selftest() == 0
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def _run_without_library(env_value):
    env = {k: v for k, v in os.environ.items() if k not in ("ORVEL_LIBRARY", "LD_LIBRARY_PATH")}
    if env_value is not None:
        env["ORVEL_LIBRARY"] = env_value
    code = "import orvel\ntry:\n    orvel.selftest()\nexcept ImportError as e:\n    print(type(e).__name__, isinstance(e, orvel.OrvelError)); print(e)\n"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout


def test_missing_library_says_what_was_tried_and_how_to_fix_it():
    out = _run_without_library("/nonexistent/liborvel.so.1")
    assert out.startswith("LibraryNotFoundError True\n")
    assert "/nonexistent/liborvel.so.1 ($ORVEL_LIBRARY)" in out and "ORVEL_LIBRARY=" in out


def test_the_loaded_library_is_kept_for_the_process():
    lib = orvel.load_library()
    assert orvel.load_library() is lib
    with pytest.raises(orvel.OrvelError):
        orvel.load_library("/elsewhere/liborvel.so.1")
