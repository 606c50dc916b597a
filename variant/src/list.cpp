// Lists: a growable array of owned references.
#include "qelt_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kMinCapacity = 8;
// Doubling from 8 reaches 2^30 slots; one more doubling would not fit an i32.
constexpr int64_t kMaxCapacity = int64_t{1} << 30;

qelt_list* body_of(qelt_variant* v) { return static_cast<qelt_list*>(v->value.ptr); }

// The checks shared by every operation on an existing list, after the
// operation's own argument checks.
qelt_err check_list(qelt_variant* list) {
    if (list == nullptr) return QELT_ERR_NULL_PTR;
    if (list->type != QELT_VARIANT_TYPE_LIST) return QELT_ERR_INVALID_TYPE;
    const qelt_list* body = body_of(list);
    if (body == nullptr || body->items == nullptr) return QELT_ERR_NULL_PTR;
    return QELT_SUCCESS;
}

qelt_err check_value(qelt_variant* list, qelt_variant* value) {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (value == list) return QELT_ERR_CIRCULAR_REFERENCE;
    return check_list(list);
}

qelt_variant** alloc_slots(int32_t capacity) {
    return static_cast<qelt_variant**>(std::calloc(static_cast<size_t>(capacity),
                                                   sizeof(qelt_variant*)));
}

// Moves the items into a fresh zero-filled array of `capacity` slots; on
// failure the list keeps its array.
qelt_err move_to(qelt_list* body, int32_t capacity) {
    qelt_variant** items = alloc_slots(capacity);
    if (items == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    std::memcpy(items, body->items, static_cast<size_t>(body->count) * sizeof(qelt_variant*));
    std::free(body->items);
    body->items = items;
    body->capacity = capacity;
    return QELT_SUCCESS;
}

qelt_err make_room(qelt_list* body) {
    if (body->capacity > body->count) return QELT_SUCCESS;
    const int64_t grown = int64_t{body->capacity} * 2;
    if (grown > kMaxCapacity) return QELT_ERR_OUT_OF_MEMORY;
    return move_to(body, static_cast<int32_t>(grown));
}

// Lowest index in [lo, hi] whose item equals `value`, or the unknown index.
int32_t find(const qelt_list* body, const qelt_variant* value, int32_t lo, int32_t hi) {
    for (int32_t i = lo; i <= hi; ++i) {
        if (qelt_variant_equal(body->items[i], value)) return i;
    }
    return QELT_LIST_INDEX_UNKNOWN;
}

}  // namespace

// ---------------------------------------------------------------------------
// Body lifetime
// ---------------------------------------------------------------------------

qelt_err qelt_list_reset(qelt_list* list) noexcept {
    if (list->count <= 0) return QELT_SUCCESS;
    // The small array comes first so that a failure leaves every item held.
    qelt_variant** fresh = alloc_slots(kMinCapacity);
    if (fresh == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    qelt_variant** old = list->items;
    const int32_t count = list->count;
    // Detached before the releases, so the body is consistent even while a
    // released item tears down a tree that refers back to this list.
    list->items = fresh;
    list->capacity = kMinCapacity;
    list->count = 0;
    for (int32_t i = 0; i < count; ++i) qelt_variant_decref(old[i]);
    std::free(old);
    return QELT_SUCCESS;
}

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_list(qelt_variant** out) noexcept {
    if (const qelt_err err = qelt_variant_alloc(out, QELT_VARIANT_TYPE_LIST)) return err;
    auto* body = static_cast<qelt_list*>(std::calloc(1, sizeof(qelt_list)));
    qelt_variant** items = alloc_slots(kMinCapacity);
    if (body == nullptr || items == nullptr) {
        std::free(items);
        std::free(body);
        qelt_variant_decref(*out);  // bodiless: only the record is freed
        *out = nullptr;
        return QELT_ERR_OUT_OF_MEMORY;
    }
    body->capacity = kMinCapacity;
    body->items = items;
    (*out)->value.ptr = body;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_append(qelt_variant* list, qelt_variant* value, int32_t* index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    qelt_list* body = body_of(list);
    if (const qelt_err err = make_room(body)) return err;
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    if (index != nullptr) *index = body->count;
    body->items[body->count++] = value;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_insert(qelt_variant* list, qelt_variant* value, int32_t index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    qelt_list* body = body_of(list);
    if (index < 0 || index > body->count) return QELT_ERR_INDEX_OUT_OF_RANGE;
    if (const qelt_err err = make_room(body)) return err;
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    std::memmove(&body->items[index + 1], &body->items[index],
                 static_cast<size_t>(body->count - index) * sizeof(qelt_variant*));
    body->items[index] = value;
    ++body->count;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_set_item(qelt_variant* list, qelt_variant* value, int32_t index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    qelt_list* body = body_of(list);
    if (index < 0 || index >= body->count) return QELT_ERR_INDEX_OUT_OF_RANGE;
    // Taken before the old reference goes, so re-setting the same item never
    // lets its count touch zero.
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    qelt_variant* old = body->items[index];
    body->items[index] = value;
    qelt_variant_decref(old);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_get_item(qelt_variant* list, qelt_variant** out, int32_t index) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    const qelt_list* body = body_of(list);
    if (index < 0 || index >= body->count) return QELT_ERR_INDEX_OUT_OF_RANGE;
    *out = body->items[index];
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_delete_item(qelt_variant* list, int32_t index) noexcept {
    if (const qelt_err err = check_list(list)) return err;
    qelt_list* body = body_of(list);
    if (index < 0 || index >= body->count) return QELT_ERR_INDEX_OUT_OF_RANGE;
    qelt_variant* gone = body->items[index];
    std::memmove(&body->items[index], &body->items[index + 1],
                 static_cast<size_t>(body->count - index - 1) * sizeof(qelt_variant*));
    body->items[--body->count] = nullptr;
    // Shrinking only at a quarter keeps an append/delete pair at a boundary
    // from reallocating each time. A failed shrink still leaves the deletion
    // done; the caller learns only that the memory was not given back.
    qelt_err err = QELT_SUCCESS;
    if (body->capacity > kMinCapacity && 4 * int64_t{body->count} <= body->capacity) {
        err = move_to(body, body->capacity / 2);
    }
    // Last: the item may hold the only reference to this list, which then
    // dies here.
    qelt_variant_decref(gone);
    return err;
}

qelt_err qelt_variant_list_clear(qelt_variant* list) noexcept {
    if (const qelt_err err = check_list(list)) return err;
    return qelt_list_reset(body_of(list));
}

qelt_err qelt_variant_list_get_size(qelt_variant* list, int32_t* out) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    *out = body_of(list)->count;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_contains(qelt_variant* list, qelt_variant* value, int32_t* index) noexcept {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    const qelt_list* body = body_of(list);
    const int32_t found = find(body, value, 0, body->count - 1);
    if (index != nullptr) *index = found;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_contains_in_subset(qelt_variant* list, qelt_variant* value,
                                              int32_t* index, int32_t start,
                                              int32_t stop) noexcept {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    const qelt_list* body = body_of(list);
    const int32_t last = body->count - 1;
    int32_t found = QELT_LIST_INDEX_UNKNOWN;
    if (last >= 0) {
        // Out-of-range ends are pulled onto the list instead of refused; a
        // negative stop reads as "to the end".
        if (start > last) start = last;
        if (start < 0) start = 0;
        if (stop < 0 || stop > last) stop = last;
        found = start <= stop ? find(body, value, start, stop) : find(body, value, stop, start);
    }
    if (index != nullptr) *index = found;
    return QELT_SUCCESS;
}
