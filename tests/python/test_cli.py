"""The qel command, run as users run it: exit codes, stdout and stderr on
good files, damaged files and bad usage."""
import datetime
import json
import os
import subprocess
import sys

import pytest

import qeltypes as q

TREE = [
    {"id": 1, "name": "Ada", "tags": ["x", "y"], "none": [], "blob": q.Blob(b"\x0a\x0b\x0c", 7),
     "long": "z" * 100, "when": datetime.datetime(2020, 1, 2, 3, 4, 5), 5: q.Float32(0.5), "nan": float("nan")},
    [1, [2, [3]]],
    "tail",
]


def qel(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "qeltypes"] + [str(a) for a in args], input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@pytest.fixture
def files(tmp_path):
    good = tmp_path / "good.qel"
    q.dump(TREE, good)
    data = good.read_bytes()
    cut = tmp_path / "cut.qel"
    cut.write_bytes(data[:60])
    bad = tmp_path / "bad.qel"
    bad.write_bytes(data[:7] + b"\x14")
    return good, cut, bad


def test_show_prints_types_cuts_and_limits(files):
    good = files[0]
    result = qel("show", good)
    assert result.returncode == 0 and result.stderr == b""
    lines = result.stdout.decode().splitlines()
    assert lines[:5] == ["list", "  map", '    utf8 "id": int8 1', '    utf8 "name": utf8 "Ada"',
                         '    utf8 "tags": list']
    for expected in ('    utf8 "none": list []', '    utf8 "blob": blob[7] 3 bytes 0a0b0c',
                     '    utf8 "long": utf8 100 bytes "' + "z" * 60 + '…"',
                     '    utf8 "when": timestamp 2020-01-02T03:04:05', "    int8 5: float32 0.5",
                     "        int8 3", '  utf8 "tail"'):
        assert expected in lines
    result = qel("show", "--depth", 1, "--max-items", 1, good)
    assert result.stdout.decode().splitlines() == ["list", "  map [9 entries]", "  … 2 more items"]
    assert qel("show", "--depth", 0, "-", stdin=good.read_bytes()).stdout == b"list [3 items]\n"


def test_json_plain_and_typed(files):
    good = files[0]
    result = qel("json", good)
    assert result.returncode == 0
    text = result.stdout.decode()
    assert text.count("\n") == 5  # "[", an item a line, "]"
    first, nested, tail = json.loads(text)
    assert first["blob"] == "CgsM" and first["when"] == "2020-01-02T03:04:05" and first["5"] == 0.5
    assert first["nan"] == "NaN" and nested == [1, [2, [3]]] and tail == "tail"
    typed = json.loads(qel("json", "--typed", good).stdout)
    entries = typed["value"][0]["value"]
    assert typed["type"] == "list" and entries[0] == [{"type": "utf8", "value": "id"}, {"type": "int8", "value": 1}]
    assert [{"type": "int8", "value": 5}, {"type": "float32", "value": 0.5}] in entries
    assert [{"type": "utf8", "value": "blob"}, {"type": "blob", "binary_type": 7, "value": "CgsM"}] in entries


def test_stats(files):
    good = files[0]
    stats = json.loads(qel("stats", "--json", good).stdout)
    assert stats["bytes"] == good.stat().st_size and stats["root"] == "list" and stats["items"] == 3
    assert stats["max_depth"] == 4 and stats["types"]["list"] == 6 and stats["types"]["map"] == 1
    assert stats["blobs"] == {"count": 1, "bytes": 3, "largest": 3}
    assert stats["strings"]["longest"] == 100
    text = qel("stats", good).stdout.decode()
    assert "max depth      4" in text and "  int8" in text


def test_check(files, tmp_path):
    good, cut, bad = files
    result = qel("check", good, good)
    assert (result.returncode, result.stdout) == (0, b"")
    assert qel("check", "-v", good).stdout.decode() == "%s: ok\n" % good
    result = qel("check", good, cut, bad, tmp_path / "missing.qel")
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 1 and len(lines) == 3
    assert lines[0] == "%s: offset 60: truncated stream: it ends inside the string" % cut
    assert lines[1] == "%s: offset 7: the root must be a list or a map, not type byte 0x14" % bad
    assert lines[2].startswith("%s: " % (tmp_path / "missing.qel")) and "No such file" in lines[2]
    assert qel("check", "-", stdin=cut.read_bytes()).stdout.startswith(b"<stdin>: offset 60")
    # Keys apart in QEL but equal as plain Python values: a sound file.
    both = tmp_path / "both.qel"
    both.write_bytes(q.dumps([{q.Int8(5): 1, q.Int16(5): 2}]))
    assert qel("check", both).returncode == 0


@pytest.mark.parametrize("command", ["show", "json", "stats"])
def test_damaged_files_print_what_comes_before_the_fault(files, command):
    result = qel(command, files[1])
    assert result.returncode == 1
    assert result.stderr.decode() == "qel: %s: offset 60: truncated stream: it ends inside the string\n" % files[1]
    if command == "show":
        assert result.stdout.decode().startswith('list\n  map\n    utf8 "id": int8 1\n')


def test_from_json(tmp_path):
    source = tmp_path / "in.json"
    records = [{"id": i, "f": i / 3, "tags": ["a"] * (i % 4), "none": None, "yes": True} for i in range(2000)]
    source.write_text(json.dumps(records, indent=1))
    out = tmp_path / "out.qel"
    assert qel("from-json", source, out).returncode == 0
    assert q.load(out) == records
    result = qel("from-json", "-", "-", stdin=b'\xef\xbb\xbf {"a": [1, {"b": 2}], "a": 3, "c": "\\u00e9"} ')
    assert result.returncode == 0 and list(q.Reader(__import__("io").BytesIO(result.stdout))) == [
        ("a", [1, {"b": 2}]), ("a", 3), ("c", "é")]
    for text, message in ((b"[1, 2", "not JSON"), (b"[1] [2]", "not JSON: expected the end"),
                          (b"7", "a JSON array or object"), (b"[1, 1e999999, 99999999999999999999999]", "uint64"),
                          (b'["\\u0000"]', "NUL")):
        result = qel("from-json", "-", out, stdin=text)
        assert result.returncode == 1 and message in result.stderr.decode(), (text, result.stderr)
        assert q.load(out) == records  # kept: only a complete file replaces it


def test_usage_errors_help_and_the_console_script(files):
    for args in ([], ["show"], ["nonsense"], ["show", "--depth", "-1", files[0]], ["check"]):
        result = qel(*args)
        assert result.returncode == 2 and b"usage: qel" in result.stderr and result.stdout == b""
    for args in (["--help"], ["json", "--help"], ["from-json", "--help"]):
        result = qel(*args)
        assert result.returncode == 0 and b"example" in result.stdout
    script = os.path.join(os.path.dirname(sys.executable), "qel")
    if os.path.exists(script):
        assert subprocess.run([script, "check", files[0]]).returncode == 0


def test_a_closed_pipe_ends_quietly(tmp_path):
    big = tmp_path / "big.qel"
    with q.Writer(big) as writer:
        for i in range(200000):
            writer.append({"i": i})
    process = subprocess.Popen([sys.executable, "-m", "qeltypes", "json", str(big)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    assert process.stdout.readline() == b"[\n"
    process.stdout.close()
    assert process.wait() == 1 and process.stderr.read() == b""
    process.stderr.close()


def test_from_json_reads_items_across_its_reads(tmp_path):
    # Items and numbers that straddle the 1 MiB reads, and one item larger
    # than a read.
    import random
    rng = random.Random(7)
    items = [rng.choice([rng.randint(-10 ** 12, 10 ** 12), rng.random() * 1e6, "é" * rng.randint(0, 3000),
                         {"n": [rng.randint(0, 9)] * rng.randint(0, 50)}, True, None]) for _ in range(6000)]
    items.insert(3000, "big" * 1000000)
    for root in (items, {"k%d" % i: item for i, item in enumerate(items)}):
        source, out = tmp_path / "in.json", tmp_path / "out.qel"
        source.write_text(json.dumps(root, ensure_ascii=False, separators=(",", ":")), encoding="utf-8")
        result = qel("from-json", source, out)
        assert result.returncode == 0, result.stderr
        assert q.load(out) == root


def test_json_of_a_root_map_with_keys_of_every_kind(tmp_path):
    path = tmp_path / "m.qel"
    q.dump({1: "a", 2.5: [], None: {}, False: b"\xff", "s": q.UInt8(3)}, path)
    assert json.loads(qel("json", path).stdout) == {"1": "a", "2.5": [], "null": {}, "false": "/w==", "s": 3}
    typed = json.loads(qel("json", "--typed", path).stdout)
    assert typed["value"][2] == [{"type": "none", "value": None}, {"type": "map", "value": []}]
    assert typed["value"][3][1] == {"type": "blob", "binary_type": 0, "value": "/w=="}
    q.dump([], path)
    assert qel("json", path).stdout == b"[]\n" and qel("show", path).stdout == b"list []\n"
