#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Type-checks the README's Node example, and the package's surface (the kind
# union, iteration, SyncedWishlist, Outcome), against the package's
# declarations, as a TypeScript user would: the package packed and installed
# into a new project, with the TypeScript compiler pinned in
# types/package-lock.json, and a tsconfig.json from 'tsc --init' used as it
# comes; then with "module" set to node16 and to a bundler's; then in a
# CommonJS project with "module": "commonjs" and node16; each also with the
# declarations themselves checked (skipLibCheck off) on a "lib" that has no
# Symbol.dispose. Offline: npm's cache holds what scripts/install-deps fetched.
#   check_types.sh NPM [--online]
set -euo pipefail
npm=$1
online=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
package_dir=$(cd "$here/.." && pwd)
readme=$package_dir/../../README.md
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
npm_quiet=(--no-audit --no-fund --loglevel=error)
[ "$online" = --online ] || npm_quiet+=(--offline)

# The README's Node example: its import line, the require form its comment
# gives, and the lines after them.
example=$(awk '/^### From Node/ { on = 1; next } on && /^#/ { exit }
               on && /^```js/ { inside = 1; next } inside && /^```/ { exit } inside' "$readme")
[ -n "$example" ] || { echo "no js example under '### From Node' in $readme"; exit 1; }
import_line=$(head -n 1 <<<"$example" | sed 's|[[:space:]]*//.*||')
names=$(sed -n 's/^import \({[^}]*}\) from .orvel.;$/\1/p' <<<"$import_line")
[ -n "$names" ] || { echo "the example's first line is not an import of names from 'orvel': $import_line"; exit 1; }
body=$(tail -n +2 <<<"$example")
# What the example leaves to the reader: the response and the transport.
prelude="declare const responseBytes: Uint8Array;
declare function post(request: import('orvel').WishRequest): void;"

# A new project with the pinned compiler and the packed package.
project=$work/app
mkdir -p "$project" "$work/package"
cp "$here/types/package.json" "$here/types/package-lock.json" "$project/"
(cd "$project" && "$npm" ci "${npm_quiet[@]}" >/dev/null)
tar -C "$package_dir" --exclude=./node_modules --exclude=./test --exclude=./installed.json -cf - . | tar -xf - -C "$work/package"
tarball=$(cd "$work" && "$npm" pack --silent --ignore-scripts "$work/package" | tail -n 1)
(cd "$project" && "$npm" install "${npm_quiet[@]}" --no-save "$work/$tarball" >/dev/null)
tsc() { (cd "$project" && ./node_modules/.bin/tsc "$@"); }
echo "TypeScript $(tsc --version)"

failures=0
passes=0
# typecheck NAME [TSC_OPTION...]: tsc --noEmit on the project as it stands.
typecheck() {
  local name=$1 out
  shift
  if out=$(tsc --noEmit -p . "$@" 2>&1); then
    passes=$((passes + 1))
  else
    echo "FAIL $name:"; sed 's/^/  /' <<<"$out"
    failures=$((failures + 1))
  fi
}
# The declarations on their own, on a TypeScript library without Symbol.dispose.
strict=(--skipLibCheck false --target es2022 --lib es2022)
# The surface beyond the README's example, through the module object 'orvel'.
surface="{
  const w = new orvel.Wishlist();
  // @ts-expect-error a kind is one of the four, spelled exactly
  w.has('Album', 'a');
  for (const entry of w) { const kind: (typeof orvel.KINDS)[number] = entry.kind; kind satisfies string; }
  const parsed: { total: number } = JSON.parse(JSON.stringify(w));
  const text: unknown = 'album';
  if (typeof text === 'string' && orvel.validateKind(text)) w.toggle(text, 'a');
  const s = orvel.SyncedWishlist.restore('{}', null);
  const id: number = s.setWished('album', 'a', true, 'T');
  // @ts-expect-error wished is a boolean
  s.setWished('album', 'a', 'no');
  const request = s.nextRequest('https://x.example');
  if (request !== null) {
    const asked: [import('orvel').Kind, string, boolean] = [request.kind, request.itemId, request.wished];
    const logged: string = JSON.stringify(request);
    s.report(request.opId, orvel.Outcome.Accepted);
  }
  const reportBig = (big: bigint) => s.report(big, orvel.Outcome.Failed);
  const change: import('orvel').StoreChange = s.report(1, orvel.Outcome.Unknown);
  const status: import('orvel').EntryStatus = s.status('album', 'a');
  const synced: boolean = status.state === orvel.EntryState.Synced && status.wished === null;
  const again = orvel.SyncedWishlist.openSnapshot(s.snapshot());
  const watched: number = again.uncertain + status.attempts;
  const snapshotReason: (typeof orvel.SYNC_REASONS)[number] = 'invalid snapshot';
  const loaded: number | null = s.load(s.beginRefresh(), new ArrayBuffer(0));
  // @ts-expect-error the store changes through the journal only
  s.toggle('album', 'a');
  const counts: number = s.held + s.unsent + s.inFlight + s.confirming;
  const reasons: string[] = [orvel.REASONS.invalidJson, orvel.Outcome[orvel.Outcome.Failed]];
}"

echo "--- ES module project, tsconfig.json as 'tsc --init' writes it"
(cd "$project" && "$npm" pkg set type=module && rm -f tsconfig.json && ./node_modules/.bin/tsc --init >/dev/null)
{
  echo "$import_line"
  echo "import orvel from 'orvel';"
  echo "$prelude"
  echo "$body"
  echo "orvel.selftest();"
  echo "// @ts-expect-error the default export is the CommonJS entry, which has no default of its own"
  echo "orvel.default;"
  echo "{ using w = new orvel.Wishlist(); w.size; }"
  echo "$surface"
} > "$project/app.ts"
typecheck esm
typecheck esm-declarations "${strict[@]}"
typecheck esm-node16 --module node16 --moduleResolution node16
typecheck esm-bundler --module esnext --moduleResolution bundler
typecheck esm-bundler-declarations --module esnext --moduleResolution bundler "${strict[@]}"

echo '--- CommonJS project, "module": "commonjs"'
(cd "$project" && "$npm" pkg delete type && sed -i 's/"module": *"[^"]*"/"module": "commonjs"/' tsconfig.json)
grep -q '"module": "commonjs"' "$project/tsconfig.json" || { echo "tsc --init wrote no \"module\" to change"; exit 1; }
{
  echo "import orvel = require('orvel');"
  echo "const $names = orvel;"
  echo "$prelude"
  echo "$body"
  echo "// @ts-expect-error the CommonJS entry has no default export"
  echo "orvel.default;"
  echo "{ using w = new orvel.Wishlist(); w.size; }"
  echo "$surface"
} > "$project/app.ts"
typecheck commonjs
typecheck commonjs-declarations "${strict[@]}"
typecheck commonjs-node16 --module node16 --moduleResolution node16

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
