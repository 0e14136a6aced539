#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual pages render without a single warning from groff (-ww) or man.
set -euo pipefail
status=0
for page in "$@"; do
  macros=-man
  grep -q '^\.Dd' "$page" && macros=-mdoc
  warnings=$( { groff -ww -z "$macros" "$page"; MANWIDTH=80 man --warnings -l "$page" >/dev/null; } 2>&1 )
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; status=1
  else
    echo "$page: renders without warnings"
  fi
done
exit "$status"
