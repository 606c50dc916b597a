import os

import pytest

import _qeltypes as q
from support import HugeBuffer, raises_code, unterminated

EMPTY_LIST = b"_QEL\x01\x00\x00" + b"0\x00"


@pytest.fixture
def tree():
    """A map holding a nested list of a few kinds of value."""
    root, inner = q.qelt_variant_new_map(), q.qelt_variant_new_list()
    values = [q.qelt_variant_new_int64(-2 ** 63), q.qelt_variant_new_string_utf8("\u20ac"),
              q.qelt_variant_new_binary(b"\x00\xff", 9), q.qelt_variant_new_none()]
    for v in values:
        q.qelt_variant_list_append(inner, v)
        q.qelt_variant_decref(v)
    key = q.qelt_variant_new_string_c("inner")
    q.qelt_variant_map_set(root, key, inner)
    q.qelt_variant_decref(key)
    q.qelt_variant_decref(inner)
    yield root
    q.qelt_variant_decref(root)


def test_round_trip_through_bytes(tree):
    data = q.qelt_write_to_buffer(tree)
    assert type(data) is bytes and data.startswith(b"_QEL\x01\x00")
    copy = q.qelt_read_from_buffer(data)
    assert q.qelt_write_to_buffer(copy) == data
    # Every variant of the copy is held by its container alone.
    q.qelt_variant_map_first(copy)
    key, inner = q.qelt_variant_map_next(copy)
    nodes = [tree, copy, key, inner] + [q.qelt_variant_list_get_item(inner, i) for i in range(4)]
    assert [q.qelt_variant_get_refcount(h) for h in nodes] == [1] * 8
    q.qelt_variant_decref(copy)


@pytest.mark.parametrize("as_bytes", [False, True])
def test_round_trip_through_a_file(tree, tmp_path, as_bytes):
    path = str(tmp_path / "tree.qel")
    name = os.fsencode(path) if as_bytes else path
    assert q.qelt_write_to_file(tree, name) is None
    with open(path, "rb") as f:
        assert f.read() == q.qelt_write_to_buffer(tree)
    copy = q.qelt_read_from_file(name)
    assert q.qelt_write_to_buffer(copy) == q.qelt_write_to_buffer(tree)
    q.qelt_variant_decref(copy)


def test_file_name_without_terminator(tree, tmp_path):
    exact, backing = unterminated(os.fsencode(str(tmp_path / "plain.qel")))
    q.qelt_write_to_file(tree, exact)
    q.qelt_variant_decref(q.qelt_read_from_file(exact))
    assert os.listdir(str(tmp_path)) == ["plain.qel"]


# Cut at the NUL, the name would reach another file.
@pytest.mark.parametrize("name", ["short\0ignored", b"short\0", "\0"])
def test_file_name_with_a_nul_is_refused(tree, tmp_path, name):
    (tmp_path / "short").write_bytes(b"old")
    name = (os.fsencode(str(tmp_path)) + b"/" + name if isinstance(name, bytes)
            else str(tmp_path) + "/" + name)
    for call in (lambda: q.qelt_write_to_file(tree, name), lambda: q.qelt_read_from_file(name)):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call()
    assert os.listdir(str(tmp_path)) == ["short"]
    assert (tmp_path / "short").read_bytes() == b"old"


def test_non_container_root_is_refused():
    v = q.qelt_variant_new_int64(1)
    with raises_code(q.qeltypesError_INVALID_TYPE, "qelt_write_to_buffer", 2):
        q.qelt_write_to_buffer(v)
    q.qelt_variant_decref(v)


def test_file_name_failures(tree, tmp_path):
    # The format library's own codes reach the script through the base class.
    for call, method in ((lambda n: q.qelt_write_to_file(tree, n), "qelt_write_to_file"),
                         (q.qelt_read_from_file, "qelt_read_from_file")):
        with raises_code(q.qeltypesError, method, 5508) as info:
            call("")
        assert type(info.value) is q.qeltypesError
        with raises_code(q.qeltypesError_NULL_PTR, method, 3):
            call(None)
    with raises_code(q.qeltypesError, "qelt_read_from_file", 5507):
        q.qelt_read_from_file(str(tmp_path / "missing.qel"))


# Cut to 32 bits, the second buffer would read as a valid empty list; a file
# name's capacity counts its terminator as well.
@pytest.mark.parametrize("method,size,prefix,cls,code", [
    ("qelt_read_from_buffer", 2 ** 32, EMPTY_LIST, q.qeltypesError_ILLEGAL_FILE_CONTENT, 11),
    ("qelt_read_from_buffer", 2 ** 32 + len(EMPTY_LIST), EMPTY_LIST, q.qeltypesError_ILLEGAL_FILE_CONTENT, 11),
    ("qelt_read_from_file", 2 ** 32 - 1, b"name", q.qeltypesError_WRONG_STRING_SIZE, 10),
    ("qelt_read_from_file", 2 ** 32 + 4, b"name", q.qeltypesError_WRONG_STRING_SIZE, 10),
    ("qelt_write_to_file", 2 ** 32 - 1, b"name", q.qeltypesError_WRONG_STRING_SIZE, 10),
    ("qelt_write_to_file", 2 ** 32 + 4, b"name", q.qeltypesError_WRONG_STRING_SIZE, 10),
])
def test_longer_than_32_bits_is_refused(tree, method, size, prefix, cls, code):
    huge = HugeBuffer(size, prefix)
    args = (tree, huge.view) if method == "qelt_write_to_file" else (huge.view,)
    with raises_code(cls, method, code):
        getattr(q, method)(*args)
