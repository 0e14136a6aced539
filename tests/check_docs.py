#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The README and the pages under docs/ cannot drift from what they show.

  check_docs.py SOURCE_DIR

- A code block whose introducing line (the last line of text before it)
  links to a file under examples/ is an excerpt of that file: its lines stand
  there one after the other, indented alike (the block may be dedented).
- The README's quick start shows the C++ and the Python example so.
- Every relative link leads to a file or folder of the tree, and a link to a
  heading (#anchor) to a heading of that page.
"""

import re
import sys
from pathlib import Path

ROOT = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
QUICK_START = ("examples/cpp/wishlist.cpp", "examples/python/wishlist.py")
failures = []


def dedent(lines):
    indents = [len(line) - len(line.lstrip(" ")) for line in lines if line.strip()]
    cut = min(indents, default=0)
    return [line[cut:] for line in lines]


def code_blocks(text):
    """(introducing line, block lines, line number) of every fenced block."""
    lines = text.split("\n")
    blocks, i = [], 0
    while i < len(lines):
        if lines[i].startswith("```"):
            start = i
            end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("```")), len(lines))
            before = next((lines[j] for j in range(start - 1, -1, -1) if lines[j].strip()), "")
            blocks.append((before, lines[start + 1:end], start + 1))
            i = end + 1
        else:
            i += 1
    return blocks


def is_excerpt(block, source):
    want = dedent(block)
    return any(dedent(source[i:i + len(want)]) == want for i in range(len(source) - len(want) + 1))


def slug(heading):
    """The anchor a heading gets: lower case, punctuation dropped, spaces as dashes."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(path):
    text = path.read_text(encoding="utf-8")
    text = re.sub(r"```.*?```", "", text, flags=re.S)
    return {slug(m) for m in re.findall(r"(?m)^#+ (.*)$", text)}


documents = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
shown = {}
for document in documents:
    name = document.relative_to(ROOT)
    text = document.read_text(encoding="utf-8")
    for before, block, line in code_blocks(text):
        for target in re.findall(r"\]\(((?:\.\./)*examples/[^)#]+)\)", before):
            source = (document.parent / target).resolve()
            if not source.is_file():
                continue  # reported as a broken link below
            if not is_excerpt(block, source.read_text(encoding="utf-8").split("\n")):
                failures.append(f"{name}:{line}: the block is not an excerpt of {target} (any more)")
            shown.setdefault(str(name), set()).add(str(source.relative_to(ROOT)))
    for target in re.findall(r"\]\(([^)\s]+)\)", re.sub(r"```.*?```", "", text, flags=re.S)):
        if re.match(r"[a-z]+:", target):
            continue  # an absolute URL
        path, _, anchor = target.partition("#")
        where = (document.parent / path).resolve() if path else document
        if not where.exists():
            failures.append(f"{name}: the link {target} leads nowhere")
        elif anchor and where.suffix == ".md" and anchor not in anchors(where):
            failures.append(f"{name}: the link {target} names no heading of {where.relative_to(ROOT)}")

for example in QUICK_START:
    if example not in shown.get("README.md", set()):
        failures.append(f"README.md: the quick start shows no excerpt of {example}")

if failures:
    print("the documentation disagrees with the tree:")
    for failure in failures:
        print("  " + failure)
    sys.exit(1)
print(f"documentation agrees: {len(documents)} documents, "
      f"{sum(len(v) for v in shown.values())} example excerpts, every link leads somewhere")
