import importlib
import re
import sys

import pytest

import _qeltypes as q
from support import raises_code

METHODS = """
qelt_get_version qelt_variant_get_type qelt_variant_type_check qelt_variant_get_refcount
qelt_variant_decref qelt_variant_incref qelt_variant_new_none
qelt_variant_new_int64 qelt_variant_as_int64 qelt_variant_new_int32 qelt_variant_as_int32
qelt_variant_new_int16 qelt_variant_as_int16 qelt_variant_new_int8 qelt_variant_as_int8
qelt_variant_new_uint64 qelt_variant_as_uint64 qelt_variant_new_uint32 qelt_variant_as_uint32
qelt_variant_new_uint16 qelt_variant_as_uint16 qelt_variant_new_uint8 qelt_variant_as_uint8
qelt_variant_new_string_c qelt_variant_as_string_c qelt_variant_new_string_utf8
qelt_variant_as_string_utf8 qelt_variant_new_float64 qelt_variant_as_float64
qelt_variant_new_float32 qelt_variant_as_float32 qelt_variant_new_float16 qelt_variant_as_float16
qelt_float_to_half qelt_half_to_float
qelt_variant_new_list qelt_variant_list_append qelt_variant_list_insert qelt_variant_list_set_item
qelt_variant_list_get_item qelt_variant_list_delete_item qelt_variant_list_clear
qelt_variant_list_get_size qelt_variant_list_contains qelt_variant_list_contains_in_subset
qelt_variant_new_map qelt_variant_map_set qelt_variant_map_get qelt_variant_map_delete
qelt_variant_map_clear qelt_variant_map_first qelt_variant_map_next qelt_variant_map_get_size
qelt_variant_map_haskey qelt_variant_new_bool qelt_variant_as_bool qelt_variant_new_binary
qelt_variant_as_binary qelt_write_to_buffer qelt_write_to_file qelt_read_from_buffer
qelt_read_from_file qelt_variant_new_timestamp qelt_variant_as_timestamp
""".split()

NO_RESULT = {
    "qelt_variant_decref", "qelt_variant_incref", "qelt_variant_list_insert",
    "qelt_variant_list_set_item", "qelt_variant_list_delete_item", "qelt_variant_list_clear",
    "qelt_variant_map_set", "qelt_variant_map_delete", "qelt_variant_map_clear",
    "qelt_variant_map_first", "qelt_write_to_file",
}

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

def test_methods_in_table_order():
    assert len(METHODS) == 64
    assert [k for k, v in vars(q).items() if callable(v) and k.startswith("qelt_")] == METHODS


def test_constants_in_order_with_values():
    assert len(CONSTANTS) == 38
    assert [(k, v) for k, v in vars(q).items() if k.startswith("QELT_")] == CONSTANTS


def test_exception_hierarchy():
    base = q.qeltypesError
    assert base.__bases__ == (Exception,)
    assert (base.__module__, base.__name__) == ("qeltypes", "error")
    for name in ERROR_NAMES[1:]:
        cls = getattr(q, "qeltypesError_" + name)
        assert cls.__bases__ == (base,)
        assert (cls.__module__, cls.__name__) == ("qeltypes", "error_" + name)
    assert [k for k in vars(q) if k.startswith("qeltypesError")] == \
        ["qeltypesError"] + ["qeltypesError_" + n for n in ERROR_NAMES[1:]]


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


@pytest.mark.parametrize("method", ["qelt_get_version", "qelt_variant_new_none"])
def test_no_argument_methods_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(q, method)(1)


def test_none_variant_type_and_refcount():
    v = q.qelt_variant_new_none()
    assert q.qelt_variant_get_type(v) == (15, 0)
    assert q.qelt_variant_get_refcount(v) == 1
    q.qelt_variant_incref(v)
    assert q.qelt_variant_get_refcount(v) == 2
    assert q.qelt_variant_decref(v) is None
    assert q.qelt_variant_get_refcount(v) == 1
    q.qelt_variant_decref(v)


def test_none_results_are_new_references():
    # Each None result must carry its own reference, or an interpreter
    # without immortal objects ends up freeing None.
    v = q.qelt_variant_new_none()
    before = sys.getrefcount(None)
    for _ in range(1000):
        q.qelt_variant_incref(v)
        q.qelt_variant_decref(v)
    assert abs(sys.getrefcount(None) - before) < 100  # a fault loses 2000
    q.qelt_variant_decref(v)


def test_type_check_uses_low_byte_of_code():
    v = q.qelt_variant_new_int64(7)
    assert q.qelt_variant_type_check(v, 261) is True
    assert q.qelt_variant_type_check(v, 6) is False
    q.qelt_variant_decref(v)


def test_refcount_limit():
    v = q.qelt_variant_new_none()
    for _ in range(65534):
        q.qelt_variant_incref(v)
    assert q.qelt_variant_get_refcount(v) == 65535
    with raises_code(q.qeltypesError_REFCNT_EXCD, "qelt_variant_incref", 4):
        q.qelt_variant_incref(v)
    for _ in range(65535):
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

ARG_LINE = re.compile(r"^    (\w+) \((\w+)\): \S.*$")


@pytest.mark.parametrize("method", METHODS)
def test_docstring_follows_template(method):
    doc = getattr(q, method).__doc__
    assert not doc.endswith("\n")
    lines = doc.split("\n")
    sig = re.fullmatch(r"(\w+)\(([\w, ]*)\)", lines[0])
    assert sig and sig.group(1) == method
    args = sig.group(2).split(", ") if sig.group(2) else []
    assert lines[1] and not lines[1].startswith(" ")
    assert lines[2:3] in ([], [""])

    if args:
        at = lines.index("Args:")
        assert lines[at - 1] == ""
        names = [ARG_LINE.match(line).group(1) for line in lines[at + 1:at + 1 + len(args)]]
        assert names == args
        after_args = lines[at + 1 + len(args):]
    else:
        assert "Args:" not in lines
        after_args = lines[2:]

    if method in NO_RESULT:
        assert after_args == []
    else:
        assert after_args[:2] == ["", "Returns:"]
        assert re.match(r"^    \(.+\):", after_args[2])
        assert all(line.startswith("    ") for line in after_args[2:])


EXACT_DOCS = {
    "qelt_variant_map_next":
        "qelt_variant_map_next(map)\nGet next item of a map\n\nArgs:\n"
        "    map (int): variant map handle\n\nReturns:\n    (tuple of (int, int), None):\n"
        "       - (key variant handle, value variant handle)\n"
        "       - None, if there are no more items in the map",
    "qelt_variant_map_haskey":
        "qelt_variant_map_haskey(map, key)\nCheck if a key exists in a map\n\nArgs:\n"
        "    map (int): variant map handle\n    key (int): variant handle of the key to search for\n"
        "\nReturns:\n    (int):\n        - QELT_TRUE if key was found\n"
        "        - QELT_FALSE if key wasn't found",
    "qelt_variant_list_contains_in_subset":
        "qelt_variant_list_contains_in_subset(list, value, start, stop)\n"
        "Checks if an item is in the subset of a list\n\n"
        "If you specify a negative stop index, contains is checked for all\n"
        "elements from start index to the end of the list.\n\nArgs:\n"
        "    list (int): variant list handle\n"
        "    value (int): handle to variant to check, if in the list\n"
        "    start (int): index where to start the subset (inclusive)\n"
        "    stop (int): index where to stop the subset (inclusive)\n\nReturns:\n"
        "    (int): index of the value or QELT_LIST_INDEX_UNKNOWN if not found",
    "qelt_variant_as_timestamp":
        "qelt_variant_as_timestamp(variant)\nRead the value from an timestamp variant\n\nArgs:\n"
        "    variant (int): variant handle\n\nReturns:\n"
        "    (tuple of (int, int, int, int, int, int, int)):\n"
        "        (year, month, day, hour, minute, second, microsecond)",
}


@pytest.mark.parametrize("method", sorted(EXACT_DOCS))
def test_docstring_text(method):
    assert getattr(q, method).__doc__ == EXACT_DOCS[method]
