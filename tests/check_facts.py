#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every copy of a fact the project states in more than one place agrees with
the one place that fact is written.

  check_facts.py SOURCE_DIR [NODE] [--show]     (without NODE, the Node package is not checked)

The facts and where each is written once:
  - the version and the interface version: include/orvel.h (and orvel_sync.h);
  - the four kinds: src/identity.h (kKinds);
  - the error texts: src/last_error.cpp (kMessages) and sync/reason.cpp (kReasons);
  - the licence and its copyright holders: LICENSE;
  - the pinned TypeScript compiler: bindings/node/test/types/package.json.
Each copy is found by a pattern; a copy that cannot be found fails too, so a
moved copy is noticed rather than skipped. --show prints every copy found.
"""

import json
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent
SHOW = "--show" in sys.argv
failures = []


def read(path):
    return (ROOT / path).read_text(encoding="utf-8")


def one(pattern, path, flags=0):
    """The first group of the one match of pattern in a file."""
    found = re.findall(pattern, read(path), flags)
    if len(found) != 1:
        failures.append(f"{path}: expected one match of {pattern!r}, found {len(found)}")
        return None
    return found[0]


def agree(fact, truth, path, value):
    if SHOW:
        print(f"  {fact}: {path}: {value!r}")
    if value is not None and value != truth:
        failures.append(f"{path}: {fact} is {value!r}, but the source says {truth!r}")


def macro(path, name):
    return int(one(rf"#define {name} (\d+)\n", path))


def header_version(path, prefix):
    parts = [macro(path, f"{prefix}_VERSION_{p}") for p in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(str(p) for p in parts), macro(path, f"{prefix}_ABI_VERSION")


def string_table(path, name):
    """The string literals of a C++ constexpr table named name."""
    body = one(rf"{name}\[\] = \{{(.*?)\}};", path, re.S)
    return re.findall(r'"([^"]*)"', body or "")


def kind_table(path, name):
    """The kinds, in order, of a table that names its char-array constants."""
    names = re.findall(r"\w+", one(rf"{name}\[\] = \{{(.*?)\}};", path, re.S) or "")
    return [one(rf'constexpr char {n}\[\] = "([^"]*)";', path) for n in names]


def quoted_list(text):
    return re.findall(r'"([^"]+)"', text)


# ---- versions ---------------------------------------------------------------------------
version, abi = header_version("include/orvel.h", "ORVEL")
sync_version, sync_abi = header_version("include/orvel_sync.h", "ORVEL_SYNC")

# One source package carries both libraries: its version is the newer of
# theirs, and so is the version of every .deb it makes.
def version_key(text):
    return tuple(int(p) for p in text.split("."))


package_version = max(version, sync_version, key=version_key)
changelog = one(r"\Aliborvel \(([^)]+)\)", "debian/changelog")
agree("package version", package_version, "debian/changelog", changelog and changelog.split("-")[0])
package = json.loads(read("bindings/node/package.json"))
agree("version", version, "bindings/node/package.json", package["version"])
lock = json.loads(read("bindings/node/package-lock.json"))
agree("version", version, "bindings/node/package-lock.json", lock["version"])
agree("version", version, "bindings/node/package-lock.json (root package)", lock["packages"][""]["version"])
# The README, the pages under docs/ and the examples that name a package file.
documents = (["README.md"] + sorted(str(p.relative_to(ROOT)) for p in (ROOT / "docs").glob("*.md"))
             + ["examples/java/WishlistExample.java", "examples/typescript/wishlist.ts"])
for pattern, truth in ((r"static `\"(\d+\.\d+\.\d+)\"`", version), (r"_(\d+\.\d+\.\d+)_\*\.deb", package_version),
                       (r"orvel-(\d+\.\d+\.\d+)\.(?:jar|tgz)", version)):
    found = 0
    for document in documents:
        for copy in re.findall(pattern, read(document)):
            agree("version", truth, document, copy)
            found += 1
    if not found:
        failures.append(f"README.md and docs/: no copy of the version matches {pattern!r}")

# The TypeScript example is checked with the compiler the declarations' check pins.
pinned = json.loads(read("bindings/node/test/types/package.json"))["devDependencies"]["typescript"]
agree("TypeScript version", pinned, "examples/typescript/package.json",
      json.loads(read("examples/typescript/package.json"))["devDependencies"]["typescript"])

# ---- interface versions ----------------------------------------------------------------
# An interface grows by one version node for each minor version: X.0 up to
# the library's X.Y, in the version script and in the symbols file alike.
for lib, node, symbols, the_abi, lib_version in (
        ("liborvel", "ORVEL", "debian/liborvel1.symbols", abi, version),
        ("liborvel-sync", "ORVEL_SYNC", "debian/liborvel-sync1.symbols", sync_abi, sync_version)):
    first = read(symbols).splitlines()[0]
    agree("interface version", f"{lib}.so.{the_abi} {lib}{the_abi} #MINVER#", symbols, first)
    map_file = "cmake/orvel.map" if lib == "liborvel" else "sync/orvel_sync.map"
    minor = int(lib_version.split(".")[1])
    nodes = [f"{node}_{the_abi}.{m}" for m in range(minor + 1)]
    agree("version nodes", nodes, map_file, re.findall(r"(?m)^([A-Z_]+_\d+\.\d+) \{", read(map_file)))
    agree("version nodes", nodes, symbols, re.findall(r"(?m)^ ([A-Z_]+_\d+\.\d+)@\1 ", read(symbols)))
for package_name in (f"liborvel{abi}", f"liborvel-sync{sync_abi}"):
    if not re.search(rf"(?m)^Package: {package_name}$", read("debian/control")):
        failures.append(f"debian/control: no package {package_name} for the interface version")

# ---- the kinds ---------------------------------------------------------------------------
kinds = kind_table("src/identity.h", "kKinds")
agree("kinds", kinds, "include/orvel.h", quoted_list(one(r"0 when kind is exactly (.*?) \*", "include/orvel.h", re.S) or ""))
agree("kinds", kinds, "docs/c.md (orvel_validate_kind)",
      re.findall(r"`(\w+)`", one(r"\| `orvel_validate_kind\(kind\)` \| `0` for (.*?) \|", "docs/c.md") or ""))
agree("kinds", kinds, "tools/orvel.cpp (help)",
      re.findall(r"(\w+)", (one(r'"KIND is ([a-z, ]+?);', "tools/orvel.cpp") or "").replace(" or ", ", ")))

# ---- the error texts --------------------------------------------------------------------
messages = string_table("src/last_error.cpp", "kMessages")
reasons = string_table("sync/reason.cpp", "kReasons")
agree("error texts", messages, "include/orvel.h",
      quoted_list(one(r"last error text: \"\" or one of (.*?)\. Never", "include/orvel.h", re.S) or ""))
agree("error texts", sorted(messages), "man/liborvel.3", sorted(re.findall(r"(?m)^\.It Dq (.+)$", read("man/liborvel.3"))))
agree("error texts", messages, "docs/c.md",
      re.findall(r'`"([^"]+)"`', one(r"\| `orvel_last_error\(\)` \| (.*?) \|", "docs/c.md") or ""))
agree("reasons", reasons, "include/orvel_sync.h",
      re.findall(r'(?m)^ \*      "([^"]+)"', read("include/orvel_sync.h")))
agree("reasons", reasons, "man/liborvel-sync.3", re.findall(r"(?m)^\.It Dq (.+)$", read("man/liborvel-sync.3")))

# ---- the Python package, as a user imports it (no library is loaded) ----------------
sys.path.insert(0, str(ROOT / "bindings/python"))
import orvel  # noqa: E402

for fact, truth, value in (
        ("version", version, orvel.__version__),
        ("interface version", abi, orvel.ABI_VERSION),
        ("journal interface version", sync_abi, orvel.SYNC_ABI_VERSION),
        ("kinds", kinds, list(orvel.KINDS)),
        ("error texts", messages, list(orvel.ERRORS)),
        ("reasons", reasons, list(orvel.SYNC_ERRORS))):
    agree(fact, truth, "the Python package", value)

# ---- the Node package, as a user requires it (no library is loaded) ---------------------
agree("kinds", kinds, "bindings/node/index.d.cts",
      re.findall(r"'(\w+)'", one(r"KINDS: readonly \[([^\]]*)\]", "bindings/node/index.d.cts") or ""))
# Required where its dependencies are installed (a package build has none).
NODE = next((a for a in sys.argv[2:] if not a.startswith("--")), None)
if NODE:
    script = ("const o = require(process.argv[1]); process.stdout.write(JSON.stringify("
              "{kinds: o.KINDS, abi: o.ABI_VERSION, syncAbi: o.SYNC_ABI_VERSION, reasons: o.REASONS,"
              " syncReasons: o.SYNC_REASONS}));")
    node = json.loads(subprocess.run([NODE, "-e", script, str(ROOT / "bindings/node")], capture_output=True,
                                     text=True, check=True).stdout)
    agree("interface version", abi, "the Node package", node["abi"])
    agree("journal interface version", sync_abi, "the Node package", node["syncAbi"])
    agree("kinds", kinds, "the Node package", node["kinds"])
    # Its reasons are the libraries' own texts, except the one it adds for a toggle.
    for name, text in node["reasons"].items():
        if text not in messages + reasons and name != "outOfMemoryOrFull":
            failures.append(f"the Node package: REASONS.{name} is {text!r}, which neither library writes")
    typed = dict(re.findall(r"readonly (\w+): '([^']*)';", one(r"REASONS: \{(.*?)\};", "bindings/node/index.d.cts", re.S) or ""))
    agree("reasons", node["reasons"], "bindings/node/index.d.cts (REASONS)", typed)
    agree("reasons", reasons, "the Node package (SYNC_REASONS)", node["syncReasons"])
agree("reasons", reasons, "bindings/node/index.d.cts (SYNC_REASONS)",
      re.findall(r"'([^']*)'", one(r"SYNC_REASONS: readonly \[(.*?)\];", "bindings/node/index.d.cts", re.S) or ""))

# ---- the Java package, from its sources --------------------------------------------------
JAVA = "bindings/java/src/main/java/org/orvel/"
agree("interface version", abi, "Orvel.ABI_VERSION",
      int(one(r"public static final int ABI_VERSION = (\d+);", JAVA + "Orvel.java") or -1))
agree("journal interface version", sync_abi, "SyncedWishlist.ABI_VERSION",
      int(one(r"public static final int ABI_VERSION = (\d+);", JAVA + "SyncedWishlist.java") or -1))
agree("kinds", kinds, "enum Kind", re.findall(r'(?m)^  [A-Z]+\("(\w+)"\)', read(JAVA + "Kind.java")))
constants = dict(re.findall(r'public static final String (\w+) = "([^"]*)";', read(JAVA + "OrvelException.java")))
for name, truth in (("REASONS", messages), ("SYNC_REASONS", reasons)):
    listed = re.findall(r"\w+", one(rf"List<String> {name} = List\.of\((.*?)\);", JAVA + "OrvelException.java", re.S) or "")
    agree("error texts", truth, f"OrvelException.{name}", [constants.get(n, n) for n in listed])

# ---- the licence ------------------------------------------------------------------------
# LICENSE is the MIT licence's text: its title, the copyright line, then the
# permission notice and disclaimer, which every copy carries word for word.
licence_lines = read("LICENSE").splitlines()
if licence_lines[0] != "MIT License":
    failures.append(f"LICENSE: the first line is {licence_lines[0]!r}, not 'MIT License'")
holders = one(r"(?m)^Copyright \(c\) (.+)$", "LICENSE")
notice = "\n".join(licence_lines[4:]).strip("\n")
spdx = "MIT"


def same_text(path, truth, value):
    """A copy of a long text: told apart by its first differing line, not printed whole."""
    if value != truth:
        ours, theirs = value.splitlines(), truth.splitlines()
        at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))
        failures.append(f"{path}: the licence text differs from LICENSE's at its line {at + 1}")


for copy in ("bindings/python/LICENSE", "bindings/node/LICENSE"):
    same_text(copy, read("LICENSE"), read(copy))
# Debian's machine-readable copyright names the MIT licence "Expat".
copyright_file = read("debian/copyright")
agree("copyright", holders, "debian/copyright", one(r"(?m)^Copyright: (.+)$", "debian/copyright"))
agree("licence", "Expat", "debian/copyright", one(r"(?m)^License: (.+)$", "debian/copyright"))
deb_notice = one(r"(?ms)^License: Expat\n((?: .*\n?)+)", "debian/copyright") or ""
same_text("debian/copyright", notice,
      "\n".join("" if line == " ." else line[1:] for line in deb_notice.rstrip("\n").split("\n")))
agree("licence", spdx, "bindings/python/pyproject.toml",
      one(r'(?m)^license = \{text = "([^"]+)"\}$', "bindings/python/pyproject.toml"))
agree("licence", "License :: OSI Approved :: MIT License", "bindings/python/pyproject.toml (classifier)",
      one(r'"(License :: [^"]+)"', "bindings/python/pyproject.toml"))
agree("licence", spdx, "bindings/node/package.json", package.get("license"))
agree("licence", spdx, "bindings/node/package-lock.json (root package)", lock["packages"][""].get("license"))
agree("licence", spdx, "bindings/java/MANIFEST.MF.in", one(r"(?m)^Bundle-License: (.+)$", "bindings/java/MANIFEST.MF.in"))
agree("copyright", holders.split(" ", 1)[-1], "bindings/java/MANIFEST.MF.in",
      one(r"(?m)^Implementation-Vendor: (.+)$", "bindings/java/MANIFEST.MF.in"))

# The journal's numbers: the outcomes (codes written out), and the store changes and entry
# states (in their header's order, read as ordinals).
def number(name):
    """A number orvel_sync.h defines, a comment after it or not."""
    return int(one(rf"#define {name} +(\d+)\b", "include/orvel_sync.h") or -1)


outcomes = {n: number(f"ORVEL_SYNC_{n}") for n in ("ACCEPTED", "REJECTED", "FAILED", "UNKNOWN")}
agree("outcomes", outcomes, "enum Outcome",
      {n: int(c) for n, c in re.findall(r"(?m)^  ([A-Z_]+)\((\d+)\)[,;]", read(JAVA + "Outcome.java"))})
for enum, names in (("StoreChange", [f"STORE_{n}" for n in ("UNCHANGED", "REMOVED", "SHOWN")]),
                    ("EntryState", ["SYNCED", "UNSENT", "IN_FLIGHT", "CONFIRMING", "UNCERTAIN"])):
    by_number = sorted(names, key=lambda n: number(f"ORVEL_SYNC_{n}"))
    agree("journal numbers", [n.removeprefix("STORE_") for n in by_number], f"enum {enum}",
          re.findall(r"(?m)^  ([A-Z_]+)[,;]", read(JAVA + f"{enum}.java")))

# ---- the clients' defaults: docs/client.md's table, against each client ------------------
CLIENT_UNITS = {"s": (1, True), "min": (60, True), "MiB": (1024 * 1024, False), "": (1, False)}


def client_defaults(path):
    """docs/client.md's defaults table: option name -> (its value in seconds, bytes or a
    count, whether it is a time)."""
    table = one(r"(?ms)^\| option \| default \| meaning \|\n\|[-|]+\|\n((?:\|[^\n]*\n?)+)", path) or ""
    values = {}
    for row in table.strip().split("\n"):
        names, given = [c.strip() for c in row.strip("|").split("|")][:2]
        for name, default in zip(names.split(" / "), given.split(" / ")):
            amount, _, unit = default.partition(" ")
            factor, is_time = CLIENT_UNITS[unit]
            values[name] = (float(amount) * factor, is_time)
    return values


def camel(name):
    return re.sub(r"_(\w)", lambda m: m.group(1).upper(), name)


defaults = client_defaults("docs/client.md")
if not defaults:
    failures.append("docs/client.md: no defaults table found")
# Python: ClientOptions, in seconds and bytes.
python_options = orvel.ClientOptions()
agree("client defaults", {n: v for n, (v, _) in defaults.items()}, "orvel.ClientOptions",
      {name: None if getattr(python_options, name, None) is None else float(getattr(python_options, name))
       for name in defaults})
# Node: DEFAULTS in its source, in milliseconds and bytes, each option there and nothing else.
node_defaults_source = one(r"const DEFAULTS = Object\.freeze\(\{(.*?)\}\);", "bindings/node/lib/client/client.cjs", re.S) or ""
agree("client defaults", {camel(n): int(v * 1000 if t else v) for n, (v, t) in defaults.items()},
      "bindings/node/lib/client/client.cjs (DEFAULTS)",
      {n: int(v.replace("_", "")) for n, v in re.findall(r"(\w+): ([\d_]+),", node_defaults_source)})
# Java: ClientOptions.DEFAULT_*, Durations or products of integer literals, in seconds and bytes.
JAVA_DURATION_UNITS = {"Seconds": 1, "Minutes": 60, "Millis": 0.001}


def java_constant(text):
    duration = re.fullmatch(r"Duration\.of(\w+)\((\d+)\)", text)
    if duration:
        return int(duration[2]) * JAVA_DURATION_UNITS[duration[1]]
    factors = [f.strip() for f in text.replace("L", "").split("*")]
    if not all(f.isdigit() for f in factors):
        return None
    product = 1
    for f in factors:
        product *= int(f)
    return product


for name, (truth, _) in defaults.items():
    constant = "DEFAULT_" + name.upper()
    found = one(rf"public static final \w+ {constant} = ([^;]+);", JAVA + "ClientOptions.java")
    value = java_constant(found) if found else None
    if found and value is None:
        failures.append(f"ClientOptions.{constant}: cannot read {found!r} as a number")
    agree(f"client default {name}", truth, f"ClientOptions.{constant}", value)
# C++: ClientOptions in include/orvel/client.hpp, times in milliseconds, sizes in bytes.
def cxx_client_defaults():
    text = one(r"(?s)struct ClientOptions \{(.*?)\n\};", "include/orvel/client.hpp") or ""
    found = {n: int(v.replace("'", "")) for n, v in re.findall(r"std::chrono::milliseconds (\w+)\{([\d']+)\};", text)}
    found.update({n: int(v) for n, v in re.findall(r"int (\w+) = (\d+);", text)})
    found.update({n: int(v) << int(shift) for n, v, shift in re.findall(r"std::size_t (\w+) = (\d+)u << (\d+);", text)})
    return found


agree("client defaults", {n: int(v * 1000 if t else v) for n, (v, t) in defaults.items()},
      "include/orvel/client.hpp (ClientOptions)", cxx_client_defaults())
# The hand-out batches: docs/client.md's sizes (first and largest), against each client.
batch = re.search(r"in batches \((\d+), or\s+`max_in_flight` when that is more; each later batch of the same pass twice the last, up\s+to (\d+)\)",
                  read("docs/client.md"))
if batch is None:
    failures.append("docs/client.md: the hand-out batch sizes are not found")
else:
    sizes = (int(batch.group(1)), int(batch.group(2)))
    for path, pattern in (("bindings/python/orvel/_client.py", r"HAND_OUT, HAND_OUT_MAX = (\d+), (\d+)"),
                          ("bindings/node/lib/client/client.cjs", r"const HAND_OUT = (\d+);\nconst HAND_OUT_MAX = (\d+);"),
                          (JAVA + "WishlistClient.java", r"static final int HAND_OUT = (\d+);\n  static final int HAND_OUT_MAX = (\d+);"),
                          ("client/client.cpp", r"constexpr int kHandOut = (\d+);\nconstexpr int kHandOutMax = (\d+);")):
        found = one(pattern, path)
        agree("hand-out batch sizes", sizes, path, tuple(int(n) for n in found) if found else None)
# ---- end of the clients' defaults ---------------------------------------------------------


# ---- the licence in every source file ----------------------------------------------------
# Each source file names its licence in its first lines: code, scripts, build files, the
# linker's version scripts and the manual pages (data, documentation and the Debian
# package's own files are not source files).
SOURCE_ENDINGS = (".c", ".h", ".cpp", ".hpp", ".java", ".mjs", ".cjs", ".js", ".ts", ".mts", ".cts", ".py",
                  ".sh", ".cmake", ".toml", ".map", ".3", ".cmake.in", ".pc.in", ".py.in")


def is_source(path):
    name = path.rsplit("/", 1)[-1]
    if "/node_modules/" in path or path.startswith("fuzz/corpus/"):
        return False
    if name == "CMakeLists.txt" or name.endswith(SOURCE_ENDINGS):
        return True
    full = ROOT / path
    if full.is_symlink() or not full.is_file():
        return False
    with open(full, "rb") as f:
        first = f.readline()
    return first.startswith(b"#!")


listed = subprocess.run([sys.executable, str(ROOT / "scripts" / "source-files"), str(ROOT)], check=True,
                        capture_output=True).stdout.decode().split("\0")
unlicensed = [p for p in listed if p and is_source(p) and (ROOT / p).is_file()
              and f"SPDX-License-Identifier: {spdx}" not in "".join(read(p).splitlines(True)[:3])]
if unlicensed:
    failures.append(f"no 'SPDX-License-Identifier: {spdx}' in the first lines of: {', '.join(sorted(unlicensed)[:20])}"
                    + (" ..." if len(unlicensed) > 20 else ""))

if failures:
    print("facts that disagree with their source:")
    for f in failures:
        print("  " + f)
    sys.exit(1)
print(f"facts agree: version {version} (interface {abi}), liborvel-sync {sync_version} (interface {sync_abi}), "
      f"kinds {', '.join(kinds)}, {len(messages)} error texts, {len(reasons)} journal reasons, licence {spdx}")
