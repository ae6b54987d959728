#!/usr/bin/env python3
"""Every declaration that depends on the test seams (each `#if QL_TEST_SEAMS`
in a header) lies inside `inline namespace QL_SEAM_VARIANT`, so that the
shipped and the test variant of a type or function never share a name
(see common/test_seams.h). Prints each offending place; exit 1 if any.

    seam_variants_check.py SOURCE_DIR
"""
import pathlib
import re
import sys

OPEN = re.compile(r"^\s*inline\s+namespace\s+QL_SEAM_VARIANT\s*\{")
CLOSE = re.compile(r"^\s*\}\s*//\s*namespace\s+QL_SEAM_VARIANT\b")
SEAM_TEST = re.compile(r"^\s*#\s*(el)?if\b.*\bQL_TEST_SEAMS\b")
SKIP = {"build", ".git", "out"}


def offences(path):
    inside = False
    for n, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        if OPEN.match(line):
            inside = True
        elif CLOSE.match(line):
            inside = False
        elif SEAM_TEST.match(line) and not inside:
            yield n, line.strip()


def main(root):
    root = pathlib.Path(root)
    bad = 0
    rooms = [d for d in root.iterdir() if d.is_dir() and d.name not in SKIP and not d.name.startswith("build")]
    for path in sorted(p for d in rooms for p in d.rglob("*.h")):
        rel = path.relative_to(root)
        if rel == pathlib.Path("common/test_seams.h"):
            continue
        for n, line in offences(path):
            print(f"{rel}:{n}: '{line}' outside inline namespace QL_SEAM_VARIANT")
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
