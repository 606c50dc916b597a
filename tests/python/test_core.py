"""The methods of the variant core: reference counts, type queries and the
version, as the module converts their arguments and results; the exception
classes across imports. The names, constants and docstrings are checked
against the stubs (test_stubs.py)."""
import importlib
import sys

import pytest

import _qeltypes as q
from support import raises_code


def test_second_import_shares_the_exception_classes(monkeypatch):
    monkeypatch.delitem(sys.modules, "_qeltypes")
    fresh = importlib.import_module("_qeltypes")
    assert fresh is not q
    assert fresh.qeltypesError_NULL_PTR is q.qeltypesError_NULL_PTR
    with pytest.raises(q.qeltypesError_NULL_PTR):
        fresh.qelt_variant_decref(0)


def test_version_and_type_check_of_the_low_byte():
    assert q.qelt_get_version() == (1, 101)
    with pytest.raises(TypeError):
        q.qelt_get_version(1)
    v = q.qelt_variant_new_int64(7)
    assert q.qelt_variant_type_check(v, 261) is True
    assert q.qelt_variant_type_check(v, 6) is False
    q.qelt_variant_decref(v)


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


@pytest.mark.parametrize("method", ["qelt_variant_decref", "qelt_variant_incref",
                                    "qelt_variant_get_refcount", "qelt_variant_get_type"])
def test_null_and_unconvertible_handles_raise_null_ptr_only(method):
    for handle in (0, "abc", 1.5, None, 2 ** 64, -2 ** 70):
        with raises_code(q.qeltypesError_NULL_PTR, method, 3) as info:
            getattr(q, method)(handle)
        # The failed conversion's own exception must not ride along.
        assert info.value.__context__ is None and info.value.__cause__ is None
        assert sys.exc_info() == (None, None, None)
