#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual page's first example is a program an app can copy: it compiles
# as strict C99 with every warning an error, against the installed headers'
# sources.
#   check_man_example.sh PAGE INCLUDE_DIR [CC]
set -euo pipefail
page=$1 include=$2 cc=${3:-cc}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
awk '/^\.Sh EXAMPLES/ {on = 1} on && /^\.Bd -literal/ {copy = 1; next} copy && /^\.Ed/ {exit} copy' "$page" |
  sed 's/\\e/\\/g' >"$scratch/example.c"
[ -s "$scratch/example.c" ] || { echo "$page: no example found"; exit 1; }
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror -I "$include" -c "$scratch/example.c" -o "$scratch/example.o"
echo "$page: the example compiles ($(wc -l <"$scratch/example.c") lines)"
