import os
import resource
import subprocess
import sys

import pytest

import _qeltypes as q
import qeltypes
from support import HugeBuffer, raises_code, unterminated

EMPTY_LIST = b"_QEL\x01\x00\x00" + b"0\x00"


@pytest.fixture
def tree():
    """A map holding a nested list of a few kinds of value."""
    root = qeltypes.to_variant({qeltypes.CString("inner"): [-2 ** 63, "\u20ac", qeltypes.Blob(b"\x00\xff", 9), None]})
    yield root
    q.qelt_variant_decref(root)


@pytest.mark.parametrize("as_bytes", [False, True])
def test_round_trip_through_bytes_and_a_file(tree, tmp_path, as_bytes):
    data = q.qelt_write_to_buffer(tree)
    assert type(data) is bytes and data.startswith(b"_QEL\x01\x00")
    copy = q.qelt_read_from_buffer(data)
    assert q.qelt_write_to_buffer(copy) == data and q.qelt_variant_get_refcount(copy) == 1
    q.qelt_variant_decref(copy)
    path = str(tmp_path / "tree.qel")
    name = os.fsencode(path) if as_bytes else path
    assert q.qelt_write_to_file(tree, name) is None
    with open(path, "rb") as f:
        assert f.read() == data
    copy = q.qelt_read_from_file(name)
    assert q.qelt_write_to_buffer(copy) == data
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


# --- a failed write keeps the old file ------------------------------------------------
# (A tree the writer refuses keeps it too: the bridge's tests write every
# refused tree over an old file.)

# A file size limit stands in for a full disk (the interpreter ignores the
# signal that would otherwise end the child).
def test_full_disk_keeps_the_old_file(tmp_path):
    path = tmp_path / "out.qel"
    path.write_bytes(b"old")
    script = (
        "import sys, _qeltypes as q\n"
        "l, b = q.qelt_variant_new_list(), q.qelt_variant_new_binary(bytes(100000), 0)\n"
        "q.qelt_variant_list_append(l, b)\n"
        "try:\n"
        "    q.qelt_write_to_file(l, sys.argv[1])\n"
        "except q.qeltypesError as e:\n"
        "    sys.stdout.flush()\n"
        "    sys.exit(str(e))\n")
    result = subprocess.run(
        [sys.executable, "-c", script, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (10000, 10000)))
    assert result.stderr.decode().strip() == "qelt_write_to_file failed (5507)"
    assert b'"write to file failed":expression failed' in result.stdout
    assert path.read_bytes() == b"old"
    assert os.listdir(str(tmp_path)) == ["out.qel"]
