#!/usr/bin/env python3
"""Fails when an object file of a runtime layer links to a function or
variable defined in a layer above it that runtime/eval.h does not declare.

tests/layers.sh checks the includes; this checks what the includes cannot
show: a declaration written in a lower layer's own header (or in the .cpp
itself) for something that a layer above defines. The one way up is eval.h.

Usage: layer_links.py <runtime directory> <object file>...
The objects are the runtime library's, at paths that mirror the sources
(.../runtime/datatypes/block.cpp.o).
"""
import re
import subprocess
import sys

# The layers, bottom up, as tests/layers.sh numbers them.
STARTUP = {"main", "startup", "runtime_init", "boot", "library", "library_routines", "system_routines"}


def rank(obj):
    rel = obj.split("/runtime/", 1)[1]
    if rel.startswith("platform/"):
        return 0
    for prefix, r in (("datatypes/", 1), ("io/", 2), ("evaluator/", 3)):
        if rel.startswith(prefix):
            return r
    return 4 if rel.split(".", 1)[0] in STARTUP else 0


def symbols(objs, defined):
    """{object: [symbol]}: the global symbols each object defines (code or
    data), or those it leaves undefined."""
    args = ["nm", "-A", "-C", "-g", "--defined-only" if defined else "--undefined-only"] + objs
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    found = {o: [] for o in objs}
    for line in out.splitlines():
        obj, _, rest = line.partition(":")
        parts = rest.split(None, 2) if defined else rest.split(None, 1)
        if defined and len(parts) == 3 and parts[1] in "TDBR":
            found[obj].append(parts[2])
        elif not defined and len(parts) == 2 and parts[0] == "U":
            found[obj].append(parts[1])
    return found


def declared_up(eval_h):
    """The qualified names eval.h declares (namespace::name)."""
    names, ns = set(), None
    for line in open(eval_h, encoding="utf-8"):
        m = re.match(r"namespace ([\w:]+) \{", line)
        if m:
            ns = m.group(1)
            continue
        if line.startswith("}"):
            ns = None
            continue
        if ns is None or line.lstrip().startswith("//"):
            continue
        m = re.match(r"\s*(?:extern |may_gc |inline )*[\w:<>*& ]+?[\s*&](\w+)\s*[(;]", line)
        if m:
            names.add(ns + "::" + m.group(1))
    return names


def main():
    runtime, objs = sys.argv[1], [o for o in sys.argv[2:] if "/runtime/" in o]
    if len(objs) < 20 or not {0, 1, 2, 3} <= {rank(o) for o in objs}:
        print("layer_links: the runtime's object files were not found among the arguments")
        return 2
    allowed = declared_up(runtime + "/eval.h")
    if not allowed:
        print("layer_links: no declarations read from eval.h")
        return 2
    defined_at = {}
    for o, names in symbols(objs, True).items():
        for s in names:
            defined_at.setdefault(s, rank(o))
    fail = 0
    through_eval_h = 0
    undefined = symbols(objs, False)
    for o in sorted(objs):
        for s in undefined[o]:
            r = defined_at.get(s)
            if r is None or r <= rank(o):
                continue
            if s.split("(", 1)[0] in allowed:
                through_eval_h += 1
                continue
            rel = o.split("/runtime/", 1)[1].removesuffix(".o")
            print(f"layers: {rel} uses {s}, defined a layer above and not declared in eval.h")
            fail = 1
    if not through_eval_h:
        # The layers below do use eval.h: finding no use means the symbol
        # tables were misread, not that all is well.
        print("layer_links: no use of eval.h found in the symbol tables")
        return 2
    if not fail:
        print(f"layer_links: every use of a layer above goes through eval.h ({through_eval_h} uses)")
    return fail


if __name__ == "__main__":
    sys.exit(main())
