// Maps: a chained hash table whose first entry per bucket lies in the bucket
// array. Bucket choice, chain order and the resize visiting order decide the
// iteration order, which is the order in which maps are written out, so none
// of them may change. The body and its table come with the first entry and
// go with a clear, so an empty map is its record alone.
//
// The hash is fixed and unseeded (the written order follows from it), so
// anyone can make many keys that share a bucket. A chain that grows long
// therefore gets a side index, ordered by hash and value, that finds a key in
// logarithmic time; the chain itself keeps its order. The index only speeds
// lookups up: where it cannot be allocated the chain is walked as before.
#include "chain_index.h"

#include <cstring>
#include <new>

namespace {

using qelt_chain::IndexRef;

constexpr uint32_t kMinBuckets = 4;
constexpr uint32_t kMaxBuckets = uint32_t{1} << 31;
// A map's first table: its size decides where each key falls, and so the
// order in which every map is written; it never changes.
constexpr uint32_t kMapHint = 8;
// A chain this long gets an index. With the load at most three quarters a
// chain of 8 is rare enough that ordinary maps never pay for one.
constexpr uint32_t kIndexFrom = 8;

qelt_map* body_of(qelt_variant* v) { return static_cast<qelt_map*>(v->value.ptr); }

// Null for a map that has held nothing since it was made or cleared.
qelt_hashtable* table_of(qelt_variant* v) {
    const qelt_map* body = body_of(v);
    return body != nullptr ? body->table : nullptr;
}

qelt_err check_map(qelt_variant* map) {
    if (map == nullptr) return QELT_ERR_NULL_PTR;
    if (map->type != QELT_VARIANT_TYPE_MAP) return QELT_ERR_INVALID_TYPE;
    return QELT_SUCCESS;
}

size_t bucket_bytes(uint32_t count) { return size_t{count} * sizeof(qelt_hashtable_entry); }

qelt_hashtable_entry* alloc_buckets(uint32_t count) {
    return static_cast<qelt_hashtable_entry*>(qelt_array_alloc(bucket_bytes(count)));
}

void free_buckets(qelt_hashtable_entry* buckets, uint32_t count) {
    qelt_array_free(buckets, bucket_bytes(count));
}

qelt_hashtable_entry* alloc_entry() {
    return static_cast<qelt_hashtable_entry*>(qelt_block_alloc(sizeof(qelt_hashtable_entry), true));
}

void free_entry(qelt_hashtable_entry* e) { qelt_block_free(e, sizeof(qelt_hashtable_entry)); }

void set_size(qelt_hashtable* table, uint32_t bucket_count) {
    table->bucket_count = bucket_count;
    table->grow_at = static_cast<uint32_t>((uint64_t{3} * bucket_count) / 4);
}

// Calls `fn(entry, in_slot)` for every entry: buckets in ascending order, each
// chain from its slot. `fn` may free or relink the entry it is given.
template <typename Fn>
void for_each_entry(qelt_hashtable_entry* buckets, uint32_t bucket_count, Fn fn) {
    for (uint32_t b = 0; b < bucket_count; ++b) {
        if (buckets[b].key == nullptr) continue;
        qelt_hashtable_entry* e = &buckets[b];
        bool in_slot = true;
        while (e != nullptr) {
            qelt_hashtable_entry* next = e->next;
            fn(e, in_slot);
            e = next;
            in_slot = false;
        }
    }
}

// Nodes that a resize to `new_count` buckets must allocate: one for every
// entry that leaves an old slot for a new bucket whose slot an earlier entry
// already took. The new array serves as the occupancy map and is cleared.
uint32_t nodes_needed(qelt_hashtable* table, qelt_hashtable_entry* fresh, uint32_t new_count) {
    const uint32_t mask = new_count - 1;
    uint32_t needed = 0;
    for_each_entry(table->buckets, table->bucket_count, [&](qelt_hashtable_entry* e, bool in_slot) {
        qelt_hashtable_entry& slot = fresh[e->key->hash & mask];
        if (slot.key == nullptr) {
            slot.key = e->key;
        } else if (in_slot) {
            ++needed;
        }
    });
    std::memset(fresh, 0, size_t{new_count} * sizeof(qelt_hashtable_entry));
    return needed;
}

// Indexes the chain whose head lies in `slot`. Without memory for it the
// chain stays unindexed, which changes only the speed of lookups.
void build_index(qelt_hashtable_entry* slot) noexcept {
    void* block = qelt_block_alloc(sizeof(qelt_chain_index), true);
    if (block == nullptr) return;
    auto* index = new (block) qelt_chain_index{};
    slot->index = index;
    try {
        for (qelt_hashtable_entry* e = slot; e != nullptr; e = e->next) {
            index->refs.insert(IndexRef{e});
            index->tail = e;
        }
    } catch (const std::bad_alloc&) {
        qelt_hashtable_drop_index(slot);
    }
}

bool chain_reaches(const qelt_hashtable_entry* slot, uint32_t length) {
    if (slot->key == nullptr) return false;
    for (; slot != nullptr && length > 0; slot = slot->next) --length;
    return length == 0;
}

// The entry whose key equals `key` in the chain at `slot`, or null. Walking an
// unindexed chain also reports its last entry and its length.
struct Found {
    qelt_hashtable_entry* entry = nullptr;
    qelt_hashtable_entry* last = nullptr;
    uint32_t length = 0;
};

Found find_in_chain(qelt_hashtable_entry* slot, const qelt_variant* key) {
    Found found;
    if (slot->index != nullptr) {
        const auto it = slot->index->refs.find(key);
        if (it != slot->index->refs.end()) found.entry = it->entry;
        found.last = slot->index->tail;
        return found;
    }
    if (slot->key == nullptr) return found;
    for (qelt_hashtable_entry* e = slot; e != nullptr; e = e->next) {
        ++found.length;
        if (qelt_variant_equal(e->key, key)) {
            found.entry = e;
            return found;
        }
        found.last = e;
    }
    return found;
}

void free_nodes(qelt_hashtable_entry* list) {
    while (list != nullptr) {
        qelt_hashtable_entry* next = list->next;
        free_entry(list);
        list = next;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Table
// ---------------------------------------------------------------------------

namespace {

void qelt_hashtable_rewind(qelt_hashtable* table) noexcept {
    table->iter_bucket = 0;
    table->iter_entry = nullptr;
}

qelt_hashtable* qelt_hashtable_new(uint32_t hint) noexcept {
    if (hint > kMaxBuckets) return nullptr;
    uint32_t count = kMinBuckets;
    while (count < hint) count <<= 1;
    auto* table = static_cast<qelt_hashtable*>(qelt_block_alloc(sizeof(qelt_hashtable), true));
    qelt_hashtable_entry* buckets = table != nullptr ? alloc_buckets(count) : nullptr;
    if (buckets == nullptr) {
        qelt_block_free(table, sizeof(qelt_hashtable));
        return nullptr;
    }
    table->buckets = buckets;
    set_size(table, count);
    return table;
}

// Releases every key and value, then frees the table.
void qelt_hashtable_free(qelt_hashtable* table) noexcept {
    if (table == nullptr) return;
    if (table->used_buckets != 0) {
        for_each_entry(table->buckets, table->bucket_count, [](qelt_hashtable_entry* e, bool in_slot) {
            if (in_slot) qelt_hashtable_drop_index(e);
            qelt_variant_decref(e->key);
            qelt_variant_decref(e->value);
            if (!in_slot) free_entry(e);
        });
    }
    qelt_hashtable_release(table);
}

qelt_hashtable_entry* qelt_hashtable_bucket(qelt_hashtable* table, qelt_variant* key) noexcept {
    uint32_t hash = 0;
    if (qelt_variant_get_hash(key, &hash) != QELT_SUCCESS) return nullptr;
    return &table->buckets[hash & (table->bucket_count - 1)];
}

qelt_hashtable_entry* qelt_hashtable_get(qelt_hashtable* table, qelt_variant* key) noexcept {
    qelt_hashtable_entry* slot = qelt_hashtable_bucket(table, key);
    return slot != nullptr ? find_in_chain(slot, key).entry : nullptr;
}

void qelt_hashtable_resize(qelt_hashtable* table, bool shrink) noexcept {
    qelt_hashtable_rewind(table);
    // Halving stops where it would go below the smallest table.
    if (shrink ? table->bucket_count < 2 * kMinBuckets : table->bucket_count >= kMaxBuckets) return;
    const uint32_t new_count = shrink ? table->bucket_count / 2 : table->bucket_count * 2;
    qelt_hashtable_entry* fresh = alloc_buckets(new_count);
    if (fresh == nullptr) return;

    // Every node is allocated before anything moves, so a failure leaves the
    // table exactly as it was: a resize is only an optimisation and the
    // operation that asked for it still succeeds.
    qelt_hashtable_entry* spare = nullptr;
    for (uint32_t n = nodes_needed(table, fresh, new_count); n > 0; --n) {
        qelt_hashtable_entry* node = alloc_entry();
        if (node == nullptr) {
            free_nodes(spare);
            free_buckets(fresh, new_count);
            return;
        }
        node->next = spare;
        spare = node;
    }

    // While placing, a fresh slot's `prev` points at its chain's last entry,
    // so appending stays constant time however long a chain grows. The old
    // indexes go; the new chains that are long get new ones.
    const uint32_t mask = new_count - 1;
    uint32_t count = 0;
    uint32_t used = 0;
    for_each_entry(table->buckets, table->bucket_count, [&](qelt_hashtable_entry* e, bool in_slot) {
        if (in_slot) qelt_hashtable_drop_index(e);
        qelt_hashtable_entry& slot = fresh[e->key->hash & mask];
        ++count;
        if (slot.key == nullptr) {
            slot.key = e->key;
            slot.value = e->value;
            ++used;
            if (!in_slot) free_entry(e);
            return;
        }
        qelt_hashtable_entry* node = e;
        if (in_slot) {
            node = spare;
            spare = spare->next;
            node->key = e->key;
            node->value = e->value;
        }
        qelt_hashtable_entry* last = slot.prev != nullptr ? slot.prev : &slot;
        node->prev = last;
        node->next = nullptr;
        last->next = node;
        slot.prev = node;
    });
    for (uint32_t b = 0; b < new_count; ++b) {
        fresh[b].index = nullptr;  // it held the tail while placing
        if (chain_reaches(&fresh[b], kIndexFrom)) build_index(&fresh[b]);
    }

    free_buckets(table->buckets, table->bucket_count);
    table->buckets = fresh;
    table->count = count;
    table->used_buckets = used;
    set_size(table, new_count);
    table->shrink_at = new_count / 4;
}

qelt_hashtable_entry* qelt_hashtable_set(qelt_hashtable* table, qelt_variant* key,
                                         qelt_variant* value) noexcept {
    // Before the lookup, so a plain replacement can grow the table too; the
    // iteration order of every written map depends on this.
    if (table->count >= table->grow_at) qelt_hashtable_resize(table, false);
    if (qelt_variant_incref(key) != QELT_SUCCESS) return nullptr;
    if (qelt_variant_incref(value) != QELT_SUCCESS) {
        qelt_variant_decref(key);
        return nullptr;
    }
    qelt_hashtable_entry* slot = qelt_hashtable_bucket(table, key);
    qelt_hashtable_entry* entry = nullptr;
    Found found;
    if (slot->key == nullptr) {
        entry = slot;
        ++table->count;
        ++table->used_buckets;
    } else {
        found = find_in_chain(slot, key);
        entry = found.entry;
        if (entry == nullptr) {
            entry = alloc_entry();
            if (entry == nullptr) {
                qelt_variant_decref(value);
                qelt_variant_decref(key);
                return nullptr;
            }
            entry->prev = found.last;
            found.last->next = entry;
            ++table->count;
        }
    }
    // The entry holds the new pair before the old one is let go, so whatever
    // the releases tear down finds the table consistent.
    qelt_variant* old_key = entry->key;
    qelt_variant* old_value = entry->value;
    entry->key = key;
    entry->value = value;
    if (old_key == nullptr && entry != slot) {
        if (slot->index != nullptr) {
            try {
                slot->index->refs.insert(IndexRef{entry});
                slot->index->tail = entry;
            } catch (const std::bad_alloc&) {
                qelt_hashtable_drop_index(slot);
            }
        } else if (found.length + 1 >= kIndexFrom) {
            build_index(slot);
        }
    }
    if (old_key != nullptr) qelt_variant_decref(old_key);
    if (old_value != nullptr) qelt_variant_decref(old_value);
    return entry;
}

void qelt_hashtable_delete(qelt_hashtable* table, qelt_variant* key) noexcept {
    qelt_hashtable_entry* slot = qelt_hashtable_bucket(table, key);
    qelt_hashtable_entry* e = slot != nullptr ? find_in_chain(slot, key).entry : nullptr;
    if (e == nullptr) return;
    qelt_hashtable_rewind(table);
    qelt_chain_index* index = slot->index;
    if (index != nullptr) index->refs.erase(index->refs.find(key));
    qelt_variant* gone_key = e->key;
    qelt_variant* gone_value = e->value;
    qelt_hashtable_entry* node = nullptr;  // overflow node to free
    if (e == slot && e->next != nullptr) {
        // The successor moves into the slot, which stays the chain's head.
        node = e->next;
        if (index != nullptr) {
            index->refs.find(node->key)->entry = e;
            if (index->tail == node) index->tail = e;
        }
        e->key = node->key;
        e->value = node->value;
        e->next = node->next;
        if (node->next != nullptr) node->next->prev = e;
    } else if (e == slot) {
        qelt_hashtable_drop_index(e);
        e->key = nullptr;
        e->value = nullptr;
        --table->used_buckets;
    } else {
        node = e;
        if (index != nullptr && index->tail == e) index->tail = e->prev;
        e->prev->next = e->next;
        if (e->next != nullptr) e->next->prev = e->prev;
    }
    --table->count;
    free_entry(node);
    if (table->count < table->shrink_at) qelt_hashtable_resize(table, true);
    // Last: the pair may hold the only reference to this map, which then
    // dies here.
    qelt_variant_decref(gone_key);
    qelt_variant_decref(gone_value);
}

}  // namespace

qelt_hashtable_entry* qelt_hashtable_next(qelt_hashtable* table) noexcept {
    uint32_t from = 0;
    if (table->iter_entry != nullptr) {
        if (table->iter_entry->next != nullptr) {
            table->iter_entry = table->iter_entry->next;
            return table->iter_entry;
        }
        from = table->iter_bucket + 1;
    }
    for (uint32_t b = from; b < table->bucket_count; ++b) {
        if (table->buckets[b].key != nullptr) {
            table->iter_bucket = b;
            table->iter_entry = &table->buckets[b];
            return table->iter_entry;
        }
    }
    qelt_hashtable_rewind(table);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Public operations
// ---------------------------------------------------------------------------

namespace {

// The table, made with hint 8 if the map has none; null when memory is
// exhausted (the map is then unchanged).
qelt_hashtable* table_for_set(qelt_variant* map) {
    if (qelt_hashtable* table = table_of(map)) return table;
    auto* body = static_cast<qelt_map*>(qelt_block_alloc(sizeof(qelt_map), true));
    qelt_hashtable* table = body != nullptr ? qelt_hashtable_new(kMapHint) : nullptr;
    if (table == nullptr) {
        qelt_block_free(body, sizeof(qelt_map));
        return nullptr;
    }
    body->table = table;
    map->value.ptr = body;
    return table;
}

}  // namespace

qelt_err qelt_variant_new_map(qelt_variant** map) noexcept {
    return qelt_variant_alloc(map, QELT_VARIANT_TYPE_MAP);
}

qelt_err qelt_variant_map_set(qelt_variant* map, qelt_variant* key, qelt_variant* value) noexcept {
    if (key == nullptr) return QELT_ERR_NULL_PTR;
    // Compared before the map is checked, so a null map with a null value
    // (a delete) gives CIRCULAR_REFERENCE, as callers have always seen.
    if (key == map || value == map) return QELT_ERR_CIRCULAR_REFERENCE;
    if (const qelt_err err = check_map(map)) return err;
    if (value == nullptr) {
        if (qelt_hashtable* table = table_of(map)) qelt_hashtable_delete(table, key);
        return QELT_SUCCESS;
    }
    // An entry or table that cannot be allocated and a key or value at its
    // reference limit all report QELT_ERR_NULL_PTR, the code callers expect
    // from a failed set.
    qelt_hashtable* table = table_for_set(map);
    if (table == nullptr) return QELT_ERR_NULL_PTR;
    return qelt_hashtable_set(table, key, value) != nullptr ? QELT_SUCCESS : QELT_ERR_NULL_PTR;
}

qelt_err qelt_variant_map_get(qelt_variant* map, qelt_variant* key, qelt_variant** value) noexcept {
    if (key == nullptr || value == nullptr) return QELT_ERR_NULL_PTR;
    if (key == map) return QELT_ERR_CIRCULAR_REFERENCE;
    if (const qelt_err err = check_map(map)) return err;
    qelt_hashtable* table = table_of(map);
    const qelt_hashtable_entry* e = table != nullptr ? qelt_hashtable_get(table, key) : nullptr;
    *value = e != nullptr ? e->value : nullptr;
    return e != nullptr ? QELT_SUCCESS : QELT_ERR_KEY_NOT_EXISTS;
}

qelt_err qelt_variant_map_haskey(qelt_variant* map, qelt_variant* key, uint8_t* found) noexcept {
    if (found == nullptr) return QELT_ERR_NULL_PTR;
    *found = QELT_FALSE;
    if (key == nullptr) return QELT_ERR_NULL_PTR;
    if (key == map) return QELT_ERR_CIRCULAR_REFERENCE;
    if (const qelt_err err = check_map(map)) return err;
    qelt_hashtable* table = table_of(map);
    if (table != nullptr && qelt_hashtable_get(table, key) != nullptr) *found = QELT_TRUE;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_map_delete(qelt_variant* map, qelt_variant* key) noexcept {
    if (key == nullptr) return QELT_ERR_NULL_PTR;
    // A null map gives CIRCULAR_REFERENCE, not NULL_PTR, as a delete through
    // qelt_variant_map_set does: callers have always seen that code here.
    if (key == map || map == nullptr) return QELT_ERR_CIRCULAR_REFERENCE;
    if (const qelt_err err = check_map(map)) return err;
    if (qelt_hashtable* table = table_of(map)) qelt_hashtable_delete(table, key);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_map_clear(qelt_variant* map) noexcept {
    if (const qelt_err err = check_map(map)) return err;
    qelt_map* body = body_of(map);
    if (body == nullptr) return QELT_SUCCESS;
    // Detached before the releases, so the map reads as empty even while a
    // released entry tears down a tree that refers back to it.
    map->value.ptr = nullptr;
    qelt_hashtable_free(body->table);
    qelt_block_free(body, sizeof(qelt_map));
    return QELT_SUCCESS;
}

qelt_err qelt_variant_map_get_size(qelt_variant* map, uint32_t* size) noexcept {
    if (size == nullptr) return QELT_ERR_NULL_PTR;
    if (const qelt_err err = check_map(map)) return err;
    const qelt_hashtable* table = table_of(map);
    *size = table != nullptr ? table->count : 0;
    return QELT_SUCCESS;
}

qelt_err qelt_variant_map_first(qelt_variant* map) noexcept {
    if (const qelt_err err = check_map(map)) return err;
    if (qelt_hashtable* table = table_of(map)) qelt_hashtable_rewind(table);
    return QELT_SUCCESS;
}

qelt_err qelt_variant_map_next(qelt_variant* map, qelt_variant** key, qelt_variant** value,
                               uint8_t* found) noexcept {
    if (const qelt_err err = check_map(map)) return err;
    if (key == nullptr || found == nullptr) return QELT_ERR_NULL_PTR;
    qelt_hashtable* table = table_of(map);
    const qelt_hashtable_entry* e = table != nullptr ? qelt_hashtable_next(table) : nullptr;
    *found = e != nullptr ? QELT_TRUE : QELT_FALSE;
    *key = e != nullptr ? e->key : nullptr;
    if (value != nullptr) *value = e != nullptr ? e->value : nullptr;
    return QELT_SUCCESS;
}
