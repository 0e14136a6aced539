#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Each JNI shim exports its own Java_ functions and nothing else, and
# liborvel's shim does not need liborvel-sync (a program of Wishlists alone
# must run without it).
#   check_shim_exports.sh LIBORVEL_JNI LIBORVEL_SYNC_JNI
set -euo pipefail
check() {  # check SHIM CLASS
  local others
  others=$(nm -D --defined-only "$1" | awk '{print $3}' | grep -v "^Java_org_orvel_$2_" || true)
  if [ -n "$others" ]; then
    echo "$(basename "$1") exports more than its Java_org_orvel_$2_ functions:"
    echo "$others"
    exit 1
  fi
  echo "$(basename "$1") exports $(nm -D --defined-only "$1" | grep -c ' Java_') Java_ functions and nothing else"
}
check "$1" Native
check "$2" SyncNative
if readelf -d "$1" | grep -q 'NEEDED.*liborvel-sync'; then
  echo "$(basename "$1") needs liborvel-sync; only $(basename "$2") may"
  exit 1
fi
