"""Handles that name no live variant: every method that takes a handle refuses
them with error_NULL_PTR, before the library sees them. The hostile calls run
in a child process, so that a crash fails the test instead of ending the run."""
import os
import subprocess
import sys
import textwrap

# Every method that takes a handle, once per handle position ("H"); the other
# arguments name the child's own live variants (L a list, M a map, K its key,
# V a value) or plain values.
SCALARS = "int64 int32 int16 int8 uint64 uint32 uint16 uint8 float64 float32 float16 bool".split()
CALLS = ([("qelt_variant_" + m, ("H",)) for m in "get_type get_refcount decref incref".split()]
         + [("qelt_variant_type_check", ("H", 5))]
         + [("qelt_variant_as_" + t, ("H",)) for t in SCALARS + ["string_c", "string_utf8", "binary", "timestamp"]]
         + [("qelt_variant_list_" + m, args) for m, args in [
             ("append", ("H", "V")), ("append", ("L", "H")), ("insert", ("H", "V", 0)), ("insert", ("L", "H", 0)),
             ("set_item", ("H", "V", 0)), ("set_item", ("L", "H", 0)), ("get_item", ("H", 0)),
             ("delete_item", ("H", 0)), ("clear", ("H",)), ("get_size", ("H",)), ("contains", ("H", "V")),
             ("contains", ("L", "H")), ("contains_in_subset", ("H", "V", 0, -1)),
             ("contains_in_subset", ("L", "H", 0, -1))]]
         + [("qelt_variant_map_" + m, args) for m, args in [
             ("set", ("H", "K", "V")), ("set", ("M", "H", "V")), ("set", ("M", "K", "H")), ("get", ("H", "K")),
             ("get", ("M", "H")), ("delete", ("H", "K")), ("delete", ("M", "H")), ("clear", ("H",)),
             ("first", ("H",)), ("next", ("H",)), ("get_size", ("H",)), ("haskey", ("H", "K")),
             ("haskey", ("M", "H"))]]
         + [("qelt_write_to_buffer", ("H",)), ("qelt_write_to_file", ("H", "P"))])

CHILD = textwrap.dedent("""
    import random, sys
    import _qeltypes as q
    calls, random_count, path = eval(sys.argv[1]), int(sys.argv[2]), sys.argv[3]

    L, M, K, V = q.qelt_variant_new_list(), q.qelt_variant_new_map(), q.qelt_variant_new_int8(1), q.qelt_variant_new_int64(2)
    q.qelt_variant_list_append(L, V)
    q.qelt_variant_map_set(M, K, V)
    fixed = {"L": L, "M": M, "K": K, "V": V, "P": path}
    bound = [(getattr(q, name), name + " failed (3)", args) for name, args in calls]

    def refused(h, label):
        for method, message, args in bound:
            try:
                method(*[h if a == "H" else fixed.get(a, a) for a in args])
            except q.qeltypesError_NULL_PTR as e:
                assert e.args == (message,), (label, h, e.args)
            else:
                raise AssertionError("accepted %s handle %#x by %s" % (label, h, message))

    # Stale handles, freed without any allocation after them that could
    # reuse their records: a variant after its last decref, the items of a
    # freed list and a freed map's key and value, both borrowed.
    def stale():
        gone = q.qelt_variant_new_string_utf8("x" * 40)
        holder, table = q.qelt_variant_new_list(), q.qelt_variant_new_map()
        inner, key, value = q.qelt_variant_new_map(), q.qelt_variant_new_int32(3), q.qelt_variant_new_timestamp(2020, 1, 2, 3, 4, 5, 6)
        for child in (inner, key):
            q.qelt_variant_list_append(holder, child)
            q.qelt_variant_decref(child)
        q.qelt_variant_map_set(table, key, value)
        q.qelt_variant_decref(value)
        handles = [q.qelt_variant_list_get_item(holder, 0), q.qelt_variant_list_get_item(holder, 1)]
        handles += q.qelt_variant_map_next(table)
        q.qelt_variant_decref(holder)
        q.qelt_variant_decref(table)
        q.qelt_variant_decref(gone)
        return handles + [holder, table, gone]

    for h in stale():
        refused(h, "stale")
        # Interior addresses of records: each byte after the start.
        for offset in range(1, 24):
            refused(h + offset, "interior")
    for v in (L, M, K, V):
        for offset in list(range(1, 24)) + list(range(-23, 0)):
            refused(v + offset, "interior")
    objects = [q, sys, [], {}, "text", 10 ** 30, 1.5, object(), refused, type, None]
    for obj in objects:
        refused(id(obj), "id()")
    for h in list(range(-1000, 0)) + list(range(1, 1000)) + [2 ** 63 - 1, -2 ** 63, 2 ** 64 - 1, 2 ** 64, -2 ** 64, 2 ** 200]:
        refused(h, "small or extreme")
    rng = random.Random(int(sys.argv[4]))
    for _ in range(random_count):
        refused(rng.getrandbits(64), "random")

    # Nothing was changed, not even by a stale value given to map_set.
    assert (q.qelt_variant_list_get_size(L), q.qelt_variant_map_get_size(M)) == (1, 1)
    assert q.qelt_variant_map_get(M, K) == V and q.qelt_variant_get_refcount(V) == 3
    print("ok")
""")


def test_no_integer_crashes_any_method(tmp_path):
    path = str(tmp_path / "never-written.qel")
    count = int(os.environ.get("QEL_HANDLE_RANDOM_COUNT", "100000"))
    run = subprocess.run([sys.executable, "-c", CHILD, repr(CALLS), str(count), path, "1"],
                         capture_output=True, text=True, timeout=1800)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr[-3000:]
    assert not os.path.exists(path)
