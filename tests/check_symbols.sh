#!/usr/bin/env bash
# The library must export exactly the fifteen interface functions.
set -euo pipefail
lib=$1
nm=${NM:-nm}
readelf=${READELF:-readelf}
expected="orvel_abi_version orvel_apply_local_toggle orvel_build_mine_url
orvel_build_wish_request_json orvel_count orvel_create orvel_destroy orvel_export_json orvel_free
orvel_is_wished orvel_last_error orvel_load_mine_json orvel_selftest orvel_validate_kind
orvel_version"
expected=$(printf '%s\n' $expected | sort)
actual=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the interface:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
# Every export must be a function (T), not data.
if "$nm" -D --defined-only "$lib" | awk '{print $2}' | grep -qv '^T$'; then
  echo "an exported symbol is not a function:"; "$nm" -D --defined-only "$lib"; exit 1
fi
soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "liborvel.so.1" ]; then
  echo "SONAME is '$soname', expected liborvel.so.1"; exit 1
fi
# The error text lives in static TLS (initial-exec): its relocations are
# offsets from the thread pointer (TPOFF/TPREL), and none asks the loader for
# a dynamically allocated block (DTPMOD, TLS descriptors).
relocs=$("$readelf" -rW "$lib")
if ! grep -Eq 'TPOFF|TPREL' <<<"$relocs" || grep -Eq 'DTPMOD|TLSDESC|TLS_DESC' <<<"$relocs"; then
  echo "the error text is not in static TLS:"; grep -E 'TLS|TPOFF|TPREL|DTP' <<<"$relocs" || true; exit 1
fi
echo "exports: 15 interface functions, SONAME $soname, static TLS"
