#!/usr/bin/env bash
# Packs the Node package with npm pack and installs the tarball into a fresh
# project, offline (koffi comes from npm's cache, filled by npm ci), as a user
# would: both entries load and run the self-test; the copy that cmake
# --install put under PREFIX/share/orvel/node finds its library unaided; and a
# missing library is explained plainly.
#   check_package.sh NODE NPM BUILD_DIR
set -euo pipefail
node=$1
npm=$2
build_dir=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
library=$(find "$build_dir" -maxdepth 1 -name 'liborvel.so.1' | head -n 1)
unset ORVEL_LIBRARY
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

echo "--- npm pack of the source tree, installed into a new project"
project_with "$source_dir" "$work/app"
test -f "$work/app/node_modules/orvel/index.d.ts"
(cd "$work/app" && ORVEL_LIBRARY=$library "$node" -e '
const o = require("orvel");
if (o.selftest() !== 0) process.exit(1);
console.log("require: selftest passed, liborvel", o.version());')
(cd "$work/app" && ORVEL_LIBRARY=$library "$node" --input-type=module -e '
import { selftest, Wishlist } from "orvel";
const w = new Wishlist();
if (selftest() !== 0 || w.load("[\"x\"]") !== 0) process.exit(1);
w.close();
console.log("import: selftest passed");')

echo "--- no library anywhere"
out=$(cd "$work/app" && "$node" -e '
const o = require("orvel");
try { o.selftest(); } catch (e) { if (e instanceof o.LibraryNotFoundError) console.log(e.message); }')
printf '%s\n' "$out"
grep -q "^liborvel could not be loaded. Tried:" <<<"$out"
grep -q "ORVEL_LIBRARY=" <<<"$out"

echo "--- the copy installed by cmake --install: the recorded library folder"
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
project_with "$work/prefix/share/orvel/node" "$work/installed"
(cd "$work/installed" && "$node" -e '
const o = require("orvel");
if (o.selftest() !== 0) process.exit(1);
console.log("selftest passed without ORVEL_LIBRARY");')
