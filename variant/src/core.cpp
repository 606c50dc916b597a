// Record allocation, reference counting and the simple queries.
#include "qelt_internal.h"

extern "C" {
const int32_t QELT_LIST_INDEX_UNKNOWN = -1;
const uint32_t QELT_HASH_NOT_COMPUTED = 0xFFFFFFFFu;
}

namespace {
constexpr uint16_t kMaxRefcount = 0xFFFF;
constexpr uint32_t kLibraryVersion = 1;
constexpr uint32_t kApiVersion = 101;
}  // namespace

// ---------------------------------------------------------------------------
// Lifetime
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_none(qelt_variant** out) noexcept {
    return qelt_variant_alloc(out, QELT_VARIANT_TYPE_NONE);
}

qelt_err qelt_variant_incref(qelt_variant* v) noexcept {
    if (v == nullptr) return QELT_ERR_NULL_PTR;
    if (v->refcount == kMaxRefcount) return QELT_ERR_REFCNT_EXCD;
    ++v->refcount;
    return QELT_SUCCESS;
}

// Containers go to their own teardown, which walks nested trees without
// recursion; everything else is a single record with at most one block.
qelt_err qelt_variant_decref(qelt_variant* v) noexcept {
    if (v == nullptr) return QELT_ERR_NULL_PTR;
    if (--v->refcount != 0) return QELT_SUCCESS;
    if (qelt_is_container(v)) {
        qelt_container_destroy(v);
    } else {
        qelt_variant_free_record(v);
    }
    return QELT_SUCCESS;
}

// ---------------------------------------------------------------------------
// Queries
// ---------------------------------------------------------------------------

qelt_err qelt_variant_get_refcount(const qelt_variant* v, uint16_t* out) noexcept {
    if (v == nullptr || out == nullptr) return QELT_ERR_NULL_PTR;
    *out = v->refcount;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_get_type(const qelt_variant* v, uint8_t* type, uint8_t* subtype) noexcept {
    if (v == nullptr || type == nullptr) return QELT_ERR_NULL_PTR;
    *type = v->type;
    if (subtype != nullptr) *subtype = v->subtype;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_type_check(const qelt_variant* v, uint8_t type, uint8_t* matches) noexcept {
    if (v == nullptr || matches == nullptr) return QELT_ERR_NULL_PTR;
    *matches = v->type == type ? QELT_TRUE : QELT_FALSE;
    return QELT_SUCCESS;
}

qelt_err qelt_get_version(uint32_t* lib_version, uint32_t* api_version) noexcept {
    if (lib_version == nullptr || api_version == nullptr) return QELT_ERR_NULL_PTR;
    *lib_version = kLibraryVersion;
    *api_version = kApiVersion;
    return QELT_SUCCESS;
}
