#!/usr/bin/env python3
"""Checks that every source folder includes only the layers below it.

The folders are layers, lowest first (docs/ARCHITECTURE.md draws them):

    runtime  core  text  memory  values  datatypes  lexer  evaluator  parse
    services  natives  (library console gui)

A file may include headers of its own folder and of any folder below it;
library/, console/ and gui/ form the top layer together and may include
each other.
An include that runs upward is an error unless tools/layer_exceptions.txt
lists it; that list holds the hooks set at start-up and the few documented
arrows, and it may only shrink: an entry no include needs any more is an
error too, so the list stays true.

Usage: tools/check_layers.py [--root DIR] [--list]
  --list  print every upward include (exceptions included) and stop
Exit status 0 when the layers hold, 1 otherwise.
"""
import argparse
import fnmatch
import os
import re
import sys

LAYERS = [
    ["runtime"], ["core"], ["text"], ["memory"], ["values"], ["datatypes"], ["lexer"],
    ["evaluator"], ["parse"], ["services"], ["natives"], ["library", "console", "gui"],
]
RANK = {name: i for i, group in enumerate(LAYERS) for name in group}
SOURCE_ENDINGS = (".h", ".cpp", ".inc", ".def")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def upward_includes(root):
    """Yields (file, header) for every include of a higher layer."""
    for layer in RANK:
        top = os.path.join(root, layer)
        for folder, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for line in f:
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        header = m.group(1)
                        target = header.split("/", 1)[0]
                        if target in RANK and RANK[target] > RANK[layer]:
                            yield rel, header


def read_exceptions(path):
    """The exception list: `file-pattern -> header-pattern  # why` lines."""
    entries = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            if "->" not in text:
                sys.exit(f"{path}:{number}: expected 'files -> header'")
            source, header = (part.strip() for part in text.split("->", 1))
            entries.append((number, source, header))
    return entries


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    found = sorted(set(upward_includes(root)))
    if args.list:
        for source, header in found:
            print(f"{source} -> {header}")
        print(f"{len(found)} upward includes")
        return 0
    exceptions_path = os.path.join(root, "tools", "layer_exceptions.txt")
    exceptions = read_exceptions(exceptions_path)
    used = set()
    failures = []
    for source, header in found:
        for number, src_pat, hdr_pat in exceptions:
            if fnmatch.fnmatch(source, src_pat) and fnmatch.fnmatch(header, hdr_pat):
                used.add(number)
                break
        else:
            failures.append(f"{source}: includes {header}, a higher layer")
    for number, src_pat, hdr_pat in exceptions:
        if number not in used:
            failures.append(f"{exceptions_path}:{number}: '{src_pat} -> {hdr_pat}' "
                            "is no longer needed: remove it")
    for failure in failures:
        print(failure)
    if failures:
        print(f"layers: {len(failures)} problem(s); the layers, lowest first: " +
              " ".join("/".join(group) for group in LAYERS))
        return 1
    print(f"layers hold ({len(found)} upward includes, all through "
          f"{len(exceptions)} listed exceptions)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
