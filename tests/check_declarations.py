#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Each binding declares every C function of the public headers as the
headers do: the same functions, the same number of arguments, and argument
and result types that pass the same values (a wrong integer width, a missing
argument or a text result that would lose its pointer fail here instead of at
run time); and every struct the headers declare with the same members, in
order, of the same types.

  check_declarations.py SOURCE_DIR [NODE]     (without NODE, the Node package is not read)

The headers are read with a real C parser (pycparser, after the C
preprocessor). The bindings' declarations are read from where each binding
keeps them: the Python package's ctypes tables (_SIGNATURES, _SYNC_SIGNATURES,
STRUCTS), the Node package's C prototypes (PROTOTYPES, SYNC_PROTOTYPES, parsed
with the same parser) and members (SYNC_STRUCTS), and the Java JNI shims,
which the C compiler already checks against the headers: there, every
function must be called and every struct member read.
"""

import ctypes
import importlib
import json
import re
import subprocess
import sys
from pathlib import Path

from pycparser import c_ast, c_parser

ROOT = Path(sys.argv[1]).resolve()
NODE = sys.argv[2] if len(sys.argv) > 2 else None
PRELUDE = """
typedef int int32_t; typedef long long int64_t; typedef unsigned long size_t; typedef unsigned int uint32_t;
typedef unsigned char uint8_t; typedef char *OrvelText; typedef char *OrvelSyncText;
"""
failures = []


def preprocess(text):
    """The text without its includes, macros expanded."""
    text = re.sub(r"(?m)^#include .*$", "", text)
    done = subprocess.run(["cpp", "-P", "-DORVEL_API=", "-DORVEL_SYNC_API="], input=text,
                          capture_output=True, text=True, check=True)
    return done.stdout


def c_type(node):
    """A declared type as a small tuple: ('int', name) or ('ptr', const, inner) or ('void',)."""
    if isinstance(node, c_ast.PtrDecl):
        inner = node.type
        const = isinstance(inner, c_ast.TypeDecl) and "const" in inner.quals
        return ("ptr", const, c_type(inner))
    if isinstance(node, c_ast.TypeDecl):
        node = node.type
    if isinstance(node, c_ast.IdentifierType):
        name = " ".join(node.names)
        return ("void",) if name == "void" else ("int", name)
    if isinstance(node, c_ast.Struct):
        return ("struct", node.name)
    raise ValueError(f"unexpected type {node}")


def functions(text, prelude=""):
    """name -> (result, [arguments]) of every function declared in text."""
    ast = c_parser.CParser().parse(PRELUDE + prelude + preprocess(text))
    typedefs = {}
    out = {}
    for decl in ast.ext:
        if isinstance(decl, c_ast.Typedef):
            typedefs[decl.name] = decl.type
        elif isinstance(decl, c_ast.Decl) and isinstance(decl.type, c_ast.FuncDecl):
            func = decl.type
            params = [p for p in (func.args.params if func.args else [])
                      if not (isinstance(p.type, c_ast.TypeDecl) and getattr(p.type.type, "names", None) == ["void"])]
            out[decl.name] = (resolve(c_type(func.type), typedefs), [resolve(c_type(p.type), typedefs) for p in params])
    return out


def resolve(t, typedefs):
    """Opaque handles (typedefs of structs) and texts made plain."""
    if t[0] == "ptr":
        return ("ptr", t[1], resolve(t[2], typedefs))
    if t[0] == "int" and t[1] in typedefs and t[1] not in ("int32_t", "int64_t", "size_t", "uint8_t", "uint32_t"):
        target = typedefs[t[1]]
        if isinstance(target, c_ast.PtrDecl):  # OrvelText: a returned text
            return resolve(c_type(target), typedefs)
        return ("struct", t[1])
    return t


def describe(t):
    if t[0] == "ptr":
        return ("const " if t[1] else "") + describe(t[2]) + " *"
    return t[1] if t[0] in ("int", "struct") else t[0]


def is_byte(t):
    return t[0] == "int" and t[1] in ("char", "uint8_t")


def is_handle(t):
    """An opaque object's type: void, or a struct the headers never lay out."""
    return t[0] == "void" or (t[0] == "struct" and t[1] not in header_structs)


def same_value(header, binding, result):
    """Whether binding's type passes the values header's does."""
    if header[0] == "ptr":
        if binding[0] != "ptr":
            return False
        inner_h, inner_b = header[2], binding[2]
        if is_byte(inner_h) and result and not header[1]:
            # A text the caller must release: nothing but a plain pointer keeps its address.
            return inner_b == ("void",) or is_byte(inner_b)
        if is_byte(inner_h):
            return is_byte(inner_b) or inner_b == ("void",)
        if inner_h[0] == "ptr" and is_handle(inner_h[2]):
            return inner_b[0] == "ptr" and is_handle(inner_b[2])  # where a handle is written back
        if inner_h[0] == "struct" and inner_h[1] in header_structs:
            return inner_b == inner_h  # a struct the binding lays out itself: that one
        if inner_h[0] in ("struct", "void"):
            return inner_b[0] in ("struct", "void")  # an opaque handle
        return inner_b == inner_h  # int64_t * and the like: the same width
    return header == binding


def compare(binding, table, header_funcs):
    for name, (h_result, h_args) in header_funcs.items():
        if name not in table:
            failures.append(f"{binding}: {name} is not declared")
            continue
        b_result, b_args = table[name]
        if not same_value(h_result, b_result, True):
            failures.append(f"{binding}: {name} returns {describe(b_result)}, the header {describe(h_result)}")
        if len(b_args) != len(h_args):
            failures.append(f"{binding}: {name} takes {len(b_args)} arguments, the header {len(h_args)}")
            continue
        for i, (h, b) in enumerate(zip(h_args, b_args)):
            if not same_value(h, b, False):
                failures.append(f"{binding}: {name} argument {i + 1} is {describe(b)}, the header's {describe(h)}")
    for name in table:
        if name not in header_funcs:
            failures.append(f"{binding}: declares {name}, which the header does not")


def structs(text):
    """name -> [(member, type)] of every struct the text declares with its members."""
    ast = c_parser.CParser().parse(PRELUDE + preprocess(text))
    out = {}
    for decl in ast.ext:
        target = getattr(getattr(decl, "type", None), "type", None)
        if isinstance(decl, c_ast.Typedef) and isinstance(target, c_ast.Struct) and target.decls:
            out[decl.name] = [(member.name, c_type(member.type)) for member in target.decls]
    return out


def compare_structs(binding, table):
    for name, members in header_structs.items():
        if name not in table:
            failures.append(f"{binding}: struct {name} is not declared")
        elif table[name] != members:
            failures.append(f"{binding}: struct {name} has members {table[name]}, the header {members}")


# ---- the headers -------------------------------------------------------------------------
core_h = (ROOT / "include/orvel.h").read_text()
sync_h = (ROOT / "include/orvel_sync.h").read_text()
core = functions(core_h)
sync = {k: v for k, v in functions(core_h + sync_h).items() if k not in core}
header_structs = structs(core_h + sync_h)

# ---- Python: ctypes tables -------------------------------------------------------------
CTYPES = {
    ctypes.c_int32: ("int", "int32_t"), ctypes.c_int64: ("int", "int64_t"), ctypes.c_size_t: ("int", "size_t"),
    ctypes.c_uint32: ("int", "uint32_t"),
    ctypes.c_char_p: ("ptr", True, ("int", "char")), ctypes.c_void_p: ("ptr", False, ("void",)), None: ("void",),
}


def from_ctypes(t):
    if t in CTYPES:
        return CTYPES[t]
    for name, struct in getattr(library, "STRUCTS", {}).items():
        if t is struct:
            return ("struct", name)
    if hasattr(t, "_type_") and issubclass(t, ctypes._Pointer):
        return ("ptr", False, from_ctypes(t._type_))
    raise ValueError(f"unknown ctypes type {t}")


sys.path.insert(0, str(ROOT / "bindings/python"))
library = importlib.import_module("orvel._library")
for attr, header_funcs in (("_SIGNATURES", core), ("_SYNC_SIGNATURES", sync)):
    table = getattr(library, attr, None)
    if table is None:
        failures.append(f"Python: orvel._library has no {attr}")
        continue
    compare(f"Python {attr}", {n: (from_ctypes(r), [from_ctypes(a) for a in args]) for n, (r, args) in table.items()},
            header_funcs)
compare_structs("Python STRUCTS", {name: [(member, from_ctypes(t)) for member, t in struct._fields_]
                                   for name, struct in getattr(library, "STRUCTS", {}).items()})

# ---- Node: C prototypes ---------------------------------------------------------------------
# (Read where its dependencies are installed: a package build has none.)
if NODE:
    script = ("const l = require(process.argv[1]);"
              "process.stdout.write(JSON.stringify({core: l.PROTOTYPES, sync: l.SYNC_PROTOTYPES, structs: l.SYNC_STRUCTS}));")
    done = subprocess.run([NODE, "-e", script, str(ROOT / "bindings/node/lib/library.cjs")], capture_output=True, text=True)
    if done.returncode != 0:
        failures.append(f"Node: cannot read lib/library.cjs: {done.stderr.strip()}")
    else:
        tables = json.loads(done.stdout)
        for key, header_funcs in (("core", core), ("sync", sync)):
            if not tables.get(key):
                failures.append(f"Node: lib/library.cjs exports no {'PROTOTYPES' if key == 'core' else 'SYNC_PROTOTYPES'}")
                continue
            handles = ("typedef struct orvel_store orvel_store; typedef struct orvel_journal orvel_journal;\n" +
                       "".join(f"typedef struct {name} {name};\n" for name in header_structs))
            compare(f"Node {key} prototypes", functions(";\n".join(tables[key].values()) + ";", handles), header_funcs)
        compare_structs("Node SYNC_STRUCTS", {name: [(member, ("int", t)) for member, t in members.items()]
                                              for name, members in (tables.get("structs") or {}).items()})

# ---- Java: the JNI shims call every function -------------------------------------------------
shims = "".join(p.read_text() for p in sorted((ROOT / "bindings/java/src/main/c").glob("*.c")))
called = set(re.findall(r"\b(orvel_[a-z_]+)\s*\(", shims))
for name in list(core) + list(sync):
    if name not in called:
        failures.append(f"Java: no JNI shim calls {name}")
for name, members in header_structs.items():
    for member, _ in members:
        if not re.search(rf"(\.|->){member}\b", shims):
            failures.append(f"Java: no JNI shim reads {name}'s member {member}")

if failures:
    print("bindings that declare the C functions otherwise than the headers:")
    for f in failures:
        print("  " + f)
    sys.exit(1)
print(f"the {'Python, Node and Java' if NODE else 'Python and Java'} bindings declare the {len(core)} functions of orvel.h and the "
      f"{len(sync)} of orvel_sync.h, and the headers' structs ({', '.join(header_structs)}), as the headers do")
