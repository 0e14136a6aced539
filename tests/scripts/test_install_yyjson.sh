#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install-yyjson against stand-ins for apt-get, apt-cache and
# pkg-config on PATH, and a made-up /etc/apt: a current mirror, one whose
# forky Release file has expired (recovered: forky alone is accepted, for the
# exact version), and the failures it cannot mend, each of which must say its
# cause and what to do. Nothing of the machine's apt is read or changed.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-yyjson
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0

mkdir "$work/bin"
# apt-get update fails with $STUB_UPDATE_ERROR while the forky source lacks
# the option that accepts an expired suite (always, with STUB_UPDATE_ALWAYS);
# a successful update (or STUB_LISTS_ANYWAY, for another suite's error) makes
# apt-cache show $STUB_VERSIONS. Calls are logged.
cat > "$work/bin/apt-get" <<'EOF'
#!/bin/sh
echo "apt-get $*" >> "$STUB_STATE/calls"
case " $* " in
  *" update "*)
    if [ -n "${STUB_UPDATE_ERROR:-}" ] &&
       { [ -n "${STUB_UPDATE_ALWAYS:-}" ] || ! grep -q '^Check-Valid-Until: no' "$ORVEL_APT_ETC/sources.list.d/orvel-forky.sources"; }; then
      printf '%s\n' "$STUB_UPDATE_ERROR" >&2
      [ -z "${STUB_LISTS_ANYWAY:-}" ] || touch "$STUB_STATE/lists"
      exit 100
    fi
    touch "$STUB_STATE/lists" ;;
  *" install "*)
    for a in "$@"; do case "$a" in libyyjson-dev=*) echo "${a#*=}" > "$STUB_STATE/installed" ;; esac; done ;;
esac
exit 0
EOF
cat > "$work/bin/apt-cache" <<'EOF'
#!/bin/sh
[ -f "$STUB_STATE/lists" ] || exit 0
for v in $STUB_VERSIONS; do
  echo " libyyjson-dev | $v | http://mirror.example/debian forky/main amd64 Packages"
done
EOF
cat > "$work/bin/pkg-config" <<'EOF'
#!/bin/sh
if [ -f "$STUB_STATE/installed" ]; then sed 's/[+-].*//' "$STUB_STATE/installed"; exit 0; fi
[ -n "${STUB_PREINSTALLED:-}" ] && { echo "$STUB_PREINSTALLED"; exit 0; }
exit 1
EOF
chmod +x "$work/bin"/*

# run_case NAME WANT_STATUS WANT_INSTALLED WANT_OUTPUT_GLOB [VAR=VALUE...]
run_case() {
  local name=$1 want_rc=$2 want_installed=$3 want_output=$4
  shift 4
  local dir=$work/$name
  mkdir -p "$dir/state" "$dir/etc/sources.list.d" "$dir/etc/preferences.d"
  printf 'VERSION_CODENAME=bookworm\n' > "$dir/os-release"
  if [ -n "${ONELINE:-}" ]; then
    printf 'deb [arch=amd64 signed-by=/k/one.gpg] http://mirror.example/debian bookworm main\n' > "$dir/etc/sources.list"
  else
    printf 'Types: deb\nURIs: http://mirror.example/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /k/debian.gpg\n' \
      > "$dir/etc/sources.list.d/debian.sources"
  fi
  local out rc installed
  out=$(env PATH="$work/bin:$PATH" STUB_STATE="$dir/state" ORVEL_APT_ETC="$dir/etc" \
        ORVEL_OS_RELEASE="$dir/os-release" STUB_VERSIONS="0.12.0+ds-2" "$@" bash "$script" 2>&1)
  rc=$?
  installed=$(cat "$dir/state/installed" 2>/dev/null || echo none)
  if [ "$rc" != "$want_rc" ] || [ "$installed" != "$want_installed" ] || [[ $out != $want_output ]]; then
    echo "FAIL $name: status $rc (want $want_rc), installed $installed (want $want_installed)"
    echo "$out" | sed 's/^/  | /'
    echo "  want output: $want_output"
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
  source_file=$dir/etc/sources.list.d/orvel-forky.sources
}

expired='E: Release file for http://mirror.example/debian/dists/forky/InRelease is expired (invalid since 12d 3h 2min 1s). Updates for this repository will not be applied.'

run_case current 0 0.12.0+ds-2 '*adding suite forky from the machine*installed*'
grep -q '^Signed-By: /k/debian.gpg$' "$source_file"; [ $? -eq 0 ] && passes=$((passes + 1)) || { echo "FAIL current: keyring not carried over"; failures=$((failures + 1)); }
grep -q 'Check-Valid-Until' "$source_file" && { echo "FAIL current: a current suite was marked"; failures=$((failures + 1)); } || passes=$((passes + 1))

# --remove takes back the source and the pin, and nothing else of apt's.
remove() { env PATH="$work/bin:$PATH" STUB_STATE="$work/current/state" ORVEL_APT_ETC="$work/current/etc" bash "$script" --remove 2>&1; }
: > "$work/current/state/calls"
out=$(remove) && [ ! -e "$source_file" ] && [ ! -e "$work/current/etc/preferences.d/orvel-forky" ] \
  && [ -e "$work/current/etc/sources.list.d/debian.sources" ] && grep -q 'apt-get update' "$work/current/state/calls" \
  && passes=$((passes + 1)) || { echo "FAIL remove: $out"; failures=$((failures + 1)); }
: > "$work/current/state/calls"
out=$(remove) && [[ $out == *"no forky source or pin of liborvel's to remove"* ]] && [ ! -s "$work/current/state/calls" ] \
  && passes=$((passes + 1)) || { echo "FAIL remove-again: $out"; failures=$((failures + 1)); }

ONELINE=1 run_case one-line-source 0 0.12.0+ds-2 '*(http://mirror.example/debian)*'
grep -q '^Signed-By: /k/one.gpg$' "$source_file" && passes=$((passes + 1)) || { echo "FAIL one-line-source: keyring"; failures=$((failures + 1)); }

run_case already-installed 0 none '*yyjson 0.12.0 already installed' STUB_PREINSTALLED=0.12.0
[ ! -e "$work/already-installed/state/calls" ] && passes=$((passes + 1)) || { echo "FAIL already-installed: apt was called"; failures=$((failures + 1)); }

run_case expired-recovered 0 0.12.0+ds-2 '*Release file of http://mirror.example/debian has expired*accepting it for forky alone*installed*' \
  STUB_UPDATE_ERROR="$expired"
grep -qx 'Check-Valid-Until: no' "$source_file" && passes=$((passes + 1)) || { echo "FAIL expired-recovered: source not marked"; failures=$((failures + 1)); }
run_case expired-old-wording 0 0.12.0+ds-2 '*has expired*' \
  STUB_UPDATE_ERROR='E: Release file for http://mirror.example/debian/dists/forky/Release is no longer valid'
run_case expired-other-version 1 none '*expired forky lists offer libyyjson-dev 0.12.1-1, not 0.12.0+ds-2*' \
  STUB_UPDATE_ERROR="$expired" STUB_VERSIONS=0.12.1-1
run_case expired-for-good 1 none '*not available from suite forky: apt could not use*is expired*Acquire::Check-Valid-Until*' \
  STUB_UPDATE_ERROR="$expired" STUB_UPDATE_ALWAYS=1
run_case other-suite-expired 0 0.12.0+ds-2 '*warning: apt-get update reported errors*' \
  STUB_UPDATE_ERROR='E: Release file for http://mirror.example/debian/dists/bookworm-updates/InRelease is expired (invalid since 1d).' \
  STUB_UPDATE_ALWAYS=1 STUB_LISTS_ANYWAY=1
grep -q 'Check-Valid-Until' "$source_file" && { echo "FAIL other-suite-expired: forky was marked"; failures=$((failures + 1)); } || passes=$((passes + 1))
run_case clock-behind 1 none '*not available from suite forky*not valid yet*clock*is behind the mirror*' \
  STUB_UPDATE_ERROR='E: Release file for http://mirror.example/debian/dists/forky/InRelease is not valid yet (invalid for another 3d 2h). Updates for this repository will not be applied.' \
  STUB_UPDATE_ALWAYS=1
run_case no-key 1 none '*NO_PUBKEY*keyring (/k/debian.gpg) cannot verify*' \
  STUB_UPDATE_ERROR='W: GPG error: http://mirror.example/debian forky InRelease: The following signatures could not be verified because the public key is not available: NO_PUBKEY 0123' \
  STUB_UPDATE_ALWAYS=1
run_case no-suite 1 none '*has no suite forky*' \
  STUB_UPDATE_ERROR="E: The repository 'http://mirror.example/debian forky Release' does not have a Release file." \
  STUB_UPDATE_ALWAYS=1
run_case no-package 1 none '*read the suite*without complaint*carries no libyyjson-dev*' STUB_VERSIONS=
run_case left-suite 0 0.12.1-1 '*0.12.0+ds-2 has left forky; taking 0.12.1-1*' STUB_VERSIONS='0.12.1-1'
run_case wrong-series 1 none '*offers libyyjson-dev 0.13.0-1, not 0.12.x*' STUB_VERSIONS='0.13.0-1'

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
