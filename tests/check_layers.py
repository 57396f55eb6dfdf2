#!/usr/bin/env python3
"""Checks every #include of the sources against the layer order

    platform -> message -> transport -> delivery -> engine -> shell

(a file may include its own layer and the layers before it), that quoted
includes are rooted at the source top, and that no layer below the shell
reaches for Qt. The program's entries at the top level may include every
layer; tests and benchmarks may include the layer they exercise, the layers
below it and the shared test support, and benchmarks their own shared parts. Prints one line per offence and exits
1 when there is any.
"""

import pathlib
import re
import sys

LAYERS = ["platform", "message", "transport", "delivery", "engine", "shell"]
TOP = len(LAYERS)
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(path: pathlib.Path, root: pathlib.Path):
    """The highest layer a file may include, and whether it may use Qt."""
    parts = path.relative_to(root).parts
    if len(parts) == 1:
        return TOP, True  # main.cpp, check_main.cpp
    head = parts[0]
    if head in LAYERS:
        index = LAYERS.index(head)
        return index, head == "shell"
    if head == "tests" and len(parts) > 2 and parts[1] in LAYERS:
        index = LAYERS.index(parts[1])
        return index, parts[1] == "shell"
    if head == "tests":
        return LAYERS.index("engine"), False  # the shared support serves every layer
    if head == "bench":
        return LAYERS.index("engine"), False
    return None, False


def check(root: pathlib.Path):
    offences = []
    for path in sorted(root.rglob("*")):
        rel = path.relative_to(root)
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        if rel.parts[0].startswith("build") or rel.parts[0].startswith("."):
            continue
        limit, qt_allowed = layer_of(path, root)
        if limit is None:
            continue
        in_tests = rel.parts[0] in ("tests", "bench")
        for number, line in enumerate(path.read_text(encoding="latin-1").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            kind, name = match.groups()
            where = f"{rel}:{number}: {name}"
            if kind == "<":
                if not qt_allowed and re.match(r"Q[A-Za-z]", name):
                    offences.append(f"{where}: Qt below the shell")
                continue
            first = name.split("/")[0]
            if "/" not in name:
                offences.append(f"{where}: not rooted at the source top")
            elif first == "tests":
                if not in_tests:
                    offences.append(f"{where}: test code in the program")
            elif first == "bench":
                if rel.parts[0] != "bench":
                    offences.append(f"{where}: benchmark code outside the benchmarks")
            elif first not in LAYERS:
                offences.append(f"{where}: not a layer")
            elif LAYERS.index(first) > limit:
                offences.append(f"{where}: {first} is above this file's layer")
    return offences


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    offences = check(root)
    for offence in offences:
        print(offence)
    return 1 if offences else 0


if __name__ == "__main__":
    sys.exit(main())
