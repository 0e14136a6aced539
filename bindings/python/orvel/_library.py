"""Finding liborvel, loading it once per process and declaring its functions."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Tuple

from . import _checkout, _installed

ABI_VERSION = 1
ENV_VARIABLE = "ORVEL_LIBRARY"


class OrvelError(Exception):
    """A library call failed.

    ``message`` holds the library's own error text ("invalid kind", "empty item_id",
    "null arg", "invalid json") when the failing call reports one, else "".
    """

    def __init__(self, what: str, message: str = "") -> None:
        self.message = message
        super().__init__(f"{what}: {message}" if message else what)


class LibraryNotFoundError(OrvelError, ImportError):
    """liborvel could not be loaded; the text lists every place that was tried."""


def _file_names() -> Tuple[str, ...]:
    """The library's file names on this platform, most specific first."""
    if sys.platform == "darwin":
        return ("liborvel.1.dylib", "liborvel.dylib")
    if sys.platform == "win32":
        return ("orvel.dll", "liborvel.dll")
    return ("liborvel.so.1",)


# Returned texts are c_void_p: a c_char_p result would copy the text and lose
# the pointer that must go back to orvel_free. The response of a load is a
# c_void_p too, so bytes, bytearray and memoryview all pass without a NUL.
_c_int32, _c_char_p, _c_void_p, _c_size_t = ctypes.c_int32, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t
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

_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None
_lock = threading.Lock()


def _open(candidate: str) -> ctypes.CDLL:
    """Opens one candidate and declares the functions; raises OSError or OrvelError."""
    lib = ctypes.CDLL(candidate)
    try:
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
    except AttributeError as missing:
        raise OrvelError(f"{candidate} is not liborvel: {missing}") from None
    found = lib.orvel_abi_version()
    if found != ABI_VERSION:
        raise OrvelError(f"{candidate} has interface version {found}; this package needs {ABI_VERSION}")
    return lib


def _automatic_candidates() -> List[str]:
    """The places looked at when no path is given: recorded folder, package, checkout's build, loader."""
    folders = []
    if _installed.LIBRARY_DIR:
        folders.append(Path(_installed.LIBRARY_DIR))
    package = Path(__file__).resolve().parent
    folders.append(package)
    built = _checkout.checkout_library_dir(str(package.parent))
    if built:
        folders.append(Path(built))
    paths = [str(folder / name) for folder in folders for name in _file_names()]
    return [p for p in paths if os.path.exists(p)] + list(_file_names())


def _not_found(tried: List[Tuple[str, str]]) -> LibraryNotFoundError:
    lines = "\n".join(f"  {place}: {why}" for place, why in tried)
    return LibraryNotFoundError(
        "liborvel could not be loaded. Tried:\n"
        f"{lines}\n"
        "Fix: pass the library's path to orvel.load_library(path), or set "
        f"{ENV_VARIABLE}=/path/to/{_file_names()[0]}, or install liborvel "
        "(apt install liborvel1, or cmake --install with its lib folder on the "
        "loader path: ldconfig or LD_LIBRARY_PATH)."
    )


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads liborvel once per process and returns the ctypes handle.

    ``path``, then ``$ORVEL_LIBRARY``, are used alone when given: a library the
    caller named is never silently replaced by another. Without either, the
    recorded install folder, the package folder, the build folder of the
    checkout the package sits in and the loader path are tried in turn.
    Raises LibraryNotFoundError saying what was tried.
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
            candidates = [("the path given to load_library", path)]
        elif env:
            candidates = [(f"${ENV_VARIABLE}", env)]
        else:
            candidates = [("", c) for c in _automatic_candidates()]
        tried: List[Tuple[str, str]] = []
        for origin, candidate in candidates:
            try:
                _lib = _open(candidate)
            except (OSError, OrvelError) as error:
                tried.append((f"{candidate} ({origin})" if origin else candidate, str(error)))
                continue
            _lib_path = os.path.abspath(candidate) if os.sep in candidate else candidate
            return _lib
        raise _not_found(tried)
