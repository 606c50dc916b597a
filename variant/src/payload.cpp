// STRING, BINARY and TIMESTAMP: values held in a block the record owns.
#include "qelt_internal.h"

#include <cstddef>
#include <cstring>

// Equality and hashing read the stored timestamp as these 12 bytes, so the
// layout is part of the value contract.
static_assert(sizeof(qelt_timestamp) == 12);
static_assert(offsetof(qelt_timestamp, year) == 0);
static_assert(offsetof(qelt_timestamp, month) == 2);
static_assert(offsetof(qelt_timestamp, day) == 3);
static_assert(offsetof(qelt_timestamp, hour) == 4);
static_assert(offsetof(qelt_timestamp, minute) == 5);
static_assert(offsetof(qelt_timestamp, second) == 6);
static_assert(offsetof(qelt_timestamp, microsecond) == 8);

namespace {

// A record of `type` with a `size`-byte block attached, or nothing at all.
// The caller fills the block.
qelt_err new_with_payload(qelt_variant** out, uint8_t type, uint8_t subtype, uint32_t size, bool zero,
                          void** payload) noexcept {
    const qelt_err rc = qelt_variant_alloc(out, type);
    if (rc != QELT_SUCCESS) return rc;
    void* block = qelt_mem_alloc(size, zero);
    if (block == nullptr) {
        qelt_variant_free_record(*out);  // no payload yet: size is 0
        *out = nullptr;
        return QELT_ERR_OUT_OF_MEMORY;
    }
    (*out)->subtype = subtype;
    (*out)->size = size;
    (*out)->value.ptr = block;
    *payload = block;
    return QELT_SUCCESS;
}

qelt_err new_string(qelt_variant** out, const char* text, uint32_t capacity, uint8_t subtype) noexcept {
    if (text == nullptr || out == nullptr) return QELT_ERR_NULL_PTR;
    // The text is measured before anything is allocated; memchr stops at the
    // capacity, so an unterminated buffer is never overrun.
    const void* nul = capacity == 0 ? nullptr : std::memchr(text, 0, capacity);
    if (nul == nullptr) {
        *out = nullptr;
        return QELT_ERR_WRONG_STRING_SIZE;
    }
    const auto size = static_cast<uint32_t>(static_cast<const char*>(nul) - text) + 1;
    void* block = nullptr;
    const qelt_err rc = new_with_payload(out, QELT_VARIANT_TYPE_STRING, subtype, size, false, &block);
    if (rc == QELT_SUCCESS) std::memcpy(block, text, size);
    return rc;
}

qelt_err as_string(const qelt_variant* v, const char** text, uint32_t* size, uint8_t subtype) noexcept {
    if (text == nullptr || v == nullptr) return QELT_ERR_NULL_PTR;
    if (v->type != QELT_VARIANT_TYPE_STRING || v->subtype != subtype) {
        return QELT_ERR_INVALID_TYPE;
    }
    *text = static_cast<const char*>(v->value.ptr);
    if (size != nullptr) *size = v->size;
    return QELT_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_string_c(qelt_variant** out, const char* text, uint32_t capacity) noexcept {
    return new_string(out, text, capacity, QELT_STRING_TYPE_C);
}

qelt_err qelt_variant_new_string_utf8(qelt_variant** out, const char* text, uint32_t capacity) noexcept {
    return new_string(out, text, capacity, QELT_STRING_TYPE_UTF8);
}

qelt_err qelt_variant_as_string_c(const qelt_variant* v, const char** text, uint32_t* size) noexcept {
    return as_string(v, text, size, QELT_STRING_TYPE_C);
}

qelt_err qelt_variant_as_string_utf8(const qelt_variant* v, const char** text, uint32_t* size) noexcept {
    return as_string(v, text, size, QELT_STRING_TYPE_UTF8);
}

// ---------------------------------------------------------------------------
// Binary
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_binary(qelt_variant** out, const void* data, uint32_t length,
                                 uint8_t bin_type) noexcept {
    if (data == nullptr) return QELT_ERR_NULL_PTR;
    if (length == 0) {
        if (out != nullptr) *out = nullptr;
        return QELT_ERR_WRONG_STRING_SIZE;
    }
    void* block = nullptr;
    const qelt_err rc = new_with_payload(out, QELT_VARIANT_TYPE_BINARY, bin_type, length, false, &block);
    if (rc == QELT_SUCCESS) std::memcpy(block, data, length);
    return rc;
}

qelt_err qelt_variant_as_binary(const qelt_variant* v, const void** data, uint32_t* length,
                                uint8_t* bin_type) noexcept {
    if (data == nullptr || length == nullptr || bin_type == nullptr || v == nullptr) {
        return QELT_ERR_NULL_PTR;
    }
    if (v->type != QELT_VARIANT_TYPE_BINARY) return QELT_ERR_INVALID_TYPE;
    *data = v->value.ptr;
    *length = v->size;
    *bin_type = v->subtype;
    return QELT_SUCCESS;
}

// ---------------------------------------------------------------------------
// Timestamps
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_timestamp(qelt_variant** out, const qelt_timestamp* ts) noexcept {
    if (ts == nullptr) return QELT_ERR_NULL_PTR;
    void* block = nullptr;
    const qelt_err rc = new_with_payload(out, QELT_VARIANT_TYPE_TIMESTAMP, 0, sizeof(qelt_timestamp), true,
                                         &block);
    if (rc != QELT_SUCCESS) return rc;
    // Field by field into the zeroed block, so the padding byte stays zero
    // whatever the caller's copy holds there.
    auto* dst = static_cast<qelt_timestamp*>(block);
    dst->year = ts->year;
    dst->month = ts->month;
    dst->day = ts->day;
    dst->hour = ts->hour;
    dst->minute = ts->minute;
    dst->second = ts->second;
    dst->microsecond = ts->microsecond;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_as_timestamp(const qelt_variant* v, const qelt_timestamp** ts) noexcept {
    if (ts == nullptr || v == nullptr) return QELT_ERR_NULL_PTR;
    if (v->type != QELT_VARIANT_TYPE_TIMESTAMP) return QELT_ERR_INVALID_TYPE;
    *ts = static_cast<const qelt_timestamp*>(v->value.ptr);
    return QELT_SUCCESS;
}
