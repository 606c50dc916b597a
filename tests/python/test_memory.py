"""Resident memory of read trees, each case in a child process: what one
element costs, the peak while reading, and what a free leaves behind.
bench/bench_memory.py prints the same figures and the hostile streams."""
import json
import os
import subprocess
import sys

import pytest

HEADER = b"_QEL\x01\x00\x00"

CHILD = r"""
import gc, json, sys
import _qeltypes as q

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

n = int(sys.argv[2])
element = bytes.fromhex(sys.argv[1])
data = b"_QEL\x01\x00\x00" + b"0" + element * n + b"\x00"
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
root = q.qelt_read_from_buffer(data)
peak, live = status("VmHWM"), status("VmRSS")
q.qelt_variant_decref(root)
print(json.dumps({"base": base, "peak": peak, "live": live, "after": status("VmRSS")}))
"""


def sanitized():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs") or sanitized(),
                    reason="needs Linux's /proc figures and the module's own allocator")
@pytest.mark.parametrize("element, per_element", [
    ("3000", 128),                   # an empty list, its slot included
    ("3100", 128),                   # an empty map
    ("05" + "0102030405060708", 48),  # an int64
    ("04010400000061626300", 96),    # a UTF-8 string "abc" and its payload
])
def test_million_elements_cost_their_share_and_go_back(element, per_element):
    n = 10 ** 6
    run = subprocess.run([sys.executable, "-c", CHILD, element, str(n)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    r = json.loads(run.stdout.strip().splitlines()[-1])
    live, peak, left = r["live"] - r["base"], r["peak"] - r["base"], r["after"] - r["base"]
    assert live <= per_element * n
    assert peak <= 1.5 * live
    assert abs(left) <= 0.1 * r["base"]
