"""Python objects to QEL and back, in one native call.

    import qeltypes
    data = qeltypes.dumps({"name": "Ada", "tags": ["x", "y"], "born": 1815})
    assert qeltypes.loads(data) == {"name": "Ada", "tags": ["x", "y"], "born": 1815}

dumps/loads work on bytes, dump/load on files, and Reader, Writer and
events on streams of any size, an item or an element at a time; typed
values (Int8 ... UInt64, Float16, Float32, Float64, CString, Blob,
Timestamp) pin an exact QEL type, and loads(..., typed=True) gives them
back. to_variant and from_variant
convert between Python objects and the variant trees of the low-level module
_qeltypes, whose handles they take and give.
"""
from _qeltypes import (
    qeltypesError as error,
    qeltypesError_NYI as error_NYI,
    qeltypesError_INVALID_TYPE as error_INVALID_TYPE,
    qeltypesError_NULL_PTR as error_NULL_PTR,
    qeltypesError_REFCNT_EXCD as error_REFCNT_EXCD,
    qeltypesError_UNKNOWN as error_UNKNOWN,
    qeltypesError_OUT_OF_MEMORY as error_OUT_OF_MEMORY,
    qeltypesError_INDEX_OUT_OF_RANGE as error_INDEX_OUT_OF_RANGE,
    qeltypesError_CIRCULAR_REFERENCE as error_CIRCULAR_REFERENCE,
    qeltypesError_KEY_NOT_EXISTS as error_KEY_NOT_EXISTS,
    qeltypesError_WRONG_STRING_SIZE as error_WRONG_STRING_SIZE,
    qeltypesError_ILLEGAL_FILE_CONTENT as error_ILLEGAL_FILE_CONTENT,
    qeltypesError_UNDEFINED as error_UNDEFINED,
)

from ._types import (
    DecodeError, EncodeError, EncodeTypeError, EncodeValueError, EncodeOverflowError,
    Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64,
    Float16, Float32, Float64, CString, Blob, Timestamp,
)
from ._codec import dumps, loads, to_variant, from_variant
from ._files import dump, load
from ._streams import Reader, Writer, events
from ._version import __version__

__all__ = [
    "dumps", "loads", "dump", "load", "to_variant", "from_variant", "Reader", "Writer", "events",
    "Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64",
    "Float16", "Float32", "Float64", "CString", "Blob", "Timestamp",
    "DecodeError", "EncodeError", "EncodeTypeError", "EncodeValueError", "EncodeOverflowError",
    "error", "error_NYI", "error_INVALID_TYPE", "error_NULL_PTR", "error_REFCNT_EXCD", "error_UNKNOWN",
    "error_OUT_OF_MEMORY", "error_INDEX_OUT_OF_RANGE", "error_CIRCULAR_REFERENCE", "error_KEY_NOT_EXISTS",
    "error_WRONG_STRING_SIZE", "error_ILLEGAL_FILE_CONTENT", "error_UNDEFINED",
    "__version__",
]
