"""Typed use of _qeltypes, checked by `mypy --strict` in test_stubs.py.

The lines marked `type: ignore[...]` must be refused by the stubs: under
--strict an ignore that silences nothing is itself an error.
"""
import datetime
from typing import Dict, List, Optional, Tuple

import _qeltypes as q


def build(rows: Dict[str, List[int]]) -> int:
    root = q.qelt_variant_new_map()
    for name, values in rows.items():
        key = q.qelt_variant_new_string_utf8(name)
        items = q.qelt_variant_new_list()
        for v in values:
            item = q.qelt_variant_new_int32(v)
            index: int = q.qelt_variant_list_append(items, item)
            assert index >= 0
            q.qelt_variant_decref(item)
        q.qelt_variant_map_set(root, key, items)
        q.qelt_variant_decref(key)
        q.qelt_variant_decref(items)
    return root


def entries(root: int) -> List[Tuple[str, int]]:
    out = []
    q.qelt_variant_map_first(root)
    entry: Optional[Tuple[int, int]] = q.qelt_variant_map_next(root)
    while entry is not None:
        key, value = entry
        out.append((q.qelt_variant_as_string_utf8(key), q.qelt_variant_list_get_size(value)))
        entry = q.qelt_variant_map_next(root)
    return out


def round_trip(root: int) -> bytes:
    data: bytes = q.qelt_write_to_buffer(root)
    copy = q.qelt_read_from_buffer(data)
    try:
        return q.qelt_write_to_buffer(copy)
    finally:
        q.qelt_variant_decref(copy)


def values() -> None:
    when = datetime.datetime(2024, 2, 29, 12, 30, 0, 5)
    stamp = q.qelt_variant_new_timestamp(when.year, when.month, when.day, when.hour, when.minute,
                                         when.second, when.microsecond)
    fields: Tuple[int, int, int, int, int, int, int] = q.qelt_variant_as_timestamp(stamp)
    blob = q.qelt_variant_new_binary(b"\x00\x01", q.QELT_BINARY_TYPE_GENERIC)
    data, bin_type = q.qelt_variant_as_binary(blob)
    half: float = q.qelt_half_to_float(q.qelt_float_to_half(0.5))
    kind, subtype = q.qelt_variant_get_type(blob)
    matches: bool = q.qelt_variant_type_check(blob, q.QELT_VARIANT_TYPE_BINARY)
    print(fields, data + b"", bin_type + kind + subtype, half, matches, q.qelt_get_version())
    for h in (stamp, blob):
        q.qelt_variant_decref(h)


def refused() -> None:
    """Never called: each line is a misuse that the stubs must catch."""
    q.qelt_variant_new_int8("1")  # type: ignore[arg-type]
    q.qelt_variant_decref(variant=1)  # type: ignore[call-arg]
    q.qelt_read_from_buffer("text")  # type: ignore[arg-type]
    name: bytes = q.qelt_variant_as_string_c(1)  # type: ignore[assignment]
    key, value = q.qelt_variant_map_next(1)  # type: ignore[misc]
    q.QELT_TRUE = 2  # type: ignore[misc]
    print(name, key, value)


def failures() -> str:
    try:
        q.qelt_variant_decref(0)
    except q.qeltypesError_NULL_PTR as e:
        base: q.qeltypesError = e
        return str(base)
    return ""


if __name__ == "__main__":
    tree = build({"a": [1, 2], "b": []})
    print(entries(tree), len(round_trip(tree)), failures())
    values()
    q.qelt_variant_decref(tree)
