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
    assert q.qelt_variant_list_insert(lst, c, 2) is None  # at size: appends
    assert [q.qelt_variant_list_get_item(lst, i) for i in range(3)] == [b, a, c]
    assert q.qelt_variant_list_set_item(lst, c, 0) is None
    assert (refcount(b), refcount(c)) == (1, 3)
    assert q.qelt_variant_list_delete_item(lst, 0) is None
    assert [q.qelt_variant_list_get_item(lst, i) for i in range(2)] == [a, c]
    assert q.qelt_variant_list_clear(lst) is None
    assert q.qelt_variant_list_get_size(lst) == 0
    assert (refcount(a), refcount(c)) == (1, 1)
    release(a, b, c)


@pytest.mark.parametrize("call", [
    lambda l, v: q.qelt_variant_list_get_item(l, -1),
    lambda l, v: q.qelt_variant_list_get_item(l, 1),
    lambda l, v: q.qelt_variant_list_get_item(l, -2 ** 31),
    lambda l, v: q.qelt_variant_list_delete_item(l, -1),
    lambda l, v: q.qelt_variant_list_insert(l, v, -1),
    lambda l, v: q.qelt_variant_list_insert(l, v, 2),
    lambda l, v: q.qelt_variant_list_set_item(l, v, -1),
    lambda l, v: q.qelt_variant_list_set_item(l, v, 1),
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


def test_contains_compares_values(lst):
    items = ints(10, 20, 30, 20)
    for v in items:
        q.qelt_variant_list_append(lst, v)
    probe, absent = ints(20, 99)
    assert q.qelt_variant_list_contains(lst, probe) == 1
    assert q.qelt_variant_list_contains(lst, absent) == q.QELT_LIST_INDEX_UNKNOWN == -1
    assert q.qelt_variant_list_contains_in_subset(lst, probe, 0, -1) == 1
    assert q.qelt_variant_list_contains_in_subset(lst, probe, 2, -1) == 3
    assert q.qelt_variant_list_contains_in_subset(lst, probe, 2, 2) == -1
    assert q.qelt_variant_list_contains_in_subset(lst, absent, 0, -1) == -1
    release(probe, absent, *items)


def test_container_cannot_hold_itself(lst, mp):
    with raises_code(q.qeltypesError_CIRCULAR_REFERENCE, "qelt_variant_list_append", 8):
        q.qelt_variant_list_append(lst, lst)
    (v,) = ints(1)
    with raises_code(q.qeltypesError_CIRCULAR_REFERENCE, "qelt_variant_map_set", 8):
        q.qelt_variant_map_set(mp, v, mp)
    release(v)


def test_wrong_container_type(lst, mp):
    with raises_code(q.qeltypesError_INVALID_TYPE, "qelt_variant_list_get_size", 2):
        q.qelt_variant_list_get_size(mp)
    with raises_code(q.qeltypesError_INVALID_TYPE, "qelt_variant_map_get_size", 2):
        q.qelt_variant_map_get_size(lst)


def test_null_handles_in_container_methods(lst):
    with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_list_append", 3):
        q.qelt_variant_list_append(lst, "not a handle")
    with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_list_get_size", 3):
        q.qelt_variant_list_get_size(0)
    assert q.qelt_variant_list_get_size(lst) == 0


def test_destroying_a_list_releases_its_items():
    outer, inner = q.qelt_variant_new_list(), q.qelt_variant_new_list()
    (v,) = ints(5)
    q.qelt_variant_list_append(inner, v)
    q.qelt_variant_list_append(outer, inner)
    release(inner)
    assert refcount(v) == 2
    release(outer)
    assert refcount(v) == 1
    release(v)


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


def test_set_replaces_the_value(mp):
    k, v1, v2 = ints(1, 2, 3)
    q.qelt_variant_map_set(mp, k, v1)
    q.qelt_variant_map_set(mp, k, v2)
    assert q.qelt_variant_map_get(mp, k) == v2
    assert (refcount(v1), refcount(v2), q.qelt_variant_map_get_size(mp)) == (1, 2, 1)
    release(k, v1, v2)


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
    keys = ints(1, 2, 3)
    vals = ints(10, 20, 30)
    for k, v in zip(keys, vals):
        q.qelt_variant_map_set(mp, k, v)
    assert q.qelt_variant_map_delete(mp, keys[0]) is None
    assert q.qelt_variant_map_delete(mp, keys[0]) is None  # absent: no error
    assert q.qelt_variant_map_get_size(mp) == 2
    assert q.qelt_variant_map_clear(mp) is None
    assert q.qelt_variant_map_get_size(mp) == 0
    assert all(refcount(h) == 1 for h in keys + vals)
    release(*keys, *vals)


def test_next_walks_and_restarts(mp):
    assert q.qelt_variant_map_next(mp) is None
    k, v = ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    q.qelt_variant_map_first(mp)
    assert q.qelt_variant_map_next(mp) == (k, v)
    assert q.qelt_variant_map_next(mp) is None
    assert q.qelt_variant_map_next(mp) == (k, v)
    release(k, v)


def test_walk_visits_every_entry_once(mp):
    keys = [q.qelt_variant_new_string_utf8("key%d" % i) for i in range(200)]
    vals = ints(*range(200))
    for k, v in zip(keys, vals):
        q.qelt_variant_map_set(mp, k, v)
    q.qelt_variant_map_first(mp)
    seen = {}
    entry = q.qelt_variant_map_next(mp)
    while entry is not None:
        seen[q.qelt_variant_as_string_utf8(entry[0])] = q.qelt_variant_as_int32(entry[1])
        entry = q.qelt_variant_map_next(mp)
    assert seen == {"key%d" % i: i for i in range(200)}
    release(*keys, *vals)

