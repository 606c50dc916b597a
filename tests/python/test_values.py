import ctypes
import math

import pytest

import _qeltypes as q
from support import HugeBuffer, raises_code, unterminated


def new(kind, *args):
    return getattr(q, "qelt_variant_new_" + kind)(*args)


def read(kind, v):
    return getattr(q, "qelt_variant_as_" + kind)(v)


# --- scalars -------------------------------------------------------------------

# (type, value given, value read back, type code)
SCALARS = [
    ("int64", -2 ** 63, -2 ** 63, 5), ("int64", 2 ** 63 - 1, 2 ** 63 - 1, 5),
    ("int32", -2 ** 31, -2 ** 31, 6), ("int16", -32768, -32768, 7),
    ("int8", -128, -128, 8), ("int8", 200, -56, 8), ("int8", -32768, 0, 8),
    ("uint64", 2 ** 64 - 1, 2 ** 64 - 1, 9), ("uint64", -1, 2 ** 64 - 1, 9),
    ("uint32", -1, 4294967295, 10), ("uint32", 2 ** 32 + 5, 5, 10),
    ("uint16", 70000, 4464, 11), ("uint8", 300, 44, 12), ("uint8", -1, 255, 12),
    ("bool", True, 1, 13), ("bool", 256, 0, 13), ("bool", 7, 7, 13),
    ("float64", 0.1, 0.1, 1), ("float64", -math.inf, -math.inf, 1),
    ("float32", 0.1, 0.10000000149011612, 2), ("float32", 3.0, 3.0, 2),
    ("float16", 15360, 15360, 3), ("float16", 80896, 15360, 3),
]


@pytest.mark.parametrize("kind,given,expected,code", SCALARS)
def test_scalar_round_trip(kind, given, expected, code):
    v = new(kind, given)
    assert q.qelt_variant_get_type(v) == (code, 0)
    got = read(kind, v)
    assert got == expected and type(got) is type(expected)
    q.qelt_variant_decref(v)


# The signed formats test the range; int8 takes a 16-bit value.
@pytest.mark.parametrize("kind,value", [("int64", 2 ** 63), ("int32", 2 ** 31),
                                        ("int16", 32768), ("int8", 40000)])
def test_signed_scalar_out_of_range_fails_in_the_parser(kind, value):
    with pytest.raises(OverflowError):
        new(kind, value)


KINDS = ["int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8",
         "float64", "float32", "float16", "bool", "string_c", "string_utf8", "binary",
         "timestamp"]


@pytest.mark.parametrize("kind", KINDS)
def test_accessor_demands_its_own_type(kind):
    none = q.qelt_variant_new_none()
    with raises_code(q.qeltypesError_INVALID_TYPE, "qelt_variant_as_" + kind, 2):
        read(kind, none)
    for handle in (0, "x"):
        with raises_code(q.qeltypesError_NULL_PTR, "qelt_variant_as_" + kind, 3):
            read(kind, handle)
    q.qelt_variant_decref(none)


# --- half precision --------------------------------------------------------------

def test_half_conversions():
    assert q.qelt_float_to_half(1.0) == 15360
    assert q.qelt_float_to_half(-65504.0) == 0xFBFF
    assert q.qelt_half_to_float(0xFBFF) == -65504.0
    # Only the low 16 bits of the argument count.
    assert q.qelt_half_to_float(80896) == 1.0
    assert type(q.qelt_half_to_float(1)) is float


# --- strings -----------------------------------------------------------------------

@pytest.mark.parametrize("kind,subtype", [("string_c", 0), ("string_utf8", 1)])
@pytest.mark.parametrize("given,expected", [
    ("abc", "abc"), (None, ""), ("", ""), ("ab\0cd", "ab"), (b"xyz", "xyz"),
    ("h\u00e9llo \u20ac \U0001F600", "h\u00e9llo \u20ac \U0001F600"),
])
def test_string_round_trip(kind, subtype, given, expected):
    v = new(kind, given)
    assert q.qelt_variant_get_type(v) == (4, subtype)
    assert read(kind, v) == expected
    q.qelt_variant_decref(v)


@pytest.mark.parametrize("kind", ["string_c", "string_utf8"])
def test_string_from_buffer_without_terminator(kind):
    view, backing = unterminated(b"abc")
    v = new(kind, view)
    assert read(kind, v) == "abc"
    q.qelt_variant_decref(v)


def test_stored_bytes_that_are_not_utf8_fail_to_decode():
    v = q.qelt_variant_new_string_c(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        q.qelt_variant_as_string_c(v)
    q.qelt_variant_decref(v)


@pytest.mark.parametrize("value", [1, memoryview(b"abc"), bytearray(b"abc")])
def test_string_parser_failures(value):
    with pytest.raises(TypeError):
        q.qelt_variant_new_string_c(value)


@pytest.mark.parametrize("kind", ["string_c", "string_utf8"])
@pytest.mark.parametrize("size", [2 ** 32 - 1, 2 ** 32 + 3])
def test_string_too_long_for_32_bit_capacity(kind, size):
    huge = HugeBuffer(size)
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_variant_new_" + kind, 10):
        new(kind, huge.view)


# --- binaries ------------------------------------------------------------------------

@pytest.mark.parametrize("data,given_type,stored_type", [
    (b"\x00\x01\x00", 7, 7), (b"x", 257, 1), (b"\xff" * 1000, 65535, 255),
    ((ctypes.c_char * 2).from_buffer_copy(b"ab"), 0, 0),
])
def test_binary_round_trip(data, given_type, stored_type):
    v = q.qelt_variant_new_binary(data, given_type)
    assert q.qelt_variant_get_type(v) == (14, stored_type)
    assert q.qelt_variant_as_binary(v) == (bytes(data), stored_type)
    q.qelt_variant_decref(v)


def test_empty_binary_is_refused():
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_variant_new_binary", 10):
        q.qelt_variant_new_binary(b"", 0)


@pytest.mark.parametrize("data", ["text", None, bytearray(b"x")])
def test_binary_parser_failures(data):
    with pytest.raises(TypeError):
        q.qelt_variant_new_binary(data, 0)


@pytest.mark.parametrize("size", [2 ** 32, 2 ** 32 + 1])
def test_binary_too_long_for_32_bit_length(size):
    huge = HugeBuffer(size)
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_variant_new_binary", 10):
        q.qelt_variant_new_binary(huge.view, 0)


# --- timestamps ------------------------------------------------------------------------

@pytest.mark.parametrize("given,expected", [
    ((2018, 13, 32, 25, 61, 61, 1000000), (2018, 13, 32, 25, 61, 61, 1000000)),
    ((-32768, 255, 255, 255, 255, 255, 2 ** 32 - 1), (-32768, 255, 255, 255, 255, 255, 2 ** 32 - 1)),
    ((2000, 256, 1, 1, 1, 1, 2 ** 32 + 7), (2000, 0, 1, 1, 1, 1, 7)),
])
def test_timestamp_round_trip(given, expected):
    v = q.qelt_variant_new_timestamp(*given)
    assert q.qelt_variant_get_type(v) == (19, 0)
    assert q.qelt_variant_as_timestamp(v) == expected
    q.qelt_variant_decref(v)


def test_timestamp_year_is_range_checked():
    with pytest.raises(OverflowError):
        q.qelt_variant_new_timestamp(40000, 1, 1, 1, 1, 1, 1)
