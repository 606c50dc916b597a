"""Parts of the peer benchmark: seeded data sets, the codecs under test,
interleaved timing, and the probes that run in a child process (deep nesting,
peak memory).

`bench_peers.py` is the command line. This module holds the parts so that a
child process can import it and run one probe by name:

    python peers.py probe '{"probe": "deep", "codec": "cbor2", "depth": 10000}' OUT.json
"""
import datetime
import gc
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time

# Full-size data sets; --scale multiplies every size.
FULL_SIZES = {
    "records": 20_000,          # API-style dicts
    "numbers": 1_000_000,       # mixed ints and floats in one list
    "strings": 200_000,         # short keys in one dict
    "blob": 100 * 2 ** 20,      # one bytes object, held in a one-item list
    "deep": 100_000,            # nested lists, timed for the codecs that can
}
DATASETS = tuple(FULL_SIZES)
DEEP_PEER_CHECK = 10_000        # every codec is tried at this depth
DEEP_BIG = 1_000_000            # only the qeltypes codecs are tried at this one
UTC = datetime.timezone.utc


def scaled_sizes(scale):
    sizes = {k: max(1, int(v * scale)) for k, v in FULL_SIZES.items()}
    sizes["deep"] = max(1_000, sizes["deep"])
    sizes["deep_big"] = max(DEEP_PEER_CHECK, int(DEEP_BIG * scale))
    return sizes


# --- data sets ------------------------------------------------------------------

FIRST = "Ada Alan Grace Linus Guido Barbara Ken Dennis Edsger Donald Margaret Frances Jürgen Zoë".split()
LAST = "Lovelace Turing Hopper Torvalds Rossum Liskov Thompson Ritchie Dijkstra Knuth Hamilton Allen".split()
TAGS = "admin beta trial premium legacy eu us apac mobile desktop api internal".split()
CITIES = "Berlin Paris Lisboa Kraków Zürich Tokyo 東京 Austin Oslo Nairobi".split()


def _datetime(rng):
    return datetime.datetime(rng.randint(2000, 2030), rng.randint(1, 12), rng.randint(1, 28),
                             rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
                             rng.randrange(1_000_000))


def make_records(n, rng):
    records = []
    for i in range(n):
        first, last = rng.choice(FIRST), rng.choice(LAST)
        records.append({
            "id": i,
            "uuid": "%032x" % rng.getrandbits(128),
            "name": first + " " + last,
            "email": "%s.%s%d@example.com" % (first.lower(), last.lower(), i),
            "active": rng.random() < 0.8,
            "age": rng.randint(18, 90),
            "balance": round(rng.uniform(-1_000, 250_000), 2),
            "score": rng.random(),
            "manager_id": rng.randrange(1 << 40) if rng.random() < 0.7 else None,
            "created": _datetime(rng),
            "last_login": _datetime(rng) if rng.random() < 0.9 else None,
            "tags": [rng.choice(TAGS) for _ in range(rng.randint(0, 5))],
            "scores": [rng.randint(-40_000, 40_000) for _ in range(rng.randint(1, 8))],
            "history": [[rng.randrange(1 << 31), rng.random() * 100, rng.choice(TAGS)]
                        for _ in range(rng.randint(0, 4))],
            "address": {"city": rng.choice(CITIES), "zip": "%05d" % rng.randrange(100_000),
                        "geo": [rng.uniform(-90, 90), rng.uniform(-180, 180)]},
        })
    return records


def make_numbers(n, rng):
    """Ints of every width (most of them small, as counts and ids are) and floats."""
    draws = (
        lambda: rng.randint(-128, 127),
        lambda: rng.randint(-128, 127),
        lambda: rng.randint(-32_768, 32_767),
        lambda: rng.randint(-2 ** 31, 2 ** 31 - 1),
        lambda: rng.randint(-2 ** 63, 2 ** 63 - 1),
        lambda: rng.uniform(-1e6, 1e6),
        lambda: rng.random(),
        lambda: rng.uniform(-1e300, 1e300),
    )
    return [rng.choice(draws)() for _ in range(n)]


def make_strings(n, rng):
    """Unique short keys, each with a short value; about one value in ten is not ASCII."""
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789_"
    out = {}
    while len(out) < n:
        key = "".join(rng.choice(alphabet) for _ in range(rng.randint(4, 12)))
        if rng.random() < 0.1:
            value = rng.choice(CITIES) + " " + rng.choice(FIRST)
        else:
            value = "".join(rng.choice(alphabet) for _ in range(rng.randint(3, 16)))
        out[key] = value
    return out


def make_blob(size, rng):
    # One random MiB repeated: nobody here compresses, so the content need not vary.
    block = 1 << 20
    chunk = rng.randbytes(min(size, block)) if hasattr(rng, "randbytes") else os.urandom(min(size, block))
    whole, rest = divmod(size, len(chunk))
    return [chunk * whole + chunk[:rest]]


def make_deep(depth, rng=None):
    """`depth` lists, each the only item of the one around it."""
    obj = []
    for _ in range(depth - 1):
        obj = [obj]
    return obj


MAKERS = {"records": make_records, "numbers": make_numbers, "strings": make_strings,
          "blob": make_blob, "deep": make_deep}


def make_dataset(name, size, seed):
    return MAKERS[name](size, random.Random("%s:%d" % (name, seed)))


def describe(name, size):
    return {
        "records": "%d API-style dicts" % size,
        "numbers": "%d mixed ints and floats" % size,
        "strings": "a dict of %d short keys" % size,
        "blob": "one %.1f MiB bytes in a list" % (size / 2 ** 20),
        "deep": "%d nested lists" % size,
    }[name]


def map_datetimes(obj, fn):
    """A copy of a records-style tree with every datetime replaced by fn(dt)."""
    if isinstance(obj, datetime.datetime):
        return fn(obj)
    if isinstance(obj, list):
        return [map_datetimes(x, fn) for x in obj]
    if isinstance(obj, dict):
        return {k: map_datetimes(v, fn) for k, v in obj.items()}
    return obj


# --- the handle API's tree builder ----------------------------------------------------

_END = object()


def build_variant(obj):
    """A variant tree from Python objects through the handle API, with the mapping
    of `qeltypes.dumps`: narrowest signed int, float64, UTF-8 strings, generic
    binaries, timestamps. Used when `qeltypes.to_variant` is not there. Iterative,
    so depth is no limit. The caller owns the root."""
    import _qeltypes as q

    def new(o):
        t = type(o)
        if t is dict:
            return q.qelt_variant_new_map(), iter(o.items()), True
        if t is list or t is tuple:
            return q.qelt_variant_new_list(), iter(o), False
        if o is None:
            return q.qelt_variant_new_none(), None, False
        if t is bool:
            return q.qelt_variant_new_bool(int(o)), None, False
        if t is int:
            for lo, make in ((-2 ** 7, q.qelt_variant_new_int8), (-2 ** 15, q.qelt_variant_new_int16),
                             (-2 ** 31, q.qelt_variant_new_int32), (-2 ** 63, q.qelt_variant_new_int64)):
                if lo <= o < -lo:
                    return make(o), None, False
            if 0 <= o < 2 ** 64:
                return q.qelt_variant_new_uint64(o), None, False
            raise OverflowError("int out of range: %d" % o)
        if t is float:
            return q.qelt_variant_new_float64(o), None, False
        if t is str:
            return q.qelt_variant_new_string_utf8(o), None, False
        if t is datetime.datetime:
            if o.tzinfo is not None:
                raise ValueError("timezone-aware datetime")
            return q.qelt_variant_new_timestamp(o.year, o.month, o.day, o.hour, o.minute, o.second,
                                                o.microsecond), None, False
        if isinstance(o, (bytes, bytearray, memoryview)):
            return q.qelt_variant_new_binary(o, q.QELT_BINARY_TYPE_GENERIC), None, False
        raise TypeError("cannot build a variant from %s" % t.__name__)

    root, items, is_map = new(obj)
    if items is None:
        return root
    stack = [(root, items, is_map)]
    try:
        while stack:
            parent, items, is_map = stack[-1]
            item = next(items, _END)
            if item is _END:
                stack.pop()
                continue
            if is_map:
                key, _, _ = new(item[0])
                child, child_items, child_is_map = new(item[1])
                q.qelt_variant_map_set(parent, key, child)
                q.qelt_variant_decref(key)
            else:
                child, child_items, child_is_map = new(item)
                q.qelt_variant_list_append(parent, child)
            # The parent now holds the child; the handle stays good while the root lives.
            q.qelt_variant_decref(child)
            if child_items is not None:
                stack.append((child, child_items, child_is_map))
    except BaseException:
        q.qelt_variant_decref(root)
        raise
    return root


# --- codecs -------------------------------------------------------------------------

class NotApplicable(Exception):
    """A codec cannot take a data set, with the reason."""


class Codec:
    """One thing to measure: dumps(prepared) -> bytes and loads(bytes).

    `prepare` turns a data set into the codec's input once, outside the timing
    (an adaptation, or the variant tree of the handle API); `release` frees it.
    `keep` and `drop` split loads for the memory probe: keep builds the result,
    drop frees it. `deep_stream(n)` is a hand-made stream of n nested lists, so
    that loads can be tried at depths that dumps refuses."""

    def __init__(self, name, dumps, loads, version, notes=None, prepare=None, release=None,
                 keep=None, drop=None, deep_stream=None, not_for=None):
        self.name, self.dumps, self.loads, self.version = name, dumps, loads, version
        self.notes = notes or {}
        self.not_for = not_for or {}
        self._prepare, self.release = prepare, release or (lambda prepared: None)
        self.keep, self.drop = keep or loads, drop or (lambda result: None)
        self.deep_stream = deep_stream

    def prepare(self, dataset, obj):
        if dataset in self.not_for:
            raise NotApplicable(self.not_for[dataset])
        return self._prepare(dataset, obj) if self._prepare else obj


def _version(dist):
    try:
        from importlib import metadata
        return metadata.version(dist)
    except Exception:
        return "?"


def _msgpack_stream(n):
    return b"\x91" * (n - 1) + b"\x90"


def _qel_stream(n):
    # The header ("_QEL", version 1, a reserved byte), n list openings, n end markers.
    return b"_QEL\x01\x00\x00" + b"\x30" * n + b"\x00" * n


def codec_qeltypes():
    try:
        import qeltypes
    except ImportError as e:
        raise ImportError("the qeltypes package is not built yet (%s)" % e)
    if not hasattr(qeltypes, "dumps"):
        raise ImportError("the qeltypes package is not built yet (no qeltypes.dumps)")
    return Codec("qeltypes", qeltypes.dumps, qeltypes.loads, getattr(qeltypes, "__version__", "?"),
                 deep_stream=_qel_stream)


def codec_handle():
    import _qeltypes as q
    try:
        import qeltypes
        to_variant = qeltypes.to_variant
        builder = "qeltypes.to_variant"
    except (ImportError, AttributeError):
        to_variant, builder = build_variant, "a pure-Python builder over _qeltypes"
    decref, read, write = q.qelt_variant_decref, q.qelt_read_from_buffer, q.qelt_write_to_buffer

    def loads(data):
        decref(read(data))

    return Codec("handle API", write, loads, "%d.%d" % q.qelt_get_version(),
                 notes={"*": "qelt_write_to_buffer of a tree built before the timing by %s; "
                             "qelt_read_from_buffer + qelt_variant_decref of the root" % builder},
                 prepare=lambda dataset, obj: to_variant(obj), release=decref, keep=read, drop=decref,
                 deep_stream=_qel_stream)


def codec_msgpack():
    import msgpack

    def dumps(obj):
        return msgpack.packb(obj, datetime=True)

    def loads(data):
        return msgpack.unpackb(data, timestamp=3)

    def prepare(dataset, obj):
        return map_datetimes(obj, lambda d: d.replace(tzinfo=UTC)) if dataset == "records" else obj

    return Codec("msgpack", dumps, loads, _version("msgpack"), prepare=prepare,
                 deep_stream=_msgpack_stream,
                 notes={"records": "datetimes given as UTC-aware copies (made before the timing), "
                                   "packb(datetime=True) writes the timestamp extension, "
                                   "unpackb(timestamp=3) gives aware datetimes back"})


def codec_ormsgpack():
    import ormsgpack
    return Codec("ormsgpack", ormsgpack.packb, ormsgpack.unpackb, _version("ormsgpack"),
                 deep_stream=_msgpack_stream,
                 notes={"records": "native: datetimes become RFC 3339 strings and load back as str "
                                   "(less work than building datetimes)"})


def codec_cbor2():
    import cbor2

    def dumps(obj):
        return cbor2.dumps(obj, timezone=UTC)

    return Codec("cbor2", dumps, cbor2.loads, _version("cbor2"),
                 deep_stream=lambda n: b"\x81" * (n - 1) + b"\x80",
                 notes={"records": "dumps(timezone=UTC) so that naive datetimes encode (tag 0); "
                                   "loads gives aware datetimes"})


def codec_orjson():
    import orjson
    return Codec("orjson", orjson.dumps, orjson.loads, _version("orjson"),
                 deep_stream=lambda n: b"[" * n + b"]" * n,
                 not_for={"blob": "JSON has no bytes"},
                 notes={"records": "native: datetimes become RFC 3339 strings and load back as str "
                                   "(less work than building datetimes)"})


def codec_pickle():
    import pickle
    proto = pickle.HIGHEST_PROTOCOL

    def dumps(obj):
        return pickle.dumps(obj, proto)

    def stream(n):
        # EMPTY_LIST n times, then APPEND n - 1 times: the reader's own stack, no recursion.
        return b"\x80" + bytes([min(proto, 255)]) + b"]" * n + b"a" * (n - 1) + b"."

    return Codec("pickle", dumps, pickle.loads, "protocol %d" % proto, deep_stream=stream,
                 notes={"*": "protocol %d" % proto})


def codec_marshal():
    import marshal
    return Codec("marshal", marshal.dumps, marshal.loads, "version %d" % marshal.version,
                 deep_stream=lambda n: b"[\x01\x00\x00\x00" * (n - 1) + b"[\x00\x00\x00\x00",
                 not_for={"records": "marshal has no datetime"})


# The first two are the subjects: ratios are peer time / subject time.
CODECS = {
    "qeltypes": codec_qeltypes,
    "handle API": codec_handle,
    "msgpack": codec_msgpack,
    "ormsgpack": codec_ormsgpack,
    "cbor2": codec_cbor2,
    "orjson": codec_orjson,
    "pickle": codec_pickle,
    "marshal": codec_marshal,
}
SUBJECTS = ("qeltypes", "handle API")
QELTYPES_CODECS = SUBJECTS


def load_codecs(names):
    """(codecs, unavailable): the codecs that import, and a reason for each that does not."""
    codecs, unavailable = [], {}
    for name in names:
        try:
            codecs.append(CODECS[name]())
        except ImportError as e:
            unavailable[name] = str(e)
    return codecs, unavailable


# --- timing -------------------------------------------------------------------------

def _sample(fn, loops):
    """Seconds per call of fn. Results are kept until the clock stops, so that
    tearing them down is not timed (the handle API's read frees its tree itself,
    which is part of what it is measured for). The cyclic collector runs between
    samples, never inside one."""
    out = [None] * loops
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for i in range(loops):
            out[i] = fn()
        elapsed = time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()
    del out
    return elapsed / loops


def time_interleaved(tasks, rounds, min_sample=0.02):
    """{key: [seconds per call, one per round]} for {key: fn}. Every round runs
    every task once, starting one task later than the round before, so that
    slow drifts of the machine fall on all of them alike. A call faster than
    min_sample is repeated within its sample."""
    keys = list(tasks)
    loops = {}
    for key in keys:  # the first call also warms up
        once = _sample(tasks[key], 1)
        loops[key] = max(1, min(10_000, int(min_sample / max(once, 1e-9))))
    samples = {key: [] for key in keys}
    for r in range(rounds):
        k = r % len(keys) if keys else 0
        for key in keys[k:] + keys[:k]:
            samples[key].append(_sample(tasks[key], loops[key]))
    return samples


def summary(times):
    ordered = sorted(times)
    n = len(ordered)
    median = ordered[n // 2] if n % 2 else (ordered[n // 2 - 1] + ordered[n // 2]) / 2
    return {"min": ordered[0], "median": median, "samples": times}


def copy_bytes(blob):
    """The blob row's yardstick: one fresh `bytes` copy, one allocation and one
    memcpy of every byte, as bytes(memoryview(b)) makes it."""
    return bytes(memoryview(blob))


def _error_text(e):
    text = str(e).splitlines()[0] if str(e) else ""
    return "%s: %s" % (type(e).__name__, text[:80]) if text else type(e).__name__


def run_dataset(name, obj, codecs, rounds):
    """Times every codec on one data set, both directions, interleaved.
    Returns ({codec: row}, {key: summary}, {codec: encoded bytes})."""
    rows, tasks, encoded, prepared_all = {}, {}, {}, []
    for c in codecs:
        row = rows[c.name] = {"version": c.version}
        note = c.notes.get(name, c.notes.get("*"))
        if note:
            row["note"] = note
        try:
            prepared = c.prepare(name, obj)
        except NotApplicable as e:
            row.update(status="n/a", reason=str(e))
            continue
        except Exception as e:
            row.update(status="error", reason=_error_text(e))
            continue
        prepared_all.append((c, prepared))
        try:
            data = c.dumps(prepared)
            c.loads(data)
        except Exception as e:
            row.update(status="error", reason=_error_text(e))
            continue
        row.update(status="ok", size=len(data))
        encoded[c.name] = data
        tasks[(c.name, "dumps")] = (lambda f, p: lambda: f(p))(c.dumps, prepared)
        tasks[(c.name, "loads")] = (lambda f, d: lambda: f(d))(c.loads, data)
    if name == "blob":
        tasks[("bytes copy", "copy")] = (lambda b: lambda: copy_bytes(b))(obj[0])
    try:
        times = {key: summary(t) for key, t in time_interleaved(tasks, rounds).items()}
    finally:
        for c, prepared in prepared_all:
            c.release(prepared)
    return rows, times, encoded


def ratios(rows, times, reference):
    """Adds peer time / reference time (by min) per direction to every row."""
    for direction in ("dumps", "loads"):
        ref = times.get((reference, direction))
        if not ref:
            continue
        for codec, row in rows.items():
            t = times.get((codec, direction))
            if t:
                row.setdefault("ratio", {}).setdefault(reference, {})[direction] = t["min"] / ref["min"]


# --- child-process probes ----------------------------------------------------------------

def _status():
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            m = re.match(r"(VmRSS|VmHWM):\s+(\d+) kB", line)
            if m:
                fields[m.group(1)] = int(m.group(2)) * 1024
    return fields


def _reset_peak():
    # Linux: writing 5 sets the high-water mark back to the current RSS.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def probe_memory(codec_name, path):
    """RSS around one loads in this (fresh) process: before the input is read,
    with the input held, the high-water mark during loads, with the result
    held, and after the result is freed."""
    codec = CODECS[codec_name]()
    gc.collect()
    rss0 = _status()["VmRSS"]
    with open(path, "rb") as f:
        data = f.read()
    rss1 = _status()["VmRSS"]
    _reset_peak()
    result = codec.keep(data)
    st = _status()
    peak, rss2 = max(st["VmHWM"], st["VmRSS"]), st["VmRSS"]
    codec.drop(result)
    del result
    gc.collect()
    rss3 = _status()["VmRSS"]
    return {"input": len(data), "base": rss0, "with_input": rss1, "peak": peak,
            "with_result": rss2, "after_free": rss3}


def probe_deep(codec_name, depth, rounds=0):
    """What a codec does with `depth` nested lists: dumps, then loads of what it
    wrote (or of a hand-made stream when dumps refused); timed when rounds > 0."""
    codec = CODECS[codec_name]()
    obj = make_deep(depth)
    out = {}
    data = prepared = None
    try:
        prepared = codec.prepare("deep", obj)
        data = codec.dumps(prepared)
        out["dumps"] = "ok"
    except RecursionError:
        out["dumps"] = "RecursionError"
    except Exception as e:
        out["dumps"] = "error (%s)" % _error_text(e)
    if data is None and codec.deep_stream:
        data = codec.deep_stream(depth)
        out["loads_input"] = "hand-made stream"
    if data is not None:
        try:
            codec.loads(data)
            out["loads"] = "ok"
        except RecursionError:
            out["loads"] = "RecursionError"
        except Exception as e:
            out["loads"] = "error (%s)" % _error_text(e)
    if rounds and out.get("dumps") == "ok" and out.get("loads") == "ok":
        tasks = {"dumps": lambda: codec.dumps(prepared), "loads": lambda: codec.loads(data)}
        out["times"] = {k: summary(v) for k, v in time_interleaved(tasks, rounds).items()}
    if prepared is not None:
        codec.release(prepared)
    return out


PROBES = {"memory": lambda job: probe_memory(job["codec"], job["path"]),
          "deep": lambda job: probe_deep(job["codec"], job["depth"], job.get("rounds", 0))}


def run_probe(job, timeout=600):
    """Runs one probe in a child process of this interpreter. A child that dies
    by a signal is reported as a crash, one that runs out of time as a hang;
    neither takes the caller down."""
    with tempfile.TemporaryDirectory() as tmp:
        out_path = os.path.join(tmp, "out.json")
        cmd = [sys.executable, os.path.abspath(__file__), "probe", json.dumps(job), out_path]
        try:
            proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            return {"crash": "hang (no answer in %d s)" % timeout}
        if proc.returncode < 0:
            try:
                sig = signal.Signals(-proc.returncode).name
            except ValueError:
                sig = "signal %d" % -proc.returncode
            return {"crash": "crash (%s)" % sig}
        if proc.returncode != 0 or not os.path.exists(out_path):
            tail = proc.stderr.decode(errors="replace").strip().splitlines()[-1:] or ["?"]
            return {"crash": "child failed (exit %d: %s)" % (proc.returncode, tail[0][:100])}
        with open(out_path) as f:
            return json.load(f)


def _probe_main(argv):
    job, out_path = json.loads(argv[0]), argv[1]
    result = PROBES[job["probe"]](job)
    with open(out_path, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "probe":
        _probe_main(sys.argv[2:])
    else:
        sys.exit(__doc__)
