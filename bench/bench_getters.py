"""The call cost of the one-handle getters against a reference method of the
same shape (bench/refmethod.c: one argument parsed, converted to an address,
one trivial native call, an int returned, the interpreter lock held), timed
interleaved in one run. The difference is what the module adds: the handle
check and the library call.

    python3 bench/bench_getters.py [--calls N] [--rounds R]

Needs a C compiler; the reference is built against the same stable ABI as
_qeltypes into a temporary folder.
"""
import argparse
import importlib.util
import os
import subprocess
import sysconfig
import tempfile
import time

import _qeltypes as q

HERE = os.path.dirname(os.path.abspath(__file__))


def build_reference(folder):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(folder, "_qelref" + suffix)
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-DPy_LIMITED_API=0x03070000",
                    "-I" + sysconfig.get_paths()["include"], os.path.join(HERE, "refmethod.c"),
                    "-o", target], check=True)
    found = importlib.util.spec_from_file_location("_qelref", target)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def per_call(fn, arg, calls):
    """Nanoseconds per call of fn(arg), the loop's own cost included."""
    loop = range(calls)
    start = time.perf_counter_ns()
    for _ in loop:
        fn(arg)
    return (time.perf_counter_ns() - start) / calls


def per_empty_iteration(calls):
    loop = range(calls)
    start = time.perf_counter_ns()
    for _ in loop:
        pass
    return (time.perf_counter_ns() - start) / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        ref = build_reference(folder)
    i64, f64, lst, mp = (q.qelt_variant_new_int64(7), q.qelt_variant_new_float64(0.5),
                         q.qelt_variant_new_list(), q.qelt_variant_new_map())
    # The one-handle getters that return an int or a float; get_type, which
    # builds a tuple, is shown for comparison only.
    getters = [("qelt_variant_get_refcount", i64), ("qelt_variant_as_int64", i64),
               ("qelt_variant_as_float64", f64), ("qelt_variant_list_get_size", lst),
               ("qelt_variant_map_get_size", mp), ("qelt_variant_get_type", i64)]
    timings = {name: [] for name, _ in getters}
    timings["reference"], timings["loop"] = [], []
    for _ in range(args.rounds):
        # Interleaved: every method is timed in every round, next to the
        # reference, so that drifts of the machine hit all alike.
        timings["loop"].append(per_empty_iteration(args.calls))
        timings["reference"].append(per_call(ref.reference_get, i64, args.calls))
        for name, handle in getters:
            timings[name].append(per_call(getattr(q, name), handle, args.calls))
    loop = min(timings["loop"])
    reference = min(timings["reference"]) - loop
    print("best ns per call over the rounds, the loop's own %.1f ns taken off; ratio to the reference" % loop)
    print("%-28s %8s %8s" % ("method", "ns/call", "ratio"))
    print("%-28s %8.1f %8s" % ("reference (same shape)", reference, "1.00"))
    for name, _ in getters:
        ns = min(timings[name]) - loop
        print("%-28s %8.1f %8.2f" % (name, ns, ns / reference))
    for h in (i64, f64, lst, mp):
        q.qelt_variant_decref(h)


if __name__ == "__main__":
    main()
