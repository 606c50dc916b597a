// The twelve scalar families: the value lives in the record, at its own width
// in the low bytes of `value`.
#include "qelt_internal.h"

// name, C type, type code, union member. The exported functions are
// qelt_variant_new_<name> and qelt_variant_as_<name>.
#define QELT_SCALAR_TYPES(X)                             \
    X(bool, uint8_t, QELT_VARIANT_TYPE_BOOL, u8)         \
    X(float16, uint16_t, QELT_VARIANT_TYPE_FLOAT16, u16) \
    X(float32, float, QELT_VARIANT_TYPE_FLOAT32, f32)    \
    X(float64, double, QELT_VARIANT_TYPE_FLOAT64, f64)   \
    X(int16, int16_t, QELT_VARIANT_TYPE_INT16, i16)      \
    X(int32, int32_t, QELT_VARIANT_TYPE_INT32, i32)      \
    X(int64, int64_t, QELT_VARIANT_TYPE_INT64, i64)      \
    X(int8, int8_t, QELT_VARIANT_TYPE_INT8, i8)          \
    X(uint16, uint16_t, QELT_VARIANT_TYPE_UINT16, u16)   \
    X(uint32, uint32_t, QELT_VARIANT_TYPE_UINT32, u32)   \
    X(uint64, uint64_t, QELT_VARIANT_TYPE_UINT64, u64)   \
    X(uint8, uint8_t, QELT_VARIANT_TYPE_UINT8, u8)

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

#define QELT_DEFINE_SCALAR(name, ctype, code, member)                                   \
    qelt_err qelt_variant_new_##name(qelt_variant** out, ctype value) noexcept {        \
        return scalar_new<code, ctype, &qelt_value::member>(out, value);                \
    }                                                                                   \
    qelt_err qelt_variant_as_##name(const qelt_variant* v, ctype* out) noexcept {       \
        return scalar_as<code, ctype, &qelt_value::member>(v, out);                     \
    }

extern "C" {
QELT_SCALAR_TYPES(QELT_DEFINE_SCALAR)
}
