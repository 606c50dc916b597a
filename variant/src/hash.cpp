// Value hashing and equality: the two operations that decide which keys a map
// treats as the same. Both read the same bytes, so equal values hash alike.
#include "payload.h"
#include "qelt_internal.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t kMultiplier = 0x5294A529u;

uint32_t hash_span(uint8_t type, uint8_t subtype, const unsigned char* data, size_t length) noexcept {
    uint32_t h = type * kMultiplier + subtype;
    for (size_t i = 0; i < length; ++i) h = h * kMultiplier + data[i];
    return h;
}

}  // namespace

uint32_t qelt_hash_bytes(uint8_t type, uint8_t subtype, const void* data, int32_t length) noexcept {
    if (data == nullptr || length < 1) return hash_span(type, subtype, nullptr, 0);
    return hash_span(type, subtype, static_cast<const unsigned char*>(data), static_cast<size_t>(length));
}

qelt_err qelt_variant_get_hash(qelt_variant* v, uint32_t* out) noexcept {
    if (v == nullptr || out == nullptr) return QELT_ERR_NULL_PTR;
    if (v->hash == QELT_HASH_NOT_COMPUTED) {
        // The payload length is taken as a full 32-bit size: a payload past
        // 2 GiB still hashes all of its bytes instead of none.
        uint32_t h;
        if (qelt_has_heap_payload(v->type) && v->value.ptr != nullptr) {
            h = hash_span(v->type, v->subtype, static_cast<const unsigned char*>(v->value.ptr), v->size);
        } else if (qelt_is_container(v)) {
            // By identity: the record's address, which, unlike the body's,
            // stays the same from creation on (a body comes and goes).
            const auto address = reinterpret_cast<uintptr_t>(v);
            unsigned char bytes[sizeof address];
            for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(address >> (8 * i));
            h = hash_span(v->type, v->subtype, bytes, sizeof bytes);
        } else {
            h = hash_span(v->type, v->subtype, v->value.bytes, sizeof v->value.bytes);
        }
        v->hash = h == QELT_HASH_NOT_COMPUTED ? 0 : h;
    }
    *out = v->hash;
    return QELT_SUCCESS;
}

bool qelt_variant_equal(const qelt_variant* a, const qelt_variant* b) noexcept {
    if (a == b) return true;
    if (a == nullptr || b == nullptr) return false;
    if (a->type != b->type || a->subtype != b->subtype) return false;
    if (qelt_has_heap_payload(a->type)) {
        if (a->size != b->size) return false;
        if (a->value.ptr == b->value.ptr) return true;
        if (a->value.ptr == nullptr || b->value.ptr == nullptr) return false;
        return std::memcmp(a->value.ptr, b->value.ptr, a->size) == 0;
    }
    // A container equals only itself, which the first test has ruled out.
    if (qelt_is_container(a)) return false;
    return std::memcmp(a->value.bytes, b->value.bytes, sizeof a->value.bytes) == 0;
}

int qelt_variant_compare(const qelt_variant* a, const qelt_variant* b) noexcept {
    if (a == b) return 0;
    if (a->hash != b->hash) return a->hash < b->hash ? -1 : 1;
    if (a->type != b->type) return a->type < b->type ? -1 : 1;
    if (a->subtype != b->subtype) return a->subtype < b->subtype ? -1 : 1;
    // A container equals only itself: two of them order by their records.
    if (qelt_is_container(a)) return a < b ? -1 : 1;
    int order = 0;
    if (qelt_has_heap_payload(a->type)) {
        if (a->size != b->size) return a->size < b->size ? -1 : 1;
        // As in qelt_variant_equal: one payload equals itself, and an absent
        // payload equals only another absent one.
        if (a->value.ptr == b->value.ptr) return 0;
        if (a->value.ptr == nullptr || b->value.ptr == nullptr) return a->value.ptr == nullptr ? -1 : 1;
        order = std::memcmp(a->value.ptr, b->value.ptr, a->size);
    } else {
        order = std::memcmp(a->value.bytes, b->value.bytes, sizeof a->value.bytes);
    }
    return (order > 0) - (order < 0);
}
