#!/usr/bin/env python3
"""Marks what the installed headers declare for export from the shared library.

The library is built with hidden visibility; ZQ_API (core/zqApi.h) makes a declaration visible.
This script puts it on every namespace-scope class and struct definition, every namespace-scope
function declaration and every extern variable of the library's headers, and includes
core/zqApi.h where it is used. Templates, inline definitions, forward declarations, enums and
aliases stay as they are: they need no export. Run it after adding declarations; it changes
nothing twice.

  tools/annotate-exports.py          annotate in place
  tools/annotate-exports.py --check  list what lacks ZQ_API and fail when anything does
"""
import pathlib
import re
import sys

LIBRARY_DIRS = ["core", "platform", "codec", "http", "net", "tls", "html"]
API_HEADER = "core/zqApi.h"
INCLUDE = '#include "%s"' % API_HEADER

CLASS = re.compile(r"^(class|struct) (?!ZQ_API\b)([A-Za-z_]\w*)\b(?!\s*;)")
SKIPPED_STARTS = ("class", "struct", "enum", "using", "namespace", "template", "typedef", "constexpr",
                  "inline", "static", "friend", "#", "//", "/*", "*", "}", "{", "public", "private",
                  "protected", "ZQ_API", "extern \"C\"")
ATTRIBUTE = re.compile(r"^((?:\[\[[^\]]*\]\]\s*)*)")
TERMINATED = re.compile(r"[;{]\s*(//.*)?$")


def statements(lines):
    """Yields (first line, last line, joined text) of each column-0 statement."""
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line or line[0].isspace():
            i += 1
            continue
        start, text = i, line
        # Comments, directives and access labels stand alone; a declaration runs to its ; or {.
        alone = line.startswith(("//", "/*", "*", "#")) or re.match(r"^(public|private|protected):", line)
        while not alone and not TERMINATED.search(text) and i + 1 < len(lines):
            i += 1
            text += " " + lines[i].strip()
        yield start, i, text
        i += 1


def annotate(lines):
    """Returns the lines with ZQ_API added, and the descriptions of what was added."""
    added = []
    out = list(lines)
    for index, last, text in statements(lines):
        line = out[index]
        body = text.split("//")[0].rstrip()
        match = CLASS.match(line)
        if match and body.endswith("{"):
            out[index] = "%s ZQ_API %s" % (match.group(1), line[len(match.group(1)) + 1:])
            added.append("%s %s" % (match.group(1), match.group(2)))
            continue
        if text.startswith("extern ") and not text.startswith('extern "C"') and "ZQ_API" not in text:
            out[index] = "extern ZQ_API " + line[len("extern "):]
            added.append(text.split("//")[0].strip())
            continue
        if text.startswith(SKIPPED_STARTS) or "(" not in text:
            continue
        if not body.endswith(";") or "ZQ_API" in body or "=" in body.split("(")[0]:
            continue
        attributes = ATTRIBUTE.match(line).group(1)
        out[index] = attributes + "ZQ_API " + line[len(attributes):]
        # Arguments aligned under the opening parenthesis move with it.
        column = line.find("(") + 1
        for follower in range(index + 1, last + 1):
            if len(out[follower]) - len(out[follower].lstrip(" ")) == column:
                out[follower] = " " * len("ZQ_API ") + out[follower]
        added.append(body)
    return out, added


def with_include(lines):
    if INCLUDE in lines:
        return lines
    includes = [i for i, line in enumerate(lines) if line.startswith('#include "')]
    if includes:
        # Keep the block of project includes sorted.
        for i in includes:
            if lines[i] > INCLUDE:
                return lines[:i] + [INCLUDE] + lines[i:]
        return lines[: includes[-1] + 1] + [INCLUDE] + lines[includes[-1] + 1 :]
    system = [i for i, line in enumerate(lines) if line.startswith("#include <")]
    if system:
        return lines[: system[-1] + 1] + ["", INCLUDE] + lines[system[-1] + 1 :]
    namespace = next(i for i, line in enumerate(lines) if line.startswith("namespace"))
    return lines[:namespace] + [INCLUDE, ""] + lines[namespace:]


def main():
    check = "--check" in sys.argv[1:]
    top = pathlib.Path(__file__).resolve().parent.parent
    missing = 0
    for directory in LIBRARY_DIRS:
        for header in sorted((top / directory).glob("*.h")):
            if header.relative_to(top).as_posix() == API_HEADER:
                continue
            original = header.read_text().split("\n")
            lines, added = annotate(original)
            if not added and (INCLUDE in original or not any("ZQ_API" in line for line in original)):
                continue
            name = header.relative_to(top).as_posix()
            if check:
                for what in added:
                    print("%s: not exported: %s" % (name, what))
                missing += len(added)
                if any("ZQ_API" in line for line in original) and INCLUDE not in original:
                    print("%s: uses ZQ_API without including %s" % (name, API_HEADER))
                    missing += 1
                continue
            header.write_text("\n".join(with_include(lines)))
            print("%s: %d exported" % (name, len(added)))
    if check and missing:
        print("%d declarations lack ZQ_API; run tools/annotate-exports.py" % missing)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
