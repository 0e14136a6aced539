#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Packs the Node package with npm pack and installs the tarball into a fresh
# project, offline (koffi comes from npm's cache, filled by npm ci), as a user
# would: both entries load and run the self-test; the copy that cmake
# --install put under PREFIX/share/orvel/node finds its libraries unaided, as
# does a checkout's package (packed from it, or required in place) find the
# libraries of the checkout's build; and a missing library is explained plainly.
#   check_package.sh NODE NPM BUILD_DIR
set -euo pipefail
node=$1
npm=$2
build_dir=$(cd "$3" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
library=$(find "$build_dir" -maxdepth 1 -name 'liborvel.so.1' | head -n 1)
sync_library=$(find "$build_dir/sync" -maxdepth 1 -name 'liborvel-sync.so.1' | head -n 1)
# The files the SONAME links point at: each library carries its own version.
core_file=$(basename "$(readlink -f "$library")")
sync_file=$(basename "$(readlink -f "$sync_library")")
unset ORVEL_LIBRARY ORVEL_SYNC_LIBRARY
export LD_LIBRARY_PATH=
npm_quiet=(--offline --no-audit --no-fund --loglevel=error)

# A new project with the tarball packed from $1 installed in it.
project_with() {
  local from=$1 project=$2
  mkdir -p "$project"
  local tarball
  tarball=$(cd "$work" && "$npm" pack --silent "$from" | tail -n 1)
  (cd "$project" && "$npm" init -y >/dev/null && "$npm" install "${npm_quiet[@]}" "$work/$tarball" >/dev/null)
}

# The libraries a node process loaded, read from its memory map.
loaded_library='[...new Set(require("fs").readFileSync("/proc/self/maps", "utf8").split("\n").map((l) => l.split(/ +/)[5]).filter((p) => p && /\/liborvel(-sync)?\.so\.\d+\.\d+\.\d+$/.test(p)))].sort().join(" ")'
# Uses a SyncedWishlist, which loads liborvel-sync.
use_journal='{ const s = new o.SyncedWishlist(); if (s.setWished("album", "a", true) !== 1) process.exit(1); s.close(); }'

echo "--- npm pack of the package (outside a checkout), installed into a new project"
mkdir "$work/plain"
tar -C "$source_dir" --exclude=./node_modules --exclude=./installed.json -cf - . | tar -xf - -C "$work/plain"
project_with "$work/plain" "$work/app"
test -f "$work/app/node_modules/orvel/index.d.cts" && test -f "$work/app/node_modules/orvel/index.d.mts"
test ! -e "$work/app/node_modules/orvel/installed.json"
(cd "$work/app" && ORVEL_LIBRARY=$library "$node" -e '
const o = require("orvel");
if (o.selftest() !== 0) process.exit(1);
console.log("require: selftest passed, liborvel", o.version());')
(cd "$work/app" && ORVEL_LIBRARY=$library "$node" --input-type=module -e '
import { selftest, Wishlist, SyncedWishlist } from "orvel";
const w = new Wishlist();
if (selftest() !== 0 || w.load("[\"x\"]") !== 0) process.exit(1);
w.close();
const o = { SyncedWishlist };
'"$use_journal"'
console.log("import: selftest passed, and the journal found in the sync folder beside the library");')

echo "--- no library anywhere"
out=$(cd "$work/app" && "$node" -e '
const o = require("orvel");
try { o.selftest(); } catch (e) { if (e instanceof o.LibraryNotFoundError) console.log(e.message); }')
printf '%s\n' "$out"
grep -q "^liborvel could not be loaded. Tried:" <<<"$out"
grep -q "ORVEL_LIBRARY=" <<<"$out"

echo "--- a checkout's package finds the checkout's build, packed from it or in place"
checkout=$work/checkout
mkdir -p "$checkout/include" "$checkout/bindings" "$checkout/cmake" "$checkout/build/release"
cp "$source_dir/../../include/orvel.h" "$checkout/include/"
cp "$source_dir/../../cmake/node_installed.json.in" "$checkout/cmake/"
tar -C "$source_dir" --exclude=./installed.json -cf - . | tar -xf - -C "$checkout/bindings" --transform 's|^\.|node|'
cp -a "$(dirname "$library")"/liborvel.so* "$checkout/build/release/"
mkdir "$checkout/build/release/sync"
cp -a "$(dirname "$sync_library")"/liborvel-sync.so* "$checkout/build/release/sync/"
project_with "$checkout/bindings/node" "$work/from-checkout"
# npm pack recorded the folder (prepack); in place, the package finds it unrecorded.
test -f "$checkout/bindings/node/installed.json" && rm "$checkout/bindings/node/installed.json"
for dir in "$work/from-checkout" "$checkout/bindings/node"; do
  module=orvel; [ "$dir" = "$work/from-checkout" ] || module=./index.cjs
  (cd "$dir" && "$node" -e "
const o = require('$module');
if (o.selftest() !== 0) process.exit(1);
$use_journal
const loaded = $loaded_library;
if (loaded !== '$checkout/build/release/$core_file $checkout/build/release/sync/$sync_file') {
  console.error('loaded', loaded); process.exit(1); }
console.log('selftest and journal passed with', loaded);")
done

echo "--- the copy installed by cmake --install: the recorded library folder"
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
libdir=$(dirname "$(find "$work/prefix" -name liborvel.so.1 | head -n 1)")
project_with "$work/prefix/share/orvel/node" "$work/installed"
(cd "$work/installed" && "$node" -e '
const o = require("orvel");
if (o.selftest() !== 0) process.exit(1);
'"$use_journal"'
const loaded = '"$loaded_library"';
if (loaded !== "'"$libdir/$sync_file $libdir/$core_file"'") {
  console.error("loaded", loaded); process.exit(1); }
console.log("selftest and journal passed without ORVEL_LIBRARY:", loaded);')
