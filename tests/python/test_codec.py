"""qeltypes.dumps and loads: the mapping, typed values, refusals, depth,
and decoding of damaged streams."""
import array
import collections
import datetime
import enum
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

import qeltypes as q
from trees import plain_roots, plain_scalars

HEADER = bytes.fromhex("5f51454c010000")


def stream(body_hex):
    return HEADER + bytes.fromhex(body_hex)


def utf8(text):
    data = text.encode()
    return "0401" + struct.pack("<I", len(data) + 1).hex() + data.hex() + "00"


# --- plain trees -----------------------------------------------------------------

scalars = plain_scalars()


@given(plain_roots())
def test_plain_trees_round_trip(tree):
    data = q.dumps(tree)
    assert q.loads(data) == tree
    assert q.dumps(q.loads(data, typed=True)) == data


typed_scalars = st.one_of(
    st.integers(-128, 127).map(q.Int8), st.integers(-2 ** 15, 2 ** 15 - 1).map(q.Int16),
    st.integers(0, 2 ** 32 - 1).map(q.UInt32), st.integers(0, 2 ** 64 - 1).map(q.UInt64),
    st.floats(width=16).map(q.Float16), st.floats(width=32).map(q.Float32), st.floats().map(q.Float64),
    st.binary().map(lambda b: q.CString(b.replace(b"\0", b""))), st.tuples(st.binary(), st.integers(0, 255)).map(
        lambda t: q.Blob(t[0], type=t[1])),
    st.tuples(st.integers(-2 ** 15, 2 ** 15 - 1), *[st.integers(0, 255)] * 5, st.integers(0, 2 ** 32 - 1)).map(
        lambda t: q.Timestamp(*t)))
typed_trees = st.recursive(st.one_of(scalars, typed_scalars),
                           lambda inner: st.lists(inner) | st.dictionaries(typed_scalars, inner), max_leaves=30)


@given(st.lists(typed_trees))
def test_typed_values_keep_their_bytes(tree):
    data = q.dumps(tree)
    assert q.dumps(q.loads(data, typed=True)) == data


# --- the mapping, byte for byte ----------------------------------------------------

@pytest.mark.parametrize("value, element", [
    (None, "0f"), (True, "0d01"), (False, "0d00"),
    (5, "0805"), (-128, "0880"), (128, "078000"), (-32769, "06ff7fffff"), (2 ** 31, "050000008000000000"),
    (2 ** 63, "090000000000000080"), (2 ** 64 - 1, "09ffffffffffffffff"),
    (1.5, "01000000000000f83f"), ("é", "040103000000" + "c3a900"), ("", "04010100000000"),
    (b"", "0e0000000000"), (bytearray(b"\x01"), "0e000100000001"), (memoryview(b"ab")[::-1], "0e00020000006261"),
    (datetime.datetime(2018, 7, 6, 5, 4, 3, 2), "13e207070605040302000000"),
    ((1, [2]), "3008013008020000"), ({}, "3100"), (2 * [[1, 2]], "30" + 2 * "300801080200" + "00"),
    ({"b": 1, "a": 2}, "31" + utf8("b") + "0801" + utf8("a") + "0802" + "00"),
    (q.Int8(1), "0801"), (q.Int16(1), "070100"), (q.Int32(1), "0601000000"), (q.Int64(1), "050100000000000000"),
    (q.UInt8(1), "0c01"), (q.UInt16(1), "0b0100"), (q.UInt32(1), "0a01000000"),
    (q.UInt64(1), "090100000000000000"), (q.Float16(-2.0), "0300c0"), (q.Float32(1.0), "020000803f"),
    (q.Float64(1.0), "01000000000000f03f"), (q.CString("a"), "0400020000006100"),
    (q.CString(b"\xff"), "040002000000ff00"), (q.Blob(b"x", type=200), "0ec80100000078"),
    (q.Timestamp(2018, 13, 32, 25, 61, 61, 1000000), "13e2070d20193d3d40420f00"),
])
def test_each_value_is_written_as_its_element(value, element):
    assert q.dumps([value]) == stream("30" + element + "00")


class Color(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Stamp(datetime.datetime):
    pass


def test_subclasses_take_the_form_of_their_base():
    Pair = collections.namedtuple("Pair", "a b")
    values = [Color.RED, Text("t"), Pair(1, 2), collections.OrderedDict(k=1), Stamp(2020, 1, 2),
              array.array("h", [1, 2]), type("Raw", (bytes,), {})(b"r"), type("F", (float,), {})(0.5)]
    assert q.loads(q.dumps(values)) == [1, "t", [1, 2], {"k": 1}, datetime.datetime(2020, 1, 2),
                                        b"\x01\x00\x02\x00", b"r", 0.5]


def test_no_output_on_failures(capfd):
    with pytest.raises(q.DecodeError):
        q.loads(stream("30" + "77"))
    with pytest.raises(q.EncodeError):
        q.dumps([object()])
    assert capfd.readouterr() == ("", "")


def test_large_payloads_are_written_once_and_checked_as_keys():
    big = b"b" * 200000
    text = "t" * 100000
    data = q.dumps([big, text, q.Blob(big, type=2)])
    assert q.loads(data, typed=True) == [big, text, q.Blob(big, type=2)]
    # A map whose keys need the repeated-key check walks over values whose
    # payloads were referred to rather than copied.
    tree = {q.Int8(1): big, q.Int16(1): [text, {"x": big}], "k": big}
    assert q.loads(q.dumps(tree), typed=True) == tree
    with pytest.raises(q.EncodeValueError, match="same QEL value"):
        q.dumps({q.Int8(1): big, 1: [text]})


def test_many_distinct_keys_then_repeated_ones_in_stream_order():
    distinct = {"key%d" % i: i for i in range(10000)}
    records = [{"id": i, "name": "n"} for i in range(5000)]
    back = q.loads(q.dumps([distinct, records, distinct]))
    assert back == [distinct, records, distinct] and list(back[0]) == list(distinct)


def test_default_turns_unknown_objects_into_values():
    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

    assert q.loads(q.dumps({"p": Point(1, 2)}, default=lambda p: [p.x, p.y])) == {"p": [1, 2]}
    assert q.dumps([{1, 2}], default=sorted) == q.dumps([[1, 2]])
    # One that never converges, or keeps expanding one object, is refused.
    with pytest.raises(q.EncodeTypeError, match="default returned"):
        q.dumps([Weird()], default=lambda o: o)
    with pytest.raises(q.EncodeValueError, match="cycle"):
        q.dumps([Weird()], default=lambda o: [o])
    # Code it runs cannot break the walk.
    victim = {"a": 1, "b": Weird(), "c": 3}
    with pytest.raises(RuntimeError, match="changed size"):
        q.dumps(victim, default=lambda o: victim.pop("c") and None)
    items = [Weird(), "x" * 10, Weird()]
    assert q.loads(q.dumps(items, default=lambda o: items.clear() or 0)) == [0]


def test_aware_datetimes_need_utc():
    aware = datetime.datetime(2020, 1, 1, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    with pytest.raises(q.EncodeValueError, match="timezone-aware"):
        q.dumps([aware])
    assert q.loads(q.dumps([aware], utc=True)) == [datetime.datetime(2020, 1, 1, 10)]

    class Floating(datetime.tzinfo):  # aware means an offset that is not None
        def utcoffset(self, dt):
            return None

    assert q.loads(q.dumps([datetime.datetime(2020, 1, 1, tzinfo=Floating())])) == [datetime.datetime(2020, 1, 1)]


def test_aware_key_in_utc_beside_the_same_naive_key_is_refused():
    # Python keeps the two keys apart; written, they would be one timestamp
    # and loads would keep one entry.
    naive = datetime.datetime(2020, 1, 1, 10)
    aware = datetime.datetime(2020, 1, 1, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    with pytest.raises(q.EncodeValueError, match="same QEL value") as caught:
        q.dumps({"m": {naive: 1, aware: 2}}, utc=True)
    assert caught.value.path == 'root["m"]'


def test_aware_datetime_beyond_the_years_in_utc_is_an_overflow():
    early = datetime.datetime(1, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
    late = datetime.datetime(9999, 12, 31, 23, tzinfo=datetime.timezone(datetime.timedelta(hours=-2)))
    for obj, path in (([1, early], "root[1]"), ({late: 1}, "root")):
        with pytest.raises(q.EncodeOverflowError, match="outside the years") as caught:
            q.dumps(obj, utc=True)
        assert caught.value.path == path


# --- refusals ----------------------------------------------------------------------

class Weird:
    pass


@pytest.mark.parametrize("obj, error, path", [
    ({"users": [{}, {}, {}, {"joined": Weird()}]}, q.EncodeTypeError, 'root["users"][3]["joined"]'),
    ([2 ** 64], q.EncodeOverflowError, "root[0]"),
    ([-2 ** 63 - 1], q.EncodeOverflowError, "root[0]"),
    ({"k": "a\0b"}, q.EncodeValueError, 'root["k"]'),
    ({"a\0": 1}, q.EncodeValueError, "root"),
    (["\ud800"], q.EncodeValueError, "root[0]"),
    ({(1, 2): 3}, q.EncodeTypeError, "root"),
    (5, q.EncodeTypeError, "root"),
    ({q.Int8(5): 1, 5: 2}, q.EncodeValueError, "root"),
    ({float("nan"): 1, float("nan"): 2}, q.EncodeValueError, "root"),
    ([q.Float32(0.0), float.__new__(q.Float16, 1e6)], q.EncodeOverflowError, "root[1]"),
    ([int.__new__(q.Int8, 300)], q.EncodeOverflowError, "root[0]"),
])
def test_refusals_name_the_path(obj, error, path):
    with pytest.raises(error) as caught:
        q.dumps(obj)
    assert caught.value.path == path and str(caught.value).endswith(" at " + path)
    assert isinstance(caught.value, q.error)


def test_cycles_are_refused_not_recursed():
    cyclic = [1]
    cyclic.append({"again": cyclic})
    with pytest.raises(q.EncodeValueError, match="cycle") as caught:
        q.dumps(cyclic)
    assert caught.value.path == 'root[1]["again"]'


def test_million_levels_dump_and_load():
    for empty, wrap in ((list, lambda x: [x]), (dict, lambda x: {"k": x})):
        tree = empty()
        for _ in range(10 ** 6):
            tree = wrap(tree)
        data = q.dumps(tree)
        back = q.loads(data)
        depth = 0
        while back:
            back = back[0] if isinstance(back, list) else back["k"]
            depth += 1
        assert depth == 10 ** 6


# --- reading -----------------------------------------------------------------------

def test_typed_mode_keeps_apart_keys_that_plain_mode_refuses():
    streams = [
        "31" + "0805" + "0801" + "070500" + "0802" + "00",                        # int8 5, int16 5
        "31" + "04000200000061000801" + utf8("a") + "0802" + "00",                # C string, UTF-8 "a"
        "31" + "0d01" + "0801" + "01000000000000f03f" + "0802" + "00",            # true, 1.0
        "31" + "010000000000000000" + "0801" + "010000000000000080" + "0802" + "00",  # 0.0, -0.0
    ]
    for body in streams:
        with pytest.raises(q.DecodeError, match="typed=True"):
            q.loads(stream(body))
        assert len(q.loads(stream(body), typed=True)) == 2
    # The check reads back the keys before, over values of any depth.
    nested = "30" + utf8("x") + "31" + utf8("a") + "3000" + "00" + "00"
    with pytest.raises(q.DecodeError, match="offsets 8 and 42"):
        q.loads(stream("31" + utf8("a") + nested + "0805" + "0801" + "04000200000061000802" + "00"))
    # A key repeated byte for byte is no conflict: the later value stands.
    assert q.loads(stream("31" + "0805" + "0801" + "0805" + "0802" + "00")) == {5: 2}


def test_plain_mode_nan_keys_of_the_same_bytes_are_one_key():
    nan = "01" + struct.pack("<d", float("nan")).hex()
    half_nan = "03007e"  # widens to the same bits as nan
    # The later value stands, as for any repeated key; typed mode agrees.
    for typed in (False, True):
        back = q.loads(stream("31" + nan + "0801" + "0805" + "0802" + nan + "0803" + "00"), typed=typed)
        assert [int(v) for v in back.values()] == [3, 2]
    with pytest.raises(q.DecodeError, match="typed=True"):
        q.loads(stream("31" + nan + "0801" + half_nan + "0802" + "00"))
    assert len(q.loads(stream("31" + nan + "0801" + half_nan + "0802" + "00"), typed=True)) == 2


def test_what_datetime_cannot_hold_loads_as_timestamp():
    fields = [(2018, 13, 1, 0, 0, 0, 0), (2019, 2, 29, 0, 0, 0, 0), (0, 1, 1, 0, 0, 0, 0), (2020, 1, 1, 24, 0, 0, 0),
              (2020, 1, 1, 0, 0, 60, 0), (2020, 1, 1, 0, 0, 0, 10 ** 6)]
    for f in fields:
        assert q.loads(q.dumps([q.Timestamp(*f)])) == [q.Timestamp(*f)]
    assert q.loads(q.dumps([q.Timestamp(2020, 2, 29, 1, 2, 3, 4)])) == [datetime.datetime(2020, 2, 29, 1, 2, 3, 4)]


def test_typed_mode_values():
    data = stream("30" + "0c07" + "0300c0" + "04000200000078000e0302000000abcd" + "0e0000000000" + "0d01" + "00")
    assert q.loads(data) == [7, -2.0, "x", b"\xab\xcd", b"", True]
    typed = q.loads(data, typed=True)
    assert [type(v) for v in typed] == [q.UInt8, q.Float16, q.CString, q.Blob, bytes, bool]
    assert typed[3] == q.Blob(b"\xab\xcd", type=3)


def test_float_bits_survive_typed_round_trips():
    for body in ("02" + "0100807f", "0301 7c".replace(" ", ""), "01" + "0100000000f0ff7f", "030080"):
        data = stream("30" + body + "00")
        assert q.dumps(q.loads(data, typed=True)) == data
    assert math.isnan(q.loads(stream("30" + "0201 00807f" .replace(" ", "") + "00"))[0])


@pytest.mark.parametrize("data, offset, expected", [
    (b"", 0, "7 more bytes"), (b"_QE", 3, "4 more bytes"), (b"_QEX", 0, 'the magic "_QEL"'),
    (b"_QEL\x02\x00\x00\x30\x00", 4, "version 1"),
    (stream(""), 7, "the root list or map"),
    (stream("0801"), 7, "a list or map"),
    (stream("30" + "14"), 8, "a type byte"),
    (stream("30" + "80"), 8, "a type byte"),
    (stream("30" + "88"), 8, "a value"),
    (stream("30" + "32"), 8, "a value of a type that a tree holds"),
    (stream("30" + "040501000000" + "0000"), 9, "string subtype 0 or 1"),
    (stream("30" + "040202000000610000"), 9, "string subtype 0 or 1"),
    (stream("30" + "0401020000006161" + "00"), 15, "the string's terminating zero"),
    (stream("30" + "040103000000610000" + "00"), 8, "a string without NUL before its end"),
    (stream("30" + "040102000000ff00" + "00"), 14, "valid UTF-8"),
    (stream("31" + "30"), 8, "a map key (a value that is not a container)"),
    (stream("31" + "0801" + "00"), 10, "the value of the key at that offset"),
    (stream("30" + "0801"), 10, "a list value or the list's end marker"),
    (stream("30" + "0605"), 10, "3 more bytes"),
    (stream("3000" + "00"), 9, "the end of the stream"),
])
def test_decode_errors_carry_offset_and_expectation(data, offset, expected):
    with pytest.raises(q.DecodeError) as caught:
        q.loads(data)
    assert (caught.value.offset, caught.value.expected) == (offset, expected)
    assert isinstance(caught.value, ValueError) and isinstance(caught.value, q.error)


def test_trailing_bytes_are_refused_unless_allowed():
    data = q.dumps([1]) + b"rest"
    with pytest.raises(q.DecodeError, match="follow the root"):
        q.loads(data)
    assert q.loads(data, allow_trailing=True) == [1]


def test_any_bytes_like_input():
    data = q.dumps({"a": [1]})
    for form in (bytearray(data), memoryview(data), memoryview(b"xx" + data)[2:]):
        assert q.loads(form) == {"a": [1]}
    with pytest.raises(TypeError):
        q.loads(data.decode("latin-1"))


def test_limits_refuse_before_spending():
    data = q.dumps({"a": [[1, 2], "xyz", b"12345"]})
    assert q.loads(data, max_depth=3, max_elements=8, max_bytes=5) == {"a": [[1, 2], "xyz", b"12345"]}
    for limits in ({"max_depth": 2}, {"max_elements": 7}, {"max_bytes": 4}):
        with pytest.raises(q.DecodeError, match="max_"):
            q.loads(data, **limits)
    # A declared 4 GiB blob is refused on its length alone.
    with pytest.raises(q.DecodeError, match="max_bytes"):
        q.loads(stream("30" + "0e00ffffffff"), max_bytes=1 << 20)
    with pytest.raises(ValueError):
        q.loads(data, max_depth=-1)


SAMPLES = [
    q.dumps({"name": "Ada", "n": [1, -300, 2 ** 40, 2 ** 64 - 1, 1.5, None, True], "b": b"\x00\x01",
             "t": datetime.datetime(2020, 2, 29, 1, 2, 3, 4), "m": {"k": []}}),
    q.dumps([q.Float16(1.5), q.Float32(0.1), q.CString(b"c\xff"), q.Blob(b"z", type=9), q.Timestamp(1, 2, 3),
             {q.Int8(1): q.UInt64(2), q.Int16(1): "é"}]),
]


def test_every_truncation_raises_decode_error():
    for data in SAMPLES:
        for cut in range(len(data)):
            for typed in (False, True):
                with pytest.raises(q.DecodeError):
                    q.loads(data[:cut], typed=typed)


def test_every_byte_change_reads_or_raises_decode_error():
    for data in SAMPLES:
        for i in range(len(data)):
            for replacement in (0x00, 0x30, 0x31, 0x80, 0xFF, data[i] ^ 0x01):
                changed = data[:i] + bytes([replacement]) + data[i + 1:]
                for typed in (False, True):
                    try:
                        q.loads(changed, typed=typed)
                    except q.DecodeError:
                        pass


@settings(max_examples=300)
@given(st.binary(max_size=200), st.booleans())
def test_random_bytes_read_or_raise_decode_error(tail, typed):
    for data in (tail, HEADER + tail):
        try:
            q.loads(data, typed=typed)
        except q.DecodeError:
            pass
