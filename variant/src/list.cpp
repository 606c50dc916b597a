// Lists: a growable array of owned references. The body and its array come
// with the first item and go with a clear, so an empty list is its record
// alone.
#include "qelt_internal.h"

#include <cstring>

namespace {

constexpr int32_t kMinCapacity = 8;
// Doubling from 8 reaches 2^30 slots; one more doubling would not fit an i32.
constexpr int64_t kMaxCapacity = int64_t{1} << 30;

// Null for a list that has held nothing since it was made or cleared.
qelt_list* body_of(qelt_variant* v) { return static_cast<qelt_list*>(v->value.ptr); }

// The count of a list whose body may not exist yet.
int32_t count_of(qelt_variant* v) {
    const qelt_list* body = body_of(v);
    return body != nullptr ? body->count : 0;
}

// The checks shared by every operation on an existing list, after the
// operation's own argument checks.
qelt_err check_list(qelt_variant* list) {
    if (list == nullptr) return QELT_ERR_NULL_PTR;
    if (list->type != QELT_VARIANT_TYPE_LIST) return QELT_ERR_INVALID_TYPE;
    return QELT_SUCCESS;
}

qelt_err check_value(qelt_variant* list, qelt_variant* value) {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (value == list) return QELT_ERR_CIRCULAR_REFERENCE;
    return check_list(list);
}

size_t slot_bytes(int32_t capacity) { return static_cast<size_t>(capacity) * sizeof(qelt_variant*); }

qelt_variant** alloc_slots(int32_t capacity) {
    return static_cast<qelt_variant**>(qelt_array_alloc(slot_bytes(capacity)));
}

// Moves the items into an array of `capacity` slots, the others null; on
// failure the list keeps its array.
qelt_err move_to(qelt_list* body, int32_t capacity) {
    void* items = qelt_array_resize(body->items, slot_bytes(body->capacity), slot_bytes(capacity));
    if (items == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    body->items = static_cast<qelt_variant**>(items);
    body->capacity = capacity;
    return QELT_SUCCESS;
}

// The body, with room for one more item; null when memory is exhausted.
qelt_list* room_for_one(qelt_variant* list) {
    qelt_list* body = body_of(list);
    if (body != nullptr && body->capacity > body->count) return body;
    return qelt_list_make_room(list) == QELT_SUCCESS ? body_of(list) : nullptr;
}

// Lowest index in [lo, hi] whose item equals `value`, or the unknown index.
int32_t find(const qelt_list* body, const qelt_variant* value, int32_t lo, int32_t hi) {
    for (int32_t i = lo; i <= hi; ++i) {
        if (qelt_variant_equal(body->items[i], value)) return i;
    }
    return QELT_LIST_INDEX_UNKNOWN;
}

// Empties a list: detaches its body, releases every item, frees the body.
void qelt_list_reset(qelt_variant* list) noexcept {
    qelt_list* body = body_of(list);
    if (body == nullptr) return;
    // Detached before the releases, so the list reads as empty even while a
    // released item tears down a tree that refers back to it.
    list->value.ptr = nullptr;
    for (int32_t i = 0; i < body->count; ++i) qelt_variant_decref(body->items[i]);
    qelt_list_free_body(body);
}

}  // namespace

// ---------------------------------------------------------------------------
// Body lifetime
// ---------------------------------------------------------------------------

qelt_err qelt_list_make_room(qelt_variant* list) noexcept {
    qelt_list* body = body_of(list);
    if (body == nullptr) {
        body = static_cast<qelt_list*>(qelt_block_alloc(sizeof(qelt_list), true));
        qelt_variant** items = body != nullptr ? alloc_slots(kMinCapacity) : nullptr;
        if (items == nullptr) {
            qelt_block_free(body, sizeof(qelt_list));
            return QELT_ERR_OUT_OF_MEMORY;
        }
        body->capacity = kMinCapacity;
        body->items = items;
        list->value.ptr = body;
        return QELT_SUCCESS;
    }
    if (body->capacity > body->count) return QELT_SUCCESS;
    const int64_t grown = int64_t{body->capacity} * 2;
    if (grown > kMaxCapacity) return QELT_ERR_OUT_OF_MEMORY;
    return move_to(body, static_cast<int32_t>(grown));
}

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------

qelt_err qelt_variant_new_list(qelt_variant** out) noexcept {
    return qelt_variant_alloc(out, QELT_VARIANT_TYPE_LIST);
}

qelt_err qelt_variant_list_append(qelt_variant* list, qelt_variant* value, int32_t* index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    qelt_list* body = room_for_one(list);
    if (body == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    if (index != nullptr) *index = body->count;
    body->items[body->count++] = value;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_insert(qelt_variant* list, qelt_variant* value, int32_t index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    if (index < 0 || index > count_of(list)) return QELT_ERR_INDEX_OUT_OF_RANGE;
    qelt_list* body = room_for_one(list);
    if (body == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    std::memmove(&body->items[index + 1], &body->items[index],
                 static_cast<size_t>(body->count - index) * sizeof(qelt_variant*));
    body->items[index] = value;
    ++body->count;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_set_item(qelt_variant* list, qelt_variant* value, int32_t index) noexcept {
    if (const qelt_err err = check_value(list, value)) return err;
    if (index < 0 || index >= count_of(list)) return QELT_ERR_INDEX_OUT_OF_RANGE;
    // Taken before the old reference goes, so re-setting the same item never
    // lets its count touch zero.
    if (const qelt_err err = qelt_variant_incref(value)) return err;
    qelt_list* body = body_of(list);
    qelt_variant* old = body->items[index];
    body->items[index] = value;
    qelt_variant_decref(old);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_get_item(qelt_variant* list, qelt_variant** out, int32_t index) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    if (index < 0 || index >= count_of(list)) return QELT_ERR_INDEX_OUT_OF_RANGE;
    *out = body_of(list)->items[index];
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_delete_item(qelt_variant* list, int32_t index) noexcept {
    if (const qelt_err err = check_list(list)) return err;
    if (index < 0 || index >= count_of(list)) return QELT_ERR_INDEX_OUT_OF_RANGE;
    qelt_list* body = body_of(list);
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
    qelt_list_reset(list);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_get_size(qelt_variant* list, int32_t* out) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    *out = count_of(list);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_contains(qelt_variant* list, qelt_variant* value, int32_t* index) noexcept {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    const int32_t count = count_of(list);
    const int32_t found = count > 0 ? find(body_of(list), value, 0, count - 1) : QELT_LIST_INDEX_UNKNOWN;
    if (index != nullptr) *index = found;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_list_contains_in_subset(qelt_variant* list, qelt_variant* value, int32_t* index,
                                              int32_t start, int32_t stop) noexcept {
    if (value == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_list(list)) return err;
    const int32_t last = count_of(list) - 1;
    int32_t found = QELT_LIST_INDEX_UNKNOWN;
    if (last >= 0) {
        const qelt_list* body = body_of(list);
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
