"""Reader, Writer and `qel check` on a file larger than memory should be.

    python3 bench/bench_streaming.py [--gb 5] [--dir build] [--ref-mb 200] [--json OUT]

Run it with an interpreter that has qeltypes installed. It writes a file of
`--gb` GB of records (those of bench/peers.py) with qeltypes.Writer, reads it
back with qeltypes.Reader, runs `python -m qeltypes check` on it, and deletes
it. Each of the three runs in a child process of its own, which reports its
time and its peak RSS (VmHWM; the high-water mark is reset once the child
has made its data, so the figure covers the run and what the child holds).

The reference is dumps and loads of the same records in memory: a slice of
`--ref-mb` MB, timed over a few rounds (the best counts). Throughput is
compared per byte of QEL. The records are a pool made once and written over
and over, so that making them is not timed and the writer's memory is not
the records'. The cyclic collector is off while a run is timed, for every
subject alike. The file is read back from the page cache when it fits there.

Targets: peak RSS of Reader and Writer under 100 MB; their throughput at
least 80 % of loads and dumps; qel check at least 50 % of the Reader's.
"""
import argparse
import gc
import json
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import peers  # noqa: E402


def pool(size, seed):
    return peers.make_records(size, random.Random("streaming:%d" % seed))


def peak_reset():
    """Resets the RSS high-water mark of this process (Linux)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


# --- child roles ---------------------------------------------------------------------

def child_write(args):
    import qeltypes
    records = pool(args.pool, args.seed)
    # The file is written beside its path and renamed at the end: the number
    # of passes over the pool comes from the size of one.
    passes = -(-int(args.gb * 1e9) // (len(qeltypes.dumps(records)) - 9))
    gc.collect()
    gc.disable()
    peak_reset()
    start = time.perf_counter()
    with qeltypes.Writer(args.path) as writer:
        append = writer.append
        for _ in range(passes):
            for record in records:
                append(record)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "bytes": os.path.getsize(args.path), "items": writer.count, "peak_rss": peak_rss()}


def child_read(args):
    import qeltypes
    gc.collect()
    gc.disable()
    peak_reset()
    start = time.perf_counter()
    count = 0
    with qeltypes.Reader(args.path) as reader:
        for _ in reader:
            count += 1
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "bytes": os.path.getsize(args.path), "items": count, "peak_rss": peak_rss()}


def child_reference(args):
    import qeltypes
    records = pool(args.pool, args.seed)
    one = len(qeltypes.dumps(records))
    data = records * max(1, int(args.ref_mb * 1e6 / one))
    gc.collect()
    gc.disable()
    dumps_times, loads_times = [], []
    for _ in range(args.rounds):
        start = time.perf_counter()
        encoded = qeltypes.dumps(data)
        dumps_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        back = qeltypes.loads(encoded)
        loads_times.append(time.perf_counter() - start)
        del back
        gc.collect()
    return {"bytes": len(encoded), "items": len(data), "dumps_seconds": min(dumps_times),
            "loads_seconds": min(loads_times)}


ROLES = {"write": child_write, "read": child_read, "reference": child_reference}


def run_child(role, args):
    command = [sys.executable, os.path.abspath(__file__), "--role", role, "--path", args.path, "--gb", str(args.gb),
               "--pool", str(args.pool), "--seed", str(args.seed), "--ref-mb", str(args.ref_mb),
               "--rounds", str(args.rounds)]
    out = subprocess.run(command, stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out.decode().splitlines()[-1])


def run_check(args):
    command = [sys.executable, "-m", "qeltypes", "check", args.path]
    start = time.perf_counter()
    process = subprocess.Popen(command)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") else status
    return {"seconds": seconds, "exit": process.returncode, "peak_rss": usage.ru_maxrss * 1024}


def mb(n):
    return n / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gb", type=float, default=5.0, help="size of the file (default 5)")
    parser.add_argument("--dir", default=os.path.join(HERE, "..", "build"), help="where the file goes")
    parser.add_argument("--ref-mb", type=float, default=200, help="size of the in-memory reference (default 200)")
    parser.add_argument("--pool", type=int, default=5000, help="records made once and written over and over")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the reference")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", action="store_true", help="keep the file")
    parser.add_argument("--json", help="save the figures to this file")
    parser.add_argument("--role", choices=sorted(ROLES), help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.role:
        print(json.dumps(ROLES[args.role](args)))
        return 0

    os.makedirs(args.dir, exist_ok=True)
    args.path = os.path.join(args.dir, "bench-streaming.qel")
    free = shutil.disk_usage(args.dir).free
    if free < args.gb * 1e9 * 1.2 + 1e9:
        sys.exit("not enough free disk in %s: %.1f GB free, %.1f GB wanted" % (args.dir, free / 1e9, args.gb * 1.2 + 1))
    import qeltypes
    print("qeltypes %s on Python %s; %.1f GB file in %s" % (qeltypes.__version__, sys.version.split()[0], args.gb,
                                                          args.dir))
    try:
        reference = run_child("reference", args)
        write = run_child("write", args)
        read = run_child("read", args)
        check = run_check(args)
    finally:
        if not args.keep and os.path.exists(args.path):
            os.unlink(args.path)

    rates = {
        "dumps": mb(reference["bytes"]) / reference["dumps_seconds"],
        "loads": mb(reference["bytes"]) / reference["loads_seconds"],
        "Writer": mb(write["bytes"]) / write["seconds"],
        "Reader": mb(read["bytes"]) / read["seconds"],
        "qel check": mb(write["bytes"]) / check["seconds"],
    }
    print("\nreference: dumps/loads of %d records, %.0f MB in memory, best of %d" % (
        reference["items"], mb(reference["bytes"]), args.rounds))
    print("file: %d records, %.2f GB\n" % (write["items"], write["bytes"] / 1e9))
    print("%-10s %10s %10s %12s   %s" % ("", "seconds", "MB/s", "peak RSS MB", "ratio"))
    rows = (("dumps", reference["dumps_seconds"], None, ""),
            ("loads", reference["loads_seconds"], None, ""),
            ("Writer", write["seconds"], write["peak_rss"], "%.0f %% of dumps (target 80 %%)" % (
                100 * rates["Writer"] / rates["dumps"])),
            ("Reader", read["seconds"], read["peak_rss"], "%.0f %% of loads (target 80 %%)" % (
                100 * rates["Reader"] / rates["loads"])),
            ("qel check", check["seconds"], check["peak_rss"], "%.0f %% of Reader (target 50 %%), exit %d" % (
                100 * rates["qel check"] / rates["Reader"], check["exit"])))
    for name, seconds, peak, ratio in rows:
        print("%-10s %10.2f %10.0f %12s   %s" % (name, seconds, rates[name],
                                                 "" if peak is None else "%.1f" % mb(peak), ratio))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"reference": reference, "write": write, "read": read, "check": check, "rates_mb_s": rates,
                       "gb": args.gb, "python": sys.version, "qeltypes": qeltypes.__version__}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
