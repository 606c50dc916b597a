"""Typed values and the package's errors.

A typed value carries the exact QEL type it is written with. It behaves as the
Python value it holds (an int, a float, a str), with one difference: it
compares equal only to a typed value of the same class and value, and hashes
apart from plain values. So Int8(5) != 5 and Int8(5) != Int16(5), which is
what lets loads(..., typed=True) keep map keys apart that QEL keeps apart.
"""
import operator
import struct

import _qeltypes

error = _qeltypes.qeltypesError

__all__ = [
    "DecodeError", "EncodeError", "EncodeTypeError", "EncodeValueError", "EncodeOverflowError",
    "Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64",
    "Float16", "Float32", "Float64", "CString", "Blob", "Timestamp",
]


# --- errors ---------------------------------------------------------------------

class DecodeError(error, ValueError):
    """A stream that cannot be read: `offset` is the byte offset of the fault
    in the input, `expected` what should have stood there."""

    def __init__(self, message, offset=None, expected=None):
        super().__init__(message)
        self.offset = offset
        self.expected = expected


class EncodeError(error):
    """An object that cannot be written: `path` says where it stands in the
    object given, as in root["users"][3]["joined"]. Raised as one of the
    three subclasses below, each also of the built-in category it belongs to."""

    def __init__(self, message, path="root"):
        super().__init__(message)
        self.path = path


class EncodeTypeError(EncodeError, TypeError):
    """An object of a type that has no QEL form (and no default for it)."""


class EncodeValueError(EncodeError, ValueError):
    """A value that its type allows but QEL cannot hold as it is: a str
    holding NUL, a timezone-aware datetime, a cycle, repeated map keys."""


class EncodeOverflowError(EncodeError, OverflowError):
    """A number beyond every width QEL has for it."""


def _format_path(parts):
    import json
    text = ["root"]
    for part in parts:
        if isinstance(part, tuple):
            key = part[0]
            text.append("[%s]" % (json.dumps(key, ensure_ascii=False) if isinstance(key, str) else repr(key)))
        else:
            text.append("[%d]" % part)
    return "".join(text)


_ENCODE_ERRORS = {"type": EncodeTypeError, "value": EncodeValueError, "overflow": EncodeOverflowError}


def _encode_error(kind, message, parts):
    """The codec's EncodeError: list indexes in `parts` are ints, map keys
    1-tuples."""
    path = _format_path(parts)
    return _ENCODE_ERRORS[kind]("%s at %s" % (message, path), path)


# --- typed values ---------------------------------------------------------------
# Each class knows its QEL type code. Equality needs the same code and the same
# value; the hash is the plain value's hash with a per-class tag folded in, so
# that a typed value and the plain value it holds never meet as dict keys.

def _tag(code):
    return (code * 0x9E3779B97F4A7C15 + 0x632BE59BD9B4E019) & 0x0FFFFFFFFFFFFFFF


def _same(a, b):
    return getattr(type(b), "_qel_code", None) == a._qel_code


class _TypedInt(int):
    __slots__ = ()
    _qel_code = 0
    _min = _max = 0

    def __new__(cls, value=0):
        self = int.__new__(cls, value)
        if not cls._min <= self <= cls._max:
            raise OverflowError("%s holds %d to %d, not %d" % (cls.__name__, cls._min, cls._max, int(self)))
        return self

    def __eq__(self, other):
        return _same(self, other) and int.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return int.__hash__(self) ^ _tag(self._qel_code)

    def __repr__(self):
        return "%s(%d)" % (type(self).__name__, self)

    __str__ = int.__repr__

    def __reduce__(self):
        return (type(self), (int(self),))


class Int8(_TypedInt):
    """An int written as int8."""
    __slots__ = ()
    _qel_code, _min, _max = 8, -2 ** 7, 2 ** 7 - 1


class Int16(_TypedInt):
    """An int written as int16."""
    __slots__ = ()
    _qel_code, _min, _max = 7, -2 ** 15, 2 ** 15 - 1


class Int32(_TypedInt):
    """An int written as int32."""
    __slots__ = ()
    _qel_code, _min, _max = 6, -2 ** 31, 2 ** 31 - 1


class Int64(_TypedInt):
    """An int written as int64."""
    __slots__ = ()
    _qel_code, _min, _max = 5, -2 ** 63, 2 ** 63 - 1


class UInt8(_TypedInt):
    """An int written as uint8."""
    __slots__ = ()
    _qel_code, _min, _max = 12, 0, 2 ** 8 - 1


class UInt16(_TypedInt):
    """An int written as uint16."""
    __slots__ = ()
    _qel_code, _min, _max = 11, 0, 2 ** 16 - 1


class UInt32(_TypedInt):
    """An int written as uint32."""
    __slots__ = ()
    _qel_code, _min, _max = 10, 0, 2 ** 32 - 1


class UInt64(_TypedInt):
    """An int written as uint64."""
    __slots__ = ()
    _qel_code, _min, _max = 9, 0, 2 ** 64 - 1


class _TypedFloat(float):
    """Floats compare by their bits, as QEL keys do: 0.0 and -0.0 differ,
    and a NaN equals a NaN of the same bits."""
    __slots__ = ()
    _qel_code = 0
    _format = "<d"

    def __new__(cls, value=0.0):
        x = float(value)
        try:
            rounded = struct.unpack(cls._format, struct.pack(cls._format, x))[0]
        except OverflowError:
            raise OverflowError("%r is beyond the range of %s" % (x, cls.__name__)) from None
        return float.__new__(cls, rounded)

    def _bits(self):
        return struct.pack("<d", self)

    def __eq__(self, other):
        return _same(self, other) and self._bits() == other._bits()

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash(self._bits()) ^ _tag(self._qel_code)

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, float.__repr__(self))

    __str__ = float.__repr__

    def __reduce__(self):
        return (float.__new__, (type(self), float(self)))


class Float16(_TypedFloat):
    """A float written as binary16: the value is rounded to the nearest
    binary16, ties to even; a finite value beyond 65504 (after rounding)
    raises OverflowError."""
    __slots__ = ()
    _qel_code, _format = 3, "<e"


class Float32(_TypedFloat):
    """A float written as binary32: the value is rounded to the nearest
    binary32, ties to even; a finite value beyond its range raises
    OverflowError."""
    __slots__ = ()
    _qel_code, _format = 2, "<f"


class Float64(_TypedFloat):
    """A float written as float64, as every float is. loads(..., typed=True)
    gives float64 values as Float64, so that their keys stay apart from bool
    keys (1.0 and True) and 0.0 from -0.0."""
    __slots__ = ()
    _qel_code, _format = 1, "<d"


class CString(str):
    """A str written as a C string (string subtype 0) instead of UTF-8.
    Built from bytes, it keeps bytes that are not UTF-8 as lone surrogates
    (the surrogateescape error handler), and writes them back unchanged."""
    __slots__ = ()
    _qel_code = 4

    def __new__(cls, value=""):
        if isinstance(value, (bytes, bytearray, memoryview)):
            value = bytes(value).decode("utf-8", "surrogateescape")
        elif not isinstance(value, str):
            raise TypeError("a CString is made from a str or bytes, not %s" % type(value).__name__)
        self = str.__new__(cls, value)
        if "\0" in self:
            raise ValueError("a CString cannot hold NUL: a QEL string ends at its first NUL")
        return self

    def __eq__(self, other):
        return _same(self, other) and str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return str.__hash__(self) ^ _tag(self._qel_code)

    def __repr__(self):
        return "CString(%s)" % str.__repr__(self)

    def __str__(self):
        return str.__str__(self)

    def __reduce__(self):
        return (CString, (str(self),))


class Blob:
    """Binary data with its binary type (0 to 255). Plain bytes are written
    with binary type 0."""
    __slots__ = ("data", "type")
    _qel_code = 14

    def __init__(self, data, type=0):
        data = data if data.__class__ is bytes else memoryview(data).tobytes()
        type = operator.index(type)
        if not 0 <= type <= 255:
            raise ValueError("a binary type is 0 to 255, not %d" % type)
        object.__setattr__(self, "data", data)
        object.__setattr__(self, "type", type)

    def __setattr__(self, name, value):
        raise AttributeError("a Blob cannot be changed")

    def __eq__(self, other):
        return _same(self, other) and (self.type, self.data) == (other.type, other.data)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return hash((self.type, self.data)) ^ _tag(self._qel_code)

    def __repr__(self):
        return "Blob(%r, type=%d)" % (self.data, self.type)

    def __reduce__(self):
        return (Blob, (self.data, self.type))


_TIMESTAMP_FIELDS = ("year", "month", "day", "hour", "minute", "second", "microsecond")
_TIMESTAMP_RANGES = ((-2 ** 15, 2 ** 15 - 1),) + ((0, 255),) * 5 + ((0, 2 ** 32 - 1),)


class Timestamp(tuple):
    """The seven fields of a QEL timestamp as stored, unchecked against the
    calendar: (year, month, day, hour, minute, second, microsecond). Loads
    gives one where a datetime cannot hold the fields (month 13, say)."""
    __slots__ = ()
    _qel_code = 19

    def __new__(cls, year, month, day, hour=0, minute=0, second=0, microsecond=0):
        values = tuple(operator.index(v) for v in (year, month, day, hour, minute, second, microsecond))
        for name, value, (low, high) in zip(_TIMESTAMP_FIELDS, values, _TIMESTAMP_RANGES):
            if not low <= value <= high:
                raise OverflowError("a Timestamp's %s is %d to %d, not %d" % (name, low, high, value))
        return tuple.__new__(cls, values)

    year = property(operator.itemgetter(0), doc="signed 16-bit")
    month = property(operator.itemgetter(1), doc="unsigned 8-bit")
    day = property(operator.itemgetter(2), doc="unsigned 8-bit")
    hour = property(operator.itemgetter(3), doc="unsigned 8-bit")
    minute = property(operator.itemgetter(4), doc="unsigned 8-bit")
    second = property(operator.itemgetter(5), doc="unsigned 8-bit")
    microsecond = property(operator.itemgetter(6), doc="unsigned 32-bit")

    def __eq__(self, other):
        return _same(self, other) and tuple.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __hash__(self):
        return tuple.__hash__(self) ^ _tag(self._qel_code)

    def __repr__(self):
        return "Timestamp(%d, %d, %d, %d, %d, %d, %d)" % self

    def __getnewargs__(self):
        return tuple(self)


for _cls in (DecodeError, EncodeError, EncodeTypeError, EncodeValueError, EncodeOverflowError,
             Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
             Float16, Float32, Float64, CString, Blob, Timestamp):
    # Pickle and repr find them where users do.
    _cls.__module__ = "qeltypes"
del _cls
