// Teardown of lists and maps whose last reference is gone.
//
// Trees may nest far deeper than the native stack allows, so the teardown
// never recurses. It walks depth first with an explicit work list that needs
// no memory of its own (teardown must not fail): the list is threaded through
// the dead containers themselves. When a container finds a child whose count
// reached zero, it stores its own parent link in the slot the child just left
// and its position in fields that are dead during teardown, then the child
// becomes the current container. When a container is exhausted, its storage
// is freed and its parent resumes at the saved position.
//
// The frees come in the order a recursive teardown would give: a container
// releases its holdings in ascending order (a map: buckets ascending, each
// chain from its slot, key before value, an overflow node freed after its
// pair), a child whose count reaches zero is torn down completely before the
// next sibling is released, and then come the item array or bucket array and
// table, the body and the record.
#include "chain_index.h"

#include <initializer_list>

namespace {

// Gives up one reference the way qelt_variant_decref does, except that a
// container losing its last reference is handed back to the walk instead of
// being torn down here.
qelt_variant* release(qelt_variant* v) {
    if (v == nullptr || --v->refcount != 0) return nullptr;
    if (qelt_is_container(v)) return v;
    qelt_variant_free_record(v);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Lists: a cursor holds the index of the next item to release; the slot
// before it holds the parent link while a child is being torn down.
// ---------------------------------------------------------------------------

qelt_list* list_body(qelt_variant* v) { return static_cast<qelt_list*>(v->value.ptr); }

// A list's record does not use its `size`, which so can hold the cursor.
uint32_t& next_item(qelt_variant* v) { return v->size; }

void list_begin(qelt_variant* v) { next_item(v) = 0; }

qelt_variant* list_step(qelt_variant* v, qelt_variant* up) {
    qelt_list* body = list_body(v);
    if (body == nullptr) return nullptr;
    for (int32_t i = static_cast<int32_t>(next_item(v)); i < body->count; ++i) {
        if (qelt_variant* child = release(body->items[i])) {
            body->items[i] = up;
            next_item(v) = static_cast<uint32_t>(i) + 1;
            return child;
        }
    }
    next_item(v) = static_cast<uint32_t>(body->count);
    return nullptr;
}

qelt_variant* list_link(qelt_variant* v) { return list_body(v)->items[next_item(v) - 1]; }

void list_finish(qelt_variant* v) { qelt_list_free_body(list_body(v)); }

// ---------------------------------------------------------------------------
// Maps: the table's own cursor (`iter_bucket`, `iter_entry`) holds the entry
// being released, and a phase how far: the key is next, the value is next,
// or both are done. While a child is torn down, the field it left holds the
// parent link.
// ---------------------------------------------------------------------------

enum : uint32_t { kKeyNext, kValueNext, kEntryDone };

// A dying table never grows, so its growth threshold can hold the phase.
uint32_t& phase(qelt_hashtable* t) { return t->grow_at; }

qelt_hashtable* map_table(qelt_variant* v) {
    auto* body = static_cast<qelt_map*>(v->value.ptr);
    return body != nullptr ? body->table : nullptr;
}

void map_begin(qelt_variant* v) {
    qelt_hashtable* t = map_table(v);
    if (t == nullptr) return;
    t->iter_entry = nullptr;
    t->iter_bucket = t->used_buckets != 0 ? 0 : t->bucket_count;
}

// A map's keys and values lie in memory in the order they were made, not in
// bucket order: the buckets a few ahead have their records, and the nearer
// ones their payloads, fetched while this one is released.
void fetch_ahead(const qelt_hashtable* t, uint32_t bucket) {
    constexpr uint32_t kRecordsAhead = 4, kPayloadsAhead = 2;
    if (bucket + kRecordsAhead < t->bucket_count) {
        const qelt_hashtable_entry& far = t->buckets[bucket + kRecordsAhead];
        if (far.key != nullptr) __builtin_prefetch(far.key);
        if (far.value != nullptr) __builtin_prefetch(far.value);
    }
    if (bucket + kPayloadsAhead < t->bucket_count) {
        const qelt_hashtable_entry& near = t->buckets[bucket + kPayloadsAhead];
        for (const qelt_variant* v : {near.key, near.value}) {
            if (v != nullptr && qelt_has_heap_payload(v->type)) __builtin_prefetch(v->value.ptr);
        }
    }
}

qelt_variant* map_step(qelt_variant* v, qelt_variant* up) {
    qelt_hashtable* t = map_table(v);
    if (t == nullptr) return nullptr;
    while (t->iter_bucket < t->bucket_count) {
        qelt_hashtable_entry* slot = &t->buckets[t->iter_bucket];
        qelt_hashtable_entry* e = t->iter_entry;
        if (e == nullptr) {
            if (slot->key == nullptr) {
                ++t->iter_bucket;
                continue;
            }
            qelt_hashtable_drop_index(slot);
            e = t->iter_entry = slot;
            phase(t) = kKeyNext;
            fetch_ahead(t, t->iter_bucket);
        }
        if (phase(t) == kKeyNext) {
            phase(t) = kValueNext;
            if (qelt_variant* child = release(e->key)) {
                e->key = up;
                return child;
            }
        }
        if (phase(t) == kValueNext) {
            phase(t) = kEntryDone;
            if (qelt_variant* child = release(e->value)) {
                e->value = up;
                return child;
            }
        }
        qelt_hashtable_entry* next = e->next;
        if (e != slot) qelt_block_free(e, sizeof(qelt_hashtable_entry));
        t->iter_entry = next;
        phase(t) = kKeyNext;
        if (next == nullptr) ++t->iter_bucket;
    }
    return nullptr;
}

qelt_variant* map_link(qelt_variant* v) {
    qelt_hashtable* t = map_table(v);
    // kValueNext means the key was the child just finished.
    return phase(t) == kValueNext ? t->iter_entry->key : t->iter_entry->value;
}

void map_finish(qelt_variant* v) {
    auto* body = static_cast<qelt_map*>(v->value.ptr);
    if (body == nullptr) return;
    qelt_hashtable_release(body->table);
    qelt_block_free(body, sizeof(qelt_map));
}

// ---------------------------------------------------------------------------
// Dispatch by container type
// ---------------------------------------------------------------------------

bool is_list(const qelt_variant* v) { return v->type == QELT_VARIANT_TYPE_LIST; }

void begin(qelt_variant* v) { is_list(v) ? list_begin(v) : map_begin(v); }

qelt_variant* step(qelt_variant* v, qelt_variant* up) {
    return is_list(v) ? list_step(v, up) : map_step(v, up);
}

qelt_variant* link(qelt_variant* v) { return is_list(v) ? list_link(v) : map_link(v); }

// How many items a container held: what its teardown gave back.
uint32_t held(qelt_variant* v) {
    if (is_list(v)) {
        const qelt_list* body = list_body(v);
        return body != nullptr ? static_cast<uint32_t>(body->count) : 0;
    }
    const qelt_hashtable* t = map_table(v);
    return t != nullptr ? 2 * t->count : 0;
}

// After a teardown this large, the thread's cached blocks go back to their
// slabs too, so that the slabs they would pin can go back to the system.
constexpr uint64_t kLargeTeardown = 16384;

void finish(qelt_variant* v) {
    is_list(v) ? list_finish(v) : map_finish(v);
    qelt_record_free(v);
}

}  // namespace

void qelt_container_destroy(qelt_variant* v) noexcept {
    qelt_variant* current = v;
    qelt_variant* up = nullptr;  // the container whose teardown released `current`
    uint64_t released = 0;
    begin(current);
    for (;;) {
        if (qelt_variant* child = step(current, up)) {
            up = current;
            current = child;
            begin(current);
            continue;
        }
        released += held(current);
        finish(current);
        if (up == nullptr) break;
        current = up;
        up = link(current);
    }
    if (released >= kLargeTeardown) qelt_pool_flush_thread_cache();
}
