"""to_variant and from_variant: one call between Python objects and the
variant trees of _qeltypes, whose handles they take and give."""
import datetime

import pytest
from hypothesis import given, strategies as st

import _qeltypes as v
import qeltypes as q
from trees import plain_roots

# --- variant trees from descriptions ------------------------------------------------
# A description is ("list", items), ("map", pairs) or (constructor suffix, args);
# the tree is built with the handle API alone.

def integers(kind, low, high):
    return st.integers(low, high).map(lambda x: (kind, (x,)))


SCALARS = st.one_of(
    *[integers("int%d" % bits, -2 ** (bits - 1), 2 ** (bits - 1) - 1) for bits in (8, 16, 32, 64)],
    *[integers("uint%d" % bits, 0, 2 ** bits - 1) for bits in (8, 16, 32, 64)],
    st.floats().map(lambda x: ("float64", (x,))), st.floats(width=32).map(lambda x: ("float32", (x,))),
    # finite binary16 patterns only: the writer refuses NaN and infinity
    st.one_of(st.integers(0, 0x7BFF), st.integers(0x8000, 0xFBFF)).map(lambda x: ("float16", (x,))),
    st.integers(0, 1).map(lambda x: ("bool", (x,))),
    st.binary(max_size=8).map(lambda b: ("string_c", (b.replace(b"\0", b""),))),
    st.text(max_size=8).map(lambda t: ("string_utf8", (t.replace("\0", "").encode("utf-8", "surrogatepass"),))),
    st.tuples(st.binary(min_size=1, max_size=8), st.integers(0, 255)).map(lambda a: ("binary", a)),
    st.tuples(st.integers(-2 ** 15, 2 ** 15 - 1), *[st.integers(0, 255)] * 5, st.integers(0, 2 ** 32 - 1)).map(
        lambda a: ("timestamp", a)),
    st.just(("none", ())),
)
DESCRIPTIONS = st.recursive(
    SCALARS, lambda inner: st.lists(inner, max_size=5).map(lambda items: ("list", items))
    | st.lists(st.tuples(SCALARS, inner), max_size=5).map(lambda pairs: ("map", pairs)), max_leaves=25)
ROOTS = st.one_of(st.lists(DESCRIPTIONS, max_size=6).map(lambda items: ("list", items)),
                  st.lists(st.tuples(SCALARS, DESCRIPTIONS), max_size=6).map(lambda pairs: ("map", pairs)))


def build(desc):
    kind, body = desc
    if kind == "list":
        handle = v.qelt_variant_new_list()
        for item in body:
            child = build(item)
            v.qelt_variant_list_append(handle, child)
            v.qelt_variant_decref(child)
        return handle
    if kind == "map":
        handle = v.qelt_variant_new_map()
        for key_desc, value_desc in body:
            key, value = build(key_desc), build(value_desc)
            v.qelt_variant_map_set(handle, key, value)
            v.qelt_variant_decref(key)
            v.qelt_variant_decref(value)
        return handle
    return getattr(v, "qelt_variant_new_" + kind)(*body)


def outcome(fn, *args, **kwargs):
    try:
        return "value", repr(fn(*args, **kwargs))
    except q.DecodeError:
        return "DecodeError", None


@given(ROOTS)
def test_loads_of_a_written_tree_equals_from_variant_of_it(desc):
    handle = build(desc)
    try:
        data = v.qelt_write_to_buffer(handle)
        # Plain mode: the same values, or the same refusal of keys that only
        # differ in QEL; compared by repr, which also holds for NaN.
        assert outcome(q.loads, data) == outcome(q.from_variant, handle)
        typed = q.loads(data, typed=True)
        assert typed == q.from_variant(handle, typed=True)
        assert q.dumps(typed) == data
    finally:
        v.qelt_variant_decref(handle)


@given(plain_roots(empty_bytes=False))
def test_from_variant_of_a_read_stream_equals_the_tree(tree):
    handle = v.qelt_read_from_buffer(q.dumps(tree))
    try:
        assert q.from_variant(handle) == tree  # dicts compare without order
    finally:
        v.qelt_variant_decref(handle)


@given(plain_roots(empty_bytes=False))
def test_to_variant_holds_what_dumps_writes(tree):
    handle = q.to_variant(tree)
    try:
        assert v.qelt_variant_get_refcount(handle) == 1
        assert q.from_variant(handle, typed=True) == q.loads(q.dumps(tree), typed=True)
    finally:
        v.qelt_variant_decref(handle)


def test_to_variant_takes_scalars_and_typed_values():
    for obj, type_code in ((5, 8), (q.UInt16(5), 11), ("é", 4), (q.CString("c"), 4), (None, 15),
                           (datetime.datetime(2020, 1, 1), 19), (q.Blob(b"x", type=3), 14), (q.Float16(0.5), 3)):
        handle = q.to_variant(obj)
        try:
            assert v.qelt_variant_get_type(handle)[0] == type_code
            assert q.from_variant(handle, typed=True) == q.loads(q.dumps([obj]), typed=True)[0]
        finally:
            v.qelt_variant_decref(handle)


def test_refusals():
    with pytest.raises(q.EncodeTypeError) as caught:
        q.to_variant({"a": [object()]})
    assert caught.value.path == 'root["a"][0]'
    # The variant library holds no empty binary.
    with pytest.raises(q.error_WRONG_STRING_SIZE, match=r"^to_variant failed \(10\)$"):
        q.to_variant({"a": [1, b""]})
    for handle in (0, "x", None):
        with pytest.raises(q.error_NULL_PTR, match=r"^from_variant failed \(3\)$"):
            q.from_variant(handle)


def test_from_variant_refuses_what_no_dict_holds():
    outer, inner, key, m = (v.qelt_variant_new_list(), v.qelt_variant_new_list(), v.qelt_variant_new_list(),
                            v.qelt_variant_new_map())
    v.qelt_variant_list_append(outer, inner)
    v.qelt_variant_list_append(inner, outer)
    v.qelt_variant_map_set(m, key, key)
    for root, message in ((outer, "cycle"), (m, "as a key")):
        with pytest.raises(ValueError, match=message):
            q.from_variant(root)
    v.qelt_variant_list_clear(inner)
    for h in (outer, inner, key, m):
        v.qelt_variant_decref(h)


def test_the_capsule_is_the_one_addition_to_the_module():
    assert type(v._C_API).__name__ == "PyCapsule"
    assert "_qeltypes._C_API" in repr(v._C_API)
