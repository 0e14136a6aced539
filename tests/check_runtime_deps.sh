#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library needs the C library and yyjson (and the journal liborvel too)
# and nothing else at run time: above all no C++ runtime, which an app on a
# small system would otherwise ship or load for it.
#   check_runtime_deps.sh LIBRARY
set -euo pipefail
lib=$1
readelf=${READELF:-readelf}
needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
unexpected=$(grep -Ev '^(libc\.so\.[0-9]+|libyyjson\.so\.[0-9]+|liborvel\.so\.[0-9]+)$' <<<"$needed" || true)
if [ -n "$unexpected" ]; then
  echo "$lib needs more than the C library and yyjson:"
  echo "$unexpected"
  exit 1
fi
grep -qE '^libyyjson\.so' <<<"$needed" || { echo "$lib does not name yyjson: is this the right file?"; exit 1; }
echo "$lib needs only: $(echo $needed)"
