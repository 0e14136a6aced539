#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/source-files lists what git would (tracked or not, ignored files
# left out), on a tree built to hold each kind of .gitignore rule, and on
# this project's own tree when it is a checkout. Skipped (77) without git.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=$here/../../scripts/source-files
command -v git >/dev/null || { echo "git not found: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tree=$work/tree
mkdir -p "$tree"
cd "$tree"
git init -q .
cat > .gitignore <<'IGNORE'
# comments and blank lines are skipped

/build/
obj-*/
*.log
!keep.log
debian/tmp/
/debian/files
node_modules/
docs/**/draft.md
a?c.txt
[xy]z.txt
IGNORE
mkdir -p sub/.hidden nested/deep
printf 'ignored.txt\n' > nested/.gitignore
for f in build/x src/build/y obj-x86_64/z src/obj-a/b note.log keep.log sub/other.log \
         debian/tmp/t debian/rules debian/files debian/sub/files node_modules/m src/node_modules/n \
         docs/a/b/draft.md docs/draft.md abc.txt abbc.txt xz.txt zz.txt nested/ignored.txt \
         nested/deep/ignored.txt ignored.txt sub/.hidden/h 'sp ace.txt' $'new\nline'; do
  mkdir -p "$(dirname "$f")"
  printf '%s\n' "$f" > "$f"
done
ln -s debian/rules link-to-file
ln -s build link-to-ignored-folder
want=$(git ls-files -z --cached --others --exclude-standard | tr '\0' '\n' | LC_ALL=C sort)
got=$("$list" "$tree" | tr '\0' '\n' | LC_ALL=C sort)
if [ "$want" != "$got" ]; then
  echo "FAIL on the synthetic tree:"; diff <(echo "$want") <(echo "$got") || true
  exit 1
fi
echo "synthetic tree: $(wc -l <<<"$got") paths, as git lists them"

source_tree=$(cd "$here/../.." && pwd)
if git -C "$source_tree" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  want=$(cd "$source_tree" && git ls-files -z --cached --others --exclude-standard |
         while IFS= read -r -d '' f; do [ -e "$f" ] || [ -L "$f" ] && printf '%s\n' "$f"; done | LC_ALL=C sort)
  got=$("$list" "$source_tree" | tr '\0' '\n' | LC_ALL=C sort)
  [ "$want" = "$got" ] || { echo "FAIL on this checkout:"; diff <(echo "$want") <(echo "$got") || true; exit 1; }
  echo "this checkout: $(wc -l <<<"$got") paths, as git lists them"
fi
