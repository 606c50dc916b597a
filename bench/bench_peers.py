"""Peer benchmark: qeltypes.dumps/loads and the handle API of _qeltypes against
msgpack, ormsgpack, cbor2, orjson, pickle and marshal, side by side in one run.

    python3 bench/bench_peers.py [--quick] [--json FILE] [--sets records,numbers,...]

The script runs in its own venv (build/bench-venv, made with the newest CPython
that pyenv has): it creates it, installs the peers and qeltypes from this
working tree (`pip install .`), and re-executes itself there. See bench/README.md.
"""
import argparse
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import peers as p  # noqa: E402  (beside this script; the child probes run it as a script)

PEER_PACKAGES = ["msgpack", "ormsgpack", "cbor2", "orjson"]
BUILD_PACKAGES = ["scikit-build-core>=0.10", "cmake", "ninja"]


# --- the benchmark's own venv ------------------------------------------------------

def newest_cpython():
    """The newest CPython 3 that pyenv has, else this interpreter."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found = []
    for name in os.listdir(os.path.join(root, "versions")) if os.path.isdir(os.path.join(root, "versions")) else []:
        m = re.fullmatch(r"3\.(\d+)\.(\d+)", name)
        exe = os.path.join(root, "versions", name, "bin", "python3")
        if m and os.access(exe, os.X_OK):
            found.append(((int(m.group(1)), int(m.group(2))), exe))
    return max(found)[1] if found else sys.executable


def enter_venv(args):
    """Makes the venv when needed, installs the peers and this tree, and
    re-executes the script inside it. Returns only when already inside."""
    venv = os.path.abspath(args.venv)
    if os.path.realpath(sys.prefix) == os.path.realpath(venv):
        return
    python = os.path.join(venv, "bin", "python")
    if not os.access(python, os.X_OK):
        base = args.python or newest_cpython()
        print("creating %s with %s" % (venv, base), flush=True)
        subprocess.run([base, "-m", "venv", venv], check=True)
    pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check"]

    def run(cmd):
        # Quiet unless it fails: pip's index warnings would bury the figures.
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if proc.returncode:
            sys.exit("%s\nfailed: %s" % (proc.stdout, " ".join(cmd)))

    probe = "import " + ", ".join(PEER_PACKAGES + ["scikit_build_core", "cmake", "ninja"])
    if subprocess.run([python, "-c", probe], stderr=subprocess.DEVNULL).returncode != 0:
        print("installing the peers into the venv", flush=True)
        run(pip + PEER_PACKAGES + BUILD_PACKAGES)
    if not args.no_install:
        # The build folder of pyproject.toml keeps this incremental.
        print("installing qeltypes from %s" % ROOT, flush=True)
        run(pip + ["--no-build-isolation", "--no-deps", "--force-reinstall", ROOT])
    os.execv(python, [python, os.path.abspath(__file__)] + sys.argv[1:])


# --- output -------------------------------------------------------------------------------

def ms(t):
    return "%.2f" % (t * 1e3) if t is not None else "-"


def fmt_ratio(x):
    return "%.2f" % x if x is not None else "-"


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths)))
             for r in [header] + rows]
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join("  " + line for line in lines)


def print_dataset(name, label, rows, times):
    print("\n%s: %s" % (name, label))
    refs = [r for r in ("qeltypes", "handle API") if rows.get(r, {}).get("status") == "ok"]
    header = ["codec", "dumps ms", "(med)", "loads ms", "(med)", "size"]
    for ref in refs:
        short = "q" if ref == "qeltypes" else "h"
        header += ["dumps/%s" % short, "loads/%s" % short]
    if name == "blob":
        header += ["dumps vs copy", "loads vs copy"]
    msgpack_size = rows.get("msgpack", {}).get("size")
    if msgpack_size:
        header.append("size/msgpack")
    out, notes = [], []
    copy = times.get(("bytes copy", "copy"))
    for codec, row in rows.items():
        if row.get("note"):
            notes.append("  %s: %s" % (codec, row["note"]))
        if row["status"] != "ok":
            out.append([codec, row["status"], "", "", "", ""] + [""] * (len(header) - 6))
            notes.append("  %s: %s - %s" % (codec, row["status"], row.get("reason", "")))
            continue
        d, lo = times.get((codec, "dumps")), times.get((codec, "loads"))
        line = [codec, ms(d["min"]), ms(d["median"]), ms(lo["min"]), ms(lo["median"]), row["size"]]
        for ref in refs:
            r = row.get("ratio", {}).get(ref, {})
            line += [fmt_ratio(r.get("dumps")), fmt_ratio(r.get("loads"))]
        if name == "blob":
            line += ["%.0f%%" % (100 * copy["min"] / d["min"]), "%.0f%%" % (100 * copy["min"] / lo["min"])]
        if msgpack_size:
            line.append("%.2f" % (row["size"] / msgpack_size))
        out.append(line)
    if copy:
        out.append(["bytes copy", ms(copy["min"]), ms(copy["median"]), "", "", ""] + [""] * (len(header) - 6))
    print(table(header, out))
    for note in notes:
        print(note)


def print_memory(memory):
    if not memory:
        return
    print("\nloads peak memory, each in a fresh child process (MB; peak and result over the "
          "RSS before the input was read)")
    header = ["set", "codec", "input", "result", "peak", "peak/(in+res)", "after free", "free/base"]
    out = []
    for (name, codec), m in memory:
        if "crash" in m:
            out.append([name, codec, m["crash"], "", "", "", "", ""])
            continue
        result = m["with_result"] - m["with_input"]
        peak = m["peak"] - m["base"]
        out.append([name, codec, "%.1f" % (m["input"] / 1e6), "%.1f" % (result / 1e6), "%.1f" % (peak / 1e6),
                    "%.2f" % (peak / max(1, m["input"] + result)),
                    "%+.1f" % ((m["after_free"] - m["with_input"]) / 1e6),
                    "%.2f" % (m["after_free"] / m["with_input"])])
    print(table(header, out))
    print("  after free: RSS after the result is freed, over the RSS with the input held; "
          "free/base: their quotient")


def deep_status(r, detail=False):
    """ok / RecursionError / error / crash per direction; * marks a loads of a
    hand-made stream (dumps refused). With detail, the error texts too."""
    if "crash" in r:
        return r["crash"]
    brief = (lambda s: s) if detail else (lambda s: s.split(" (")[0])
    parts = ["dumps %s" % brief(r.get("dumps", "?"))]
    if "loads" in r:
        parts.append("loads %s%s" % (brief(r["loads"]), "*" if r.get("loads_input") else ""))
    return ", ".join(parts)


def print_deep(deep, sizes):
    if not deep:
        return
    print("\ndeep: nested lists, each codec in a child process")
    header = ["codec", "at %d" % sizes["check"], "at %d: dumps ms" % sizes["timed"], "loads ms",
              "at %d" % sizes["big"]]
    out, notes = [], []
    for codec, r in deep.items():
        timed = r.get("timed", {})
        times = timed.get("times", {})
        out.append([codec, deep_status(r["check"]),
                    ms(times["dumps"]["min"]) if times else (deep_status(timed) if timed else ""),
                    ms(times["loads"]["min"]) if times else "",
                    deep_status(r["big"]) if "big" in r else ""])
        for probe in ("check", "timed", "big"):
            if probe in r and deep_status(r[probe], True) != deep_status(r[probe]):
                notes.append("  %s at %d: %s" % (codec, sizes[probe], deep_status(r[probe], True)))
    print(table(header, out))
    print("  * loads of a hand-made stream of that depth, since dumps refused")
    for note in notes:
        print(note)


# --- the run ------------------------------------------------------------------------------

def git_revision():
    try:
        rev = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"], capture_output=True,
                             text=True).stdout.strip()
        return rev or "?"
    except OSError:
        return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 epilog="example: python3 bench/bench_peers.py --quick --json build/bench.json")
    ap.add_argument("--quick", action="store_true", help="small data sets, 3 rounds: a smoke run")
    ap.add_argument("--scale", type=float, help="size factor of every data set (1 = full, --quick: 0.02)")
    ap.add_argument("--rounds", type=int, help="timed rounds per task (default 7, --quick: 3)")
    ap.add_argument("--sets", default=",".join(p.DATASETS), help="data sets (default: %(default)s)")
    ap.add_argument("--codecs", default=",".join(p.CODECS), help="codecs (default: %(default)s)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json", metavar="FILE", help="save every figure to FILE")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    ap.add_argument("--venv", default=os.path.join(ROOT, "build", "bench-venv"))
    ap.add_argument("--python", help="interpreter for a new venv (default: the newest CPython of pyenv)")
    ap.add_argument("--no-venv", action="store_true", help="run in this interpreter as it is")
    ap.add_argument("--no-install", action="store_true", help="keep the qeltypes already in the venv")
    args = ap.parse_args()
    if not args.no_venv:
        enter_venv(args)

    scale = args.scale if args.scale is not None else (0.02 if args.quick else 1.0)
    rounds = args.rounds or (3 if args.quick else 7)
    sizes = p.scaled_sizes(scale)
    sets = [s for s in args.sets.split(",") if s]
    unknown = [s for s in sets if s not in p.DATASETS] + [c for c in args.codecs.split(",") if c not in p.CODECS]
    if unknown:
        ap.error("unknown data set or codec: %s" % ", ".join(unknown))
    codecs, unavailable = p.load_codecs([c for c in args.codecs.split(",") if c])
    report = {"python": sys.version.split()[0], "platform": platform.platform(), "revision": git_revision(),
              "scale": scale, "rounds": rounds, "seed": args.seed, "sizes": sizes,
              "versions": {c.name: c.version for c in codecs}, "unavailable": unavailable,
              "sets": {}, "memory": [], "deep": {}}
    print("Python %s, %s, revision %s; scale %g, %d rounds" % (report["python"], report["platform"],
                                                              report["revision"], scale, rounds))
    print("versions: " + ", ".join("%s %s" % kv for kv in report["versions"].items()))
    for name, reason in unavailable.items():
        print("skipped %s: %s" % (name, reason))
    print("times: min and median of the rounds, per call; ratios: codec time / qeltypes (q) or "
          "handle API (h) time, by min (above 1: the subject is faster)")

    with tempfile.TemporaryDirectory() as tmp:
        for name in sets:
            if name == "deep":
                continue
            t0 = time.perf_counter()
            obj = p.make_dataset(name, sizes[name], args.seed)
            rows, times, encoded = p.run_dataset(name, obj, codecs, rounds)
            del obj
            for ref in p.SUBJECTS:
                p.ratios(rows, times, ref)
            label = p.describe(name, sizes[name])
            print_dataset(name, label, rows, times)
            print("  (%.0f s)" % (time.perf_counter() - t0))
            report["sets"][name] = {"label": label, "rows": rows,
                                    "times": {"%s %s" % k: v for k, v in times.items()}}
            if not args.no_memory:
                for codec, data in encoded.items():
                    path = os.path.join(tmp, "input.bin")
                    with open(path, "wb") as f:
                        f.write(data)
                    report["memory"].append(((name, codec),
                                             p.run_probe({"probe": "memory", "codec": codec, "path": path})))
            del encoded
        print_memory(report["memory"])

    if "deep" in sets:
        deep_sizes = {"check": p.DEEP_PEER_CHECK, "timed": sizes["deep"], "big": sizes["deep_big"]}
        for c in codecs:
            r = report["deep"][c.name] = {
                "check": p.run_probe({"probe": "deep", "codec": c.name, "depth": deep_sizes["check"]})}
            if c.name in p.QELTYPES_CODECS:
                r["timed"] = p.run_probe({"probe": "deep", "codec": c.name, "depth": deep_sizes["timed"],
                                          "rounds": rounds})
                r["big"] = p.run_probe({"probe": "deep", "codec": c.name, "depth": deep_sizes["big"]})
        report["deep_sizes"] = deep_sizes
        print_deep(report["deep"], deep_sizes)

    if args.json:
        report["memory"] = [{"set": k[0], "codec": k[1], **v} for k, v in report["memory"]]
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)
        print("\nfigures saved to %s" % args.json)


if __name__ == "__main__":
    main()
