import pytest

import _qeltypes as q
from support import raises_code


def owned(handle):
    yield handle
    q.qelt_variant_decref(handle)


@pytest.fixture
def lst():
    yield from owned(q.qelt_variant_new_list())


@pytest.fixture
def mp():
    yield from owned(q.qelt_variant_new_map())


def ints(*values):
    return [q.qelt_variant_new_int32(v) for v in values]


def release(*handles):
    for h in handles:
        q.qelt_variant_decref(h)


refcount = q.qelt_variant_get_refcount


# --- lists ---------------------------------------------------------------------

def test_new_containers_ignore_arguments():
    handles = [q.qelt_variant_new_list(1, 2), q.qelt_variant_new_map(1, 2)]
    assert [q.qelt_variant_get_type(h) for h in handles] == [(48, 0), (49, 0)]
    release(*handles)


def test_list_methods_and_their_results(lst):
    a, b, c = ints(1, 2, 3)
    assert [q.qelt_variant_list_append(lst, v) for v in (a, a)] == [0, 1]
    assert q.qelt_variant_list_insert(lst, b, 0) is None
    assert q.qelt_variant_list_set_item(lst, c, 1) is None
    assert [q.qelt_variant_list_get_item(lst, i) for i in range(3)] == [b, c, a]
    assert (refcount(a), refcount(b)) == (2, 2)  # get_item lends
    assert q.qelt_variant_list_delete_item(lst, 0) is None
    assert q.qelt_variant_list_get_size(lst) == 2
    assert q.qelt_variant_list_clear(lst) is None
    assert q.qelt_variant_list_get_size(lst) == 0
    release(a, b, c)


# No counting from the end: every negative index is out of range.
@pytest.mark.parametrize("method,index", [("get_item", -1), ("get_item", -2 ** 31), ("get_item", 1),
                                          ("delete_item", -1), ("insert", -1), ("set_item", -1)])
def test_index_outside_the_list(lst, method, index):
    (v,) = ints(9)
    q.qelt_variant_list_append(lst, v)
    args = (lst, index) if method in ("get_item", "delete_item") else (lst, v, index)
    with raises_code(q.qeltypesError_INDEX_OUT_OF_RANGE, "qelt_variant_list_" + method, 7):
        getattr(q, "qelt_variant_list_" + method)(*args)
    assert q.qelt_variant_list_get_size(lst) == 1 and refcount(v) == 2
    release(v)


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

def test_map_methods_and_their_results(mp):
    k, v, k_equal, other = ints(1, 100, 1, 2)
    assert q.qelt_variant_map_haskey(mp, k) is False
    with raises_code(q.qeltypesError_KEY_NOT_EXISTS, "qelt_variant_map_get", 9):
        q.qelt_variant_map_get(mp, k)
    assert q.qelt_variant_map_set(mp, k, v) is None
    assert q.qelt_variant_map_set(mp, other, v) is None
    assert q.qelt_variant_map_haskey(mp, k_equal) is True
    assert q.qelt_variant_map_get(mp, k_equal) == v
    assert (refcount(k), refcount(v), q.qelt_variant_map_get_size(mp)) == (2, 3, 2)
    assert q.qelt_variant_map_delete(mp, other) is None
    # Setting a null value deletes the key; an absent key is no failure.
    assert q.qelt_variant_map_set(mp, other, 0) is None
    assert q.qelt_variant_map_set(mp, k_equal, 0) is None
    assert (refcount(k), refcount(v), q.qelt_variant_map_get_size(mp)) == (1, 1, 0)
    q.qelt_variant_map_set(mp, k, v)
    assert q.qelt_variant_map_clear(mp) is None
    assert (refcount(v), q.qelt_variant_map_get_size(mp)) == (1, 0)
    release(k, v, k_equal, other)


@pytest.mark.parametrize("value", ["x", 1.5, None, 2 ** 64, -2 ** 70])
def test_set_with_unconvertible_value_leaves_the_map_alone(mp, value):
    k, v = ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_map_set", 3) as info:
        q.qelt_variant_map_set(mp, k, value)
    assert info.value.__context__ is None
    assert q.qelt_variant_map_get(mp, k) == v
    release(k, v)


def test_next_walks_and_restarts(mp):
    assert q.qelt_variant_map_next(mp) is None
    k, v = ints(1, 2)
    q.qelt_variant_map_set(mp, k, v)
    q.qelt_variant_map_first(mp)
    assert q.qelt_variant_map_next(mp) == (k, v)
    assert q.qelt_variant_map_next(mp) is None
    assert q.qelt_variant_map_next(mp) == (k, v)
    release(k, v)
