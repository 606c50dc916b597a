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
    assert copy != tree and q.qelt_variant_get_refcount(copy) == 1
    assert q.qelt_variant_get_refcount(tree) == 1
    assert q.qelt_write_to_buffer(copy) == data
    q.qelt_variant_decref(copy)


def test_empty_list_bytes():
    h = q.qelt_variant_new_list()
    assert q.qelt_write_to_buffer(h) == EMPTY_LIST
    q.qelt_variant_decref(h)


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
    copy = q.qelt_read_from_file(exact)
    assert os.listdir(str(tmp_path)) == ["plain.qel"]
    q.qelt_variant_decref(copy)


def test_file_name_is_cut_at_an_embedded_nul(tmp_path):
    h = q.qelt_variant_new_list()
    q.qelt_write_to_file(h, str(tmp_path / "short") + "\0ignored")
    assert os.listdir(str(tmp_path)) == ["short"]
    q.qelt_variant_decref(h)


def test_non_container_root_is_refused():
    v = q.qelt_variant_new_int64(1)
    with raises_code(q.qeltypesError_INVALID_TYPE, "qelt_write_to_buffer", 2):
        q.qelt_write_to_buffer(v)
    q.qelt_variant_decref(v)


def test_file_name_failures(tmp_path):
    h = q.qelt_variant_new_list()
    # The format library's own codes reach the script through the base class.
    for call, method in ((lambda n: q.qelt_write_to_file(h, n), "qelt_write_to_file"),
                         (q.qelt_read_from_file, "qelt_read_from_file")):
        with raises_code(q.qeltypesError, method, 5508) as info:
            call("")
        assert type(info.value) is q.qeltypesError
        with raises_code(q.qeltypesError_NULL_PTR, method, 3):
            call(None)
    with raises_code(q.qeltypesError, "qelt_read_from_file", 5507):
        q.qelt_read_from_file(str(tmp_path / "missing.qel"))
    with raises_code(q.qeltypesError, "qelt_write_to_file", 5507):
        q.qelt_write_to_file(h, str(tmp_path / "no" / "such" / "dir.qel"))
    q.qelt_variant_decref(h)


@pytest.mark.parametrize("data", [
    EMPTY_LIST[:-1],                       # the root is never closed
    b"_QEL\x01\x00\x00" + b"\x05" + b"\x00" * 8,  # a value outside any container
])
def test_malformed_buffers_are_refused(data):
    with pytest.raises(q.qeltypesError):
        q.qelt_read_from_buffer(data)


@pytest.mark.parametrize("data", ["text", None, 5, bytearray(EMPTY_LIST)])
def test_buffer_parser_failures(data):
    with pytest.raises(TypeError):
        q.qelt_read_from_buffer(data)


@pytest.mark.parametrize("size", [2 ** 32, 2 ** 32 + len(EMPTY_LIST)])
def test_buffer_longer_than_32_bits_is_refused(size):
    # Cut to 32 bits the second one would read as a valid empty list.
    huge = HugeBuffer(size, EMPTY_LIST)
    with raises_code(q.qeltypesError_ILLEGAL_FILE_CONTENT, "qelt_read_from_buffer", 11):
        q.qelt_read_from_buffer(huge.view)


@pytest.mark.parametrize("size", [2 ** 32 - 1, 2 ** 32 + 4])
def test_file_name_longer_than_32_bits_is_refused(size):
    huge = HugeBuffer(size, b"name")
    h = q.qelt_variant_new_list()
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_write_to_file", 10):
        q.qelt_write_to_file(h, huge.view)
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_read_from_file", 10):
        q.qelt_read_from_file(huge.view)
    q.qelt_variant_decref(h)
