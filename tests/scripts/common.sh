# SPDX-License-Identifier: MIT
# Sourced by the scripts' tests: a scratch folder ($work) removed on exit, and
# the count of checks.
#   ok                          a check passed
#   fail NAME [DETAIL]          a check failed: its name, then DETAIL indented
#   calls_match NAME FILE GLOB  the stand-ins' calls logged in FILE match GLOB
#   finish                      the counts; the test's status
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passes=0
ok() { passes=$((passes + 1)); }
fail() {
  echo "FAIL $1"
  [ -z "${2:-}" ] || sed 's/^/  | /' <<<"$2"
  failures=$((failures + 1))
}
calls_match() {
  local calls
  calls=$(cat "$2" 2>/dev/null)
  # shellcheck disable=SC2053  # the glob is meant
  if [[ $calls == $3 ]]; then ok; else fail "$1" "$calls"; fi
}
finish() {
  echo "$passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
