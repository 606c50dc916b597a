#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: python3 fuzz/seeds.py OUTDIR
makes OUTDIR/<target>/ for each target. The streams are the shapes the test
suites use (every element type, nesting, maps that resize, the refusals the
reader must survive); the operation seeds are short scripts for the
variant interpreter, encoded the way FuzzedDataProvider decodes them."""
import hashlib
import os
import struct
import sys

HEADER = b"_QEL\x01\x00\x00"


def s(text, subtype=0):
    data = text.encode() + b"\0"
    return bytes([4, subtype]) + struct.pack("<I", len(data)) + data


def i8(v):
    return bytes([8, v & 0xFF])


EVERY_SCALAR = b"".join([
    b"\x01" + struct.pack("<d", -1.5), b"\x02" + struct.pack("<f", 0.25),
    b"\x03\x00\x3c", s("c"), s("utf8 \u00e9", 1), b"\x05" + struct.pack("<q", -2 ** 63),
    b"\x06" + struct.pack("<i", -7), b"\x07" + struct.pack("<h", 300), i8(-1),
    b"\x09" + struct.pack("<Q", 2 ** 64 - 1), b"\x0a" + struct.pack("<I", 7),
    b"\x0b" + struct.pack("<H", 65535), b"\x0c\xff", b"\x0d\x01", b"\x0d\x07",
    b"\x0e\x01\x03\x00\x00\x00abc", b"\x0f",
    b"\x13" + struct.pack("<hBBBBBI", 2018, 12, 31, 23, 59, 58, 999999),
])

# Bodies after the header.
STREAMS = {
    "empty_list": b"\x30\x00",
    "empty_map": b"\x31\x00",
    "worked_map": b"\x31" + s("a") + i8(5) + b"\x00",
    "every_scalar": b"\x30" + EVERY_SCALAR + b"\x00",
    "nested": b"\x31" + s("list") + b"\x30" + i8(1) + b"\x31\x00\x30\x00\x00"
              + s("map") + b"\x31" + i8(2) + b"\x30\x00\x00\x00",
    "resizing_map": b"\x31" + b"".join(i8(k) + s("v%d" % k) for k in range(40)) + b"\x00",
    "repeated_key": b"\x31" + b"".join(i8(k % 6) + i8(k) for k in range(12)) + b"\x00",
    "deep": b"\x30" * 64 + b"\x00" * 64,
    "half_nan": b"\x30\x03\x00\x7e\x03\x00\x7c\x00",
    "trailing": b"\x30\x00garbage",
    "null_flags": b"\x30\x88\xb0\x81\x84\x00",
    "wide_strings": b"\x30\x04\x02\x02\x00\x00\x00a\x00\x00\x00\x04\x03\x01\x00\x00\x00\x00\x00\x00\x00\x00",
    "reader_only": b"\x30\x10" + bytes(8) + b"\x11\xe2\x07\x0c\x1f\x12\x17\x3b\x3a"
                   b"\x32" + s("k") + b"\x00" + i8(1) + b"\x00\x00",
    "odd_map": b"\x31" + i8(1) + b"\x00",
    "container_key": b"\x31\x30\x00" + i8(1) + b"\x00",
    "short_binary": b"\x30\x0e\x00\xff\xff\xff\xff",
    "empty_payloads": b"\x30\x0e\x05\x00\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00",
}


class Ops:
    """Encodes the operation interpreter's input: integers are taken from
    the end of the input (first taken is most significant), byte runs from
    the front."""

    def __init__(self):
        self.front, self.back = b"", []

    def num(self, value, lo, hi):
        value -= lo
        span = hi - lo
        taken = []
        while span:
            taken.append(value & 0xFF)
            value >>= 8
            span >>= 8
        self.back += reversed(taken)
        return self

    def op(self, code, *slots):
        self.num(code, 0, 20)
        return self.slots(*slots)

    def slots(self, *slots):
        for slot in slots:
            self.num(slot, 0, 255)
        return self

    def new(self, kind, slot, value=None, lo=0, hi=0):
        self.op(0).num(kind, 0, 18)
        if value is not None:
            self.num(value, lo, hi)
        return self.slots(slot)

    def text(self, data, slot):
        self.op(0).num(13, 0, 18).num(len(data), 0, 24)
        self.front += data
        return self.slots(slot)

    def encode(self):
        return self.front + bytes(reversed(self.back))


def op_seeds():
    # Kinds: 3 int64, 8 float16, 17 list, 18 map. Operations: 2 drop, 3 share,
    # 4 append, 5 insert, 8 delete, 9 clear, 10 contains, 11 map set, 12 map
    # delete, 13 map get, 15 map walk, 16 compare, 17 write and read.
    a = Ops().new(17, 0).new(3, 1, -5, -2 ** 63, 2 ** 63 - 1).op(4, 0, 1).op(4, 0, 1).op(5, 0, 0).num(1, -1, 3)
    a.op(10, 0, 1).num(0, 0, 1).num(0, -2, 40).num(0, -2, 40).op(17, 0, 2).op(8, 2).num(0, -1, 3)
    b = Ops().new(18, 0).text(b"key\0", 1).new(17, 2).op(11, 0, 1, 2)
    b.op(13).num(1, 0, 1).slots(0, 1, 3).op(15, 0).num(2, 0, 2).op(17, 0, 4).op(12, 0, 1)
    b.op(16, 1, 1)
    c = Ops().new(17, 0).new(8, 1, 0x7E00, 0, 65535).op(4, 0, 1).op(17, 0, 2).op(3, 0, 5).op(2, 0).op(9, 5)
    return {"list_ops": a.encode(), "map_ops": b.encode(), "unwritable_half": c.encode()}


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    digest = hashlib.sha1(data).hexdigest()[:12]
    with open(os.path.join(directory, "%s-%s" % (name, digest)), "wb") as f:
        f.write(data)


def main(out):
    for name, body in STREAMS.items():
        write(os.path.join(out, "fuzz_read_tree"), name, HEADER + body)
        # The reader target's first byte: bit 7 reads from a file, bits 0-6
        # are the callback's stop count (127: never).
        for stop in (0x7F, 0x01, 0xFF, 0x80):
            write(os.path.join(out, "fuzz_qel_reader"), name, bytes([stop]) + HEADER + body)
    for name, data in op_seeds().items():
        write(os.path.join(out, "fuzz_variant_ops"), name, data)


if __name__ == "__main__":
    main(sys.argv[1])
