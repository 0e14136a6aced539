# SPDX-License-Identifier: MIT
"""The client's folder: the write order of the snapshot, failures at each step, a damaged
snapshot refused, a second client refused."""

import os

import pytest

import orvel
from orvel._state_dir import FileOps

NOWHERE = "http://127.0.0.1:9"  # nothing is sent in these tests


class Recording(FileOps):
    """Records each file operation by the path it acts on; fails the one named in `fail`."""

    def __init__(self, fail=None):
        self.calls, self.paths, self.fail = [], {}, fail

    def _do(self, name, what, call, *args):
        if self.fail == (name, os.path.basename(what)):
            raise OSError(28, "No space left on device")
        self.calls.append((name, os.path.basename(what)))
        return call(*args)

    def open(self, path, flags, mode=0o777):
        fd = self._do("open", path, os.open, path, flags, mode)
        self.paths[fd] = path
        return fd

    def write(self, fd, data):
        return self._do("write", self.paths[fd], os.write, fd, data)

    def fsync(self, fd):
        return self._do("fsync", self.paths.get(fd, "<folder>"), os.fsync, fd)

    def close(self, fd):
        return self._do("close", self.paths.pop(fd), os.close, fd)

    def replace(self, source, target):
        return self._do("replace", target, os.replace, source, target)


def open_client(folder, ops=None):
    return orvel.WishlistClient(NOWHERE, str(folder), events="inline", _file_ops=ops)


def test_the_data_is_on_the_disk_before_the_rename_and_the_folder_after_it(tmp_path):
    ops = Recording()
    with open_client(tmp_path, ops) as wishes:
        ops.calls.clear()
        wishes.set_wished("album", "al-1", True, "T", "A")
        assert ops.calls[0] == ("open", "wishlist.snapshot.tmp")
        assert ops.calls[1:] == [("write", "wishlist.snapshot.tmp")] * (len(ops.calls) - 5) + [
            ("fsync", "wishlist.snapshot.tmp"), ("close", "wishlist.snapshot.tmp"),
            ("replace", "wishlist.snapshot"), ("fsync", "<folder>")]


@pytest.mark.parametrize("step", [("open", "wishlist.snapshot.tmp"), ("write", "wishlist.snapshot.tmp"),
                                  ("fsync", "wishlist.snapshot.tmp"), ("replace", "wishlist.snapshot")])
def test_a_failed_save_raises_and_leaves_the_old_snapshot_whole(tmp_path, step):
    with open_client(tmp_path) as wishes:
        wishes.set_wished("album", "al-1", True, "T", "A")
    saved = (tmp_path / "wishlist.snapshot").read_bytes()
    ops = Recording(fail=step)
    with open_client(tmp_path, ops) as wishes:
        with pytest.raises(OSError):
            wishes.set_wished("album", "al-2", True)  # never reported as saved
        assert (tmp_path / "wishlist.snapshot").read_bytes() == saved
        ops.fail = None  # the disk has room again: the next save holds both
    with open_client(tmp_path) as again:
        assert {e.item_id for e in again.entries()} == {"al-1", "al-2"}


def damage(path):
    text = path.read_bytes()
    return {
        "garbage": b"not a snapshot",
        "truncated": text[: len(text) // 2],
        "empty": b"",
        "another document": b'{"total":0,"items":[]}',
    }


@pytest.mark.parametrize("how", ["garbage", "truncated", "empty", "another document"])
def test_a_damaged_snapshot_is_refused_with_its_name_and_kept(tmp_path, how):
    with open_client(tmp_path) as wishes:
        wishes.set_wished("album", "al-1", True)
    snapshot = tmp_path / "wishlist.snapshot"
    damaged = damage(snapshot)[how]
    snapshot.write_bytes(damaged)
    with pytest.raises(orvel.StateError, match=str(snapshot)):
        open_client(tmp_path)
    assert snapshot.read_bytes() == damaged  # never replaced by an empty list
    with pytest.raises(orvel.StateError, match="does not read back"):  # the refusal released the lock
        open_client(tmp_path)


def test_an_unreadable_snapshot_is_refused_with_its_name(tmp_path):
    (tmp_path / "wishlist.snapshot").mkdir()
    with pytest.raises(orvel.StateError, match="wishlist.snapshot"):
        open_client(tmp_path)


def test_a_second_client_of_one_folder_is_refused_until_the_first_closes(tmp_path):
    first = open_client(tmp_path / "state")
    with pytest.raises(orvel.StateError, match=str(tmp_path / "state")):
        open_client(tmp_path / "state")
    first.close()
    with open_client(tmp_path / "state") as second:
        assert len(second) == 0


def test_the_installation_id_stays_and_differs_between_folders(tmp_path):
    with open_client(tmp_path / "a"):
        pass
    one = (tmp_path / "a" / "installation-id").read_text()
    with open_client(tmp_path / "a"):
        pass
    with open_client(tmp_path / "b"):
        pass
    assert (tmp_path / "a" / "installation-id").read_text() == one != (tmp_path / "b" / "installation-id").read_text()


@pytest.mark.parametrize("base_url", ["ftp://wishlist.example.com", "wishlist.example.com", "/wishlist", "http://"])
def test_a_base_url_that_is_not_http_is_refused_before_the_folder_is_taken(tmp_path, base_url):
    with pytest.raises(ValueError, match="http"):
        orvel.WishlistClient(base_url, str(tmp_path))
    with open_client(tmp_path):  # the folder is free
        pass
