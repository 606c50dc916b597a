#!/usr/bin/env python3
"""Prints the size of the tests against the size of the code they test.

Counts the non-blank, non-comment lines of the C, C++ and Python files that
git tracks (.c .cc .cpp .h .hpp .py .pyi). Tools around the code are not
counted: fuzz/, bench/, examples/, scripts/, docs/, .ci/. Test code is
everything under tests/; code is everything else counted (the two libraries,
the bridge, the modules and the Python package).

Usage: test-ratio.py [--max RATIO]   (exit status 1 when above RATIO)
"""
import argparse
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp", ".py", ".pyi"}
NOT_COUNTED = ("fuzz/", "bench/", "examples/", "scripts/", "docs/", ".ci/")


def c_lines(text):
    """Lines of C or C++ holding something other than comments."""
    count, in_block = 0, False
    for line in text.splitlines():
        rest, code = line.strip(), False
        while rest:
            if in_block:
                end = rest.find("*/")
                if end < 0:
                    rest = ""
                else:
                    in_block, rest = False, rest[end + 2:].strip()
            elif rest.startswith("//"):
                rest = ""
            elif rest.startswith("/*"):
                in_block, rest = True, rest[2:]
            else:
                # Code on this line; a comment opened after it may run on.
                code = True
                start = rest.find("/*")
                if start < 0 or rest.find("*/", start + 2) >= 0:
                    rest = ""
                else:
                    in_block, rest = True, ""
        count += code
    return count


def py_lines(text):
    return sum(1 for line in text.splitlines() if line.strip() and not line.strip().startswith("#"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max", type=float)
    args = parser.parse_args()
    files = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True,
                           text=True).stdout.splitlines()
    tests = code = 0
    for name in files:
        path = ROOT / name
        if path.suffix not in SUFFIXES or name.startswith(NOT_COUNTED) or not path.is_file():
            continue
        text = path.read_text(encoding="utf-8", errors="replace")
        lines = py_lines(text) if path.suffix in (".py", ".pyi") else c_lines(text)
        if name.startswith("tests/"):
            tests += lines
        else:
            code += lines
    ratio = tests / code
    print(f"test code / code: {tests} / {code} lines = {ratio:.3f}")
    if args.max is not None and ratio > args.max:
        print(f"above {args.max}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
