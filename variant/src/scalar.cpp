// The twelve scalar families: the value lives in the record, at its own width
// in the low bytes of `value`.
#include "qelt_internal.h"

namespace {

// Assigning the member writes only its own bytes, so the zero fill above a
// narrow value survives; floats are copied as bits (no canonicalisation).
template <uint8_t Code, typename T, T qelt_value::*Member>
qelt_err scalar_new(qelt_variant** out, T value) noexcept {
    const qelt_err rc = qelt_variant_alloc(out, Code);
    if (rc == QELT_SUCCESS) (*out)->value.*Member = value;
    return rc;
}

template <uint8_t Code, typename T, T qelt_value::*Member>
qelt_err scalar_as(const qelt_variant* v, T* out) noexcept {
    if (out == nullptr || v == nullptr) return QELT_ERR_NULL_PTR;
    if (v->type != Code) return QELT_ERR_INVALID_TYPE;
    *out = v->value.*Member;
    return QELT_SUCCESS;
}

}  // namespace

#define QELT_DEFINE_SCALAR(name, ctype, TYPE, member)                                        \
    qelt_err qelt_variant_new_##name(qelt_variant** out, ctype value) noexcept {             \
        return scalar_new<QELT_VARIANT_TYPE_##TYPE, ctype, &qelt_value::member>(out, value); \
    }                                                                                        \
    qelt_err qelt_variant_as_##name(const qelt_variant* v, ctype* out) noexcept {            \
        return scalar_as<QELT_VARIANT_TYPE_##TYPE, ctype, &qelt_value::member>(v, out);      \
    }

extern "C" {
QELT_SCALAR_TYPES(QELT_DEFINE_SCALAR)
}
