"""The qeltypes package: what it exports, its errors, and its typed values."""
import math
import os
import pickle
import re
import subprocess
import sys

import pytest

import _qeltypes
import qeltypes as q

HERE = os.path.dirname(os.path.abspath(__file__))
ERROR_NAMES = ["NYI", "INVALID_TYPE", "NULL_PTR", "REFCNT_EXCD", "UNKNOWN", "OUT_OF_MEMORY", "INDEX_OUT_OF_RANGE",
               "CIRCULAR_REFERENCE", "KEY_NOT_EXISTS", "WRONG_STRING_SIZE", "ILLEGAL_FILE_CONTENT", "UNDEFINED"]


def test_version_and_exports():
    assert re.match(r"^\d+\.\d+\.\d+", q.__version__)
    assert all(hasattr(q, name) for name in q.__all__)


def test_exception_classes_live_where_their_names_say():
    classes = [_qeltypes.qeltypesError] + [getattr(_qeltypes, "qeltypesError_" + n) for n in ERROR_NAMES]
    for cls in classes + [q.DecodeError, q.EncodeError, q.EncodeTypeError, q.EncodeValueError,
                          q.EncodeOverflowError]:
        assert getattr(q, cls.__qualname__) is cls and cls.__module__ == "qeltypes"
        back = pickle.loads(pickle.dumps(cls("qelt_variant_decref failed (3)")))
        assert type(back) is cls and str(back) == "qelt_variant_decref failed (3)"


def test_errors_carry_their_details_through_pickle():
    with pytest.raises(q.DecodeError) as decoding:
        q.loads(b"_QEL\x01\x00\x000\x14")
    with pytest.raises(q.EncodeTypeError) as encoding:
        q.dumps({"a": [object()]})
    for error, attributes in ((decoding.value, ("offset", "expected")), (encoding.value, ("path",))):
        back = pickle.loads(pickle.dumps(error))
        assert [getattr(back, a) for a in attributes] == [getattr(error, a) for a in attributes]
    assert isinstance(encoding.value, TypeError) and encoding.value.path == 'root["a"][0]'


# --- typed values ------------------------------------------------------------------

@pytest.mark.parametrize("cls, low, high", [
    (q.Int8, -128, 127), (q.Int16, -2 ** 15, 2 ** 15 - 1), (q.Int32, -2 ** 31, 2 ** 31 - 1),
    (q.Int64, -2 ** 63, 2 ** 63 - 1), (q.UInt8, 0, 255), (q.UInt16, 0, 2 ** 16 - 1), (q.UInt32, 0, 2 ** 32 - 1),
    (q.UInt64, 0, 2 ** 64 - 1),
])
def test_typed_ints_are_range_checked(cls, low, high):
    assert cls(low) + 0 == low and cls(high) + 0 == high
    for outside in (low - 1, high + 1):
        with pytest.raises(OverflowError):
            cls(outside)


def test_typed_floats_round_to_nearest_even():
    assert q.Float16(1 + 2 ** -11) == q.Float16(1.0)                # tie: to even
    assert q.Float16(1 + 3 * 2 ** -11) == q.Float16(1 + 2 ** -9)    # tie: to even, upwards
    assert q.Float16(65519.0) + 0 == 65504.0
    assert q.Float32(0.1) + 0 == 0.10000000149011612
    for cls, beyond in ((q.Float16, 65520.0), (q.Float32, 3.5e38)):
        with pytest.raises(OverflowError):
            cls(beyond)
    assert math.isinf(q.Float16(float("inf"))) and math.isnan(q.Float32(float("nan")))


def test_typed_values_equal_only_their_own_class():
    assert q.Int8(5) == q.Int8(5) and hash(q.Int8(5)) == hash(q.Int8(5))
    assert q.Int8(5) != 5 and 5 != q.Int8(5) and q.Int8(5) != q.Int16(5)
    assert q.Float64(0.0) != q.Float64(-0.0) and q.Float64(float("nan")) == q.Float64(float("nan"))
    assert q.CString("a") != "a" and "a" != q.CString("a")
    assert q.Blob(b"x", type=1) != q.Blob(b"x", type=2) and q.Blob(b"x") != b"x"
    assert q.Timestamp(2020, 1, 1) != (2020, 1, 1, 0, 0, 0, 0)
    keys = {q.Int8(1): "a", q.Int16(1): "b", 1: "c", q.Float64(1.0): "e", q.CString("1"): "f", "1": "g"}
    assert len(keys) == 6
    # Arithmetic and ordering stay those of the value.
    assert q.UInt8(200) + q.UInt8(100) == 300 and q.Int8(-1) < 0 and str(q.Int8(5)) == "5"


def test_typed_values_pickle_and_repr():
    values = [q.Int8(-5), q.UInt64(2 ** 64 - 1), q.Float16(1.5), q.Float32(0.1), q.Float64(-0.0),
              q.CString(b"a\xff"), q.Blob(b"\x00", type=3), q.Timestamp(2018, 13, 32, 25, 61, 61, 1000000)]
    for v in values:
        assert pickle.loads(pickle.dumps(v)) == v
        assert repr(v).startswith(type(v).__name__ + "(")
    assert q.Timestamp(1, 2, 3).month == 2 and q.Timestamp(1, 2, 3, microsecond=9)[6] == 9


def test_typed_value_refusals():
    for make, error in ((lambda: q.CString("a\0"), ValueError), (lambda: q.CString(5), TypeError),
                        (lambda: q.Blob("text"), TypeError), (lambda: q.Blob(b"", type=256), ValueError),
                        (lambda: q.Timestamp(2020, 256, 1), OverflowError),
                        (lambda: q.Timestamp(40000, 1, 1), OverflowError)):
        with pytest.raises(error):
            make()
    blob = q.Blob(bytearray(b"ab"), type=1)
    assert blob.data == b"ab" and type(blob.data) is bytes
    with pytest.raises(AttributeError):
        blob.type = 2


# --- stubs -------------------------------------------------------------------------

def test_mypy_strict_on_the_example_and_a_typed_use():
    pytest.importorskip("mypy")
    files = [os.path.join(HERE, "..", "..", "examples", "roundtrip.py"), os.path.join(HERE, "package_usage.py")]
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull]
                          + files, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert proc.returncode == 0, proc.stdout.decode()
    run = subprocess.run([sys.executable, files[1]], stdout=subprocess.PIPE, check=True)
    assert b'EncodeError root["a"]' in run.stdout


def test_the_codec_reads_object_layouts_on_this_interpreter():
    # Each falls back to the interpreter's functions when its self-check
    # fails; on the CPython versions the package supports, none should.
    from qeltypes import _codec
    assert _codec._self_checks() == dict.fromkeys(["datetime", "sequence", "ascii", "int", "float"], True)
