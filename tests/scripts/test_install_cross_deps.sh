#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install-cross-deps against stand-ins for dpkg, dpkg-query and
# apt-get on PATH that keep a made-up package database: the targets' yyjson is
# asked for at the machine's own version, also when a foreign architecture
# already has one (where an unqualified dpkg-query name gives one version per
# architecture, run together). Nothing of the machine's packages is read or changed.
set -uo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/install-cross-deps
. "$(dirname "$0")/common.sh"

mkdir "$work/bin"
# The database: one "name arch version" line per installed package.
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/bash
# dpkg-query -W -f=FORMAT NAME[:ARCH]: FORMAT for each installed match, unseparated.
format=${2#-f=}
name=${3%%:*}; arch=${3#*:}; [ "$arch" = "$3" ] && arch=
found=1
while read -r n a v; do
  [ "$n" = "$name" ] && { [ -z "$arch" ] || [ "$a" = "$arch" ]; } || continue
  out=${format//'${Status}'/install ok installed}; printf '%s' "${out//'${Version}'/$v}"; found=0
done < "$STUB_STATE/db"
exit $found
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STUB_STATE/foreign" ;;
  --add-architecture) echo "$2" >> "$STUB_STATE/foreign" ;;
esac
STUB
# apt-get install NAME[:ARCH][=VERSION]...: each goes into the database (at
# the version asked for, else 1.0); a version no mirror has fails as apt does.
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $*" >> "$STUB_STATE/calls"
[[ " $* " == *" install "* ]] || exit 0
for a in "$@"; do
  case "$a" in -*|install) continue ;; esac
  package=${a%%=*}; version=1.0; [ "$package" != "$a" ] && version=${a#*=}
  case "$version" in *+ds-2?*) echo "E: Version '$version' for '$package' was not found" >&2; exit 100 ;; esac
  name=${package%%:*}; arch=amd64; [ "$package" != "$name" ] && arch=${package#*:}
  echo "$name $arch $version" >> "$STUB_STATE/db"
done
STUB
printf '#!/bin/sh\necho 0\n' > "$work/bin/id"
printf '#!/bin/sh\necho "cmake $*" >> "$STUB_STATE/calls"\n' > "$work/bin/cmake"
chmod +x "$work/bin"/*

# run_case NAME FOREIGN_ARCHES ARCHES: the machine has yyjson for amd64 and
# for each of FOREIGN_ARCHES, and the toolchains and GoogleTest for every target already.
run_case() {
  local name=$1 foreign=$2 arches=$3 dir=$work/$1 out rc arch
  mkdir -p "$dir/state"
  : > "$dir/state/foreign"
  printf 'googletest all 1.12.1-0.2\n' > "$dir/state/db"
  for pkg in qemu-user cmake g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix; do
    echo "$pkg amd64 1.0" >> "$dir/state/db"
  done
  for arch in arm64 armhf s390x; do
    printf 'crossbuild-essential-%s all 1.0\nlibstdc++6 %s 1.0\n' "$arch" "$arch" >> "$dir/state/db"
  done
  for arch in amd64 $foreign; do
    printf 'libyyjson-dev %s 0.12.0+ds-2\nlibyyjson0 %s 0.12.0+ds-2\n' "$arch" "$arch" >> "$dir/state/db"
    [ "$arch" = amd64 ] || echo "$arch" >> "$dir/state/foreign"
  done
  for triple in aarch64-linux-gnu arm-linux-gnueabihf s390x-linux-gnu; do
    mkdir -p "$dir/gtest/$triple" && echo 1.12.1-0.2 > "$dir/gtest/$triple/.googletest-version"
  done
  out=$(env PATH="$work/bin:$PATH" STUB_STATE="$dir/state" ORVEL_CROSS_PREFIX="$dir/gtest" \
        ORVEL_CROSS_ARCHES="$arches" bash "$script" 2>&1)
  rc=$?
  if [ "$rc" -eq 0 ]; then ok; else fail "$name: status $rc" "$out"; fi
}
# expect NAME WHAT GLOB: the case's apt-get and cmake calls match GLOB.
expect() { calls_match "$1: $2" "$work/$1/state/calls" "$3"; }

run_case none-yet "" "armhf"
expect none-yet "armhf's yyjson at the machine's version" '*install*libyyjson-dev:armhf=0.12.0+ds-2 libyyjson0:armhf=0.12.0+ds-2*'
run_case one-present "armhf" "armhf s390x"
expect one-present "s390x's yyjson at the machine's version" '*install*libyyjson-dev:s390x=0.12.0+ds-2 libyyjson0:s390x=0.12.0+ds-2*'
expect one-present "armhf's yyjson is not asked for again" '!(*libyyjson-dev:armhf*)'
run_case all-present "arm64 armhf s390x" "arm64 armhf s390x"
expect all-present "nothing installed, no GoogleTest rebuilt" ''

finish
