// The variant library's private layout: record allocation and the bodies of
// lists and maps, for the library's files, the tree reader and writer (which
// build and walk containers directly) and the tests that inspect capacities
// and bucket layouts.
#ifndef QELT_INTERNAL_H
#define QELT_INTERNAL_H

#include "payload.h"
#include "pool.h"
#include "qelt/qelt.h"

#include <cstddef>
#include <cstdint>

extern "C" {

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// A block of `size` bytes, zero-filled when `zero` is set; null on failure.
inline void* qelt_mem_alloc(uint32_t size, bool zero) noexcept { return qelt_block_alloc(size, zero); }
// Gives back a block of qelt_mem_alloc; `size` is the size asked for then.
inline void qelt_mem_free(void* block, uint32_t size) noexcept { qelt_block_free(block, size); }

// The one constructor of records: zero-filled, `type` set, hash not computed,
// refcount 1. QELT_ERR_OUT_OF_MEMORY leaves *out null.
inline qelt_err qelt_variant_alloc(qelt_variant** out, uint8_t type) noexcept {
    if (out == nullptr) return QELT_ERR_NULL_PTR;
    // Zero fill is part of the value contract: scalars narrower than 8 bytes
    // leave the upper bytes of `value` as they are, and hashing reads them.
    qelt_variant* v = qelt_record_alloc();
    *out = v;
    if (v == nullptr) return QELT_ERR_OUT_OF_MEMORY;
    v->type = type;
    v->hash = QELT_HASH_NOT_COMPUTED;
    v->refcount = 1;
    return QELT_SUCCESS;
}

// Lists and maps: the records whose body holds references to other records.
inline bool qelt_is_container(const qelt_variant* v) noexcept {
    return v->type == QELT_VARIANT_TYPE_LIST || v->type == QELT_VARIANT_TYPE_MAP;
}

// Frees the payload of a STRING, BINARY or TIMESTAMP and then the record
// itself. Used for every record whose count reached 0 that is not a container.
inline void qelt_variant_free_record(qelt_variant* v) noexcept {
    // A payload block is always exactly `size` bytes.
    if (qelt_has_heap_payload(v->type)) qelt_mem_free(v->value.ptr, v->size);
    qelt_record_free(v);
}
// Tears down a LIST or MAP whose count reached 0: releases everything it
// holds, depth first, without native recursion, then frees body and record.
void qelt_container_destroy(qelt_variant* v) noexcept;

// A total order on values that agrees with qelt_variant_equal (0 exactly for
// equal values), ordering by hash first. Both hashes must be computed.
int qelt_variant_compare(const qelt_variant* a, const qelt_variant* b) noexcept;

// ---------------------------------------------------------------------------
// List body
// ---------------------------------------------------------------------------

// A list's `value` points to its body, or is null while the list has held
// nothing since it was made or last cleared.
struct qelt_list {
    int32_t capacity;  // 8 * 2^k, never below 8
    int32_t count;
    qelt_variant** items;  // slots count..capacity-1 are null
};

// Room for one more item: the body made with 8 slots, or the slots doubled.
// QELT_ERR_OUT_OF_MEMORY leaves the list unchanged.
qelt_err qelt_list_make_room(qelt_variant* list) noexcept;

// Appends `value` to `list`, taking over the caller's reference: the tree
// reader's append. The checks of qelt_variant_list_append are the caller's
// (a list, and a value that is neither null nor the list). On failure the
// list is unchanged and the reference stays with the caller.
inline qelt_err qelt_list_push(qelt_variant* list, qelt_variant* value) noexcept {
    auto* body = static_cast<qelt_list*>(list->value.ptr);
    if (body == nullptr || body->count == body->capacity) {
        if (const qelt_err err = qelt_list_make_room(list)) return err;
        body = static_cast<qelt_list*>(list->value.ptr);
    }
    body->items[body->count++] = value;
    return QELT_SUCCESS;
}
// Frees a body and its array, releasing nothing.
inline void qelt_list_free_body(qelt_list* body) noexcept {
    if (body == nullptr) return;
    qelt_array_free(body->items, static_cast<size_t>(body->capacity) * sizeof(qelt_variant*));
    qelt_block_free(body, sizeof(qelt_list));
}

// ---------------------------------------------------------------------------
// Map body and hash table
// ---------------------------------------------------------------------------

// The ordered lookup index of one long chain; private to the map.
struct qelt_chain_index;

struct qelt_hashtable_entry {
    union {
        qelt_hashtable_entry* prev;  // an overflow entry: the entry before it
        qelt_chain_index* index;     // a bucket slot: its chain's index, null while short
    };
    qelt_hashtable_entry* next;
    qelt_variant* key;  // null in an empty slot
    qelt_variant* value;
};

struct qelt_hashtable {
    uint32_t bucket_count;  // power of two, at least 4
    uint32_t used_buckets;
    uint32_t count;
    uint32_t grow_at;    // 3 * bucket_count / 4
    uint32_t shrink_at;  // 0 until the first resize, then bucket_count / 4
    uint32_t iter_bucket;
    qelt_hashtable_entry* iter_entry;
    qelt_hashtable_entry* buckets;
};

// A map's `value` points to its body, or is null while the map has held
// nothing since it was made or last cleared.
struct qelt_map {
    qelt_hashtable* table;
};

// Frees the bucket array and the table, releasing nothing.
inline void qelt_hashtable_release(qelt_hashtable* table) noexcept {
    if (table == nullptr) return;
    qelt_array_free(table->buckets, size_t{table->bucket_count} * sizeof(qelt_hashtable_entry));
    qelt_block_free(table, sizeof(qelt_hashtable));
}
// One step of a map's own cursor, as qelt_variant_map_next takes it: the
// next entry in bucket order, or null at the end (the cursor is rewound).
qelt_hashtable_entry* qelt_hashtable_next(qelt_hashtable* table) noexcept;

}  // extern "C"

#endif  // QELT_INTERNAL_H
