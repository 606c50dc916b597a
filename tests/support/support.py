import ctypes

import pytest


def raises_code(cls, method, code):
    """pytest.raises for the exact class and message of a library failure."""
    return pytest.raises(cls, match=r"^%s failed \(%d\)$" % (method, code))


class HugeBuffer:
    """A bytes-like object that claims `size` bytes but lies over a small real
    block, so that a test can pass a length past 32 bits without allocating
    it. Only the block's 64 bytes may ever be read."""

    def __init__(self, size, prefix=b"abc"):
        self.backing = ctypes.create_string_buffer(prefix, 64)
        self.view = (ctypes.c_char * size).from_address(ctypes.addressof(self.backing))


def unterminated(data):
    """A bytes-like view of `data` whose next byte in memory is not NUL, as
    the end of a larger buffer may be; the backing block rides along."""
    backing = ctypes.create_string_buffer(data + b"X", len(data) + 1)
    view = (ctypes.c_char * len(data)).from_address(ctypes.addressof(backing))
    return view, backing
