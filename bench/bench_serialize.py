"""Throughput of writing and reading QEL: a tree of about one million mixed
elements, and a list holding one 100 MB blob. Prints elements per second and
MB/s for bytes and for files (best of several runs).

    python3 bench/bench_serialize.py [--elements N] [--blob-mb M] [--repeat R]
"""
import argparse
import os
import tempfile
import time

import _qeltypes as q


def build_mixed(n_records):
    """A list of maps, each with six entries of different types: one list
    element, one map element and twelve key/value elements per record."""
    names = ("id", "name", "score", "flags", "stamp", "tags")
    root = q.qelt_variant_new_list()
    for i in range(n_records):
        # Fresh keys per record: a variant holds at most 65535 references,
        # so one key object cannot be shared by every record of a large tree.
        keys = [q.qelt_variant_new_string_c(k) for k in names]
        record = q.qelt_variant_new_map()
        tags = q.qelt_variant_new_list()
        values = (
            q.qelt_variant_new_int64(i),
            q.qelt_variant_new_string_utf8("record-%d" % i),
            q.qelt_variant_new_float64(i * 0.5),
            q.qelt_variant_new_uint8(i & 0xFF),
            q.qelt_variant_new_timestamp(2026, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60, i),
            tags,
        )
        tag = q.qelt_variant_new_int16(i & 0x7FFF)
        q.qelt_variant_list_append(tags, tag)
        q.qelt_variant_decref(tag)
        for key, value in zip(keys, values):
            q.qelt_variant_map_set(record, key, value)
            q.qelt_variant_decref(key)
            q.qelt_variant_decref(value)
        q.qelt_variant_list_append(root, record)
        q.qelt_variant_decref(record)
    # root list + per record: map, 6 keys, 6 values, 1 tag
    return root, 1 + n_records * 14


def best_of(repeat, fn):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def measure(label, root, elements, repeat, tmpdir):
    path = os.path.join(tmpdir, "bench.qel")
    t_wb, data = best_of(repeat, lambda: q.qelt_write_to_buffer(root))
    mb = len(data) / 1e6

    def read_buffer():
        h = q.qelt_read_from_buffer(data)
        q.qelt_variant_decref(h)

    def read_file():
        h = q.qelt_read_from_file(path)
        q.qelt_variant_decref(h)

    t_rb, _ = best_of(repeat, read_buffer)
    t_wf, _ = best_of(repeat, lambda: q.qelt_write_to_file(root, path))
    t_rf, _ = best_of(repeat, read_file)
    print("%s: %d elements, %.1f MB stream" % (label, elements, mb))
    for name, t in (("write to bytes", t_wb), ("read from bytes", t_rb),
                    ("write to file", t_wf), ("read from file", t_rf)):
        print("  %-16s %8.3f s  %12.0f elements/s  %8.1f MB/s" % (name, t, elements / t, mb / t))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--elements", type=int, default=1_000_000, help="approximate element count")
    ap.add_argument("--blob-mb", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmpdir:
        t0 = time.perf_counter()
        root, elements = build_mixed(max(1, args.elements // 14))
        print("built the mixed tree in %.1f s" % (time.perf_counter() - t0))
        measure("mixed tree", root, elements, args.repeat, tmpdir)
        t0 = time.perf_counter()
        q.qelt_variant_decref(root)
        print("  %-16s %8.3f s" % ("free the tree", time.perf_counter() - t0))

        blob_root = q.qelt_variant_new_list()
        blob = q.qelt_variant_new_binary(os.urandom(1 << 20) * args.blob_mb, q.QELT_BINARY_TYPE_GENERIC)
        q.qelt_variant_list_append(blob_root, blob)
        q.qelt_variant_decref(blob)
        measure("%d MB blob" % args.blob_mb, blob_root, 2, args.repeat, tmpdir)
        q.qelt_variant_decref(blob_root)


if __name__ == "__main__":
    main()
