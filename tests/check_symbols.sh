#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The list of exported functions is written once, in the library's header;
# the linker's version script, the Debian symbols file (when given) and the
# built library must all agree with it. Every export is a function of the
# version node the script lists it in (an interface grows by new nodes, each
# naming the ones before), the symbols file gives each the same node, the
# SONAME is the symbols file's (or lib<name>.so.1 from the version script's
# first node), and the error text lives in static TLS.
#   check_symbols.sh LIBRARY HEADER VERSION_SCRIPT [DEBIAN_SYMBOLS]
set -euo pipefail
lib=$1 header=$2 map=$3 symbols=${4:-}
nm=${NM:-nm}
readelf=${READELF:-readelf}
status=0
same() {  # NAME LIST: LIST must equal the header's
  if [ "$2" != "$expected" ]; then
    echo "$1 differs from the functions declared in $header:"
    diff <(echo "$expected") <(echo "$2") || true
    status=1
  fi
}

node=$(grep -oE '^[A-Z_]+_[0-9]+\.[0-9]+ \{' "$map" | head -n 1 | cut -d' ' -f1)
[ -n "$node" ] || { echo "no version node found in $map"; exit 1; }
nodes=$(grep -oE '^[A-Z_]+_[0-9]+\.[0-9]+ \{' "$map" | cut -d' ' -f1 | tr '\n' ' ')
# "function node" for every function the version script exports, by node.
by_node=$(awk '/^[A-Z_]+_[0-9]+\.[0-9]+ \{/ {n = $1} /^ *orvel_[a-z_]+;/ {gsub(/[ ;]/, ""); print $0 " " n}' "$map" | sort)
expected=$(grep -E '^ORVEL(_SYNC)?_API ' "$header" | grep -oE 'orvel_[a-z_]+\(' | tr -d '(' | sort)
[ -n "$expected" ] || { echo "no functions found in $header"; exit 1; }
count=$(wc -l <<<"$expected")

same "$map" "$(cut -d' ' -f1 <<<"$by_node")"
if [ -n "$symbols" ]; then
  same "$symbols" "$(grep -oE "^ orvel_[a-z_]+@[A-Z_0-9.]+ " "$symbols" | sed 's/@.*//; s/ //g' | sort)"
  if [ "$(grep -oE "^ orvel_[a-z_]+@[A-Z_0-9.]+ " "$symbols" | sed 's/^ //; s/@/ /; s/ $//' | sort)" != "$by_node" ]; then
    echo "$symbols gives some function another version node than $map"; status=1
  fi
  want_soname=$(head -n 1 "$symbols" | cut -d' ' -f1)
else
  want_soname=$(basename "$lib" | sed -E 's/(\.so\.[0-9]+).*/\1/')
fi
same "the library's exports" "$("$nm" -D --defined-only "$lib" | awk '$2 != "A" {print $NF}' | sed 's/@.*//' | sort)"

# Every export is a function (T) of the node the version script lists it in.
exported=$("$nm" -D --defined-only "$lib" | awk '$2 != "A"')
if grep -Ev " T orvel_[a-z_]+@@[A-Z_0-9.]+\$" <<<"$exported"; then
  echo "the exports above are not functions"; status=1
fi
if [ "$(awk '{split($NF, p, "@@"); print p[1] " " p[2]}' <<<"$exported" | sort)" != "$by_node" ]; then
  echo "the library's exports are not in the version nodes $map gives them:"
  diff <(echo "$by_node") <(awk '{split($NF, p, "@@"); print p[1] " " p[2]}' <<<"$exported" | sort) || true
  status=1
fi
soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "$want_soname" ]; then
  echo "SONAME is '$soname', expected $want_soname"; status=1
fi
# Static TLS (initial-exec): the error text's relocations are offsets from the
# thread pointer (TPOFF/TPREL), and none asks the loader for a dynamically
# allocated block (DTPMOD, TLS descriptors).
relocs=$("$readelf" -rW "$lib")
if ! grep -Eq 'TPOFF|TPREL' <<<"$relocs" || grep -Eq 'DTPMOD|TLSDESC|TLS_DESC' <<<"$relocs"; then
  echo "the error text is not in static TLS:"; grep -E 'TLS|TPOFF|TPREL|DTP' <<<"$relocs" || true; status=1
fi
[ "$status" -eq 0 ] && echo "exports: the $count functions of $header, in ${nodes% }, SONAME $soname, static TLS"
exit "$status"
