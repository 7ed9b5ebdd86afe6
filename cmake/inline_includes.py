"""Writes the module's Cython source as one file: every include statement
replaced by the text of the file it names, recursively, and the code moved
to start at line FIRST_LINE, after the leading comments (the directives).
Usage: inline_includes.py SOURCE OUTPUT

Cython keys the module's traceback entries by line number alone, whatever
the file, so each line number may fail in one function only: a single
source has that, and its code starts above the lines of Cython's own
utility code (buffer and string conversions), which shares the key.
"""

import pathlib
import re
import sys

FIRST_LINE = 10001
INCLUDE = re.compile(r'^(?P<indent>[ \t]*)include\s+"(?P<name>[^"]+)"[ \t]*$')


def inlined(path):
    lines = []
    for line in path.read_text(encoding="utf-8").splitlines():
        match = INCLUDE.match(line)
        if match is None:
            lines.append(line)
        else:
            indent = match["indent"]
            lines.extend(indent + text if text else text for text in inlined(path.parent / match["name"]))
    return lines


def moved_up(lines):
    comments = 0
    while comments < len(lines) and lines[comments].startswith("#"):
        comments += 1
    return lines[:comments] + [""] * (FIRST_LINE - 1 - comments) + lines[comments:]


if __name__ == "__main__":
    source, output = sys.argv[1:]
    text = "\n".join(moved_up(inlined(pathlib.Path(source)))) + "\n"
    pathlib.Path(output).write_text(text, encoding="utf-8")
