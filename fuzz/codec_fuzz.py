"""The fuzz targets of the package's codec. fuzz_python.cpp embeds the
interpreter and calls one function of this module per input (one executable
per function); a broken invariant raises, and the driver aborts on any
exception that escapes.

loads_target(data): data is a stream. loads either raises DecodeError and
    nothing else, or returns a tree that dumps writes back and loads reads
    again unchanged. Plain mode agrees with typed mode but for the types, and
    refuses exactly the maps whose keys only typed mode keeps apart. Byte 6 of
    the header, which readers skip, picks the options (see loads_options).
dumps_target(data): data describes a tree of Python objects (see Gen). dumps
    gives the bytes that Reference computes or its refusal, loads reads them
    back as the values it maps to, and the variant path (to_variant, the
    variant writer, from_variant) agrees with both.

The codec normalises three things, so streams that hold them are compared
as trees rather than bytes: a bool byte other than 0 and 1 reads as True and
is written as 1; of a repeated map key (the same bytes) the later value
stands at the first key's place; byte 6 of the header is written as 0.
Bytes after the root are dropped when allow_trailing lets them through.
"""
import datetime
import io
import math
import os
import struct
import sys

import _qeltypes
import qeltypes
from qeltypes import (Blob, CString, DecodeError, EncodeError, EncodeOverflowError, EncodeTypeError,
                      EncodeValueError, Float16, Float32, Float64, Int8, Int16, Int32, Int64, Timestamp, UInt8,
                      UInt16, UInt32, UInt64)
from qeltypes._types import _TypedFloat, _TypedInt

HEADER = b"_QEL\x01\x00\x00"
TYPED_INTS = (Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64)
TYPED_FLOATS = (Float16, Float32, Float64)
INT_CODES = {Int8: (8, "<b"), Int16: (7, "<h"), Int32: (6, "<i"), Int64: (5, "<q"),
             UInt8: (12, "<B"), UInt16: (11, "<H"), UInt32: (10, "<I"), UInt64: (9, "<Q")}
FIXED = {1: 8, 2: 4, 3: 2, 5: 8, 6: 4, 7: 2, 8: 1, 9: 8, 10: 4, 11: 2, 12: 1, 13: 1, 15: 0, 19: 11}
UTC = datetime.timezone.utc


class Finding(AssertionError):
    pass


def check(condition, *what):
    if not condition:
        raise Finding(" ".join(str(w) for w in what) or "invariant failed")


# The package under test is the instrumented build, not an installed copy.
for _module in (qeltypes, _qeltypes):
    check(_module.__file__.startswith(os.environ.get("QEL_FUZZ_STAGE", "")), "imported", _module.__file__)


# --- comparisons ------------------------------------------------------------------

def float_bits(x):
    return struct.pack("<d", x)


def scalar_same(a, b):
    if isinstance(a, float):
        return float_bits(a) == float_bits(b)
    if isinstance(a, datetime.datetime):
        return (a == b and a.fold == b.fold and a.tzinfo is None and b.tzinfo is None)
    if type(a) is Blob:
        return a.type == b.type and a.data == b.data
    return a == b


def same(a, b, ordered=True):
    """Whether two trees are equal value for value and type for type (a float
    by its bits); maps in the same order unless `ordered` is false."""
    todo = [(a, b)]
    while todo:
        x, y = todo.pop()
        if type(x) is not type(y):
            return False
        if type(x) is list:
            if len(x) != len(y):
                return False
            todo.extend(zip(x, y))
        elif type(x) is dict:
            if len(x) != len(y):
                return False
            if ordered:
                for (kx, vx), (ky, vy) in zip(x.items(), y.items()):
                    if type(kx) is not type(ky) or not scalar_same(kx, ky):
                        return False
                    todo.append((vx, vy))
            else:
                keys = {k: k for k in y}
                for kx, vx in x.items():
                    ky = keys.get(kx, keys)
                    if ky is keys or type(kx) is not type(ky) or not scalar_same(kx, ky):
                        return False
                    todo.append((vx, y[ky]))
        elif not scalar_same(x, y):
            return False
    return True


def to_plain(tree):
    """The tree that plain mode gives for a typed one, or None where two keys
    of a map become equal (plain mode refuses that stream). A NaN key is one
    object per bit pattern, so NaN keys that widen to the same bits are
    equal keys."""
    nan_keys = {}

    def key_of(v):
        k = scalar(v)
        if type(k) is float and math.isnan(k):
            k = nan_keys.setdefault(float_bits(k), k)
        return k

    def scalar(v):
        if isinstance(v, _TypedInt):
            return int(v)
        if isinstance(v, _TypedFloat):
            return float(v)
        if type(v) is CString:
            return str(v)
        if type(v) is Blob:
            return v.data
        return v

    def shell(v):
        return [] if type(v) is list else {} if type(v) is dict else scalar(v)

    root = shell(tree)
    todo = [(tree, root)]
    while todo:
        src, dst = todo.pop()
        if type(src) is list:
            for item in src:
                dst.append(shell(item))
                if type(item) in (list, dict):
                    todo.append((item, dst[-1]))
        else:
            for k, v in src.items():
                key = key_of(k)
                if key in dst:
                    return None
                dst[key] = shell(v)
                if type(v) in (list, dict):
                    todo.append((v, dst[key]))
    return root


def check_fresh(tree):
    """Every list and dict of a tree just made is held by its parent alone:
    one reference too many is a leak."""
    check(sys.getrefcount(tree) == 3, "root refcount", sys.getrefcount(tree))
    todo = [tree]
    while todo:
        node = todo.pop()
        for child in (node.values() if type(node) is dict else node):
            if type(child) is list or type(child) is dict:
                # the parent, `child` and the argument
                check(sys.getrefcount(child) == 3, "container refcount", sys.getrefcount(child))
                todo.append(child)


def outcome(fn, *args, **kwargs):
    try:
        return True, fn(*args, **kwargs)
    except DecodeError as e:
        # Without its frames, which would hold the caller's objects in a cycle.
        return False, e.with_traceback(None)


def check_decode_error(e, size):
    check(isinstance(e.offset, int) and 0 <= e.offset <= size or e.offset is None, "offset", e.offset, size)
    check(isinstance(e.expected, str) and e.expected, "expected", e.expected)
    check(str(e), "message")


# --- loads ------------------------------------------------------------------------

def stream_facts(data):
    """What the limits count in a stream that reads, and whether it is in the
    form dumps writes: (end of the root, elements, depth, longest string or
    binary, whether a bool byte is other than 0 and 1)."""
    pos, depth, deepest, elements, longest, odd_bool = len(HEADER), 0, 0, 0, 0, False
    while True:
        t = data[pos]
        pos += 1
        if t == 0:
            depth -= 1
            if depth == 0:
                return pos, elements, deepest, longest, odd_bool
            continue
        elements += 1
        if t in (0x30, 0x31):
            depth += 1
            deepest = max(deepest, depth)
        elif t in (4, 14):
            n = struct.unpack_from("<I", data, pos + 1)[0]
            longest = max(longest, n - 1 if t == 4 else n)
            pos += 5 + n
        else:
            odd_bool = odd_bool or (t == 13 and data[pos] > 1)
            pos += FIXED[t]


def tree_elements(tree):
    n, todo = 0, [tree]
    while todo:
        node = todo.pop()
        n += 1
        if type(node) is list:
            todo.extend(node)
        elif type(node) is dict:
            n += len(node)
            todo.extend(node.values())
    return n


def loads_options(data):
    """Byte 6: bit 0 allow_trailing; bits 1-2, 3-4 and 5-6 max_depth,
    max_elements and max_bytes (none, or at, one below or one above what the
    stream needs); bit 7 a memoryview instead of bytes."""
    byte = data[6] if len(data) > 6 else 0
    modes = [(byte >> shift) & 3 for shift in (1, 3, 5)]
    return bool(byte & 1), modes, bool(byte & 0x80)


def loads_target(data):
    allow, modes, view = loads_options(data)
    arg = memoryview(data) if view else data
    ok, typed = outcome(qeltypes.loads, arg, typed=True, allow_trailing=allow)
    plain_ok, plain = outcome(qeltypes.loads, arg, allow_trailing=allow)
    if not ok:
        check_decode_error(typed, len(data))
        # Typed mode keeps apart every key plain mode does.
        check(not plain_ok, "plain mode read a stream that typed mode refused:", typed)
        check_decode_error(plain, len(data))
        # A limit can only make a refused stream fail sooner.
        limits = {name: mode - 1 for name, mode in zip(("max_depth", "max_elements", "max_bytes"), modes) if mode}
        if limits:
            ok, e = outcome(qeltypes.loads, arg, typed=True, allow_trailing=allow, **limits)
            check(not ok, "limits let a refused stream through")
        return

    check_fresh(typed)
    end, elements, depth, longest, odd_bool = stream_facts(data)
    check(end == len(data) or (allow and end < len(data)), "root ends at", end, "of", len(data))

    # Written back, the tree reads as itself, and the writing is a fixed point.
    written = qeltypes.dumps(typed)
    again = qeltypes.loads(written, typed=True)
    check(same(typed, again), "typed tree changed on its way through dumps")
    check(qeltypes.dumps(again) == written, "dumps is not a fixed point")
    # Repeated keys drop the earlier values, and what they held.
    dropped = tree_elements(typed) != elements
    canonical = data[6] == 0 and not odd_bool and end == len(data) and not dropped
    if canonical:
        check(written == data, "a stream in the written form came back different")
    else:
        check(len(written) <= end, "normalising made the stream longer")

    expected_plain = to_plain(typed)
    if plain_ok:
        check_fresh(plain)
        check(expected_plain is not None, "plain mode kept keys that are equal in Python")
        check(same(plain, expected_plain), "plain tree differs from the typed one but for the types")
    else:
        check_decode_error(plain, len(data))
        # A value dropped for a repeated key may hold the keys plain mode refuses.
        check(expected_plain is None or dropped, "plain mode refused a stream whose keys stay apart:", plain)

    # The limits hold exactly at what the stream needs.
    needs = (depth, elements, longest)
    limits, fits = {}, True
    for name, mode, need in zip(("max_depth", "max_elements", "max_bytes"), modes, needs):
        if mode:
            limits[name] = max(need + mode - 2, 0)
            fits = fits and need <= limits[name]
    if limits:
        ok, limited = outcome(qeltypes.loads, arg, typed=True, allow_trailing=allow, **limits)
        check(ok == fits, "limits", limits, "for", needs, "gave", limited if not ok else "a tree")
        if ok:
            check(same(limited, typed), "a limited read gave another tree")
        else:
            check_decode_error(limited, len(data))


# --- trees from bytes ---------------------------------------------------------------

class Refused(TypeError):
    """What the harness's default raises for an object it has no form for."""


class Custom:
    """An object only `default` can write: it stands for its payload (a fresh
    copy of it each time when `fresh`)."""
    __slots__ = ("payload", "fresh")

    def __init__(self, payload, fresh=False):
        self.payload, self.fresh = payload, fresh


def default(o):
    if type(o) is Custom:
        p = o.payload
        if o.fresh and is_container(p):
            return dict(p) if isinstance(p, dict) else list(p)
        return p
    raise Refused("no form for %s" % type(o).__name__)


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


class MyDateTime(datetime.datetime):
    pass


class MyInt16(Int16):
    __slots__ = ()


class MyFloat32(Float32):
    __slots__ = ()


class NoOffset(datetime.tzinfo):
    """A tzinfo that gives no offset: its datetimes count as naive."""

    def utcoffset(self, dt):
        return None


SPECIAL_FLOATS = (0.0, -0.0, float("inf"), float("-inf"), float("nan"), 1.0, 1e300, 5e-324, 65504.0, 65520.0,
                  3.4028235677973366e38, 1e-8, struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf0\x7f")[0],
                  struct.unpack("<d", b"\x00\x00\x00\x00\x00\x00\xf8\xff")[0])
# Characters a text is made of: the byte itself below 0x80, else one of these.
WIDE_CHARS = "\u00e9\u20ac\U0001d11e\u0100\u07ff\u0800\uffff\U00010000\udc80\ud800"


def twin(key):
    """A key that Python keeps apart from `key` but that may be written as
    the same bytes."""
    if isinstance(key, datetime.datetime):
        if key.tzinfo is None:
            return key.replace(tzinfo=UTC)
        offset = key.utcoffset()
        return key.replace(tzinfo=None) - (offset or datetime.timedelta(0))
    if type(key) is Timestamp:
        return Reference.moment_value(tuple(key))
    if type(key) is int:
        for cls in (Int8, Int16, Int32, Int64, UInt64):
            if cls._min <= key <= cls._max:
                return cls(key)
    if type(key) is float:
        # A NaN as another object of the same bits.
        return struct.unpack("<d", float_bits(key))[0] if math.isnan(key) else Float64(key)
    if type(key) is bytes:
        return Blob(key)
    if type(key) is str:
        return CString(key.replace("\0", ""))
    if type(key) is bool:
        return UInt8(key)
    return key


class Gen:
    """Reads a tree from bytes: each value is a kind byte and its operands;
    running out of input reads zeros (a None, or an empty container). The
    first byte holds the options: bit 0 utc, bit 1 a default, bit 2 a root
    that is any value rather than a list, tuple or map."""

    MAX_NODES = 300
    MAX_DEPTH = 24

    def __init__(self, data):
        self.data, self.pos, self.nodes, self.levels, self.large = data, 0, 0, 80, 2
        self.weights, self.shared = {}, 0  # see weight()
        self.open = []     # containers being filled: the targets of cycles
        self.made = []     # containers made: the targets of shared references

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk + bytes(n - len(chunk))

    def num(self, fmt):
        return struct.unpack(fmt, self.take(struct.calcsize(fmt)))[0]

    def blob(self):
        return self.take(self.byte() % 32)

    def text(self):
        return "".join(chr(b) if b < 0x80 else WIDE_CHARS[b % len(WIDE_CHARS)] for b in self.blob())

    def options(self):
        flags = self.byte()
        return bool(flags & 1), bool(flags & 2), bool(flags & 4)

    def root(self, any_value):
        return self.value(0) if any_value else self.container(self.byte() % 3, 0)

    def container(self, kind, depth):
        cls = (list, tuple, dict, MyList, MyTuple, MyDict)[kind % 6]
        count = self.byte() % (12 if cls in (dict, MyDict) else 16)
        if cls in (dict, MyDict):
            node = cls()
            self.open.append(node)
            key = None
            for _ in range(count):
                key = self.key(depth + 1, key)
                node[key] = self.value(depth + 1)
        else:
            node = []
            self.open.append(node)
            for _ in range(count):
                node.append(self.value(depth + 1))
            if cls is not list:
                node = cls(node)
        self.open.pop()
        self.made.append(node)
        items = dict.items(node) if isinstance(node, dict) else node
        self.weights[id(node)] = 1 + sum(self.weight(v) for v in (
            [x for kv in items for x in kv] if isinstance(node, dict) else items))
        return node

    def weight(self, o):
        """About how many elements writing `o` takes (a large payload counts
        as many): a shared container counts each time it is written."""
        if id(o) in self.weights:
            return self.weights[id(o)]
        if type(o) is Custom:
            return 1 + self.weight(o.payload)
        return 64 if isinstance(o, (bytes, str, Blob)) and len(o.data if type(o) is Blob else o) > 60000 else 1

    def key(self, depth, last):
        kind = self.byte()
        if kind % 8 == 7:
            key = (self.value(depth),) if kind & 8 else Custom(self.value(depth), bool(kind & 16))
        elif kind % 8 == 6:
            key = twin(last)
        else:
            key = self.scalar(kind >> 3)
        try:
            hash(key)
            return key
        except TypeError:  # a bytearray, or a tuple holding a list
            return None

    def value(self, depth):
        self.nodes += 1
        kind = self.byte() % 40
        if kind < 26 or self.nodes > self.MAX_NODES or depth > self.MAX_DEPTH:
            return self.scalar(kind)
        if kind < 32:
            return self.container(kind - 26, depth)
        if kind == 32:
            # A shared container, or one still open: a cycle. Each container
            # held twice can double what is written, so sharing stops at a
            # budget.
            b = self.byte()
            pool = self.open if b & 1 and self.open else self.made
            if not pool:
                return None
            shared = pool[(b >> 1) % len(pool)]
            self.shared += self.weight(shared)
            return shared if self.shared <= 4096 else None
        if kind == 33:
            # Deep enough for the writer's first cycle checks (at depths 32 and 64).
            node = self.value(depth + 1)
            levels = min(self.byte() + self.byte(), self.levels)
            self.levels -= levels
            weight = self.weight(node)
            for _ in range(levels):
                node = [node]
                weight += 1
                self.weights[id(node)] = weight
            return node
        if kind == 34:
            # A dict large enough for the paths that fetch entries ahead.
            n, base = 64 + self.byte() % 64, self.byte()
            node = {("k%d" % (base + i)) if base & 1 else base * 1000 + i: self.scalar(self.byte()) for i in range(n)}
            self.weights[id(node)] = 1 + 2 * n
            self.nodes += n
            return node
        if kind == 35 and self.large > 0:
            # Payloads large enough to be referred to instead of copied; two
            # per tree, since every check copies them.
            self.large -= 1
            n = (1 << 16) + self.byte()
            b = self.byte()
            if b % 4 == 0:
                return bytes([b]) * n
            if b % 4 == 1:
                return chr(b % 128 or 1) * n
            return Blob(bytes(n), b) if b % 4 == 2 else CString("c" * n)
        if kind == 36:
            return Custom(self.value(depth + 1), bool(self.byte() & 1))
        if kind == 37:
            return object()
        if kind == 38:
            node = [self.value(depth + 1), self.value(depth + 1)]
            self.weights[id(node)] = 1 + self.weight(node[0]) + self.weight(node[1])
            return node
        return self.scalar(self.byte())

    def scalar(self, kind):
        kind %= 26
        if kind == 0:
            return None
        if kind == 1:
            return bool(self.byte() & 1)
        if kind == 2:
            return self.num("<b")
        if kind == 3:
            return self.num(("<h", "<i", "<q", "<Q")[self.byte() % 4])
        if kind == 4:
            # Just past the ranges, either side.
            b = self.byte()
            edge = (2 ** 64, -2 ** 63 - 1, 2 ** 63, 2 ** 31, -2 ** 31 - 1, 2 ** 15, 255, 128)[b % 8]
            return edge + (b >> 3) * (1 if edge > 0 else -1) - (b >> 3 if b & 4 else 0)
        if kind == 5:
            return self.num("<d")
        if kind == 6:
            return SPECIAL_FLOATS[self.byte() % len(SPECIAL_FLOATS)]
        if kind == 7:
            return self.text()
        if kind == 8:
            return self.blob()
        if kind == 9:
            b = self.blob()
            return (bytearray(b), memoryview(b), memoryview(b)[::2], MyBytes(b))[self.byte() % 4]
        if kind in (10, 11):
            return self.moment(aware=kind == 11)
        if kind == 12:
            cls = TYPED_INTS[self.byte() % 8]
            return cls(self.num("<q") % (cls._max - cls._min + 1) + cls._min)
        if kind == 13:
            cls = TYPED_FLOATS[self.byte() % 3]
            how = self.byte()
            x = self.num("<d") if how & 1 else SPECIAL_FLOATS[self.byte() % len(SPECIAL_FLOATS)]
            try:
                if how & 2:
                    raise OverflowError
                return cls(x)
            except OverflowError:
                # Not rounded by the constructor: the writer rounds it.
                return float.__new__(cls, x)
        if kind == 14:
            b = self.blob()
            return CString(b.replace(b"\0", b"")) if self.byte() & 1 else CString(self.text().replace("\0", ""))
        if kind == 15:
            return Blob(self.blob(), self.byte())
        if kind == 16:
            return Timestamp(self.num("<h"), *self.take(5), self.num("<I"))
        if kind == 17:
            which = self.byte() % 3
            return MyInt(self.num("<q")) if which == 0 else MyFloat(self.num("<d")) if which == 1 else MyStr(self.text())
        if kind == 18:
            if self.byte() & 1:
                return MyFloat32(Float32(SPECIAL_FLOATS[self.byte() % 6]))
            return MyInt16(self.num("<h"))
        if kind == 19:
            # An int the size of the edges, or a float equal to an int key.
            b = self.byte()
            return float(b % 8) if b & 1 else (b % 8)
        if kind == 20:
            return Custom(self.scalar(self.byte()), False)
        return (None, True, 0, "", b"", 1.0)[kind - 20]

    def moment(self, aware):
        year = self.num("<H") % 9999 + 1
        month, day = self.byte() % 12 + 1, self.byte() % 28 + 1
        hour, minute, second = self.byte() % 24, self.byte() % 60, self.byte() % 60
        micro = self.num("<I") % 1000000
        flags = self.byte()
        tz = None
        if aware:
            tz = UTC if flags % 3 == 0 else NoOffset() if flags % 3 == 1 else datetime.timezone(
                datetime.timedelta(minutes=self.num("<h") % 2879 - 1439))
        cls = MyDateTime if flags & 4 else datetime.datetime
        return cls(year, month, day, hour, minute, second, micro, tzinfo=tz, fold=(flags >> 3) & 1)


# --- what dumps must write ----------------------------------------------------------

class Refusal(Exception):
    """The refusal Reference expects: the exception class (an EncodeError
    subclass, or what `default` raised)."""

    def __init__(self, cls, cycle=False):
        super().__init__(cls.__name__)
        self.cls, self.cycle = cls, cycle


def is_container(o):
    return isinstance(o, (list, tuple, dict)) and not isinstance(o, Timestamp)


def typed_class(o):
    for cls in TYPED_INTS + TYPED_FLOATS + (CString, Blob, Timestamp):
        if isinstance(o, cls):
            return cls
    return None


# The narrow floats: a NaN keeps its sign and the top of its payload, and
# widens back exactly; other values round to nearest even as struct does, and
# a finite value that rounds beyond the range is refused.

def narrow_bits(x, fmt, nan_shift, quiet):
    bits = struct.unpack("<Q", float_bits(x))[0]
    width = struct.calcsize(fmt) * 8
    if math.isnan(x):  # typed floats compare by bits: a NaN equals itself
        payload = (bits & ((1 << 52) - 1)) >> nan_shift
        exponent = ((1 << (width - 1)) - 1) ^ ((1 << (52 - nan_shift)) - 1)
        return (bits >> 63) << (width - 1) | exponent | (payload or quiet)
    try:
        return struct.unpack("<" + {2: "H", 4: "I"}[width // 8], struct.pack(fmt, x))[0]
    except OverflowError:
        raise Refusal(EncodeOverflowError)


def half_bits(x):
    return narrow_bits(x, "<e", 42, 0x200)


def single_bits(x):
    return narrow_bits(x, "<f", 29, 0x400000)


def widen(bits, fmt, nan_shift):
    width = struct.calcsize(fmt) * 8
    exponent = ((1 << (width - 1)) - 1) ^ ((1 << (52 - nan_shift)) - 1)
    if bits & exponent == exponent and bits & ((1 << (52 - nan_shift)) - 1):
        wide = (bits >> (width - 1)) << 63 | 0x7FF << 52 | (bits & ((1 << (52 - nan_shift)) - 1)) << nan_shift
        return struct.unpack("<d", struct.pack("<Q", wide))[0]
    return struct.unpack(fmt, struct.pack("<" + {2: "H", 4: "I"}[width // 8], bits))[0]


def wide_half(bits):
    return widen(bits, "<e", 42)


def wide_single(bits):
    return widen(bits, "<f", 29)


def datetime_holds(f):
    year, month, day, hour, minute, second, micro = f
    try:
        datetime.datetime(year, month, day, hour, minute, second, micro)
        return True
    except (ValueError, OverflowError):
        return False


class Reference:
    """Computes what dumps writes for a tree, walking it depth first as the
    writer does so that the first refusal is the writer's; and what loads
    reads back from it in typed mode (plain mode is to_plain of that)."""

    def __init__(self, utc, with_default):
        self.utc, self.default = utc, with_default
        self.empty_binary = False  # the variant library holds none
        self.unwritable_half = False  # the variant writer refuses them

    def document(self, root):
        """(stream, typed tree) of a root; a scalar root is written first and
        refused after."""
        root, source = self.resolve(root, False)
        if not is_container(root):
            self.scalar(root, False)
            raise Refusal(EncodeTypeError)
        body, typed = self.walk(root, source)
        return HEADER + body, typed

    def value(self, o):
        """(element bytes, typed value) of a value that may be a scalar, as
        to_variant takes it."""
        o, source = self.resolve(o, False)
        if is_container(o):
            return self.walk(o, source)
        return self.scalar(o, False)

    def resolve(self, o, key, source=None):
        """`default` applied until the object has a form of its own."""
        calls = 0
        while type(o) is Custom or type(o) is object:
            if not self.default:
                raise Refusal(EncodeTypeError)
            if calls >= 16:
                raise Refusal(EncodeTypeError)
            if type(o) is not Custom:
                raise Refusal(Refused)
            source = source if source is not None else o
            o = default(o)
            calls += 1
        if is_container(o) and key:
            raise Refusal(EncodeTypeError)
        return o, source

    def walk(self, root, source):
        """(bytes, typed tree) of a container; refusals raise Refusal."""
        out = bytearray()
        result = [] if not isinstance(root, dict) else {}
        frames = []
        open_ids = set()  # the containers open, and what `default` made them from

        def push(node, node_source, typed_node):
            ids = {id(node)} | ({id(node_source)} if node_source is not None else set())
            if ids & open_ids:
                raise Refusal(EncodeValueError, cycle=True)
            open_ids.update(ids)
            out.append(0x31 if isinstance(node, dict) else 0x30)
            items = iter(dict.items(node)) if isinstance(node, dict) else iter(node)
            frames.append([node, items, typed_node, ids, []])

        push(root, source, result)
        while frames:
            frame = frames[-1]
            node, items, typed_node, ids, keys = frame
            entry = next(items, frame)
            if entry is frame:
                if isinstance(node, dict) and len(set(keys)) != len(keys):
                    raise Refusal(EncodeValueError)
                out.append(0)
                frames.pop()
                open_ids.difference_update(ids)
                continue
            if isinstance(node, dict):
                k, v = entry
                kobj, _ = self.resolve(k, True)
                kbytes, ktyped = self.scalar(kobj, True)
                keys.append(kbytes)
                out += kbytes
            else:
                v, ktyped = entry, None
            v, vsource = self.resolve(v, False)
            if is_container(v):
                child = {} if isinstance(v, dict) else []
                self.place(typed_node, ktyped, child)
                push(v, vsource, child)
            else:
                vbytes, vtyped = self.scalar(v, False)
                out += vbytes
                self.place(typed_node, ktyped, vtyped)
        return bytes(out), result

    @staticmethod
    def place(typed_node, key, value):
        if type(typed_node) is list:
            typed_node.append(value)
        else:
            typed_node[key] = value

    def scalar(self, o, key):
        """(element bytes, the value typed loads gives) of a value that is not
        a container."""
        cls = typed_class(o)
        if cls in INT_CODES:
            code, fmt = INT_CODES[cls]
            return bytes([code]) + struct.pack(fmt, int(o)), cls(int(o))
        if cls is Float64:
            return b"\x01" + float_bits(o), Float64(float(o))
        if cls is Float32:
            bits = single_bits(o)
            return b"\x02" + struct.pack("<I", bits), float.__new__(Float32, wide_single(bits))
        if cls is Float16:
            bits = half_bits(o)
            self.unwritable_half = self.unwritable_half or bits & 0x7C00 == 0x7C00
            return b"\x03" + struct.pack("<H", bits), float.__new__(Float16, wide_half(bits))
        if cls is CString:
            try:
                text = str.encode(o, "utf-8", "surrogateescape")
            except UnicodeEncodeError:
                raise Refusal(EncodeValueError)
            return b"\x04\x00" + struct.pack("<I", len(text) + 1) + text + b"\0", CString(text)
        if cls is Blob:
            self.empty_binary = self.empty_binary or not o.data
            head = bytes([14, o.type]) + struct.pack("<I", len(o.data))
            return head + o.data, Blob(o.data, o.type) if o.type else o.data
        if cls is Timestamp:
            fields = tuple(o)
            return b"\x13" + struct.pack("<hBBBBBI", *fields), self.moment_value(fields)
        if o is None:
            return b"\x0f", None
        if type(o) is bool:
            return bytes([13, o]), o
        if isinstance(o, int):
            v = int(o)
            for cls in (Int8, Int16, Int32, Int64):
                if cls._min <= v <= cls._max:
                    return self.scalar(cls(v), key)
            if 0 <= v < 2 ** 64:
                return self.scalar(UInt64(v), key)
            raise Refusal(EncodeOverflowError)
        if isinstance(o, float):
            return self.scalar(float.__new__(Float64, float(o)), key)
        if isinstance(o, str):
            try:
                text = str.encode(o, "utf-8")
            except UnicodeEncodeError:
                raise Refusal(EncodeValueError)
            if b"\0" in text:
                raise Refusal(EncodeValueError)
            return b"\x04\x01" + struct.pack("<I", len(text) + 1) + text + b"\0", "".join([o])
        if isinstance(o, datetime.datetime):
            if o.tzinfo is not None and o.utcoffset() is not None:
                if not self.utc:
                    raise Refusal(EncodeValueError)
                try:
                    o = o.astimezone(UTC)
                except OverflowError:
                    raise Refusal(EncodeOverflowError)
            fields = (o.year, o.month, o.day, o.hour, o.minute, o.second, o.microsecond)
            return b"\x13" + struct.pack("<hBBBBBI", *fields), self.moment_value(fields)
        if isinstance(o, (bytes, bytearray, memoryview)):
            data = memoryview(o).tobytes()
            self.empty_binary = self.empty_binary or not data
            return b"\x0e\x00" + struct.pack("<I", len(data)) + data, data
        raise AssertionError("the generator made %r" % (o,))

    @staticmethod
    def moment_value(fields):
        return datetime.datetime(*fields) if datetime_holds(fields) else Timestamp(*fields)


def held_objects(tree):
    """Every container and Custom reachable from `tree`, once each (the tree
    may hold cycles)."""
    seen, todo = {}, [tree]
    while todo:
        node = todo.pop()
        if id(node) in seen:
            continue
        if isinstance(node, (list, tuple, dict)):
            seen[id(node)] = node
            todo.extend(dict.values(node) if isinstance(node, dict) else node)
            if isinstance(node, dict):
                todo.extend(k for k in node if type(k) in (tuple, Custom))
        elif type(node) is Custom:
            seen[id(node)] = node
            todo.append(node.payload)
    return list(seen.values())


def expected_refusal(e, refusal):
    check(isinstance(e, refusal.cls), "raised", type(e).__name__, e, "where", refusal.cls.__name__, "was due")
    if isinstance(e, EncodeError):
        check(isinstance(e.path, str) and e.path.startswith("root"), "path", e.path)


def dumps_target(data):
    gen = Gen(data)
    utc, with_default, any_root = gen.options()
    x = gen.root(any_root)
    kwargs = {"utc": utc}
    if with_default:
        kwargs["default"] = default
    held = held_objects(x)
    before = [sys.getrefcount(o) for o in held]

    ref = Reference(utc, with_default)
    try:
        expected, expected_typed = ref.document(x)
        refusal = None
    except Refusal as r:
        refusal = Refusal(r.cls, r.cycle)  # without the frames, which hold the tree
    try:
        written = qeltypes.dumps(x, **kwargs)
    except (EncodeError, Refused) as e:
        check(refusal is not None, "dumps refused a tree it can write:", repr(e))
        expected_refusal(e, refusal)
        written = None
    if written is not None:
        check(refusal is None, "dumps wrote a tree it must refuse:", refusal)
        check(written == expected, "dumps wrote", written.hex(), "where", expected.hex(), "was due")
        typed = qeltypes.loads(written, typed=True)
        check_fresh(typed)
        check(same(typed, expected_typed), "typed loads gave", typed, "where", expected_typed, "was due")
        expected_plain = to_plain(expected_typed)
        plain_ok, plain = outcome(qeltypes.loads, written)
        check(plain_ok == (expected_plain is not None), "plain loads:", plain)
        if plain_ok:
            check(same(plain, expected_plain), "plain loads gave", plain, "where", expected_plain, "was due")
        variant_path(x, kwargs, written, ref)
    elif refusal.cls is EncodeTypeError and not refusal.cycle:
        # Perhaps a scalar root, which to_variant takes.
        ref = Reference(utc, with_default)
        try:
            expected_typed = ref.value(x)[1]
            refusal = None
        except Refusal as r:
            refusal = Refusal(r.cls, r.cycle)  # without the frames, which hold the tree
        scalar_variant(x, kwargs, ref, refusal, expected_typed if refusal is None else None)
    else:
        scalar_variant(x, kwargs, ref, refusal, None)
    after = [sys.getrefcount(o) for o in held]
    check(before == after, "reference counts of the tree changed:",
          [(type(o).__name__, b, a) for o, b, a in zip(held, before, after) if a != b])


def scalar_variant(x, kwargs, ref, refusal, expected_typed):
    """to_variant refuses what dumps refuses, and takes a scalar root."""
    try:
        handle = qeltypes.to_variant(x, **kwargs)
    except (EncodeError, Refused) as e:
        check(refusal is not None, "to_variant refused:", repr(e))
        expected_refusal(e, refusal)
        return
    except qeltypes.error_WRONG_STRING_SIZE:
        check(refusal is None and ref.empty_binary, "to_variant refused a value without an empty binary")
        return
    try:
        check(refusal is None, "to_variant took what dumps refuses:", refusal)
        check(not ref.empty_binary, "to_variant took an empty binary")
        check(_qeltypes.qelt_variant_get_refcount(handle) == 1, "a new tree with more than one reference")
        back = qeltypes.from_variant(handle, typed=True)
        check(same(back, expected_typed), "from_variant gave", back, "where", expected_typed, "was due")
    finally:
        _qeltypes.qelt_variant_decref(handle)


def variant_path(x, kwargs, written, ref):
    """For a tree that dumps wrote: the variant tree holds the same values,
    the variant writer writes them (in its own map order), and from_variant
    reads the variant tree as loads reads that stream."""
    try:
        handle = qeltypes.to_variant(x, **kwargs)
    except qeltypes.error_WRONG_STRING_SIZE:
        check(ref.empty_binary, "to_variant refused a tree without an empty binary")
        return
    try:
        check(not ref.empty_binary, "to_variant took an empty binary")
        check(_qeltypes.qelt_variant_get_refcount(handle) == 1, "a new tree with more than one reference")
        typed = qeltypes.loads(written, typed=True)
        try:
            stream = _qeltypes.qelt_write_to_buffer(handle)
        except qeltypes.error:
            check(ref.unwritable_half, "the variant writer refused a tree without a float16 NaN or infinity")
            check(same(qeltypes.from_variant(handle, typed=True), typed, ordered=False), "from_variant")
            return
        check(not ref.unwritable_half, "the variant writer wrote a float16 NaN or infinity")
        via_variant = qeltypes.loads(stream, typed=True)
        check(same(via_variant, typed, ordered=False), "the variant writer's stream reads as another tree")
        back = qeltypes.from_variant(handle, typed=True)
        check_fresh(back)
        check(same(back, via_variant), "from_variant differs from the variant writer's stream")
        plain_ok, plain = outcome(qeltypes.from_variant, handle)
        stream_ok, from_stream = outcome(qeltypes.loads, stream)
        check(plain_ok == stream_ok, "plain from_variant and loads disagree:", plain, from_stream)
        if plain_ok:
            check(same(plain, from_stream), "plain from_variant differs from loads of the written stream")
    finally:
        _qeltypes.qelt_variant_decref(handle)


# --- streams ------------------------------------------------------------------------

# The pieces a source hands out, in turn: every element split at every place.
CHUNKS = ((1,), (2,), (3,), (1, 4, 9), (7,), (64,), (4096,), (1 << 20,))
TYPE_NAMES = {1: "float64", 2: "float32", 3: "float16", 5: "int64", 6: "int32", 7: "int16", 8: "int8", 9: "uint64",
              10: "uint32", 11: "uint16", 12: "uint8", 13: "bool", 14: "blob", 15: "none", 19: "timestamp"}
KEY_CONFLICT = "a key distinct from the map's others"


class Pieces:
    """The bytes of a stream handed out in pieces of the sizes given, in
    turn, as a pipe hands them out; as bytes, or as memoryviews."""

    def __init__(self, data, sizes, views):
        self.data, self.sizes, self.views, self.pos, self.reads = data, sizes, views, 0, 0

    def piece(self, n):
        size = min(n, self.sizes[self.reads % len(self.sizes)])
        self.reads += 1
        chunk = self.data[self.pos:self.pos + size]
        self.pos += len(chunk)
        return memoryview(chunk) if self.views else chunk


class Source(Pieces):
    """A file object with read1()."""
    read1 = Pieces.piece


class ReadOnlySource(Pieces):
    """A file object with read() alone."""
    read = Pieces.piece


def element_end(data, pos):
    """The offset after the element at `pos` (not a container)."""
    t = data[pos]
    if t in (4, 14):
        if pos + 6 > len(data):
            return len(data) + 1  # cut inside its head
        return pos + 6 + struct.unpack_from("<I", data, pos + 2)[0]
    return pos + 1 + FIXED[t]


def expected_events(stream, upto):
    """The events of the elements of a stream that end at `upto` or before:
    every element there was read whole, so its layout can be walked. A value
    is what loads gives for it, a binary of a type other than 0 as a Blob."""
    found, stack, pos = [], [], len(HEADER)
    while pos < len(stream):
        t = stream[pos]
        if t in (0x30, 0x31):
            if pos + 1 > upto:
                break
            kind = "list" if t == 0x30 else "map"
            found.append(("start", kind, None))
            if stack:
                stack[-1][1] += 1  # the parent's value
            stack.append([kind, 0])
            pos += 1
            continue
        if t == 0:
            if pos + 1 > upto or not stack:
                break
            found.append(("end", stack.pop()[0], None))
            pos += 1
            if not stack:
                break
            continue
        if not stack or t not in TYPE_NAMES and t != 4:
            break
        end = element_end(stream, pos)
        if end > upto:
            break
        element = stream[pos:end]
        value = qeltypes.loads(HEADER + b"\x30" + element + b"\x00")[0]
        if t == 14 and element[1]:
            value = Blob(value, element[1])
        name = TYPE_NAMES[t] if t != 4 else ("utf8" if element[1] == 1 else "cstring")
        frame = stack[-1]
        role = "key" if frame[0] == "map" and frame[1] % 2 == 0 else "value"
        frame[1] += 1
        found.append((role, name, value))
        pos = end
    return found


def same_event(a, b):
    return (type(a) is tuple and len(a) == 3 and a[:2] == b[:2]
            and type(a[2]) is type(b[2]) and scalar_same(a[2], b[2]))


def read_all(iterator, each=None):
    """The items of an iterator up to its end or its DecodeError."""
    got = []
    try:
        for item in iterator:
            got.append(item)
            if each is not None and not each(item):
                break
    except DecodeError as e:
        return got, e.with_traceback(None)
    return got, None


def stream_target(data):
    """The first byte picks how the stream that follows is read: bit 0
    typed; bits 1-3 the sizes of the pieces a read hands out; bit 4 pieces
    as memoryviews; bit 5 a source with read() alone; bit 6 the Reader is
    closed after its first item; bit 7 max_depth and max_bytes as header
    byte 6 gives them to fuzz_codec_loads (with allow_trailing from its bit
    0 in any case)."""
    if not data:
        return
    opts, stream = data[0], data[1:]
    typed, sizes, views = bool(opts & 1), CHUNKS[(opts >> 1) & 7], bool(opts & 16)
    source_class = ReadOnlySource if opts & 32 else Source
    allow, modes, _ = loads_options(stream)
    ok, tree = outcome(qeltypes.loads, stream, typed=typed, allow_trailing=allow)
    limits = {}
    if opts & 128:
        if ok:
            _, _, depth, longest, _ = stream_facts(stream)
            needs = {"max_depth": depth, "max_bytes": longest}
        else:
            needs = {"max_depth": 1, "max_bytes": 1}
        for name, mode in (("max_depth", modes[0]), ("max_bytes", modes[2])):
            if mode:
                limits[name] = max(needs[name] + mode - 2, 0)
        if limits:
            ok, tree = outcome(qeltypes.loads, stream, typed=typed, allow_trailing=allow, **limits)

    check_reader(stream, source_class(stream, sizes, views), typed, allow, limits, ok, tree, bool(opts & 64))
    check_events(stream, source_class(stream, sizes, views), allow, limits, ok, tree)


def check_reader(stream, source, typed, allow, limits, ok, tree, close_early):
    """Reader gives the items of the root that loads gives (the entries of a
    root map as they stand, repeats too), every one before a fault, and then
    the fault that loads reports; Writer writes them back as they were."""
    reader = qeltypes.Reader(source, typed=typed, allow_trailing=allow, **limits)
    offsets = []

    def each(item):
        offsets.append(reader._items.offset)
        if close_early:
            reader.close()
        return not close_early

    items, error = read_all(reader, each)
    if close_early:
        check(list(reader) == [], "a closed reader gave more")
    for item in items:
        if type(item) in (list, dict):
            check(sys.getrefcount(item) == 3, "item refcount", sys.getrefcount(item))
    conflict = not ok and tree.expected == KEY_CONFLICT
    if stream[7:8] == b"\x31":
        check(all(type(p) is tuple and len(p) == 2 for p in items), "entries of a root map", items)
    if ok:
        if not close_early:
            check(error is None, "Reader refused what loads read:", error)
        if type(tree) is list:
            check(same(items, tree[:len(items)]) and (close_early or len(items) == len(tree)), "Reader's items")
        elif not close_early:
            check(same(dict(items), tree), "Reader's entries make another map")
        end, elements, _, _, odd_bool = stream_facts(stream)
        root_map = type(tree) is dict
        held = 1 + sum(1 + tree_elements(item[1]) if root_map else tree_elements(item) for item in items)
        if typed and not close_early and not odd_bool and held == elements:
            # Written back item by item, the stream comes back but for header
            # byte 6, unless repeated keys inside an item dropped something.
            out = io.BytesIO()
            with qeltypes.Writer(out, "map" if root_map else "list") as writer:
                for item in items:
                    writer.add(*item) if root_map else writer.append(item)
            check(out.getvalue()[7:] == stream[7:end], "Writer wrote", out.getvalue().hex(), "for", stream[:end].hex())
        return
    if error is None:
        # Only a root map's keys that loads finds equal can go unnoticed.
        check(conflict or close_early, "Reader read what loads refused:", tree)
        if conflict and not close_early:
            check(len(dict(items)) < len(items), "Reader's entries hold no keys equal in Python")
        return
    check_decode_error(error, len(stream))
    if not conflict:
        check(error.offset == tree.offset, "Reader failed at", error.offset, "loads at", tree.offset)
    if items:
        # What came before the fault is what loads reads of the stream cut there.
        check(error.offset is None or error.offset >= offsets[-1], "an item after its fault")
        prefix_ok, prefix = outcome(qeltypes.loads, stream[:offsets[-1]] + b"\x00", typed=typed, allow_trailing=True)
        if prefix_ok:
            check(same(items if type(prefix) is list else dict(items), prefix), "Reader's items before the fault")
        else:
            check(prefix.expected == KEY_CONFLICT, "the items before the fault do not read:", prefix)


def check_events(stream, source, allow, limits, ok, tree):
    """events gives one event per element, as a walk of the stream finds
    them, up to the fault that loads reports (a map's keys are not compared
    with each other, so a conflict of keys goes unnoticed)."""
    events, error = read_all(qeltypes.events(source, allow_trailing=allow, **limits))
    conflict = not ok and tree.expected == KEY_CONFLICT
    if ok:
        check(error is None, "events refused what loads read:", error)
    elif error is None:
        check(conflict, "events read what loads refused:", tree)
    else:
        check_decode_error(error, len(stream))
        if not conflict:
            check(error.offset == tree.offset, "events failed at", error.offset, "loads at", tree.offset)
    upto = error.offset if error is not None and error.offset is not None else len(stream)
    expected = expected_events(stream, upto)
    check(len(events) == len(expected) and all(same_event(a, b) for a, b in zip(events, expected)),
          "events", events[:20], "where", expected[:20], "were due")
