"""The type stubs of _qeltypes (python/_qeltypes-stubs) against the module itself:
the same names (64 methods, the constants, the exceptions), each method with
the argument names and types of its docstring, whose layout is checked on
the way, each constant with its value, each exception with its base."""
import ast
import os
import re
import subprocess
import sys

import pytest

import _qeltypes as q

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_STUB = os.path.join(HERE, "..", "..", "python", "_qeltypes-stubs", "__init__.pyi")
INSTALLED_STUB = os.path.join(os.path.dirname(q.__file__), "_qeltypes-stubs", "__init__.pyi")

TYPES = {"int": "int", "str": "str", "float": "float", "bool": "bool", "bytes": "bytes"}
# Documented as "(int)" but returning True or False, which the stub says.
RETURN_REFINED = {"qelt_variant_map_haskey": "bool"}
# Private attributes the stub may know before the module has them.
OPTIONAL_PRIVATE = {"_C_API"}


def doc_return_type(text):
    """"tuple of (int, int), None" -> "Optional[Tuple[int, int]]"."""
    optional = text.endswith(", None")
    text = text[:-len(", None")] if optional else text
    m = re.fullmatch(r"tuple of \((.*)\)", text)
    t = "Tuple[%s]" % ", ".join(TYPES[x] for x in m.group(1).split(", ")) if m else TYPES[text]
    return "Optional[%s]" % t if optional else t


# A method's docstring: its signature and a summary line; any further
# paragraphs; "Args:" with one line per argument and "Returns:" with indented
# lines, each only where the method has some.
DOC = re.compile(r"(\w+)\(([\w, ]*)\)\n[^ \n].*"
                 r"(?:\n\n(?!Args:|Returns:)[^ \n].*(?:\n[^ \n].*)*)*"
                 r"(?:\n\nArgs:((?:\n    \w+ \(\w+\): \S.*)+))?"
                 r"(?:\n\nReturns:\n    \((.+?)\):.*(?:\n    .*)*)?")


def expected(name, obj):
    """The stub entry that a module attribute calls for."""
    if isinstance(obj, type):
        attribute = {v: k for k, v in vars(q).items() if isinstance(v, type)}
        return ("class", attribute.get(obj.__base__, obj.__base__.__name__))
    if isinstance(obj, int):
        return ("constant", obj)
    m = DOC.fullmatch(obj.__doc__)
    assert m and m.group(1) == name, obj.__doc__
    args = re.findall(r"\n    (\w+) \((\w+)\): ", m.group(3) or "")
    assert [a for a, _ in args] == (m.group(2).split(", ") if m.group(2) else []), name
    result = RETURN_REFINED.get(name) or (doc_return_type(m.group(4)) if m.group(4) else "None")
    return ("method", [(a, TYPES[t]) for a, t in args], result)


def stub_entries(path):
    entries = {}
    for node in ast.parse(open(path).read()).body:
        if isinstance(node, ast.FunctionDef):
            a = node.args
            assert not (a.args or a.kwonlyargs or a.vararg or a.kwarg), node.name + " takes positional-only arguments"
            entries[node.name] = ("method", [(x.arg, ast.unparse(x.annotation)) for x in a.posonlyargs],
                                  ast.unparse(node.returns))
        elif isinstance(node, ast.ClassDef):
            entries[node.name] = ("class", ast.unparse(node.bases[0]))
        elif isinstance(node, ast.AnnAssign):
            value = ast.literal_eval(node.value) if node.value is not None else None
            entries[node.target.id] = ("constant", value) if value is not None else ("other",)
    return entries


@pytest.mark.skipif(sys.version_info < (3, 9), reason="reads annotations with ast.unparse")
def test_stub_matches_module():
    module = {k: v for k, v in vars(q).items() if not k.startswith("__")}
    stub = stub_entries(SOURCE_STUB)
    assert sum(1 for e in stub.values() if e[0] == "method") == 64
    assert sorted(k for k in stub if k not in module) == sorted(OPTIONAL_PRIVATE & set(stub) - set(module))
    for name, obj in module.items():
        if name in OPTIONAL_PRIVATE:
            continue
        assert stub.get(name) == expected(name, obj), name


def test_stub_installed_with_the_module():
    with open(INSTALLED_STUB) as installed:
        text = installed.read()
    if os.path.exists(SOURCE_STUB):
        with open(SOURCE_STUB) as source:
            assert text == source.read()


def test_mypy_strict_on_usage():
    pytest.importorskip("mypy")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           os.path.join(HERE, "stub_usage.py")], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert proc.returncode == 0, proc.stdout.decode()


def test_usage_runs():
    proc = subprocess.run([sys.executable, os.path.join(HERE, "stub_usage.py")], stdout=subprocess.PIPE)
    assert proc.returncode == 0 and b"qelt_variant_decref failed (3)" in proc.stdout
