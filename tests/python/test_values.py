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

# (type, value given, value read back, type code): the formats' limits, how
# values outside an 8-bit type wrap, and float32 widened back to float64.
SCALARS = [
    ("int64", -2 ** 63, -2 ** 63, 5), ("int64", 2 ** 63 - 1, 2 ** 63 - 1, 5), ("int32", -2 ** 31, -2 ** 31, 6),
    ("int16", -32768, -32768, 7), ("int8", -128, -128, 8), ("int8", 200, -56, 8), ("int8", -32768, 0, 8),
    ("uint64", 2 ** 64 - 1, 2 ** 64 - 1, 9), ("uint64", -1, 2 ** 64 - 1, 9), ("uint32", -1, 4294967295, 10),
    ("uint32", 2 ** 32 + 5, 5, 10), ("uint16", 70000, 4464, 11), ("uint8", 300, 44, 12), ("uint8", -1, 255, 12),
    ("bool", True, 1, 13), ("bool", 256, 0, 13), ("bool", 7, 7, 13), ("float64", -math.inf, -math.inf, 1),
    ("float32", 0.1, 0.10000000149011612, 2), ("float16", 15360, 15360, 3), ("float16", 80896, 15360, 3),
]


@pytest.mark.parametrize("kind,given,expected,code", SCALARS)
def test_scalar_round_trip(kind, given, expected, code):
    v = new(kind, given)
    assert q.qelt_variant_get_type(v) == (code, 0)
    got = read(kind, v)
    assert got == expected and type(got) is type(expected)
    q.qelt_variant_decref(v)


# The module's argument formats: the signed ones test the range (int8 takes a
# 16-bit value, a list index 32 bits); strings, blobs and streams take only
# bytes-like objects that cannot change.
@pytest.mark.parametrize("method,args,error", [
    ("qelt_variant_new_int64", (2 ** 63,), OverflowError), ("qelt_variant_new_int32", (2 ** 31,), OverflowError),
    ("qelt_variant_new_int16", (32768,), OverflowError), ("qelt_variant_new_int8", (40000,), OverflowError),
    ("qelt_variant_new_timestamp", (40000, 1, 1, 1, 1, 1, 1), OverflowError),
    ("qelt_variant_list_get_item", (0, 2 ** 31), OverflowError),
    ("qelt_variant_list_get_item", (0, -2 ** 31 - 1), OverflowError),
    ("qelt_variant_new_string_c", (1,), TypeError), ("qelt_variant_new_string_c", (memoryview(b"abc"),), TypeError),
    ("qelt_variant_new_string_c", (bytearray(b"abc"),), TypeError),
    ("qelt_variant_new_binary", ("text", 0), TypeError), ("qelt_variant_new_binary", (None, 0), TypeError),
    ("qelt_variant_new_binary", (bytearray(b"x"), 0), TypeError),
    ("qelt_read_from_buffer", ("text",), TypeError), ("qelt_read_from_buffer", (None,), TypeError),
    ("qelt_read_from_buffer", (bytearray(b"_QEL\x01\x00\x000\x00"),), TypeError),
])
def test_parser_refuses(method, args, error):
    with pytest.raises(error):
        getattr(q, method)(*args)


def test_half_conversions_take_the_low_16_bits():
    assert q.qelt_float_to_half(-65504.0) == 0xFBFF
    assert q.qelt_half_to_float(0x10000 + 0xFBFF) == -65504.0


# --- strings and binaries -----------------------------------------------------------

# A read-only buffer whose next byte in memory is not NUL.
UNTERMINATED = unterminated(b"abc")


@pytest.mark.parametrize("kind,subtype", [("string_c", 0), ("string_utf8", 1)])
@pytest.mark.parametrize("given,expected", [("abc", "abc"), (None, ""), ("", ""), ("ab\0cd", "ab"), (b"xyz", "xyz"),
                                            ("h\u00e9llo \u20ac \U0001F600", "h\u00e9llo \u20ac \U0001F600"),
                                            (UNTERMINATED[0], "abc")])
def test_string_round_trip(kind, subtype, given, expected):
    v = new(kind, given)
    assert q.qelt_variant_get_type(v) == (4, subtype)
    assert read(kind, v) == expected
    q.qelt_variant_decref(v)


def test_stored_bytes_that_are_not_utf8_fail_to_decode():
    v = q.qelt_variant_new_string_c(b"\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        q.qelt_variant_as_string_c(v)
    q.qelt_variant_decref(v)


# The library takes 32-bit sizes; strings count their terminator as well.
@pytest.mark.parametrize("kind,size", [("string_c", 2 ** 32 - 1), ("string_utf8", 2 ** 32 + 3),
                                       ("binary", 2 ** 32), ("binary", 2 ** 32 + 1)])
def test_too_long_for_32_bits(kind, size):
    huge = HugeBuffer(size)
    with raises_code(q.qeltypesError_WRONG_STRING_SIZE, "qelt_variant_new_" + kind, 10):
        new(kind, huge.view, 0) if kind == "binary" else new(kind, huge.view)


@pytest.mark.parametrize("data,given_type,stored_type", [
    (b"\x00\x01\x00", 7, 7), (b"x", 257, 1), (b"\xff" * 1000, 65535, 255),
    ((ctypes.c_char * 2).from_buffer_copy(b"ab"), 0, 0),
])
def test_binary_round_trip(data, given_type, stored_type):
    v = q.qelt_variant_new_binary(data, given_type)
    assert q.qelt_variant_get_type(v) == (14, stored_type)
    assert q.qelt_variant_as_binary(v) == (bytes(data), stored_type)
    q.qelt_variant_decref(v)


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
