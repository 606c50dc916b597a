"""The list and map methods as the module gives them: results and None
results, lent handles, handle 0 as the null value, and arguments it cannot
convert. The containers' own rules are the C++ suites'."""
import pytest

import _qeltypes as q
from support import raises_code

refcount = q.qelt_variant_get_refcount


def ints(*values):
    return [q.qelt_variant_new_int32(v) for v in values]


def release(*handles):
    for h in handles:
        q.qelt_variant_decref(h)


def test_new_containers_ignore_arguments():
    handles = [q.qelt_variant_new_list(1, 2), q.qelt_variant_new_map(1, 2)]
    assert [q.qelt_variant_get_type(h) for h in handles] == [(48, 0), (49, 0)]
    release(*handles)


def test_list_methods_and_their_results():
    lst, (a, b, c, absent) = q.qelt_variant_new_list(), ints(1, 2, 3, 99)
    assert [q.qelt_variant_list_append(lst, v) for v in (a, a)] == [0, 1]
    assert q.qelt_variant_list_insert(lst, b, 0) is None
    assert q.qelt_variant_list_set_item(lst, c, 1) is None
    assert [q.qelt_variant_list_get_item(lst, i) for i in range(3)] == [b, c, a]
    assert (refcount(a), refcount(b)) == (2, 2)  # get_item lends
    assert q.qelt_variant_list_contains(lst, a) == 2
    assert q.qelt_variant_list_contains(lst, absent) == q.QELT_LIST_INDEX_UNKNOWN == -1
    assert q.qelt_variant_list_contains_in_subset(lst, a, 0, 1) == -1
    # No counting from the end: a negative index is out of range.
    with raises_code(q.qeltypesError_INDEX_OUT_OF_RANGE, "qelt_variant_list_get_item", 7):
        q.qelt_variant_list_get_item(lst, -1)
    assert q.qelt_variant_list_delete_item(lst, 0) is None
    assert q.qelt_variant_list_get_size(lst) == 2
    assert q.qelt_variant_list_clear(lst) is None
    assert q.qelt_variant_list_get_size(lst) == 0
    release(lst, a, b, c, absent)


def test_map_methods_and_their_results():
    mp, (k, v, k_equal, other) = q.qelt_variant_new_map(), ints(1, 100, 1, 2)
    assert q.qelt_variant_map_next(mp) is None
    assert q.qelt_variant_map_haskey(mp, k) is False
    with raises_code(q.qeltypesError_KEY_NOT_EXISTS, "qelt_variant_map_get", 9):
        q.qelt_variant_map_get(mp, k)
    assert q.qelt_variant_map_set(mp, k, v) is None
    assert q.qelt_variant_map_first(mp) is None
    assert q.qelt_variant_map_next(mp) == (k, v)
    assert q.qelt_variant_map_next(mp) is None
    assert q.qelt_variant_map_set(mp, other, v) is None
    assert q.qelt_variant_map_haskey(mp, k_equal) is True
    assert q.qelt_variant_map_get(mp, k_equal) == v
    assert (refcount(k), refcount(v), q.qelt_variant_map_get_size(mp)) == (2, 3, 2)
    assert q.qelt_variant_map_delete(mp, other) is None
    # Handle 0 as the value deletes the key; an absent key is no failure.
    assert q.qelt_variant_map_set(mp, other, 0) is None
    assert q.qelt_variant_map_set(mp, k_equal, 0) is None
    assert (refcount(k), refcount(v), q.qelt_variant_map_get_size(mp)) == (1, 1, 0)
    q.qelt_variant_map_set(mp, k, v)
    assert q.qelt_variant_map_clear(mp) is None
    assert (refcount(v), q.qelt_variant_map_get_size(mp)) == (1, 0)
    release(mp, k, v, k_equal, other)


# Only the integer 0 deletes: a value that is no handle at all must not be
# taken for it.
def test_set_with_unconvertible_value_leaves_the_map_alone():
    mp, (k, v) = q.qelt_variant_new_map(), ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    for value in ("x", 1.5, None, 2 ** 64, -2 ** 70):
        with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_map_set", 3) as info:
            q.qelt_variant_map_set(mp, k, value)
        assert info.value.__context__ is None
        assert q.qelt_variant_map_get(mp, k) == v
    release(mp, k, v)
