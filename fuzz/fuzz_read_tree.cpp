// Arbitrary bytes through the tree reader. Whatever is read back must write,
// read and write again to the same stream, and nothing may stay allocated.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > UINT32_MAX) return 0;
    // A non-null address even for the empty input, which is a valid call.
    static const uint8_t empty = 0;
    qelt_variant* root = nullptr;
    const qelt_err read = qelt_read_from_buffer(&root, size ? data : &empty, static_cast<uint32_t>(size));
    if (read != QELT_SUCCESS) {
        FUZZ_CHECK(root == nullptr);
        return 0;
    }
    FUZZ_CHECK(root != nullptr && qelt_is_container(root));
    fuzz::walk(root, [](qelt_variant* v) { FUZZ_CHECK(v->refcount == 1); });

    // A float16 NaN or infinity reads like any pattern but cannot be written;
    // that is the only way a tree that was read can fail to write.
    const bool unwritable = fuzz::has_nonfinite_half(root);
    fuzz::Stream w1;
    const qelt_err wrote = fuzz::write(root, &w1);
    if (unwritable) {
        FUZZ_CHECK(wrote == static_cast<qelt_err>(QEL_ERR_INVALID));
    } else {
        FUZZ_CHECK(wrote == QELT_SUCCESS);
        fuzz::check_round_trip(root, w1, nullptr);
    }
    fuzz::walk(root, [](qelt_variant* v) { FUZZ_CHECK(v->refcount == 1); });
    qelt_variant_decref(root);
    return 0;
}
