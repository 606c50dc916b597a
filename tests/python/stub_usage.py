"""Typed use of _qeltypes, checked by `mypy --strict` in test_stubs.py and run
there. Each line of `refused` is a misuse that the stubs must catch: under
--strict an ignore that silences nothing is itself an error."""
from typing import Optional, Tuple

import _qeltypes as q


def use() -> Tuple[Optional[Tuple[int, int]], bytes, Tuple[int, int, int, int, int, int, int], bool, str]:
    root, key = q.qelt_variant_new_map(), q.qelt_variant_new_string_utf8("a")
    stamp = q.qelt_variant_new_timestamp(2024, 2, 29, 12, 30, 0, 5)
    q.qelt_variant_map_set(root, key, stamp)
    q.qelt_variant_map_first(root)
    entry = q.qelt_variant_map_next(root)
    data = q.qelt_write_to_buffer(root)
    fields = q.qelt_variant_as_timestamp(stamp)
    matches = q.qelt_variant_type_check(stamp, q.QELT_VARIANT_TYPE_TIMESTAMP)
    for h in (root, key, stamp):
        q.qelt_variant_decref(h)
    try:
        q.qelt_variant_decref(0)
    except q.qeltypesError_NULL_PTR as e:
        base: q.qeltypesError = e
        return entry, data, fields, matches, str(base)
    return entry, data, fields, matches, ""


def refused() -> None:
    """Never called: each line is a misuse that the stubs must catch."""
    q.qelt_variant_new_int8("1")  # type: ignore[arg-type]
    q.qelt_variant_decref(variant=1)  # type: ignore[call-arg]
    q.qelt_read_from_buffer("text")  # type: ignore[arg-type]
    name: bytes = q.qelt_variant_as_string_c(1)  # type: ignore[assignment]
    key, value = q.qelt_variant_map_next(1)  # type: ignore[misc]
    q.QELT_TRUE = 2  # type: ignore[misc]
    print(name, key, value)


if __name__ == "__main__":
    print(use())
