"""Store a dict in a QEL file and read it back.

Run after installing the package:  python3 examples/roundtrip.py [path]
"""
import datetime
import os
import sys
import tempfile
from typing import Any, Dict

import qeltypes


def catalogue() -> Dict[str, Any]:
    """A small product catalogue: every kind of value the plain mapping has,
    and a few typed values that pin an exact QEL type."""
    return {
        "name": "Zürich warehouse",
        "open": True,
        "floors": 4,
        "area_m2": 12500.75,
        "serial": 2 ** 64 - 1,  # beyond int64: stored as uint64
        "manager": None,
        "logo": b"\x89PNG\r\n\x1a\n",
        "audited": datetime.datetime(2026, 12, 6, 10, 30, 0, 250000),
        "items": [
            {"sku": "A-100", "qty": 12, "price": 9.99},
            {"sku": "B-220", "qty": 0, "price": 120.0},
            {"sku": "C-7", "qty": 250, "price": 0.35},
        ],
        "location": {"lat": 47.3769, "lon": 8.5417, "tags": []},
        # Typed values: written with exactly these QEL types.
        "code": qeltypes.CString("ZRH-01"),
        "humidity": qeltypes.Float16(0.45),
        "dock": qeltypes.UInt8(3),
        "signature": qeltypes.Blob(b"\x01\x02", type=7),
    }


def main() -> int:
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "catalogue.qel")
    original = catalogue()

    qeltypes.dump(original, path)
    print("wrote %s (%d bytes)" % (path, os.path.getsize(path)))

    # Plain values: typed values come back as the int, float, str or bytes
    # they hold.
    restored = qeltypes.load(path)
    for key, value in restored.items():
        print("  %-10s %r" % (key, value))
    if restored != qeltypes.loads(qeltypes.dumps(original)):
        print("MISMATCH: the file does not hold what dumps writes")
        return 1

    # typed=True gives every value with its exact QEL type, so the bytes
    # written again are the bytes read.
    with open(path, "rb") as f:
        data = f.read()
    exact = qeltypes.loads(data, typed=True)
    if qeltypes.dumps(exact) != data:
        print("MISMATCH: the typed values do not write back the same bytes")
        return 1
    print("read back %d entries; typed, they write back the same %d bytes" % (len(restored), len(data)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
