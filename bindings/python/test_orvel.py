"""Tests of the ctypes binding against the built library (ORVEL_LIBRARY)."""

import gc
import json
import threading
import unittest

import orvel


class ModuleFunctions(unittest.TestCase):
    def test_versions_and_selftest(self):
        self.assertEqual(orvel.version(), "1.0.0")
        self.assertEqual(orvel.abi_version(), 1)
        self.assertEqual(orvel.selftest(), 0)

    def test_validate_kind(self):
        self.assertTrue(all(orvel.validate_kind(k) for k in orvel.KINDS))
        self.assertFalse(orvel.validate_kind("Track"))
        self.assertFalse(orvel.validate_kind(None))

    def test_mine_url(self):
        self.assertEqual(orvel.build_mine_url("https://x.example//"), "https://x.example/wishlist/api/mine")
        self.assertTrue(orvel.build_mine_url().endswith("/wishlist/api/mine"))

    def test_request_round_trips_through_json(self):
        env = orvel.build_wish_request(True, "track", "t1", None, 'Say "hi"\n', base_url="B")
        self.assertEqual(env["method"], "POST")
        self.assertEqual(env["url"], "B/wishlist/api/wish")
        self.assertEqual(env["contentType"], "application/json")
        self.assertIsInstance(env["body"], str)
        self.assertEqual(
            json.loads(env["body"]),
            {"op": "add", "kind": "track", "itemId": "t1", "title": "", "artist": 'Say "hi"\n'},
        )
        self.assertIn('"op":"remove"', orvel.build_wish_request(False, "album", "a")["body"])

    def test_request_errors_carry_the_library_message(self):
        for kind, item_id, message in (("Album", "a", "invalid kind"), ("album", "", "empty item_id")):
            with self.assertRaises(orvel.OrvelError) as ctx:
                orvel.build_wish_request_json(True, kind, item_id)
            self.assertEqual(ctx.exception.message, message)
        with self.assertRaises(orvel.OrvelError) as ctx:
            orvel.build_wish_request_json(True, "album", "a", title=b"\xff")
        self.assertEqual(ctx.exception.message, "")

    def test_bad_argument_types(self):
        with self.assertRaises(TypeError):
            orvel.build_mine_url(5)
        with self.assertRaises(ValueError):
            orvel.build_wish_request_json(True, "album", "a\0b")


class WishlistTests(unittest.TestCase):
    def test_toggle_contains_len_export(self):
        with orvel.Wishlist() as w:
            self.assertEqual(len(w), 0)
            self.assertTrue(w.toggle("album", "a1", title="T\u00e9", artist=None))
            self.assertIn(("album", "a1"), w)
            self.assertNotIn(("track", "a1"), w)
            self.assertEqual(
                w.export(),
                {"total": 1, "items": [{"kind": "album", "itemId": "a1", "title": "T\u00e9", "artist": ""}]},
            )
            self.assertFalse(w.toggle("album", "a1"))
            self.assertEqual(len(w), 0)
            with self.assertRaises(orvel.OrvelError):
                w.toggle("Album", "a1")

    def test_load_exact_bytes_and_failures(self):
        with orvel.Wishlist() as w:
            self.assertEqual(w.load(b'{"tracks":["t1","t2","t1"]}'), 2)
            for bad in (b"", b"[1,]", b'["t1"]\0', "\ufeff[]"):
                with self.assertRaises(orvel.OrvelError) as ctx:
                    w.load(bad)
                self.assertEqual(ctx.exception.message, "invalid json")
                self.assertEqual(len(w), 2)  # unchanged by a failed load

    def test_export_loads_back(self):
        with orvel.Wishlist() as a, orvel.Wishlist() as b:
            for i in range(50):
                a.toggle(orvel.KINDS[i % 4], f"id-{i}", title=f'"{i}"\\/', artist="\u266b")
            self.assertEqual(b.load(a.export_json()), 50)
            self.assertEqual(a.export_json(), b.export_json())

    def test_closed_store_and_garbage_collection(self):
        w = orvel.Wishlist()
        w.toggle("track", "t")
        w.close()
        w.close()
        with self.assertRaises(ValueError):
            len(w)
        orvel.Wishlist().toggle("track", "t")  # released by __del__
        gc.collect()

    def test_separate_stores_on_several_threads(self):
        errors = []

        def work(n):
            try:
                with orvel.Wishlist() as w:
                    for i in range(200):
                        w.toggle("track", f"{n}-{i}")
                    assert len(w) == 200
                    assert w.load(w.export_json()) == 200
                    try:
                        w.load("{")
                    except orvel.OrvelError as e:
                        assert e.message == "invalid json"
                    assert orvel.selftest() == 0
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
