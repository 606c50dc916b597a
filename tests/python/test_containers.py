import pytest

import _qeltypes as q
from support import raises_code


@pytest.fixture
def lst():
    handle = q.qelt_variant_new_list()
    yield handle
    q.qelt_variant_decref(handle)


@pytest.fixture
def mp():
    handle = q.qelt_variant_new_map()
    yield handle
    q.qelt_variant_decref(handle)


def ints(*values):
    return [q.qelt_variant_new_int32(v) for v in values]


def release(*handles):
    for h in handles:
        q.qelt_variant_decref(h)


def refcount(h):
    return q.qelt_variant_get_refcount(h)


# --- lists ---------------------------------------------------------------------

def test_new_containers_ignore_arguments():
    for make, code in ((q.qelt_variant_new_list, 48), (q.qelt_variant_new_map, 49)):
        h = make(1, 2)
        assert q.qelt_variant_get_type(h) == (code, 0)
        release(h)


def test_append_returns_index_and_takes_a_reference(lst):
    a, b = ints(1, 2)
    assert q.qelt_variant_list_append(lst, a) == 0
    assert q.qelt_variant_list_append(lst, a) == 1
    assert q.qelt_variant_list_append(lst, b) == 2
    assert q.qelt_variant_list_get_size(lst) == 3
    assert refcount(a) == 3
    assert q.qelt_variant_list_get_item(lst, 2) == b
    assert refcount(b) == 2  # get_item lends
    release(a, b)


def test_insert_set_delete_clear(lst):
    a, b, c = ints(1, 2, 3)
    q.qelt_variant_list_append(lst, a)
    assert q.qelt_variant_list_insert(lst, b, 0) is None
    assert q.qelt_variant_list_set_item(lst, c, 1) is None
    assert [q.qelt_variant_list_get_item(lst, i) for i in range(2)] == [b, c]
    assert q.qelt_variant_list_delete_item(lst, 0) is None
    assert q.qelt_variant_list_get_item(lst, 0) == c
    assert q.qelt_variant_list_clear(lst) is None
    assert q.qelt_variant_list_get_size(lst) == 0
    release(a, b, c)


# No counting from the end: every negative index is out of range.
@pytest.mark.parametrize("call", [
    lambda l, v: q.qelt_variant_list_get_item(l, -1),
    lambda l, v: q.qelt_variant_list_get_item(l, -2 ** 31),
    lambda l, v: q.qelt_variant_list_delete_item(l, -1),
    lambda l, v: q.qelt_variant_list_insert(l, v, -1),
    lambda l, v: q.qelt_variant_list_set_item(l, v, -1),
    lambda l, v: q.qelt_variant_list_get_item(l, 1),
])
def test_index_outside_the_list(lst, call):
    (v,) = ints(9)
    q.qelt_variant_list_append(lst, v)
    with pytest.raises(q.qeltypesError_INDEX_OUT_OF_RANGE, match=r" failed \(7\)$"):
        call(lst, v)
    assert q.qelt_variant_list_get_size(lst) == 1 and refcount(v) == 2
    release(v)


@pytest.mark.parametrize("index", [2 ** 31, -2 ** 31 - 1])
def test_index_beyond_32_bits_fails_in_the_parser(lst, index):
    with pytest.raises(OverflowError):
        q.qelt_variant_list_get_item(lst, index)


def test_contains(lst):
    items = ints(10, 20, 30, 20)
    for v in items:
        q.qelt_variant_list_append(lst, v)
    probe, absent = ints(20, 99)
    assert q.qelt_variant_list_contains(lst, probe) == 1
    assert q.qelt_variant_list_contains(lst, absent) == q.QELT_LIST_INDEX_UNKNOWN == -1
    assert q.qelt_variant_list_contains_in_subset(lst, probe, 2, -1) == 3
    assert q.qelt_variant_list_contains_in_subset(lst, probe, 2, 2) == -1
    release(probe, absent, *items)


def test_list_cannot_hold_itself(lst):
    with raises_code(q.qeltypesError_CIRCULAR_REFERENCE, "qelt_variant_list_append", 8):
        q.qelt_variant_list_append(lst, lst)


# --- maps ------------------------------------------------------------------------

def test_set_get_haskey(mp):
    k, v, k_equal = ints(1, 100, 1)
    assert q.qelt_variant_map_haskey(mp, k) is False
    with raises_code(q.qeltypesError_KEY_NOT_EXISTS, "qelt_variant_map_get", 9):
        q.qelt_variant_map_get(mp, k)
    assert q.qelt_variant_map_set(mp, k, v) is None
    assert q.qelt_variant_map_haskey(mp, k_equal) is True == bool(q.QELT_TRUE)
    assert q.qelt_variant_map_get(mp, k_equal) == v
    assert (refcount(k), refcount(v)) == (2, 2)
    assert q.qelt_variant_map_get_size(mp) == 1
    release(k, v, k_equal)


def test_set_with_zero_deletes(mp):
    k, v, other = ints(1, 2, 3)
    q.qelt_variant_map_set(mp, k, v)
    assert q.qelt_variant_map_set(mp, other, 0) is None  # absent key: still fine
    assert q.qelt_variant_map_set(mp, k, 0) is None
    assert q.qelt_variant_map_get_size(mp) == 0
    assert refcount(v) == 1
    release(k, v, other)


@pytest.mark.parametrize("value", ["x", 1.5, None, 2 ** 64, -2 ** 70])
def test_set_with_unconvertible_value_leaves_the_map_alone(mp, value):
    k, v = ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_map_set", 3) as info:
        q.qelt_variant_map_set(mp, k, value)
    assert info.value.__context__ is None
    assert q.qelt_variant_map_get(mp, k) == v
    release(k, v)


def test_delete_and_clear(mp):
    k1, k2, v = ints(1, 2, 3)
    q.qelt_variant_map_set(mp, k1, v)
    q.qelt_variant_map_set(mp, k2, v)
    assert q.qelt_variant_map_delete(mp, k1) is None
    assert q.qelt_variant_map_get_size(mp) == 1
    assert q.qelt_variant_map_clear(mp) is None
    assert q.qelt_variant_map_get_size(mp) == 0
    assert refcount(v) == 1
    release(k1, k2, v)


def test_next_walks_and_restarts(mp):
    assert q.qelt_variant_map_next(mp) is None
    k, v = ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    q.qelt_variant_map_first(mp)
    assert q.qelt_variant_map_next(mp) == (k, v)
    assert q.qelt_variant_map_next(mp) is None
    assert q.qelt_variant_map_next(mp) == (k, v)
    release(k, v)
