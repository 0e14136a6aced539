#!/usr/bin/env bash
# The list of exported functions is written once, in include/orvel.h; the
# linker's version script, the Debian symbols file and the built library must
# all agree with it. Every export is a function in the ORVEL_1.0 version node,
# the SONAME is liborvel.so.1, and the error text lives in static TLS.
#   check_symbols.sh LIBRARY HEADER VERSION_SCRIPT DEBIAN_SYMBOLS
set -euo pipefail
lib=$1 header=$2 map=$3 symbols=$4
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

expected=$(grep -E '^ORVEL_API ' "$header" | grep -oE 'orvel_[a-z_]+\(' | tr -d '(' | sort)
[ "$(wc -l <<<"$expected")" -eq 15 ] || { echo "expected 15 functions in $header, found: $expected"; exit 1; }

same "$map" "$(sed -n '/global:/,/local:/p' "$map" | grep -oE '^ *orvel_[a-z_]+;' | tr -d ' ;' | sort)"
same "$symbols" "$(grep -oE '^ orvel_[a-z_]+@ORVEL_1\.0 ' "$symbols" | sed 's/@.*//; s/ //g' | sort)"
same "the library's exports" "$("$nm" -D --defined-only "$lib" | awk '$2 != "A" {print $NF}' | sed 's/@.*//' | sort)"

# Every export is a function (T) of the ORVEL_1.0 node.
if "$nm" -D --defined-only "$lib" | awk '$2 != "A"' | grep -Ev ' T orvel_[a-z_]+@@ORVEL_1\.0$'; then
  echo "the exports above are not functions of version node ORVEL_1.0"; status=1
fi
soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "liborvel.so.1" ]; then
  echo "SONAME is '$soname', expected liborvel.so.1"; status=1
fi
# Static TLS (initial-exec): the error text's relocations are offsets from the
# thread pointer (TPOFF/TPREL), and none asks the loader for a dynamically
# allocated block (DTPMOD, TLS descriptors).
relocs=$("$readelf" -rW "$lib")
if ! grep -Eq 'TPOFF|TPREL' <<<"$relocs" || grep -Eq 'DTPMOD|TLSDESC|TLS_DESC' <<<"$relocs"; then
  echo "the error text is not in static TLS:"; grep -E 'TLS|TPOFF|TPREL|DTP' <<<"$relocs" || true; status=1
fi
[ "$status" -eq 0 ] && echo "exports: the 15 functions of $header, in ORVEL_1.0, SONAME $soname, static TLS"
exit "$status"
