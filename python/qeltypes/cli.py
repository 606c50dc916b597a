"""qel: look inside QEL files, check them, and convert them to and from JSON.

Every command streams: memory stays bounded by the largest element (show,
json, stats) or item (check, from-json), whatever the file's size. Data goes
to stdout, diagnostics to stderr; the exit status is 0 for success, 1 for a
file that cannot be read or is not valid, 2 for a usage error.
"""
import argparse
import base64
import binascii
import collections
import datetime
import io
import json
import math
import os
import re
import sys

from . import _streams
from ._types import DecodeError, EncodeError
from ._version import __version__

_EPILOG = """\
examples:
  qel show data.qel --depth 2 --max-items 5
  qel json data.qel | jq '.[0]'
  qel json --typed data.qel | head
  qel stats data.qel
  qel check *.qel
  qel from-json records.json records.qel
  cat data.qel | qel json - > data.json
"""


# --- input and output ---------------------------------------------------------------

class _Failure(Exception):
    """A file that cannot be read or written: exit status 1."""


def _source(name):
    """A path, or stdin for "-"."""
    return sys.stdin.buffer if name == "-" else name


def _display(name):
    return "<stdin>" if name == "-" else name


class _Output:
    """Text for stdout, encoded as UTF-8 whatever the locale, and written in
    large pieces: one command may print millions of lines."""

    def __init__(self, binary):
        self._binary = binary
        self._parts = []

    def write(self, text):
        self._parts.append(text)
        if len(self._parts) >= 4096:
            self.flush()

    def flush(self):
        if self._parts:
            self._binary.write("".join(self._parts).encode("utf-8", "backslashreplace"))
            self._parts = []
        self._binary.flush()


def _decode_failure(name, error):
    message = re.sub(r" at offset \d+$", "", str(error))
    if error.offset is None:
        return _Failure("%s: %s" % (_display(name), message))
    return _Failure("%s: offset %d: %s" % (_display(name), error.offset, message))


def _events(name, out):
    """The events of a file; a failure prints what came before it first."""
    try:
        stream = _streams.events(_source(name))
    except OSError as e:
        raise _Failure("%s: %s" % (_display(name), e.strerror or e)) from None
    try:
        with stream:
            yield from stream
    except DecodeError as e:
        out.flush()
        raise _decode_failure(name, e) from None
    except OSError as e:
        out.flush()
        raise _Failure("%s: %s" % (_display(name), e.strerror or e)) from None


# --- values as text -----------------------------------------------------------------

_CUT_TEXT = 60
_CUT_BYTES = 32


def _json_text(text):
    """A JSON string literal, in UTF-8 where the text allows it (a C string
    can hold bytes that are not UTF-8: they stay escaped)."""
    quoted = json.dumps(text, ensure_ascii=False)
    try:
        quoted.encode("utf-8")
    except UnicodeEncodeError:
        return json.dumps(text)
    return quoted


def _utf8_size(text):
    return len(text.encode("utf-8", "surrogateescape"))


def _timestamp_text(value):
    if isinstance(value, datetime.datetime):
        return value.isoformat()
    return "%04d-%02d-%02dT%02d:%02d:%02d.%06d" % tuple(value)


def _shown(qel_type, value):
    """One value as `qel show` prints it: its type, then the value."""
    if qel_type in ("utf8", "cstring"):
        if len(value) <= _CUT_TEXT:
            return "%s %s" % (qel_type, _json_text(value))
        return '%s %d bytes %s…"' % (qel_type, _utf8_size(value), _json_text(value[:_CUT_TEXT])[:-1])
    if qel_type == "blob":
        data, binary_type = (value.data, value.type) if not isinstance(value, bytes) else (value, 0)
        text = binascii.hexlify(data[:_CUT_BYTES]).decode()
        return "blob[%d] %d bytes %s%s" % (binary_type, len(data), text, "…" if len(data) > _CUT_BYTES else "")
    if qel_type == "none":
        return "none"
    if qel_type == "bool":
        return "bool true" if value else "bool false"
    if qel_type == "timestamp":
        return "timestamp " + _timestamp_text(value)
    return "%s %r" % (qel_type, value)


# --- show ---------------------------------------------------------------------------

class _Shown:
    """An open container as `qel show` walks it."""
    __slots__ = ("map", "label", "depth", "visible", "expanded", "count", "cut", "key", "item_visible")

    def __init__(self, is_map, label, depth, visible, expanded):
        self.map = is_map
        self.label = label
        self.depth = depth
        self.visible = visible      # its own line is printed
        self.expanded = expanded    # its items are printed
        self.count = 0              # items, or entries of a map
        self.cut = 0                # items left out beyond --max-items
        self.key = ""               # a map: the text of the pending key
        self.item_visible = True


def _noun(count, container):
    if container.map:
        return "entry" if count == 1 else "entries"
    return "item" if count == 1 else "items"


def _show(args):
    out = _Output(sys.stdout.buffer)
    depth_limit, item_limit = args.depth, args.max_items
    frames = []
    pending = None  # an expanded container whose line waits to see whether it is empty

    def line(depth, text):
        out.write("  " * depth + text + "\n")

    for kind, qel_type, value in _events(args.file, out):
        if pending is not None:
            if kind == "end":
                frames.pop()
                line(pending.depth, pending.label + (" {}" if pending.map else " []"))
                pending = None
                continue
            line(pending.depth, pending.label)
            pending = None
        if kind == "end":
            frame = frames.pop()
            if frame.cut:
                line(frame.depth + 1, "… %d more %s" % (frame.cut, _noun(frame.cut, frame)))
            if frame.visible and not frame.expanded:
                line(frame.depth, "%s [%d %s]" % (frame.label, frame.count, _noun(frame.count, frame)))
            continue
        parent = frames[-1] if frames else None
        if parent is None:
            visible, prefix = True, ""
        elif parent.map and kind != "key":
            visible, prefix = parent.item_visible, parent.key
        else:
            parent.count += 1
            visible = parent.expanded and (item_limit is None or parent.count <= item_limit)
            if parent.expanded and not visible:
                parent.cut += 1
            prefix = ""
            if kind == "key":
                parent.item_visible = visible
                parent.key = _shown(qel_type, value) + ": " if visible else ""
                continue
        if kind == "start":
            depth = len(frames)
            expanded = visible and (depth_limit is None or depth < depth_limit)
            frame = _Shown(qel_type == "map", prefix + qel_type, depth, visible, expanded)
            frames.append(frame)
            if expanded:
                pending = frame
        elif visible:
            line(len(frames), prefix + _shown(qel_type, value))
    out.flush()
    return 0


# --- json ---------------------------------------------------------------------------

_NON_FINITE = {"nan": '"NaN"', "inf": '"Infinity"', "-inf": '"-Infinity"'}


def _json_scalar(qel_type, value):
    """The JSON text of a value that is not a container."""
    if qel_type in ("utf8", "cstring"):
        return _json_text(value)
    if qel_type == "blob":
        data = value if isinstance(value, bytes) else value.data
        return '"%s"' % base64.b64encode(data).decode("ascii")
    if qel_type == "none":
        return "null"
    if qel_type == "bool":
        return "true" if value else "false"
    if qel_type == "timestamp":
        return '"%s"' % _timestamp_text(value)
    if qel_type.startswith("float"):
        return repr(value) if math.isfinite(value) else _NON_FINITE[repr(value)]
    return str(value)


def _json_typed(qel_type, value):
    text = _json_scalar(qel_type, value)
    if qel_type == "blob":
        return '{"type":"blob","binary_type":%d,"value":%s}' % (0 if isinstance(value, bytes) else value.type, text)
    return '{"type":"%s","value":%s}' % (qel_type, text)


def _json_key(qel_type, value):
    """A map key as a JSON object's key: JSON keys are strings."""
    text = _json_scalar(qel_type, value)
    return text if text.startswith('"') else _json_text(text)


def _json(args):
    """Writes JSON as the events come: each item of the root on a line of its
    own. Typed, a value is {"type": ..., "value": ...}, and a map's value is
    a list of [key, value] pairs, so that keys keep their types too."""
    out = _Output(sys.stdout.buffer)
    typed = args.typed
    opening = {"list": '{"type":"list","value":[', "map": '{"type":"map","value":['} if typed else {
        "list": "[", "map": "{"}
    closing = {"list": "]}", "map": "]}"} if typed else {"list": "]", "map": "}"}
    frames = []  # per open container: [is a map, items written]

    def value_done():
        if typed and frames and frames[-1][0]:
            out.write("]")  # the end of a [key, value] pair

    for kind, qel_type, value in _events(args.file, out):
        if kind == "end":
            is_map, count = frames.pop()
            out.write(("\n" if count and not frames else "") + closing[qel_type])
            value_done()
            continue
        if frames:
            frame = frames[-1]
            if kind == "key" or not frame[0]:
                root = len(frames) == 1
                out.write((",\n" if root else ",") if frame[1] else ("\n" if root else ""))
                frame[1] += 1
        if kind == "key":
            out.write("[" + _json_typed(qel_type, value) + "," if typed else _json_key(qel_type, value) + ":")
        elif kind == "start":
            out.write(opening[qel_type])
            frames.append([qel_type == "map", 0])
        else:
            out.write(_json_typed(qel_type, value) if typed else _json_scalar(qel_type, value))
            value_done()
    out.write("\n")
    out.flush()
    return 0


# --- stats --------------------------------------------------------------------------

def _stats(args):
    out = _Output(sys.stdout.buffer)
    counts = collections.Counter()
    sizes = {"strings": [0, 0, 0], "blobs": [0, 0, 0]}  # count, total bytes, largest
    depth = max_depth = items = 0
    root = None
    try:
        stream = _streams.events(_source(args.file))
    except OSError as e:
        raise _Failure("%s: %s" % (_display(args.file), e.strerror or e)) from None
    try:
        with stream:
            for kind, qel_type, value in stream:
                if kind == "end":
                    depth -= 1
                    continue
                if depth == 1 and (kind == "key" or root == "list"):
                    items += 1
                counts[qel_type] += 1
                if kind == "start":
                    depth += 1
                    max_depth = max(max_depth, depth)
                    root = root or qel_type
                elif qel_type in ("utf8", "cstring", "blob"):
                    size = _utf8_size(value) if qel_type != "blob" else len(
                        value if isinstance(value, bytes) else value.data)
                    entry = sizes["blobs" if qel_type == "blob" else "strings"]
                    entry[0] += 1
                    entry[1] += size
                    entry[2] = max(entry[2], size)
    except DecodeError as e:
        raise _decode_failure(args.file, e) from None
    except OSError as e:
        raise _Failure("%s: %s" % (_display(args.file), e.strerror or e)) from None
    report = {
        "file": _display(args.file), "bytes": stream.offset, "root": root,
        "items" if root == "list" else "entries": items, "elements": sum(counts.values()),
        "max_depth": max_depth, "types": dict(sorted(counts.items())),
        "strings": dict(zip(("count", "bytes", "longest"), sizes["strings"])),
        "blobs": dict(zip(("count", "bytes", "largest"), sizes["blobs"])),
    }
    if args.json:
        out.write(json.dumps(report, indent=2) + "\n")
    else:
        for name, value in report.items():
            if isinstance(value, dict):
                out.write("%s:\n" % name.replace("_", " "))
                for key, count in value.items():
                    out.write("  %-12s %d\n" % (key, count))
            else:
                out.write("%-14s %s\n" % (name.replace("_", " "), value))
    out.flush()
    return 0


# --- check --------------------------------------------------------------------------

def _read_through(name, typed):
    with _streams.Reader(_source(name), typed=typed) as reader:
        collections.deque(reader, maxlen=0)


def _check_one(name):
    try:
        try:
            _read_through(name, False)
        except DecodeError as e:
            # Keys that differ in QEL may be equal as plain Python values; typed
            # values keep them apart, so the file itself is sound if they do.
            if e.expected != "a key distinct from the map's others" or name == "-":
                raise
            _read_through(name, True)
    except DecodeError as e:
        raise _decode_failure(name, e) from None
    except OSError as e:
        raise _Failure("%s: %s" % (_display(name), e.strerror or e)) from None


def _check(args):
    out = _Output(sys.stdout.buffer)
    status = 0
    for name in args.files:
        try:
            _check_one(name)
            if args.verbose:
                out.write("%s: ok\n" % _display(name))
        except _Failure as e:
            out.write("%s\n" % e)
            status = 1
    out.flush()
    return status


# --- from-json ----------------------------------------------------------------------

class _JsonItems:
    """The items of a top-level JSON array, or the (key, value) entries of a
    top-level object, parsed one at a time from a text stream: the json
    module parses a document whole, but parses one value from any place of a
    string, so each item is parsed on its own and only the unread rest of
    the input is kept."""

    _SPACE = re.compile(r"[ \t\n\r]*")
    _CHUNK = 1 << 20

    def __init__(self, text):
        self._text = text
        self._buffer = ""
        self._at = 0          # the next character to parse in the buffer
        self._dropped = 0     # characters read before the buffer
        self._eof = False
        self._decoder = json.JSONDecoder()
        first = self._next_char()
        if first not in ("[", "{"):
            raise self._error("a JSON array or object (a QEL root is a list or a map)")
        self.root = "list" if first == "[" else "map"
        self._at += 1
        self._first = True

    def _read(self, size=_CHUNK):
        chunk = self._text.read(size)
        if not chunk:
            self._eof = True
            return False
        self._dropped += self._at
        self._buffer = self._buffer[self._at:] + chunk
        self._at = 0
        return True

    def _next_char(self):
        while True:
            self._at = self._SPACE.match(self._buffer, self._at).end()
            if self._at < len(self._buffer) or not self._read():
                return self._buffer[self._at:self._at + 1]

    def _error(self, expected):
        return ValueError("expected %s at character %d" % (expected, self._dropped + self._at))

    def _value(self):
        self._next_char()
        while True:
            try:
                value, end = self._decoder.raw_decode(self._buffer, self._at)
            except json.JSONDecodeError as e:
                # An error near the end of the buffer (or in a string that runs
                # to it) may only mean that the value goes on past it.
                if self._eof or (e.pos < len(self._buffer) - 16 and not e.msg.startswith("Unterminated string")):
                    raise ValueError("%s at character %d" % (e.msg, self._dropped + e.pos)) from None
                self._read(max(self._CHUNK, len(self._buffer) - self._at))
                continue
            if end == len(self._buffer) and not self._eof and self._read():
                continue  # a number at the end of the buffer may go on
            self._at = end
            return value

    def __iter__(self):
        end = "]" if self.root == "list" else "}"
        while True:
            char = self._next_char()
            if char == end:
                self._at += 1
                break
            if not self._first:
                if char != ",":
                    raise self._error('"," or "%s"' % end)
                self._at += 1
            self._first = False
            if self.root == "list":
                yield self._value()
                continue
            if self._next_char() != '"':
                raise self._error("a string key")
            key = self._value()
            if self._next_char() != ":":
                raise self._error('":"')
            self._at += 1
            yield key, self._value()
        if self._next_char() != "":
            raise self._error("the end of the input")


def _from_json(args):
    if args.input == "-":
        text = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig")
    else:
        try:
            text = open(args.input, encoding="utf-8-sig")
        except OSError as e:
            raise _Failure("%s: %s" % (args.input, e.strerror or e)) from None
    target = sys.stdout.buffer if args.output == "-" else args.output
    try:
        with text:
            items = _JsonItems(text)
            with _streams.Writer(target, root=items.root) as writer:
                put = writer.append if items.root == "list" else lambda entry: writer.add(*entry)
                for item in items:
                    put(item)
    except EncodeError as e:
        raise _Failure("%s: %s" % (_display(args.input), e)) from None
    except (ValueError, UnicodeDecodeError) as e:
        raise _Failure("%s: not JSON: %s" % (_display(args.input), e)) from None
    except OSError as e:
        raise _Failure("%s: %s" % (_display(args.output), e.strerror or e)) from None
    return 0


# --- the command line ---------------------------------------------------------------

def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("%r is not a count (an int from 0 up)" % text)
    return value


def _command(commands, name, run, summary, description, example):
    parser = commands.add_parser(name, help=summary, description=description, epilog="example:\n  " + example,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(run=run)
    return parser


def _parser():
    parser = argparse.ArgumentParser(
        prog="qel", description="Look inside QEL files, check them, and convert them to and from JSON. "
        'Every command streams, whatever the file\'s size; "-" stands for stdin or stdout.',
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version="qel (qeltypes) %s" % __version__)
    commands = parser.add_subparsers(title="commands", dest="command", metavar="COMMAND")
    commands.required = True
    file_help = 'a QEL file, or "-" for stdin'

    show = _command(commands, "show", _show, "print the tree with the QEL type of every value",
                    "Prints the tree indented, each value with its QEL type (int8 5, utf8 \"a\", "
                    "blob[7] 3 bytes 0a0b0c). Long strings and blobs are cut, with their size shown.",
                    "qel show data.qel --depth 2 --max-items 5")
    show.add_argument("file", metavar="FILE", help=file_help)
    show.add_argument("--depth", type=_count, metavar="N",
                      help="show N levels of containers (the root's items are level 1); deeper "
                           "containers show as a count of their items")
    show.add_argument("--max-items", type=_count, metavar="N",
                      help="show at most N items of each list and N entries of each map")

    as_json = _command(commands, "json", _json, "print the tree as JSON",
                       "Prints the tree as JSON, each item of the root on a line of its own. Blobs are "
                       "base64, timestamps ISO 8601 text, map keys that are not strings their JSON text, "
                       "NaN and infinities the strings \"NaN\", \"Infinity\" and \"-Infinity\".",
                       "qel json data.qel | jq '.[0]'")
    as_json.add_argument("file", metavar="FILE", help=file_help)
    as_json.add_argument("--typed", action="store_true",
                         help='wrap each value with its QEL type: {"type": "int8", "value": 5}; a '
                              'map\'s value is then a list of [key, value] pairs')

    stats = _command(commands, "stats", _stats, "count elements per type, depth and sizes",
                     "Prints the element counts per QEL type, the maximum depth, the sizes of strings "
                     "and blobs, and the size of the stream.", "qel stats data.qel")
    stats.add_argument("file", metavar="FILE", help=file_help)
    stats.add_argument("--json", action="store_true", help="print the figures as JSON")

    check = _command(commands, "check", _check, "check that files are valid QEL trees",
                     "Reads each file through. Exits 0 when every one is a valid QEL tree; otherwise "
                     "prints each invalid file with the byte offset and the reason, and exits 1.",
                     "qel check *.qel")
    check.add_argument("files", metavar="FILE", nargs="+", help=file_help)
    check.add_argument("-v", "--verbose", action="store_true", help="also print each valid file")

    from_json = _command(commands, "from-json", _from_json, "write a QEL file from JSON",
                         "Writes the JSON array or object in IN as a QEL file whose root is a list or a "
                         "map. The items of the top-level array (or object) are read one at a time. "
                         "OUT is replaced only once it is complete.",
                         "qel from-json records.json records.qel")
    from_json.add_argument("input", metavar="IN", help='a JSON file, or "-" for stdin')
    from_json.add_argument("output", metavar="OUT", help='the QEL file to write, or "-" for stdout')
    return parser


def main(argv=None):
    """The `qel` command: returns its exit status."""
    args = _parser().parse_args(argv)
    try:
        return args.run(args)
    except _Failure as e:
        sys.stderr.write("qel: %s\n" % e)
        return 1
    except BrokenPipeError:
        # The reader of stdout has gone (qel json big.qel | head). Python
        # flushes stdout at exit, which would fail again: point it elsewhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
