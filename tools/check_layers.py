#!/usr/bin/env python3
"""Fails when a library file includes a header of a layer above its own.

The layers and what lies below each come from cmake/ZqLayers.txt. A file in folder F may
include "F/..." and "G/..." for every G below F (directly or through other layers).

    check_layers.py [SOURCE-ROOT]
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([a-z]+)/[^"]*"', re.MULTILINE)


def read_layers(root):
    """Folder -> the folders directly below it, in file order."""
    layers = {}
    for line in (root / "cmake" / "ZqLayers.txt").read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        folder, _, below = line.partition(":")
        layers[folder.strip()] = below.split()
    return layers


def allowed_below(layers):
    """Folder -> every folder it may include; a cycle in the table is an error."""
    allowed = {}

    def visit(folder, path):
        if folder in path:
            raise SystemExit("layer cycle: " + " -> ".join(path + [folder]))
        if folder not in allowed:
            reach = {folder}
            for lower in layers.get(folder, []):
                if lower not in layers:
                    raise SystemExit(f"layer {folder} names an unknown layer {lower}")
                reach |= visit(lower, path + [folder])
            allowed[folder] = reach
        return allowed[folder]

    for folder in layers:
        visit(folder, [])
    return allowed


def violations(root, layers):
    allowed = allowed_below(layers)
    for folder in layers:
        for path in sorted((root / folder).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            text = path.read_text(errors="replace")
            for match in INCLUDE.finditer(text):
                target = match.group(1)
                if target in layers and target not in allowed[folder]:
                    line = text.count("\n", 0, match.start()) + 1
                    yield f"{path.relative_to(root)}:{line}: {folder}/ may not include {target}/ (a layer above it)"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    found = list(violations(root, read_layers(root)))
    for message in found:
        print(message)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
