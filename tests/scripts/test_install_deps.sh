#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install-deps in a copy of the scripts and lock files, against
# stand-ins for dpkg-query, apt-get, npm, node and scripts/install-yyjson that
# log their calls: --runtime installs the release build's packages alone and
# touches no npm project; a second full run, with the lock files unchanged,
# calls neither npm nor apt; a changed lock file is installed again.
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
. "$(dirname "$0")/common.sh"

mkdir -p "$work/bin" "$work/tree/scripts" "$work/tree/bindings/node/test/types" "$work/tree/examples/typescript"
cp "$repo/scripts/install-deps" "$work/tree/scripts/"
printf '#!/bin/sh\necho "install-yyjson" >> "$STUB_STATE/calls"\n' > "$work/tree/scripts/install-yyjson"
cp "$repo/bindings/node/package-lock.json" "$work/tree/bindings/node/"
cp "$repo/bindings/node/test/types/package-lock.json" "$work/tree/bindings/node/test/types/"
cp "$repo/examples/typescript/package-lock.json" "$work/tree/examples/typescript/"
# Every package is installed, unless the case empties the database.
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
[ -f "$STUB_STATE/nothing-installed" ] && exit 1
printf 'install ok installed'
STUB
cat > "$work/bin/npm" <<'STUB'
#!/bin/sh
echo "npm $* (in ${PWD#$STUB_TREE/})" >> "$STUB_STATE/calls"
[ "$1" = ci ] && mkdir -p node_modules
exit 0
STUB
printf '#!/bin/sh\necho "koffi@2.16.3"\n' > "$work/bin/node"
printf '#!/bin/sh\necho "apt-get $*" >> "$STUB_STATE/calls"\n' > "$work/bin/apt-get"
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
chmod +x "$work/bin"/* "$work/tree/scripts/install-yyjson"

state=$work/state
mkdir "$state"
# run NAME [OPTION]: a run of install-deps, its calls in $state/calls.
run() {
  local name=$1 out
  shift
  : > "$state/calls"
  if out=$(env PATH="$work/bin:$PATH" STUB_STATE="$state" STUB_TREE="$work/tree" bash "$work/tree/scripts/install-deps" "$@" 2>&1); then
    ok
  else
    fail "$name: status $?" "$out"
  fi
}
# expect NAME GLOB: the last run's calls match GLOB.
expect() { calls_match "$1" "$state/calls" "$2"; }

touch "$state/nothing-installed"
run runtime --runtime
expect runtime-packages "apt-get update -qq"$'\n'"apt-get install -y -qq --no-install-recommends cmake g++ make pkg-config ca-certificates help2man man-db"$'\n'"install-yyjson"
rm "$state/nothing-installed"

run first-full
expect first-full-npm "install-yyjson"$'\n'"npm ci * (in bindings/node)"$'\n'"npm cache add koffi@2.16.3 *"$'\n'"npm ci * (in bindings/node/test/types)"$'\n'"npm cache add koffi@2.16.3 *"$'\n'"npm ci * (in examples/typescript)"$'\n'"npm cache add koffi@2.16.3 *"
run second-full
expect second-full-offline "install-yyjson"
echo ' ' >> "$work/tree/bindings/node/test/types/package-lock.json"
run lock-changed
expect lock-changed-again "install-yyjson"$'\n'"npm ci * (in bindings/node/test/types)"$'\n'"npm cache add *"

out=$(bash "$repo/scripts/install-deps" --no-such-option 2>&1); rc=$?
if [ "$rc" -eq 2 ] && [[ $out == *"unknown option --no-such-option"*"--runtime"* ]]; then ok; else
  fail "unknown-option: status $rc" "$out"
fi

finish
