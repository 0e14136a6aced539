#!/usr/bin/env bash
# The JNI shim exports its Java_ functions and nothing else.
set -euo pipefail
others=$(nm -D --defined-only "$1" | awk '{print $3}' | grep -v '^Java_org_orvel_Native_' || true)
if [ -n "$others" ]; then
  echo "liborvel_jni exports more than its Java_ functions:"
  echo "$others"
  exit 1
fi
echo "liborvel_jni exports $(nm -D --defined-only "$1" | grep -c ' Java_') Java_ functions and nothing else"
