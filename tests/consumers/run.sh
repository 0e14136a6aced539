#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the built libraries into a temporary prefix, then builds and runs
# consumers against them: C99 programs through pkg-config (orvel and
# orvel-sync) and a C++ project through find_package(orvel), and the C++
# interface through both (orvel::cxx, orvel-cxx). Last, removes them with
# scripts/uninstall, which must leave no file behind.
set -euo pipefail
build_dir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# A relative prefix, as a user may type it: what the install records must not
# depend on the folder a consumer is later built or run in.
(cd "$work" && cmake --install "$build_dir" --prefix ./unused/../prefix >/dev/null)
# Its record, for scripts/uninstall at the end: the manifest it wrote into the
# build folder (the tests that install from one build folder hold one lock).
mkdir "$work/record" && cp "$build_dir/install_manifest.txt" "$work/record/"
pcdir=$(dirname "$(find "$prefix" -name orvel.pc)")
libdir=$(dirname "$(find "$prefix" -name 'liborvel.so.1')")

echo "--- orvel.pc and the bindings' records name the prefix plainly"
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs orvel)
[ "$flags" = "-I$prefix/include -L$libdir -lorvel " ] || [ "$flags" = "-I$prefix/include -L$libdir -lorvel" ] \
  || { echo "pkg-config gives '$flags', not -I$prefix/include -L$libdir -lorvel"; exit 1; }
for record in "$prefix"/share/orvel/python/orvel/_installed.py "$prefix"/share/orvel/node/installed.json; do
  [ -e "$record" ] || continue
  grep -qF "\"$libdir\"" "$record" || { echo "$record does not record $libdir:"; cat "$record"; exit 1; }
done

echo "--- pkg-config consumer (C99)"
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/../c99_consumer.c" -o "$work/c99" \
  $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs orvel)
LD_LIBRARY_PATH=$libdir "$work/c99"

echo "--- pkg-config consumer of the journal (C99)"
cc -std=c99 -Wall -Wextra -pedantic -Werror "$here/../sync/c99_consumer.c" -o "$work/c99-sync" \
  $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs orvel-sync)
LD_LIBRARY_PATH=$libdir "$work/c99-sync"

echo "--- find_package consumer (C++)"
cmake -S "$here/cmake" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "--- find_package consumer of the C++ interface (orvel::cxx)"
"$work/cmake-build/consumer_cxx"

echo "--- pkg-config consumer of the C++ interface (orvel-cxx, C++17)"
c++ -std=c++17 -Wall -Wextra -pedantic -Werror "$here/cmake/main_cxx.cpp" -o "$work/cxx" \
  $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs orvel-cxx)
LD_LIBRARY_PATH=$libdir "$work/cxx"

echo "--- installed tool"
# A build without install RPATH (a distribution's) finds the library on the loader path.
LD_LIBRARY_PATH=$libdir "$prefix/bin/orvel" selftest

echo "--- scripts/uninstall removes every installed file"
echo "a file of someone else's" > "$prefix/lib/not-ours.txt"
"$here/../../scripts/uninstall" "$work/record"
left=$(cd "$prefix" && find . ! -type d | sort)
[ "$left" = "./lib/not-ours.txt" ] || { echo "scripts/uninstall left, besides lib/not-ours.txt:"; echo "$left"; exit 1; }
[ ! -e "$prefix/lib/cmake/orvel" ] && [ ! -e "$prefix/share/orvel" ] || { echo "scripts/uninstall left orvel's folders"; exit 1; }
