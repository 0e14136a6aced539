#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One scenario, every language: runs the C program on the fixed response, then
# the same scenario through a binding, and fails unless both outputs are
# byte-identical. The scenario loads a response with every shape, duplicates,
# escapes, an escaped NUL and non-ASCII text; toggles one entry in and one
# out; builds the list URL, one request and one that invalid UTF-8 spoils;
# fails a load on invalid UTF-8; exports; and iterates over the entries.
# journal.c is the journal's scenario, compared the same way.
#   run.sh C_SCENARIO -- COMMAND [ARGS...]   (the response path is appended to both)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
reference=$1
shift
[ "${1:-}" = "--" ] && shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$reference" "$here/response.json" > "$work/c.out"
"$@" "$here/response.json" > "$work/binding.out"
if ! cmp -s "$work/c.out" "$work/binding.out"; then
  echo "scenario output differs from C's ($*):"
  diff <(od -c "$work/c.out") <(od -c "$work/binding.out") | head -n 40 || true
  exit 1
fi
echo "scenario: $(wc -c < "$work/c.out") bytes identical to C's ($(basename "$1"))"
