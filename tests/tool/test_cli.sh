#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the orvel tool on real files and streams and checks output and exit status.
set -uo pipefail
tool=$1
# In a cross build the tool runs through an emulator: ORVEL_EMULATOR holds its
# command line, and ORVEL_LIBRARY_DIR the folder of the library it loads.
read -r -a emulator <<<"${ORVEL_EMULATOR:-}"
tool_cmd=("${emulator[@]}" "$tool")
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
passes=0

# check NAME EXPECTED_STATUS EXPECTED_STDOUT EXPECTED_STDERR -- COMMAND...
# An expected stdout of '*' accepts anything; the expected stderr is a glob.
check() {
  local name=$1 want_rc=$2 want_out=$3 want_err=$4
  shift 5
  local out err rc
  out=$("$@" 2>"$work/stderr"); rc=$?
  err=$(cat "$work/stderr")
  if [ "$rc" != "$want_rc" ] || { [ "$want_out" != '*' ] && [ "$out" != "$want_out" ]; } ||
     [[ $err != $want_err ]]; then
    echo "FAIL $name: status $rc (want $want_rc)"
    echo "  stdout: $out"; [ "$want_out" != '*' ] && echo "  want:   $want_out"
    echo "  stderr: $err"; [ "$want_err" != '*' ] && echo "  want:   $want_err"
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
}

# A literal text as a pattern for check's expected stderr.
literally() { sed 's/[][*?()|+@!\\]/\\&/g' <<<"$1"; }

expect_eq() {
  if [ "$2" != "$3" ]; then echo "FAIL $1: '$2' != '$3'"; failures=$((failures + 1)); else passes=$((passes + 1)); fi
}

check selftest 0 'selftest: ok' '' -- "${tool_cmd[@]}" selftest
# The versions the header says (the build passes them in).
versions="orvel $ORVEL_VERSION"$'\n'"liborvel $ORVEL_VERSION (interface $ORVEL_ABI_VERSION)"
check version 0 "$versions" '' -- "${tool_cmd[@]}" version
check mine-url 0 'https://x.example/wishlist/api/mine' '' -- "${tool_cmd[@]}" mine-url 'https://x.example///'
check mine-url-default 0 '*' '' -- "${tool_cmd[@]}" mine-url
check request 0 '{"method":"POST","url":"https://b.example/wishlist/api/wish","contentType":"application/json","body":"{\"op\":\"add\",\"kind\":\"track\",\"itemId\":\"t1\",\"title\":\"\",\"artist\":\"A\"}"}' '' \
  -- "${tool_cmd[@]}" request add track t1 --artist A --base https://b.example
check request-remove 0 '*' '' -- "${tool_cmd[@]}" request remove album a1 --title 'T "q"'
# Mistakes the tool can see for itself are usage errors (2) in every command.
for cmd in "request add" "toggle $work/usage.json"; do
  read -r -a c <<<"$cmd"
  check "${c[0]}-bad-kind" 2 '' "orvel: invalid kind 'Album'*" -- "${tool_cmd[@]}" "${c[@]}" Album a1
  check "${c[0]}-empty-id" 2 '' 'orvel: ITEM_ID must not be empty*' -- "${tool_cmd[@]}" "${c[@]}" album ''
done
check version-option 0 "$versions" '' -- "${tool_cmd[@]}" --version
check version-short 0 "$versions" '' -- "${tool_cmd[@]}" -V
out=$("${tool_cmd[@]}" request add album a1 --title --help); [[ $out == *'\"title\":\"--help\"'* ]]; expect_eq help-as-a-value-body $? 0
out=$("${tool_cmd[@]}" request add album a1 --artist x -h); expect_eq help-after-a-value "${out%%$'\n'*}" 'usage: orvel request add|remove KIND ITEM_ID [--title T] [--artist A] [--base URL]'
# docs/tool.md lists the commands exactly as --help does.
if [ -n "${ORVEL_TOOL_DOC:-}" ]; then
  readme=$(awk '/^#+ The `orvel` tool/ { section = 1; next }
                section && /^```/ { if (inside) exit; inside = 1; next }
                inside' "$ORVEL_TOOL_DOC" | sed '/^$/d')
  expect_eq readme-matches-help "$readme" "$("${tool_cmd[@]}" --help | sed '/^$/d')"
fi
# The manual page (made from --help): no line of --version's in it, and its
# examples run as written, one by one, in a new folder.
if [ -n "${ORVEL_MAN_PAGE:-}" ]; then
  second=$("${tool_cmd[@]}" --version | sed -n 2p)
  expect_eq man-no-version-line "$(grep -cF "$second" "$ORVEL_MAN_PAGE")" 0
  mkdir "$work/examples" "$work/path"
  printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${emulator[*]}" "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" > "$work/path/orvel"
  chmod +x "$work/path/orvel"
  examples=$(awk '/^\.SH/ { on = ($2 == "EXAMPLES") } on && /^\.nf/ { lit = 1; next } on && /^\.fi/ { lit = 0 } lit' \
    "$ORVEL_MAN_PAGE" | sed 's/\\-/-/g; s/\\e/\\/g')
  [ "$(wc -l <<<"$examples")" -ge 3 ]; expect_eq man-has-examples $? 0
  while IFS= read -r example; do
    check "man-example: $example" 0 '*' '' -- bash -c "cd '$work/examples' && PATH='$work/path':\$PATH && $example"
  done <<<"$examples"
fi
check request-bad-op 2 '' '*' -- "${tool_cmd[@]}" request toggle album a1
check request-missing 2 '' '*' -- "${tool_cmd[@]}" request add album
check request-bad-option 2 '' '*' -- "${tool_cmd[@]}" request add album a1 --colour red
check no-command 2 '' '*' -- "${tool_cmd[@]}"
check unknown-command 2 '' '*' -- "${tool_cmd[@]}" frobnicate
check help 0 '*' '' -- "${tool_cmd[@]}" --help
check command-help 0 '*' '' -- "${tool_cmd[@]}" toggle --help
check demo 0 '*' '' -- "${tool_cmd[@]}" demo

# Every command refuses a word more than its synopsis allows, --help or not,
# and says which word it was; so do the top-level options.
while IFS='|' read -r name words; do
  read -r -a w <<<"$words"
  check "extra-word-$name" 2 '' "orvel: unexpected argument 'extra'*" -- "${tool_cmd[@]}" "${w[@]}" extra
  [ "${w[0]}" = help ] || [ "${w[0]:0:1}" = - ] && continue
  check "extra-word-help-$name" 2 '' "orvel: unexpected argument 'extra'*" -- "${tool_cmd[@]}" "${w[@]}" --help extra
done <<'EOF'
selftest|selftest
version|version
mine-url|mine-url https://x.example
request|request add album a1
load|load -
toggle|toggle list.json album a1
demo|demo
help-option|--help
help-short|-h
help-command|help load
version-option|--version
version-short|-V
EOF
check missing-word 2 '' "orvel: missing ITEM_ID$(literally $'\n'"(see 'orvel toggle --help')")" -- "${tool_cmd[@]}" toggle "$work/usage.json" album
check help-unknown-command 2 '' "orvel: unknown command 'frob'*" -- "${tool_cmd[@]}" help frob
check help-alone 0 "$("${tool_cmd[@]}" --help)" '' -- "${tool_cmd[@]}" help
# 'orvel help COMMAND' and 'orvel COMMAND --help' print the same, for each command.
for c in $("${tool_cmd[@]}" --help | awk '/^commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 }'); do
  check "help-$c" 0 "$("${tool_cmd[@]}" "$c" --help)" '' -- "${tool_cmd[@]}" help "$c"
  out=$("${tool_cmd[@]}" help "$c"); expect_eq "help-$c-names-it" "${out%%$'\n'*}" "$(grep "^  $c" <<<"$("${tool_cmd[@]}" --help)" | sed 's/^  /usage: orvel /; s/  .*//')"
done

# Base URLs: an absolute http:// or https:// URL naming a host, with an
# optional port and path; anything else is a usage error that says why.
while IFS='|' read -r want base reason; do
  if [ "$want" = ok ]; then
    check "base-ok-$base" 0 "$base/wishlist/api/wish" '' -- \
      bash -c '"$@" | sed "s/.*\"url\":\"\([^\"]*\)\".*/\1/"' _ "${tool_cmd[@]}" request add album a1 --base "$base"
    check "mine-url-ok-$base" 0 "*" '' -- "${tool_cmd[@]}" mine-url "$base"
  else
    check "base-refused-$base" 2 '' "$(literally "orvel: --base '$base' $reason")*" -- \
      "${tool_cmd[@]}" request add album a1 --base "$base"
    check "mine-url-refused-$base" 2 '' "$(literally "orvel: BASE '$base' $reason")*" -- "${tool_cmd[@]}" mine-url "$base"
  fi
done <<'EOF'
ok|https://wishlist.example.com|
ok|http://localhost:8080|
ok|HTTPS://Example.COM/base/path|
ok|https://192.0.2.1/api|
ok|https://[2001:db8::1]:443/x|
no|not a url|is not an absolute http:// or https:// URL
no|ftp://x.example|is not an absolute http:// or https:// URL
no|//x.example/path|is not an absolute http:// or https:// URL
no|/wishlist|is not an absolute http:// or https:// URL
no|https://|has no host after the scheme
no|https:///path|has no host after the scheme
no|https://:80|has no host after the scheme
no|https://x.example:|has an empty port
no|https://x.example:http|has a port that is not a number from 0 to 65535
no|https://x.example:99999|has a port that is not a number from 0 to 65535
no|https://user@x.example|has a host with a character a host name cannot hold
no|https://x y.example|has a host with a character a host name cannot hold
no|https://[::1|has an IPv6 address without its closing ']'
no|https://x.example?q=1|has a query or fragment (the endpoint's path is appended to the base)
no|https://x.example/p#f|has a query or fragment (the endpoint's path is appended to the base)
no|https://x.example/a b|has a space or control character in its path
EOF
check mine-url-empty-is-default 0 "$("${tool_cmd[@]}" mine-url)" '' -- "${tool_cmd[@]}" mine-url ''

# A text that is not UTF-8 is refused before anything runs, naming the argument.
bad=$'\xff'
for cmd in "request add" "toggle $work/utf8.json"; do
  read -r -a c <<<"$cmd"
  check "${c[0]}-title-not-utf8" 2 '' "orvel: --title is not valid UTF-8*" -- "${tool_cmd[@]}" "${c[@]}" album a1 --title "T$bad"
  check "${c[0]}-artist-not-utf8" 2 '' "orvel: --artist is not valid UTF-8*" -- "${tool_cmd[@]}" "${c[@]}" album a1 --artist $'\xc3('
  check "${c[0]}-id-not-utf8" 2 '' "orvel: ITEM_ID is not valid UTF-8*" -- "${tool_cmd[@]}" "${c[@]}" album $'\xed\xa0\x80'
  check "${c[0]}-utf8-ok" 0 '*' '' -- "${tool_cmd[@]}" "${c[@]}" album 'ä-1' --title 'Ω 🎵'
done
expect_eq utf8-refused-leaves-no-file "$(grep -c 'ä-1' "$work/utf8.json")" 1
check base-not-utf8 2 '' "orvel: --base 'https://x.example/$bad' has a path that is not valid UTF-8*" -- \
  "${tool_cmd[@]}" request add album a1 --base "https://x.example/$bad"

# load: files, standard input, bad input
printf '%s' '{"tracks":["t1","t2","t1"]}' > "$work/mine.json"
check load-file 0 '{"total":2,"items":[{"kind":"track","itemId":"t1","title":"","artist":""},{"kind":"track","itemId":"t2","title":"","artist":""}]}' '' \
  -- "${tool_cmd[@]}" load "$work/mine.json"
out=$("${tool_cmd[@]}" load - < "$work/mine.json"); expect_eq load-stdin "$out" "$("${tool_cmd[@]}" load "$work/mine.json")"
out=$("${tool_cmd[@]}" load < "$work/mine.json"); expect_eq load-stdin-default "$out" "$("${tool_cmd[@]}" load "$work/mine.json")"
printf '[1,]' > "$work/bad.json"
check load-invalid 1 '' "orvel: $work/bad.json: invalid json" -- "${tool_cmd[@]}" load "$work/bad.json"
check load-invalid-stdin 1 '' 'orvel: standard input: invalid json' -- "${tool_cmd[@]}" load - < "$work/bad.json"
printf '["t1"]\0' > "$work/nul.json"
check load-nul-inside 1 '' "orvel: $work/nul.json: invalid json" -- "${tool_cmd[@]}" load "$work/nul.json"
: > "$work/empty.json"
check load-empty 1 '' "orvel: $work/empty.json: invalid json" -- "${tool_cmd[@]}" load "$work/empty.json"
check load-missing 1 '' "orvel: cannot read $work/missing.json: No such file or directory" -- "${tool_cmd[@]}" load "$work/missing.json"

# Standard input a person types: a hint on standard error, then the text is
# read as from a pipe (a terminal made with a pseudo-terminal; its output is
# the hint, the echoed text and the result).
# on_terminal INPUT COMMAND...: the command's output with INPUT typed on its terminal, then Ctrl-D.
on_terminal() {
  python3 - "$@" <<'PY'
import os, pty, sys
pid, fd = pty.fork()
if pid == 0:
    os.execvp(sys.argv[2], sys.argv[2:])
os.write(fd, sys.argv[1].encode() + b"\n\x04")
out = b""
while True:
    try:
        chunk = os.read(fd, 4096)
    except OSError:  # the child is gone: the terminal reads as closed
        break
    if not chunk:
        break
    out += chunk
status = os.waitpid(pid, 0)[1]
sys.stdout.write(out.decode().replace("\r", "") + f"status {os.waitstatus_to_exitcode(status)}\n")
PY
}
if command -v python3 >/dev/null; then
  for command in "load" "load -" "journal"; do
    read -r -a c <<<"$command"
    input='{"items":[]}'; want='{"total":0,"items":[]}'
    [ "${c[0]}" = journal ] && input='{"format":"orvel-journal","version":1,"nextId":1,"lastToken":0,"loadedToken":0,"operations":[]}' && want='*a journal of 0 operations*'
    out=$(on_terminal "$input" "${tool_cmd[@]}" "${c[@]}")
    [[ $out == *"orvel: reading "*" from standard input (a terminal)"*"orvel ${c[0]} FILE"*$want*"status 0" ]]
    expect_eq "terminal-hint: $command" $? 0
  done
  out=$(on_terminal '' "${tool_cmd[@]}" load "$work/mine.json")
  [[ $out != *"standard input"* ]]; expect_eq terminal-no-hint-for-a-file $? 0
fi

# toggle: create, add, remove, keep the file on failure
list=$work/list.json
check toggle-create 0 added '' -- "${tool_cmd[@]}" toggle "$list" album a1 --title 'T' --artist 'A'
check toggle-add 0 added '' -- "${tool_cmd[@]}" toggle "$list" track t1
expect_eq toggle-content "$(cat "$list")" '{"total":2,"items":[{"kind":"album","itemId":"a1","title":"T","artist":"A"},{"kind":"track","itemId":"t1","title":"","artist":""}]}'
check toggle-remove 0 removed '' -- "${tool_cmd[@]}" toggle "$list" album a1
check toggle-bad-kind 2 '' '*' -- "${tool_cmd[@]}" toggle "$list" Album a1
printf 'not json' > "$work/corrupt.json"
check toggle-corrupt 1 '' "orvel: $work/corrupt.json: invalid json" -- "${tool_cmd[@]}" toggle "$work/corrupt.json" album a1
expect_eq toggle-corrupt-kept "$(cat "$work/corrupt.json")" 'not json'

# A symbolic link is written through to its target, which keeps its mode.
mkdir "$work/real"
cp "$list" "$work/real/list.json"
chmod 640 "$work/real/list.json"
ln -s real/list.json "$work/link.json"
check toggle-through-link 0 added '' -- "${tool_cmd[@]}" toggle "$work/link.json" artist ar1
expect_eq toggle-link-kept "$(readlink "$work/link.json")" real/list.json
expect_eq toggle-target-changed "$(grep -c '"ar1"' "$work/real/list.json")" 1
expect_eq toggle-mode-kept "$(stat -c %a "$work/real/list.json")" 640
ln -s nowhere.json "$work/dangling.json"
check toggle-dangling-link 1 '' "orvel: cannot follow the symbolic link $work/dangling.json*" -- "${tool_cmd[@]}" toggle "$work/dangling.json" album a1

# An unwritable folder: the toggle fails and the old file survives untouched,
# with no temporary file left behind. (The file itself may be written.)
mkdir "$work/ro"
cp "$list" "$work/ro/list.json"
chmod 666 "$work/ro/list.json"
before=$(cat "$work/ro/list.json")
chmod 555 "$work/ro"
# A file the user may not write, in a folder the user may: refused, not
# replaced through the folder's permissions.
mkdir "$work/open"
cp "$list" "$work/open/list.json"
chmod 644 "$work/open/list.json"
chmod 777 "$work/open"
as_user=()
run_tool=("${tool_cmd[@]}")
if [ "$(id -u)" -eq 0 ]; then
  # root ignores permissions: run this case as an unprivileged user, with the
  # tool and library copied where that user can reach them whatever the
  # permissions of the build folder.
  chmod o+rx "$work"
  mkdir "$work/bin"
  cp "$tool" "$work/bin/orvel"
  cp "${ORVEL_LIBRARY_DIR:-$(dirname "$(ldd "$tool" | awk '/liborvel\.so/ {print $3}')")}"/liborvel.so* "$work/bin/"
  cp "${ORVEL_SYNC_LIBRARY_DIR:-$(dirname "$(ldd "$tool" | awk '/liborvel-sync/ {print $3}')")}"/liborvel-sync.so* "$work/bin/"
  chmod -R o+rx "$work/bin"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups env LD_LIBRARY_PATH="$work/bin")
  run_tool=("${emulator[@]}" "$work/bin/orvel")
fi
check toggle-unwritable 1 '' '*' -- "${as_user[@]}" "${run_tool[@]}" toggle "$work/ro/list.json" album zz
expect_eq toggle-unwritable-kept "$(cat "$work/ro/list.json")" "$before"
expect_eq toggle-unwritable-no-temp "$(ls "$work/ro")" "list.json"
check toggle-unwritable-message 1 '' '*cannot create a temporary file*' -- "${as_user[@]}" "${run_tool[@]}" toggle "$work/ro/list.json" album zz
if [ "$(id -u)" -eq 0 ] || [ "$(stat -c %u "$work/open/list.json")" != "$(id -u)" ]; then
  check toggle-unwritable-file 1 '' "orvel: cannot write $work/open/list.json: Permission denied*" -- "${as_user[@]}" "${run_tool[@]}" toggle "$work/open/list.json" album zz
  expect_eq toggle-unwritable-file-kept "$(cat "$work/open/list.json")" "$(cat "$list")"
  expect_eq toggle-unwritable-file-alone "$(ls "$work/open")" "list.json"
fi

# A journal saved by liborvel-sync: checked as a restore would, then shown.
journal_text='{"format":"orvel-journal","version":1,"nextId":3,"lastToken":1,"loadedToken":1,"operations":[{"id":1,"state":"confirming","op":"add","kind":"album","itemId":"a1","title":"T","artist":"","acceptedAfter":0},{"id":2,"state":"inFlight","op":"remove","kind":"track","itemId":"t1","title":null,"artist":null}]}'
printf '%s' "$journal_text" > "$work/journal.json"
check journal 0 '*' '' -- "${tool_cmd[@]}" journal "$work/journal.json"
out=$("${tool_cmd[@]}" journal "$work/journal.json")
expect_eq journal-summary "${out%%$'\n'*}" "$work/journal.json: a journal of 2 operations; restored now, 1 would be sent (those in flight"
[[ $out == *'"state": "inFlight"'* ]]; expect_eq journal-shown-as-saved $? 0
check journal-stdin 0 '*' '' -- sh -c "printf '%s' '$journal_text' | $(printf '%q ' "${tool_cmd[@]}") journal"
check journal-bad-version 1 '' 'orvel: standard input: unsupported version' -- sh -c "echo '{\"format\":\"orvel-journal\",\"version\":9}' | $(printf '%q ' "${tool_cmd[@]}") journal -"
check journal-not-a-journal 1 '' "orvel: $work/list.json: invalid journal" -- "${tool_cmd[@]}" journal "$list"
check journal-missing 1 '' "orvel: cannot read $work/none.json: No such file or directory" -- "${tool_cmd[@]}" journal "$work/none.json"
check journal-extra 2 '' '*' -- "${tool_cmd[@]}" journal a b

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
