"""Maps under hash flooding: streams whose map keys all share one hash.

Each key is a binary of B six-byte blocks, every block one of two that add
the same to the hash, so 2^k keys (B = max(16, k)) collide completely. For
k = 12 to 18 the script reads the stream with qelt_read_from_buffer, then
looks every key up, writes the map back and deletes every key (last first),
and prints the seconds of each and the read time per n*log2(n); the same is
done for keys of the same size without collisions. A flat or falling per-n*log2(n) column
means n log n or better.

    python3 bench/bench_hash_flood.py [--from K] [--to K] [--repeat R]
"""
import argparse
import math
import os
import struct
import time

import _qeltypes as q

BLOCKS = (bytes.fromhex("727a742fc5cc"), bytes.fromhex("672d7823fa47"))
HEADER = b"_QEL\x01\x00\x00"


def colliding_keys(n, blocks):
    return [b"".join(BLOCKS[(i >> b) & 1] for b in range(blocks - 1, -1, -1)) for i in range(n)]


def distinct_keys(n, length):
    return [os.urandom(length) for _ in range(n)]


def map_stream(keys):
    """A map of binary keys (type 0) to none values."""
    parts = [HEADER, b"\x31"]
    for key in keys:
        parts += [b"\x0e\x00", struct.pack("<I", len(key)), key, b"\x0f"]
    parts.append(b"\x00")
    return b"".join(parts)


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def run_once(keys, stream):
    """Seconds for: read, look up every key, write back, delete every key."""
    t_read, root = timed(lambda: q.qelt_read_from_buffer(stream))
    handles = [q.qelt_variant_new_binary(k, 0) for k in keys]

    def look_up():
        return all(q.qelt_variant_map_haskey(root, h) for h in handles)

    t_get, ok = timed(look_up)
    assert ok
    t_write, out = timed(lambda: q.qelt_write_to_buffer(root))
    assert len(out) == len(stream)

    def delete_all():
        # Last first: each key then stands at the end of its chain.
        for h in reversed(handles):
            q.qelt_variant_map_delete(root, h)

    t_delete, _ = timed(delete_all)
    assert q.qelt_variant_map_get_size(root) == 0
    for h in handles:
        q.qelt_variant_decref(h)
    q.qelt_variant_decref(root)
    return t_read, t_get, t_write, t_delete


def best(keys, repeat):
    stream = map_stream(keys)
    runs = [run_once(keys, stream) for _ in range(repeat)]
    return [min(column) for column in zip(*runs)], len(stream)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--from", dest="first", type=int, default=12)
    parser.add_argument("--to", dest="last", type=int, default=18)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    print("%-11s %4s %9s %9s %9s %9s %9s  %s" % (
        "keys", "n", "MB", "read s", "get s", "write s", "delete s", "read ns/(n log2 n)"))
    for k in range(args.first, args.last + 1):
        n = 1 << k
        blocks = max(16, k)
        for label, keys in (("colliding", colliding_keys(n, blocks)),
                            ("distinct", distinct_keys(n, 6 * blocks))):
            (t_read, t_get, t_write, t_delete), size = best(keys, args.repeat)
            per = t_read / (n * math.log2(n)) * 1e9
            print("%-11s 2^%-2d %9.1f %9.3f %9.3f %9.3f %9.3f  %.1f" % (
                label, k, size / 1e6, t_read, t_get, t_write, t_delete, per), flush=True)


if __name__ == "__main__":
    main()
