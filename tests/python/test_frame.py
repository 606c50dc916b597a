import importlib
import re
import sys

import pytest

import _qeltypes as q
from support import raises_code


def prefixed(prefix, names, ops=("",)):
    return [prefix + op + name for name in names.split() for op in ops]


# The method table's order: constructor and accessor pairs, then each family.
METHODS = (["qelt_get_version"] + prefixed("qelt_variant_", "get_type type_check get_refcount decref incref new_none")
           + prefixed("qelt_variant_", "int64 int32 int16 int8 uint64 uint32 uint16 uint8 string_c string_utf8 "
                      "float64 float32 float16", ("new_", "as_"))
           + ["qelt_float_to_half", "qelt_half_to_float", "qelt_variant_new_list"]
           + prefixed("qelt_variant_list_", "append insert set_item get_item delete_item clear get_size contains "
                      "contains_in_subset")
           + ["qelt_variant_new_map"] + prefixed("qelt_variant_map_", "set get delete clear first next get_size haskey")
           + prefixed("qelt_variant_", "bool binary", ("new_", "as_"))
           + prefixed("qelt_", "write_to_buffer write_to_file read_from_buffer read_from_file")
           + prefixed("qelt_variant_", "timestamp", ("new_", "as_")))

NO_RESULT = set(prefixed("qelt_variant_", "decref incref list_insert list_set_item list_delete_item list_clear "
                         "map_set map_delete map_clear map_first") + ["qelt_write_to_file"])

ERROR_NAMES = [None, "NYI", "INVALID_TYPE", "NULL_PTR", "REFCNT_EXCD", "UNKNOWN", "OUT_OF_MEMORY",
               "INDEX_OUT_OF_RANGE", "CIRCULAR_REFERENCE", "KEY_NOT_EXISTS", "WRONG_STRING_SIZE",
               "ILLEGAL_FILE_CONTENT", "UNDEFINED"]

TYPE_CODES = [("INT64", 5), ("INT32", 6), ("INT16", 7), ("INT8", 8), ("UINT64", 9),
              ("UINT32", 10), ("UINT16", 11), ("UINT8", 12), ("FLOAT64", 1), ("FLOAT32", 2),
              ("FLOAT16", 3), ("STRING", 4), ("BOOL", 13), ("BINARY", 14), ("NONE", 15),
              ("TIMESTAMP", 19), ("LIST", 48), ("MAP", 49)]

CONSTANTS = (
    [("QELT_SUCCESS", 0)] + [("QELT_ERR_" + n, i) for i, n in enumerate(ERROR_NAMES) if n]
    + [("QELT_VARIANT_TYPE_" + n, v) for n, v in TYPE_CODES]
    + [("QELT_BINARY_TYPE_GENERIC", 0), ("QELT_BINARY_TYPE_QEL", 1), ("QELT_STRING_TYPE_C", 0),
       ("QELT_STRING_TYPE_UTF8", 1), ("QELT_LIST_INDEX_UNKNOWN", -1), ("QELT_FALSE", 0),
       ("QELT_TRUE", 1)])


# --- module attributes ---------------------------------------------------------

def test_methods_and_constants_in_table_order():
    assert (len(METHODS), len(CONSTANTS)) == (64, 38)
    assert [k for k, v in vars(q).items() if callable(v) and k.startswith("qelt_")] == METHODS
    assert [(k, v) for k, v in vars(q).items() if k.startswith("QELT_")] == CONSTANTS


def test_exception_hierarchy():
    base, names = q.qeltypesError, ERROR_NAMES[1:]
    assert (base.__bases__, base.__module__, base.__name__) == ((Exception,), "qeltypes", "error")
    assert [k for k in vars(q) if k.startswith("qeltypesError")] == ["qeltypesError"] + ["qeltypesError_" + n for n in names]
    assert [(c.__bases__, c.__module__, c.__name__) for c in (getattr(q, "qeltypesError_" + n) for n in names)] == \
        [((base,), "qeltypes", "error_" + n) for n in names]


def test_second_import_shares_the_exception_classes(monkeypatch):
    monkeypatch.delitem(sys.modules, "_qeltypes")
    fresh = importlib.import_module("_qeltypes")
    assert fresh is not q
    assert fresh.qeltypesError_NULL_PTR is q.qeltypesError_NULL_PTR
    with pytest.raises(q.qeltypesError_NULL_PTR):
        fresh.qelt_variant_decref(0)


# --- the seven frame methods ---------------------------------------------------

def test_version():
    assert q.qelt_get_version() == (1, 101)
    with pytest.raises(TypeError):
        q.qelt_get_version(1)


def test_none_results_are_new_references():
    # Each None result must carry its own reference, or an interpreter
    # without immortal objects ends up freeing None.
    v = q.qelt_variant_new_none()
    before = sys.getrefcount(None)
    for _ in range(1000):
        assert q.qelt_variant_incref(v) is None
        assert q.qelt_variant_decref(v) is None
    assert abs(sys.getrefcount(None) - before) < 100  # a fault loses 2000
    assert q.qelt_variant_get_refcount(v) == 1
    q.qelt_variant_decref(v)


def test_type_check_uses_low_byte_of_code():
    v = q.qelt_variant_new_int64(7)
    assert q.qelt_variant_type_check(v, 261) is True
    assert q.qelt_variant_type_check(v, 6) is False
    q.qelt_variant_decref(v)


@pytest.mark.parametrize("method", ["qelt_variant_decref", "qelt_variant_incref",
                                    "qelt_variant_get_refcount", "qelt_variant_get_type"])
@pytest.mark.parametrize("handle", [0, "abc", 1.5, None, 2 ** 64, -2 ** 70])
def test_null_and_unconvertible_handles_raise_null_ptr_only(method, handle):
    with raises_code(q.qeltypesError_NULL_PTR, method, 3) as info:
        getattr(q, method)(handle)
    # The failed conversion's own exception must not ride along.
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert sys.exc_info() == (None, None, None)


# --- docstrings ------------------------------------------------------------------

# Signature and summary line; further paragraphs; "Args:" with one line per
# argument; "Returns:" with indented lines.
DOC = re.compile(r"(\w+)\(([\w, ]*)\)\n[^ \n].*"
                 r"(?:\n\n(?!Args:|Returns:)[^ \n].*(?:\n[^ \n].*)*)*"
                 r"((?:\n\nArgs:(?:\n    \w+ \(\w+\): \S.*)+)?)"
                 r"((?:\n\nReturns:\n    \(.+\):.*(?:\n    .*)*)?)")


@pytest.mark.parametrize("method", METHODS)
def test_docstring_follows_template(method):
    m = DOC.fullmatch(getattr(q, method).__doc__)
    assert m and m.group(1) == method
    assert re.findall(r"\n    (\w+) \(", m.group(3)) == (m.group(2).split(", ") if m.group(2) else [])
    assert (m.group(4) == "") == (method in NO_RESULT)


EXACT_DOCS = {
    "qelt_variant_map_next":
        "qelt_variant_map_next(map)\nGet next item of a map\n\nArgs:\n    map (int): variant map handle\n\n"
        "Returns:\n    (tuple of (int, int), None):\n       - (key variant handle, value variant handle)\n"
        "       - None, if there are no more items in the map",
    "qelt_variant_map_haskey":
        "qelt_variant_map_haskey(map, key)\nCheck if a key exists in a map\n\nArgs:\n"
        "    map (int): variant map handle\n    key (int): variant handle of the key to search for\n\n"
        "Returns:\n    (int):\n        - QELT_TRUE if key was found\n        - QELT_FALSE if key wasn't found",
    "qelt_variant_list_contains_in_subset":
        "qelt_variant_list_contains_in_subset(list, value, start, stop)\n"
        "Checks if an item is in the subset of a list\n\n"
        "If you specify a negative stop index, contains is checked for all\n"
        "elements from start index to the end of the list.\n\nArgs:\n    list (int): variant list handle\n"
        "    value (int): handle to variant to check, if in the list\n"
        "    start (int): index where to start the subset (inclusive)\n"
        "    stop (int): index where to stop the subset (inclusive)\n\nReturns:\n"
        "    (int): index of the value or QELT_LIST_INDEX_UNKNOWN if not found",
    "qelt_variant_as_timestamp":
        "qelt_variant_as_timestamp(variant)\nRead the value from an timestamp variant\n\nArgs:\n"
        "    variant (int): variant handle\n\nReturns:\n    (tuple of (int, int, int, int, int, int, int)):\n"
        "        (year, month, day, hour, minute, second, microsecond)",
}


@pytest.mark.parametrize("method", sorted(EXACT_DOCS))
def test_docstring_text(method):
    assert getattr(q, method).__doc__ == EXACT_DOCS[method]
