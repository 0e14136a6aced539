#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Python package the way its README says, offline, into fresh
# virtual environments: the copy that cmake --install put under
# PREFIX/share/orvel/python must find its libraries (liborvel and
# liborvel-sync) unaided, so must a checkout's package (installed from it, or
# run in place) find those of the checkout's build, and a package anywhere
# else must explain plainly when no library can be found.
#   check_install.sh PYTHON BUILD_DIR
set -euo pipefail
python=$1
build_dir=$2
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset ORVEL_LIBRARY PYTHONPATH
export LD_LIBRARY_PATH=

# Debian's setuptools and wheel build the package: no index is reachable.
install_into() {
  "$python" -m venv --system-site-packages "$1"
  "$1/bin/python" -m pip install --quiet --no-build-isolation --no-index --no-cache-dir "$2"
}

echo "--- installed copy: the recorded library folder"
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
install_into "$work/installed" "$work/prefix/share/orvel/python"
(cd "$work" && "$work/installed/bin/python" -c '
import importlib.metadata, pathlib, orvel
assert orvel.selftest() == 0
assert (pathlib.Path(orvel.__file__).parent / "py.typed").exists()
assert importlib.metadata.version("orvel") == orvel.__version__
with orvel.SyncedWishlist() as w:
    assert w.set_wished("album", "a", wished=True) == 1
from orvel import _library
print("selftest passed with", orvel.load_library()._name, "and", _library._sync_lib._name)')

echo "--- a checkout's package finds the checkout's build, installed or in place"
checkout=$work/checkout
mkdir -p "$checkout/include" "$checkout/bindings" "$checkout/cmake" "$checkout/build/release"
cp "$source_dir/../../include/orvel.h" "$checkout/include/"
cp "$source_dir/../../cmake/python_installed.py.in" "$checkout/cmake/"
cp -r "$source_dir" "$checkout/bindings/python"
rm -rf "$checkout/bindings/python/tests" "$checkout/bindings/python/build"
cp -a "$build_dir"/liborvel.so* "$checkout/build/release/"
mkdir -p "$checkout/build/release/sync"
cp -a "$build_dir"/sync/liborvel-sync.so* "$checkout/build/release/sync/"
install_into "$work/from-checkout" "$checkout/bindings/python"
check_loaded_from_checkout='
import orvel, sys
from orvel import _library
assert orvel.selftest() == 0
orvel.SyncedWishlist().close()
loaded = orvel.load_library()._name, _library._sync_lib._name
assert loaded == (sys.argv[1], sys.argv[2]), (loaded, sys.argv[1:])
print("selftest passed with", *loaded)'
(cd "$work" && "$work/from-checkout/bin/python" -c "$check_loaded_from_checkout" "$checkout/build/release/liborvel.so.1" "$checkout/build/release/sync/liborvel-sync.so.1")
(cd "$work" && PYTHONPATH=$checkout/bindings/python "$python" -c "$check_loaded_from_checkout" "$checkout/build/release/liborvel.so.1" "$checkout/build/release/sync/liborvel-sync.so.1")

echo "--- source tree: no library anywhere"
cp -r "$source_dir" "$work/source"  # pip builds in the tree it is given
rm -rf "$work/source/tests"
install_into "$work/plain" "$work/source"
out=$(cd "$work" && "$work/plain/bin/python" -c '
import orvel
try:
    orvel.selftest()
except orvel.LibraryNotFoundError as e:
    assert isinstance(e, ImportError) and isinstance(e, orvel.OrvelError)
    print(e)
')
printf '%s\n' "$out"
grep -q "^liborvel could not be loaded. Tried:" <<<"$out"
grep -q "ORVEL_LIBRARY=" <<<"$out"
