"""Memory of trees read from QEL, each figure from a child process of its own:

- what one element costs in a read tree, all included (its record, its slot
  in the parent, the share of the parent's array): an empty list, an empty
  map, a scalar;
- how far hostile streams amplify their own size before they fail or finish:
  10^6 unclosed lists, 10^6 nested maps, 5 x 10^6 empty maps;
- for a tree of 10^6 elements (numbers, records): the peak while reading
  above the baseline, against 1.5 x the tree's live size, and what is left
  after the free, against 10 % of the baseline.

    python3 bench/bench_memory.py [--elements N] [--quick]

Linux only (the figures come from /proc/self/status; the peak is reset
before each read through /proc/self/clear_refs).
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

import _qeltypes as q

HEADER = b"_QEL\x01\x00\x00"

# The child: loads the stream from a file, resets the peak, reads, and
# reports resident sizes in bytes.
CHILD = r"""
import gc, json, sys
import _qeltypes as q

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

path, free = sys.argv[1], sys.argv[2] == "free"
with open(path, "rb") as f:
    data = f.read()
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
result = {"input": len(data), "base": base}
try:
    root = q.qelt_read_from_buffer(data)
except q.qeltypesError as e:
    root, result["error"] = None, str(e)
result["peak"] = status("VmHWM")
result["live"] = status("VmRSS")
if root is not None and free:
    q.qelt_variant_decref(root)
    result["after"] = status("VmRSS")
print(json.dumps(result))
"""


def measure(data, free=True):
    with tempfile.NamedTemporaryFile(suffix=".qel", delete=False) as f:
        f.write(data)
    try:
        # The stream's diagnostic records go to the child's stdout before
        # the figures; the figures are its last line.
        out = subprocess.run([sys.executable, "-c", CHILD, f.name, "free" if free else "keep"],
                             check=True, capture_output=True, text=True).stdout
        return json.loads(out.strip().splitlines()[-1])
    finally:
        os.unlink(f.name)


def list_of(element, n):
    return HEADER + b"0" + element * n + b"\x00"


def per_element(n):
    print("Cost of one element in a read tree, all included (%d elements)" % n)
    rows = [("empty list", b"0\x00", 128), ("empty map", b"1\x00", 128),
            ("int64 scalar", b"\x05" + bytes(range(1, 9)), 48)]
    for name, element, target in rows:
        r = measure(list_of(element, n), free=False)
        cost = (r["live"] - r["base"]) / n
        print("  %-14s %6.1f bytes   (target <= %d) %s" % (name, cost, target, "ok" if cost <= target else "MISSED"))


def amplification():
    print("Hostile streams: peak above the baseline while reading")
    rows = [("10^6 unclosed lists", HEADER + b"0" * 10 ** 6),
            ("10^6 nested maps", HEADER + b"1\x08\x01" * 10 ** 6),
            ("5x10^6 empty maps", list_of(b"1\x00", 5 * 10 ** 6))]
    for name, data in rows:
        r = measure(data)
        print("  %-20s input %5.1f MB  peak %7.1f MB  (%.0fx the input)%s" % (
            name, len(data) / 1e6, (r["peak"] - r["base"]) / 1e6, (r["peak"] - r["base"]) / len(data),
            "  [refused]" if "error" in r else ""))


def numbers_stream(n):
    rng = random.Random(1)
    root = q.qelt_variant_new_list()
    for i in range(n):
        v = q.qelt_variant_new_int64(rng.randrange(-2 ** 40, 2 ** 40)) if i % 2 else q.qelt_variant_new_float64(rng.random())
        q.qelt_variant_list_append(root, v)
        q.qelt_variant_decref(v)
    data = q.qelt_write_to_buffer(root)
    q.qelt_variant_decref(root)
    return data


def records_stream(n):
    """API-style records of 19 elements each: a map of seven fields, one of
    them a list of three tags."""
    root = q.qelt_variant_new_list()
    rng = random.Random(2)
    for i in range(n // 19):
        record = q.qelt_variant_new_map()
        tags = q.qelt_variant_new_list()
        for t in ("a", "bb", "ccc"):
            v = q.qelt_variant_new_string_utf8(t)
            q.qelt_variant_list_append(tags, v)
            q.qelt_variant_decref(v)
        fields = [("id", q.qelt_variant_new_int64(i)), ("name", q.qelt_variant_new_string_utf8("user%d" % i)),
                  ("email", q.qelt_variant_new_string_utf8("u%d@example.com" % i)),
                  ("active", q.qelt_variant_new_bool(i & 1)), ("score", q.qelt_variant_new_float64(rng.random())),
                  ("tags", tags), ("parent", q.qelt_variant_new_none())]
        for name, value in fields:
            key = q.qelt_variant_new_string_utf8(name)
            q.qelt_variant_map_set(record, key, value)
            q.qelt_variant_decref(key)
            q.qelt_variant_decref(value)
        q.qelt_variant_list_append(root, record)
        q.qelt_variant_decref(record)
    data = q.qelt_write_to_buffer(root)
    q.qelt_variant_decref(root)
    return data


def peak_and_return(n):
    print("Trees of %d elements: peak while reading, and what the free leaves" % n)
    for name, data in (("numbers", numbers_stream(n)), ("records", records_stream(n))):
        r = measure(data)
        live, peak, left = r["live"] - r["base"], r["peak"] - r["base"], r["after"] - r["base"]
        print("  %-8s input %5.1f MB  tree %6.1f MB  peak %6.1f MB = %.2fx the tree (target <= 1.5) %s" % (
            name, r["input"] / 1e6, live / 1e6, peak / 1e6, peak / live, "ok" if peak <= 1.5 * live else "MISSED"))
        print("  %-8s after the free %+6.2f MB = %+.1f%% of the baseline %.1f MB (target within 10%%) %s" % (
            "", left / 1e6, 100 * left / r["base"], r["base"] / 1e6, "ok" if abs(left) <= 0.1 * r["base"] else "MISSED"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--elements", type=int, default=10 ** 6)
    parser.add_argument("--quick", action="store_true", help="skip the hostile streams")
    args = parser.parse_args()
    per_element(args.elements)
    if not args.quick:
        amplification()
    peak_and_return(args.elements)


if __name__ == "__main__":
    main()
