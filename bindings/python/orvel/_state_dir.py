# SPDX-License-Identifier: MIT
"""WishlistClient's folder: its lock, its installation id and the journal's one snapshot,
replaced atomically (a temporary file, fsync, rename, fsync of the folder)."""

from __future__ import annotations

import errno
import fcntl
import os
import secrets
from typing import Optional

from ._errors import OrvelError

SNAPSHOT = "wishlist.snapshot"
LOCK = "lock"
INSTALLATION = "installation-id"


class StateError(OrvelError):
    """The client's folder cannot be used: in use by another client, or a saved file that
    does not read back (the message names the folder or the file)."""


class FileOps:
    """The file operations the folder makes, one place for a test to watch them."""

    open = staticmethod(os.open)
    write = staticmethod(os.write)
    fsync = staticmethod(os.fsync)
    close = staticmethod(os.close)
    replace = staticmethod(os.replace)


class StateDir:
    """An open client folder: locked until close()."""

    def __init__(self, path: str, ops: Optional[FileOps] = None) -> None:
        self.path = os.path.abspath(os.fspath(path))
        self.ops = ops or FileOps()
        os.makedirs(self.path, exist_ok=True)
        self._lock = os.open(os.path.join(self.path, LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            os.close(self._lock)
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise StateError(f"{self.path} is in use by another WishlistClient (it holds {LOCK})") from None
            raise
        try:
            self._folder = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except BaseException:
            self._unlock()
            raise

    @property
    def snapshot_path(self) -> str:
        return os.path.join(self.path, SNAPSHOT)

    def read_snapshot(self) -> Optional[bytes]:
        """The saved snapshot's bytes, None when there is none yet."""
        try:
            with open(self.snapshot_path, "rb") as file:
                return file.read()
        except FileNotFoundError:
            return None
        except OSError as error:
            raise StateError(f"cannot read {self.snapshot_path}: {error.strerror or error}") from None

    def installation_id(self) -> str:
        """A random id of this installation, made once: with an operation's id, a key no other
        installation sends and this one sends again for the same operation after a restart."""
        path = os.path.join(self.path, INSTALLATION)
        try:
            with open(path, "r", encoding="ascii") as file:
                text = file.read().strip()
            if len(text) == 32 and all(c in "0123456789abcdef" for c in text):
                return text
        except (FileNotFoundError, UnicodeDecodeError):
            pass
        text = secrets.token_hex(16)
        self.replace(INSTALLATION, text.encode("ascii"))
        return text

    def save_snapshot(self, text: bytes) -> None:
        self.replace(SNAPSHOT, text)

    def replace(self, name: str, data: bytes) -> None:
        """Writes name whole or not at all: the old file stays until the new one is on the disk."""
        ops, final = self.ops, os.path.join(self.path, name)
        temporary = final + ".tmp"
        fd = ops.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o600)
        try:
            view = memoryview(data)
            while view:
                view = view[ops.write(fd, view):]
            ops.fsync(fd)
        finally:
            ops.close(fd)
        ops.replace(temporary, final)
        ops.fsync(self._folder)  # and the rename itself

    def close(self) -> None:
        if self._folder >= 0:
            os.close(self._folder)
            self._folder = -1
            self._unlock()

    def _unlock(self) -> None:
        fcntl.flock(self._lock, fcntl.LOCK_UN)
        os.close(self._lock)
