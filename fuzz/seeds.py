#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: python3 fuzz/seeds.py OUTDIR
makes OUTDIR/<target>/ for each target. The streams are the shapes the test
suites use (every element type, nesting, maps that resize, keys that share
one hash, the refusals the reader must survive); the operation seeds are
short scripts for the variant interpreter, encoded the way
FuzzedDataProvider decodes them; the codec's seeds are streams with the
shapes its tests use (keys equal in Python but not in QEL, NaN keys, odd
bools, timestamps a datetime cannot hold), read whole or as streams, and
descriptions of trees for the generator of codec_fuzz.py."""
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


def binary(data, subtype=0):
    return bytes([14, subtype]) + struct.pack("<I", len(data)) + data


# Two six-byte blocks with the same contribution to the value hash: keys made
# of the same number of them, in any order, all share one hash.
COLLIDING_BLOCKS = (bytes.fromhex("727a742fc5cc"), bytes.fromhex("672d7823fa47"))


def colliding_keys(blocks, count):
    return [b"".join(COLLIDING_BLOCKS[(i >> j) & 1] for j in range(blocks)) for i in range(count)]


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
    # Chains of 16 and 40 keys of one hash: long enough for the side index.
    "colliding_keys": b"\x31" + b"".join(binary(k) + i8(i) for i, k in enumerate(colliding_keys(4, 16))) + b"\x00",
    "colliding_keys_repeated": b"\x31" + b"".join(
        binary(k) + i8(i) for i, k in enumerate(colliding_keys(6, 40) + colliding_keys(6, 8))) + b"\x00",
}

F64_NAN = b"\x01" + struct.pack("<d", float("nan"))


def ts(*fields):
    return b"\x13" + struct.pack("<hBBBBBI", *fields)


# Streams for the codec, beside STREAMS.
CODEC_STREAMS = {
    "keys_equal_in_python": b"\x31" + i8(5) + i8(1) + b"\x07\x05\x00" + i8(2) + s("a") + i8(3) + s("a", 1) + i8(4)
                            + b"\x0d\x01" + i8(5) + b"\x01" + struct.pack("<d", 1.0) + i8(6) + b"\x00",
    "zero_signs": b"\x31\x01" + bytes(8) + i8(1) + b"\x01" + bytes(7) + b"\x80" + i8(2) + b"\x00",
    "nan_keys": b"\x31" + F64_NAN + i8(1) + F64_NAN + i8(2) + b"\x03\x00\x7e" + i8(3) + b"\x03\x01\x7e" + i8(4)
                + b"\x02\x01\x00\x80\x7f" + i8(5) + b"\x00",
    "repeated_key_drops_a_map": b"\x31" + s("k") + b"\x31" + i8(1) + i8(1) + b"\x0c\x01" + i8(2) + b"\x00"
                                + s("k") + i8(3) + b"\x00",
    "odd_bools": b"\x30\x0d\x02\x0d\xff\x31\x0d\x01" + i8(1) + b"\x0d\x02" + i8(2) + b"\x00\x00",
    "timestamps": b"\x30" + ts(2018, 12, 31, 23, 59, 58, 999999) + ts(2018, 13, 1, 0, 0, 0, 0)
                  + ts(2019, 2, 29, 0, 0, 0, 0) + ts(0, 1, 1, 0, 0, 0, 0) + ts(2020, 1, 1, 24, 0, 0, 0)
                  + ts(2020, 1, 1, 0, 0, 0, 10 ** 6) + ts(-1, 255, 255, 255, 255, 255, 2 ** 32 - 1) + b"\x00",
    "timestamp_keys": b"\x31" + ts(2020, 2, 29, 1, 2, 3, 4) + i8(1) + ts(2020, 2, 30, 1, 2, 3, 4) + i8(2) + b"\x00",
    "texts": b"\x31" + s("\u00e9t\u00e9", 1) + b"\x04\x00\x03\x00\x00\x00\xff\xfe\x00" + s("x" * 24, 1)
             + s("y" * 25, 1) + s("x" * 24, 1) + b"\x04\x00\x03\x00\x00\x00\xff\xfe\x00" + s("", 1) + s("", 0)
             + b"\x04\x01\x04\x00\x00\x00\xed\xa0\x80\x00" + i8(0) + b"\x00",
    "binaries": b"\x30" + binary(b"") + binary(b"\x00\x01", 1) + binary(b"\xff" * 9, 255) + b"\x31"
                + binary(b"k") + i8(1) + binary(b"k", 7) + i8(2) + b"\x00\x00",
    "numbers": b"\x30\x09" + b"\xff" * 8 + b"\x05" + struct.pack("<q", -2 ** 63) + b"\x03\x01\x00\x03\xff\x7b"
               + b"\x02\x01\x00\x80\x7f\x02\x00\x00\x80\xff\x0a\xff\xff\xff\xff\x06\x00\x00\x00\x80\x00",
    "many_int_keys": b"\x31" + b"".join(b"\x06" + struct.pack("<i", k * 7919) + i8(k) for k in range(70)) + b"\x00",
    "keys_read_again_over_nesting": b"\x31" + s("a") + b"\x30" + s("x") + b"\x31" + s("a") + b"\x30\x00\x00\x00"
                                    + i8(5) + i8(1) + b"\x04\x00\x02\x00\x00\x00a\x00" + i8(2) + b"\x00",
}

# Byte 6 of the header picks the options of fuzz_codec_loads: none; allow
# trailing bytes and every limit one below the need; every limit at the need;
# every limit one above, on a memoryview.
CODEC_OPTIONS = (0x00, 0x2B, 0x54, 0xFE)
# The first byte of fuzz_codec_stream: plain in pieces of 1 byte; typed in
# pieces of 1, 4 and 9 as memoryviews; typed from read() in 7-byte pieces
# with the limits; plain, closed after the first item.
STREAM_OPTIONS = (0x00, 0x17, 0xA9, 0x4C)


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

    def binary(self, data, slot, bin_type=0):
        self.op(0).num(15, 0, 18).num(len(data), 0, 24)
        self.front += data
        return self.num(bin_type, 0, 255).slots(slot)

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
    # Keys of one hash: 16 into one map (a chain with its index), lookups and
    # deletions within the chain, a walk, and a write and read back.
    d = Ops().new(18, 0)
    for i, key in enumerate(colliding_keys(4, 16)):
        d.binary(key, 1).new(3, 2, i, -2 ** 63, 2 ** 63 - 1).op(11, 0, 1, 2)
    d.op(13).num(1, 0, 1).slots(0, 1, 3).op(12, 0, 1).op(13).num(0, 0, 1).slots(0, 1, 3)
    d.op(15, 0).num(2, 0, 2).op(17, 0, 4)
    # The same keys set, half deleted (the chain falls below the index's
    # length) and set again.
    e = Ops().new(18, 0)
    keys = colliding_keys(4, 12)
    for key in keys:
        e.binary(key, 1).op(11, 0, 1, 1)
    for key in keys[::2]:
        e.binary(key, 1).op(12, 0, 1)
    for key in keys[:4]:
        e.binary(key, 2).op(11, 0, 2, 2)
    e.op(15, 0).num(2, 0, 2).op(17, 0, 4)
    return {"list_ops": a.encode(), "map_ops": b.encode(), "unwritable_half": c.encode(),
            "colliding_keys": d.encode(), "colliding_keys_deleted": e.encode()}


class Tree:
    """Encodes a description for the tree generator of codec_fuzz.py (Gen):
    a value is a kind byte and its operands, a dict key a key byte."""

    def __init__(self, utc=False, default=False, any_root=False):
        self.out = bytearray([utc | default << 1 | any_root << 2])

    def raw(self, *parts):
        for part in parts:
            self.out += part if isinstance(part, bytes) else bytes([part])
        return self

    def scalar(self, kind, *operands):
        return self.raw(kind, *operands)

    def root(self, kind, count):  # 0 list, 1 tuple, 2 dict
        return self.raw(kind, count)

    def container(self, kind, count):  # 0 list, 1 tuple, 2 dict, 3-5 their subclasses
        return self.raw(26 + kind, count)

    def key(self, kind, *operands):
        return self.raw(kind << 3, *operands)

    def encode(self):
        return bytes(self.out)


# Operands of each scalar kind of Gen.scalar, in kind order.
SCALAR_OPERANDS = [b"", b"\x01", b"\xfb", b"\x02" + struct.pack("<q", -2 ** 40), b"\x09", struct.pack("<d", 1.5),
                   b"\x04", b"\x03ab\xc1", b"\x02\x00\xff", b"\x02ab\x02",
                   struct.pack("<H", 2019) + bytes([1, 27, 23, 59, 59]) + struct.pack("<I", 999999) + b"\x08",
                   struct.pack("<H", 0) + bytes(9) + b"\x02" + struct.pack("<h", 1499),
                   b"\x05" + struct.pack("<q", -1), b"\x00\x00\x04", b"\x02\xff\xfe\x01", b"\x01z\x07",
                   struct.pack("<h", 2018) + bytes([13, 1, 0, 0, 0]) + struct.pack("<I", 0),
                   b"\x01" + struct.pack("<d", 2.5), b"\x00\x00\x01", b"\x03", b"\x02\x05", b"", b"", b"", b"", b""]


def tree_seeds():
    every = Tree().root(0, 2)
    for kind, operands in enumerate(SCALAR_OPERANDS):
        if kind % 13 == 0:
            every.container(0, 13)
        every.scalar(kind, operands)
    keys = Tree(utc=True).root(2, 11)
    for kind in (0, 1, 2, 3, 5, 7, 8, 10, 12, 14, 16):
        keys.key(kind, SCALAR_OPERANDS[kind]).scalar(2, 1)
    # Keys Python keeps apart that may be one QEL value (a twin follows each).
    twins = Tree(utc=True).root(2, 10)
    for kind in (3, 6, 8, 7, 10):
        operands = b"\x04" if kind == 6 else SCALAR_OPERANDS[kind]
        twins.key(kind, operands).scalar(2, 1).raw(6).scalar(2, 2)
    # Subclasses, Custom objects, a cycle, deep nesting; then a payload large
    # enough to be referred to and a dict large enough to be fetched ahead.
    nested = Tree(default=True).root(2, 5).key(7, b"\x01a").container(3, 2).raw(36, 0, 1, 32, 1)
    nested.key(7, b"\x01b").container(4, 2).scalar(17, SCALAR_OPERANDS[17]).raw(33, 0, 20, 12)
    nested.key(7, b"\x01c").container(5, 1).key(18, SCALAR_OPERANDS[18]).raw(38, 19, 3, 0)
    nested.key(7, b"\x01d").raw(35, 0, 1).key(7, b"\x01e").raw(34, 0, 1)
    seeds = {"every_scalar": every.encode(), "every_key": keys.encode(), "twin_keys": twins.encode(),
             "nested": nested.encode(),
             "scalar_root": Tree(any_root=True).scalar(11, SCALAR_OPERANDS[11]).encode(),
             "default_chain": Tree(default=True).root(0, 2).raw(*[36] * 6, 2, 1, *[0] * 6).raw(*[36] * 17).encode()}
    refusals = {"unknown_object": [37], "int_overflow": [4, 0], "nul_in_str": [7, 1, 0], "lone_surrogate": [7, 1, 0x8B],
                "container_key": [28, 1, 7 | 8, 2, 5, 0]}
    for name, value in refusals.items():
        seeds["refuse_" + name] = Tree().root(0, 2).scalar(2, 1).raw(*value).encode()
    return seeds


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
    for name, body in list(STREAMS.items()) + list(CODEC_STREAMS.items()):
        for options in CODEC_OPTIONS:
            write(os.path.join(out, "fuzz_codec_loads"), name, HEADER[:6] + bytes([options]) + body)
    for name, data in tree_seeds().items():
        write(os.path.join(out, "fuzz_codec_dumps"), name, data)
    # The stream target's first byte: typed, the sizes of the pieces read,
    # pieces as memoryviews, a source with read() alone, closing after the
    # first item, limits from header byte 6.
    for name, body in list(STREAMS.items()) + list(CODEC_STREAMS.items()):
        for first, options in zip(STREAM_OPTIONS, CODEC_OPTIONS):
            write(os.path.join(out, "fuzz_codec_stream"), name, bytes([first]) + HEADER[:6] + bytes([options]) + body)


if __name__ == "__main__":
    main(sys.argv[1])
