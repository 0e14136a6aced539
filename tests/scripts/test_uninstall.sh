#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/uninstall on made-up prefixes and manifests: it removes the files
# listed (links as links), and the folders named for orvel they leave empty;
# it keeps what it did not install, shared folders, and everything when the
# manifest is missing or names a relative path. (tests/consumers/run.sh
# removes a real install with it.)
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/uninstall
. "$(dirname "$0")/common.sh"

# A prefix with a space in its name, as cmake --install leaves it.
prefix="$work/the prefix"
ours=(bin/orvel include/orvel.h lib/liborvel.so.1.0.0 lib/liborvel.so.1 lib/cmake/orvel/orvelConfig.cmake
      lib/pkgconfig/orvel.pc share/orvel/python/orvel/__init__.py share/orvel/node/lib/index.js share/java/orvel.jar)
make_prefix() {
  rm -rf "$prefix" "$work/build"
  mkdir -p "$work/build" "$prefix/lib/pkgconfig" "$prefix/share/java"
  local f
  for f in "${ours[@]}"; do
    mkdir -p "$prefix/$(dirname "$f")"
    if [ "$f" = lib/liborvel.so.1 ]; then ln -s liborvel.so.1.0.0 "$prefix/$f"; else echo "$f" > "$prefix/$f"; fi
    echo "$prefix/$f" >> "$work/build/install_manifest.txt"
  done
}
# What the prefix holds, files and folders, relative to it.
contents() { (cd "$prefix" && find . -mindepth 1 | sort); }

make_prefix
echo "someone else's" > "$prefix/lib/pkgconfig/other.pc"
echo "made later" > "$prefix/share/orvel/python/orvel/cache.pyc"
out=$(bash "$script" "$work/build" 2>&1) && ok || fail "status $?" "$out"
want=$(printf '%s\n' ./bin ./include ./lib ./lib/cmake ./lib/pkgconfig ./lib/pkgconfig/other.pc ./share ./share/java \
       ./share/orvel ./share/orvel/python ./share/orvel/python/orvel ./share/orvel/python/orvel/cache.pyc)
[ "$(contents)" = "$want" ] && ok || fail "what stays: the foreign files, shared folders, and the folders holding them" "$(contents)"
[[ $out == *"removed 9 files under $prefix"*"left $prefix/share/orvel/python/orvel: it holds files"* ]] && ok || fail "report" "$out"

out=$(bash "$script" "$work/build" 2>&1) && ok || fail "second run: status $?" "$out"
[[ $out == *"removed 0 files"*"(9 of those listed were gone already)"* ]] && ok || fail "second run's report" "$out"

make_prefix
out=$(bash "$script" "$work/build" 2>&1) && ok || fail "all ours: status $?" "$out"
[ -z "$(cd "$prefix" && find . ! -type d)" ] && [ ! -e "$prefix/share/orvel" ] && ok || fail "all ours: left" "$(contents)"
[[ $out == *"$prefix now holds only empty folders"*"rm -r $(printf "%q" "$prefix")"* ]] && ok || fail "all ours: the hint" "$out"

# An install made with DESTDIR=STAGE: the manifest lists the paths without it.
make_prefix
mkdir -p "$work/stage$(dirname "$prefix")" && mv "$prefix" "$work/stage$prefix"
echo "$prefix/bin/orvel" >> "$work/build/install_manifest.txt"   # listed twice: removed once
out=$(DESTDIR=$work/stage bash "$script" "$work/build" 2>&1) && ok || fail "DESTDIR: status $?" "$out"
[ -z "$(find "$work/stage" ! -type d)" ] && [[ $out == *"removed 9 files under $work/stage$prefix"* ]] && ok || fail "DESTDIR" "$out"

# Refusals: nothing is removed.
make_prefix
mkdir "$work/empty"
out=$(bash "$script" "$work/empty" 2>&1); rc=$?
[ "$rc" -eq 1 ] && [[ $out == *"install_manifest.txt not found"* ]] && ok || fail "no manifest: status $rc" "$out"
echo "relative/file" >> "$work/build/install_manifest.txt"
out=$(bash "$script" "$work/build" 2>&1); rc=$?
[ "$rc" -eq 1 ] && [[ $out == *"not an absolute path"* ]] && [ -e "$prefix/bin/orvel" ] && ok || fail "relative path: status $rc" "$out"

finish
