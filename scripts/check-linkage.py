#!/usr/bin/env python3
"""Checks the file structure of the libraries and the extension modules from
their object files, as nm sees them.

1. Every function or variable with external linkage is used by another file
   (another object file of the project, tests included), unless a public
   header under */include/ declares it or it is a module's init function.
   Anything used only where it is defined belongs in an anonymous namespace.
   Members of classes are left out: a class is used wherever its members
   are, and its private members cannot be hidden in a file.
2. No file calls back into a file that calls it: in the graph "A uses a
   symbol defined in B" no two object files reach each other.

Weak definitions (inline functions and templates that headers share) are
left out of both: they are defined in every file that uses them.

Usage: check-linkage.py BUILD_DIR   (a CMake build with QEL_BUILD_MODULE=ON
and QEL_BUILD_TESTS=ON). Exit status 1 lists what fails.
"""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The targets whose files are checked; test objects only count as users.
CHECKED_TARGETS = ("qel", "qelt", "qelt_bridge", "_qeltypes", "_codec")
USER_TARGETS = ("qel_tests", "qelt_tests", "bridge_tests")
STRONG = set("TDBRG")  # text, data, bss, read-only, small data


def objects(build, target):
    found = build.glob(f"**/CMakeFiles/{target}.dir/**/*.o")
    # Objects of sources that are gone stay in the build folder; a Ninja
    # build names the current ones.
    ninja = build / "build.ninja"
    if ninja.exists():
        current = set(re.findall(r"^build (\S+\.o):", ninja.read_text(), re.M))
        found = [o for o in found if str(o.relative_to(build)) in current]
    return sorted(found)


def symbols(obj):
    """(defined strong globals, undefined references) of one object file."""
    out = subprocess.run(["nm", "-P", str(obj)], check=True, capture_output=True, text=True).stdout
    defined, used = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) < 2:
            continue
        name, kind = parts[0], parts[1]
        if kind == "U":
            used.add(name)
        elif kind in STRONG:
            defined.add(name)
    return defined, used


def demangled(names):
    out = subprocess.run(["c++filt"], input="\n".join(names), check=True, capture_output=True,
                         text=True).stdout.splitlines()
    return dict(zip(names, out))


def is_member(pretty):
    """Whether a demangled name is a member of a class (the project names
    classes in CamelCase and namespaces in lower case): a class's members
    are used wherever the class is, whatever file calls each of them."""
    scope = pretty.split("(")[0].rsplit("::", 1)
    return len(scope) == 2 and scope[0].rsplit("::", 1)[-1][:1].isupper()


def public_names():
    names = set()
    for header in ROOT.glob("*/include/**/*.h"):
        names |= set(re.findall(r"\b[A-Za-z_]\w*\b", header.read_text()))
    return names


def short(obj, build):
    # .../CMakeFiles/<target>.dir/<source path>.o -> <source path>
    text = str(obj.relative_to(build))
    return re.sub(r"^.*CMakeFiles/[^/]+\.dir/", "", text)[: -len(".o")]


def cycles(graph):
    """The strongly connected components with more than one file (Tarjan)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on_stack.add(v)
        for w in graph[v]:
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = pathlib.Path(sys.argv[1]).resolve()
    checked = [o for t in CHECKED_TARGETS for o in objects(build, t)]
    users = [o for t in USER_TARGETS for o in objects(build, t)]
    if not any("_qeltypes.dir" in str(o) for o in checked):
        sys.exit(f"{build}: no module objects; configure with -DQEL_BUILD_MODULE=ON and build")

    table = {o: symbols(o) for o in checked + users}
    definer = {}
    for o in checked:
        for name in table[o][0]:
            definer[name] = o
    public = public_names()

    pretty = demangled(sorted(definer))
    lonely = []
    for o in checked:
        for name in sorted(table[o][0]):
            if name in public or name.startswith("PyInit_") or is_member(pretty[name]):
                continue
            if not any(name in table[u][1] for u in checked + users if u != o):
                lonely.append(f"{short(o, build)}: {pretty[name]}")

    graph = {o: set() for o in checked}
    for o in checked:
        for name in table[o][1]:
            target = definer.get(name)
            if target is not None and target != o:
                graph[o].add(target)
    loops = cycles(graph)

    edges = sum(len(v) for v in graph.values())
    print(f"linkage: {len(checked)} files, {len(definer)} external definitions, {edges} file dependencies")
    for line in lonely:
        print(f"  external but used by no other file: {line}")
    for loop in loops:
        print("  files that use each other: " + ", ".join(short(o, build) for o in loop))
    print(f"linkage: {len(lonely)} external definitions used by one file, {len(loops)} cycles between files")
    sys.exit(1 if lonely or loops else 0)


if __name__ == "__main__":
    main()
