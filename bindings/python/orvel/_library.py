# SPDX-License-Identifier: MIT
"""Finding liborvel and liborvel-sync, loading each once per process and declaring their functions."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

from . import _checkout, _installed
from ._errors import LibraryNotFoundError, OrvelError

ABI_VERSION = 1
"""The interface version of liborvel this package needs (ORVEL_ABI_VERSION)."""
SYNC_ABI_VERSION = 1
"""The interface version of liborvel-sync this package needs (ORVEL_SYNC_ABI_VERSION)."""

ENV_VARIABLE = "ORVEL_LIBRARY"
SYNC_ENV_VARIABLE = "ORVEL_SYNC_LIBRARY"

# The places looked at, in order; the first two are used alone when given.
# Each failure message names the places it tried with these words.
_GIVEN = "the path given to load_library"
_RECORDED = "the folder recorded at install"
_PACKAGE = "the package's folder"
_CHECKOUT = "the checkout's build"
_LOADER = "the loader path"
_BESIDE_CORE = "the folder liborvel was loaded from"

LIBRARY_SEARCH_ORDER: Tuple[str, ...] = (_GIVEN, f"${ENV_VARIABLE}", _RECORDED, _PACKAGE, _CHECKOUT, _LOADER)
"""Where liborvel.so.1 is looked for, in order (see load_library)."""
SYNC_LIBRARY_SEARCH_ORDER: Tuple[str, ...] = (
    f"${SYNC_ENV_VARIABLE}", _BESIDE_CORE, _RECORDED, _PACKAGE, _CHECKOUT, _LOADER,
)
"""Where liborvel-sync.so.1 is looked for, in order, when a SyncedWishlist is first made."""

# Returned texts are c_void_p: a c_char_p result would copy the text and lose
# the pointer that must go back to the library's free function. A response or
# a journal text is a c_void_p too, so bytes, bytearray and memoryview all pass
# without a NUL. Stores and journals are opaque pointers.
_c_int32, _c_int64, _c_char_p, _c_void_p, _c_size_t = (
    ctypes.c_int32, ctypes.c_int64, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t,
)
_SIGNATURES = {
    "orvel_version": (_c_char_p, []),
    "orvel_abi_version": (_c_int32, []),
    "orvel_last_error": (_c_char_p, []),
    "orvel_free": (None, [_c_void_p]),
    "orvel_create": (_c_void_p, []),
    "orvel_destroy": (None, [_c_void_p]),
    "orvel_validate_kind": (_c_int32, [_c_char_p]),
    "orvel_count": (_c_int32, [_c_void_p]),
    "orvel_is_wished": (_c_int32, [_c_void_p, _c_char_p, _c_char_p]),
    "orvel_apply_local_toggle": (_c_int32, [_c_void_p, _c_char_p, _c_char_p, _c_char_p, _c_char_p]),
    "orvel_build_mine_url": (_c_void_p, [_c_char_p]),
    "orvel_build_wish_request_json": (_c_void_p, [_c_char_p, _c_int32, _c_char_p, _c_char_p, _c_char_p, _c_char_p]),
    "orvel_load_mine_json": (_c_int32, [_c_void_p, _c_void_p, _c_size_t]),
    "orvel_export_json": (_c_void_p, [_c_void_p]),
    "orvel_selftest": (_c_int32, []),
}


class SyncEntry(ctypes.Structure):
    """orvel_sync_entry, as orvel_sync.h lays it out."""

    _fields_ = [
        ("state", ctypes.c_int32),
        ("wished", ctypes.c_int32),
        ("op_id", ctypes.c_int64),
        ("attempts", ctypes.c_uint32),
        ("uncertain", ctypes.c_uint32),
    ]


# The structs the headers declare, by their C names, for the declarations check.
STRUCTS = {"orvel_sync_entry": SyncEntry}

_SYNC_SIGNATURES = {
    "orvel_sync_version": (_c_char_p, []),
    "orvel_sync_abi_version": (_c_int32, []),
    "orvel_sync_last_error": (_c_char_p, []),
    "orvel_sync_free": (None, [_c_void_p]),
    "orvel_sync_create": (_c_void_p, [_c_void_p]),
    "orvel_sync_destroy": (None, [_c_void_p]),
    "orvel_sync_set": (_c_int64, [_c_void_p, _c_int32, _c_char_p, _c_char_p, _c_char_p, _c_char_p]),
    "orvel_sync_next_request": (_c_void_p, [_c_void_p, _c_char_p, ctypes.POINTER(_c_int64)]),
    "orvel_sync_report": (_c_int32, [_c_void_p, _c_int64, _c_int32]),
    "orvel_sync_begin_refresh": (_c_int64, [_c_void_p]),
    "orvel_sync_load": (_c_int32, [_c_void_p, _c_int64, _c_void_p, _c_size_t]),
    "orvel_sync_export": (_c_void_p, [_c_void_p]),
    "orvel_sync_restore": (_c_int32, [_c_void_p, _c_void_p, _c_size_t]),
    "orvel_sync_count": (_c_int32, [_c_void_p, _c_int32]),
    "orvel_sync_report_outcome": (_c_int32, [_c_void_p, _c_int64, _c_int32, ctypes.POINTER(_c_int32)]),
    "orvel_sync_entry_status": (_c_int32, [_c_void_p, _c_char_p, _c_char_p, ctypes.POINTER(SyncEntry)]),
    "orvel_sync_snapshot": (_c_void_p, [_c_void_p]),
    "orvel_sync_open_snapshot": (_c_void_p, [_c_void_p, _c_size_t, ctypes.POINTER(_c_void_p)]),
}


def _file_names(stem: str) -> Tuple[str, ...]:
    """A library's file names on this platform, most specific first."""
    if sys.platform == "darwin":
        return (f"lib{stem}.1.dylib", f"lib{stem}.dylib")
    if sys.platform == "win32":
        return (f"{stem}.dll", f"lib{stem}.dll")
    return (f"lib{stem}.so.1",)


@dataclass(frozen=True)
class _Wanted:
    """What sets one library apart: its names, its functions, its interface version."""

    title: str
    stem: str
    signatures: Dict[str, Tuple[object, List[object]]]
    abi_function: str
    abi_version: int
    debian_package: str

    @property
    def names(self) -> Tuple[str, ...]:
        return _file_names(self.stem)


_CORE = _Wanted("liborvel", "orvel", _SIGNATURES, "orvel_abi_version", ABI_VERSION, "liborvel1")
_SYNC = _Wanted("liborvel-sync", "orvel-sync", _SYNC_SIGNATURES, "orvel_sync_abi_version", SYNC_ABI_VERSION,
              "liborvel-sync1")

# A build tree puts liborvel-sync in this folder below liborvel's.
_SYNC_BUILD_SUBDIR = "sync"


def _open(wanted: _Wanted, candidate: str) -> ctypes.CDLL:
    """Opens one candidate and declares the functions; raises OSError or OrvelError."""
    lib = ctypes.CDLL(candidate)
    try:
        for name, (restype, argtypes) in wanted.signatures.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
    except AttributeError as missing:
        raise OrvelError(f"{candidate} is not {wanted.title}: {missing}") from None
    found = getattr(lib, wanted.abi_function)()
    if found != wanted.abi_version:
        raise OrvelError(f"{candidate} has interface version {found}; this package needs {wanted.abi_version}")
    return lib


def _existing(wanted: _Wanted, place: str, folders: List[Path]) -> List[Tuple[str, str]]:
    return [(place, str(folder / name)) for folder in folders for name in wanted.names if (folder / name).exists()]


def _automatic_candidates(wanted: _Wanted, folders_of: Callable[[Path], List[Path]]) -> List[Tuple[str, str]]:
    """Recorded folder, package folder, checkout's build, then the loader's own search."""
    package = Path(__file__).resolve().parent
    built = _checkout.checkout_library_dir(str(package.parent))
    places = [
        (_RECORDED, Path(_installed.LIBRARY_DIR) if _installed.LIBRARY_DIR else None),
        (_PACKAGE, package),
        (_CHECKOUT, Path(built) if built else None),
    ]
    found: List[Tuple[str, str]] = []
    for place, folder in places:
        if folder is not None:
            found += _existing(wanted, place, folders_of(folder))
    return found + [(_LOADER, name) for name in wanted.names]


def _not_found(wanted: _Wanted, env: str, fix: str, tried: List[Tuple[str, str]]) -> LibraryNotFoundError:
    lines = "\n".join(f"  {place}: {why}" for place, why in tried)
    return LibraryNotFoundError(
        f"{wanted.title} could not be loaded. Tried:\n"
        f"{lines}\n"
        f"Fix: {fix}set {env}=/path/to/{wanted.names[0]}, or install {wanted.title} "
        f"(apt install {wanted.debian_package}, or cmake --install with its lib folder on the "
        "loader path: ldconfig or LD_LIBRARY_PATH)."
    )


def _first_that_opens(wanted: _Wanted, candidates: List[Tuple[str, str]]) -> Tuple[Optional[ctypes.CDLL], str, list]:
    tried: List[Tuple[str, str]] = []
    for place, candidate in candidates:
        try:
            return _open(wanted, candidate), candidate, tried
        except (OSError, OrvelError) as error:
            tried.append((f"{candidate} ({place})", str(error)))
    return None, "", tried


def _absolute(candidate: str) -> str:
    return os.path.abspath(candidate) if os.sep in candidate else candidate


_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None
_sync_lib: Optional[ctypes.CDLL] = None
_lock = threading.Lock()


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads liborvel once per process and returns the ctypes handle.

    ``path``, then ``$ORVEL_LIBRARY``, are used alone when given: a library the
    caller named is never silently replaced by another. Without either, the
    recorded install folder, the package folder, the build folder of the
    checkout the package sits in and the loader path are tried in turn
    (LIBRARY_SEARCH_ORDER). liborvel-sync, when a SyncedWishlist needs it, is
    then looked for beside the liborvel loaded. Raises LibraryNotFoundError
    saying what was tried.
    """
    global _lib, _lib_path
    loaded = _lib
    if loaded is not None and path is None:
        return loaded  # every call comes here: no lock once loaded
    with _lock:
        if _lib is not None:
            if path is not None and os.path.abspath(path) != _lib_path:
                raise OrvelError(f"liborvel is already loaded from {_lib_path}; cannot switch to {path}")
            return _lib
        env = os.environ.get(ENV_VARIABLE)
        if path is not None:
            candidates = [(_GIVEN, path)]
        elif env:
            candidates = [(f"${ENV_VARIABLE}", env)]
        else:
            candidates = _automatic_candidates(_CORE, lambda folder: [folder])
        lib, candidate, tried = _first_that_opens(_CORE, candidates)
        if lib is None:
            raise _not_found(_CORE, ENV_VARIABLE, "pass the library's path to orvel.load_library(path), or ", tried)
        _lib, _lib_path = lib, _absolute(candidate)
        return lib


def _with_build_subdir(folder: Path) -> List[Path]:
    return [folder, folder / _SYNC_BUILD_SUBDIR]


def load_sync_library() -> ctypes.CDLL:
    """Loads liborvel-sync once per process (after liborvel, whose store it works on).

    ``$ORVEL_SYNC_LIBRARY`` is used alone when given. Without it, liborvel-sync is
    looked for in the folder liborvel was loaded from, then where liborvel is
    looked for (SYNC_LIBRARY_SEARCH_ORDER); in each folder also in its ``sync``
    folder, where a build tree puts it. Raises LibraryNotFoundError saying what
    was tried; nothing but a SyncedWishlist needs it.
    """
    global _sync_lib
    loaded = _sync_lib
    if loaded is not None:
        return loaded
    load_library()
    with _lock:
        if _sync_lib is not None:
            return _sync_lib
        env = os.environ.get(SYNC_ENV_VARIABLE)
        if env:
            candidates = [(f"${SYNC_ENV_VARIABLE}", env)]
        else:
            candidates = []
            if _lib_path is not None and os.sep in _lib_path:
                candidates = _existing(_SYNC, _BESIDE_CORE, _with_build_subdir(Path(_lib_path).parent))
            candidates += _automatic_candidates(_SYNC, _with_build_subdir)
        lib, _candidate, tried = _first_that_opens(_SYNC, candidates)
        if lib is None:
            raise _not_found(_SYNC, SYNC_ENV_VARIABLE, f"put it beside the liborvel in use ({_lib_path}), or ", tried)
        _sync_lib = lib
        return lib
