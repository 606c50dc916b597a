"""Build a map tree of every value type, store it in a QEL file, read it back.

Run after installing the module:  python3 examples/roundtrip.py [path]
"""
import os
import sys
import tempfile

import _qeltypes as q


def build_catalogue():
    """A small product catalogue: a map of scalars, strings, a blob, a
    timestamp, a list of maps and a nested map. Returns the root handle."""
    owned = []  # every handle we created; the containers hold their own references

    def new(ctor, *args):
        handle = ctor(*args)
        owned.append(handle)
        return handle

    def put(m, key, value):
        q.qelt_variant_map_set(m, new(q.qelt_variant_new_string_utf8, key), value)

    root = q.qelt_variant_new_map()
    put(root, "name", new(q.qelt_variant_new_string_utf8, "Zürich warehouse"))
    put(root, "code", new(q.qelt_variant_new_string_c, "ZRH-01"))
    put(root, "open", new(q.qelt_variant_new_bool, q.QELT_TRUE))
    put(root, "floors", new(q.qelt_variant_new_uint8, 4))
    put(root, "area_m2", new(q.qelt_variant_new_float64, 12500.75))
    put(root, "temperature", new(q.qelt_variant_new_float32, 17.5))
    put(root, "humidity", new(q.qelt_variant_new_float16, q.qelt_float_to_half(0.45)))
    put(root, "offset", new(q.qelt_variant_new_int16, -120))
    put(root, "dock", new(q.qelt_variant_new_int8, -3))
    put(root, "capacity", new(q.qelt_variant_new_uint32, 4000000000))
    put(root, "serial", new(q.qelt_variant_new_uint64, 2**64 - 1))
    put(root, "revision", new(q.qelt_variant_new_int32, 77))
    put(root, "ledger", new(q.qelt_variant_new_int64, -(2**63)))
    put(root, "spare_parts", new(q.qelt_variant_new_uint16, 65535))
    put(root, "manager", new(q.qelt_variant_new_none))
    put(root, "logo", new(q.qelt_variant_new_binary, b"\x89PNG\r\n\x1a\n", q.QELT_BINARY_TYPE_GENERIC))
    put(root, "audited", new(q.qelt_variant_new_timestamp, 2026, 12, 6, 10, 30, 0, 250000))

    items = q.qelt_variant_new_list()
    owned.append(items)
    for sku, qty, price in (("A-100", 12, 9.99), ("B-220", 0, 120.0), ("C-7", 250, 0.35)):
        item = q.qelt_variant_new_map()
        owned.append(item)
        put(item, "sku", new(q.qelt_variant_new_string_utf8, sku))
        put(item, "qty", new(q.qelt_variant_new_int32, qty))
        put(item, "price", new(q.qelt_variant_new_float64, price))
        q.qelt_variant_list_append(items, item)
    put(root, "items", items)

    location = q.qelt_variant_new_map()
    owned.append(location)
    put(location, "lat", new(q.qelt_variant_new_float64, 47.3769))
    put(location, "lon", new(q.qelt_variant_new_float64, 8.5417))
    put(location, "tags", new(q.qelt_variant_new_list))
    put(root, "location", location)

    # Hand every reference but the root's to the containers that hold them.
    for handle in owned:
        q.qelt_variant_decref(handle)
    return root


_SCALARS = {
    q.QELT_VARIANT_TYPE_INT64: q.qelt_variant_as_int64,
    q.QELT_VARIANT_TYPE_INT32: q.qelt_variant_as_int32,
    q.QELT_VARIANT_TYPE_INT16: q.qelt_variant_as_int16,
    q.QELT_VARIANT_TYPE_INT8: q.qelt_variant_as_int8,
    q.QELT_VARIANT_TYPE_UINT64: q.qelt_variant_as_uint64,
    q.QELT_VARIANT_TYPE_UINT32: q.qelt_variant_as_uint32,
    q.QELT_VARIANT_TYPE_UINT16: q.qelt_variant_as_uint16,
    q.QELT_VARIANT_TYPE_UINT8: q.qelt_variant_as_uint8,
    q.QELT_VARIANT_TYPE_FLOAT64: q.qelt_variant_as_float64,
    q.QELT_VARIANT_TYPE_FLOAT32: q.qelt_variant_as_float32,
    q.QELT_VARIANT_TYPE_BOOL: lambda h: bool(q.qelt_variant_as_bool(h)),
    q.QELT_VARIANT_TYPE_FLOAT16: lambda h: q.qelt_half_to_float(q.qelt_variant_as_float16(h)),
    q.QELT_VARIANT_TYPE_BINARY: q.qelt_variant_as_binary,
    q.QELT_VARIANT_TYPE_TIMESTAMP: q.qelt_variant_as_timestamp,
    q.QELT_VARIANT_TYPE_NONE: lambda h: None,
}


def to_python(handle):
    """Plain Python values from a variant tree (borrowed handles only)."""
    vtype, subtype = q.qelt_variant_get_type(handle)
    if vtype == q.QELT_VARIANT_TYPE_STRING:
        if subtype == q.QELT_STRING_TYPE_UTF8:
            return q.qelt_variant_as_string_utf8(handle)
        return q.qelt_variant_as_string_c(handle)
    if vtype == q.QELT_VARIANT_TYPE_LIST:
        return [to_python(q.qelt_variant_list_get_item(handle, i))
                for i in range(q.qelt_variant_list_get_size(handle))]
    if vtype == q.QELT_VARIANT_TYPE_MAP:
        out = {}
        q.qelt_variant_map_first(handle)
        entry = q.qelt_variant_map_next(handle)
        while entry is not None:
            key, value = entry
            out[to_python(key)] = to_python(value)
            entry = q.qelt_variant_map_next(handle)
        return out
    return _SCALARS[vtype](handle)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(tempfile.gettempdir(), "catalogue.qel")
    root = build_catalogue()
    try:
        q.qelt_write_to_file(root, path)
        print("wrote %s (%d bytes)" % (path, os.path.getsize(path)))
        copy = q.qelt_read_from_file(path)
        try:
            original, restored = to_python(root), to_python(copy)
            for key in sorted(restored):
                print("  %-12s %r" % (key, restored[key]))
            if original != restored:
                print("MISMATCH: the tree read back differs from the one written")
                return 1
            print("read back %d entries; the trees are equal" % len(restored))
        finally:
            q.qelt_variant_decref(copy)
    finally:
        q.qelt_variant_decref(root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
