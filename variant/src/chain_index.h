// The side index of one long hash chain, ordered by hash and value: its type,
// shared by the map that keeps it and the teardown that frees it with the
// map.
#ifndef QELT_CHAIN_INDEX_H
#define QELT_CHAIN_INDEX_H

#include "qelt_internal.h"

#include <cstddef>
#include <new>
#include <set>

namespace qelt_chain {

// An index element: the entry holding a key. When a successor moves into a
// slot the element is repointed; its key's value, and so its place, stays.
struct IndexRef {
    mutable qelt_hashtable_entry* entry;
};

struct ByKey {
    using is_transparent = void;
    static const qelt_variant* key_of(const IndexRef& r) { return r.entry->key; }
    static const qelt_variant* key_of(const qelt_variant* k) { return k; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        return qelt_variant_compare(key_of(a), key_of(b)) < 0;
    }
};

// The index takes its memory where the rest of the table does.
template <typename T>
struct PoolAllocator {
    using value_type = T;
    PoolAllocator() = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (void* p = qelt_block_alloc(n * sizeof(T), true)) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, size_t n) noexcept { qelt_block_free(p, n * sizeof(T)); }
    template <typename U>
    bool operator==(const PoolAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace qelt_chain

struct qelt_chain_index {
    std::set<qelt_chain::IndexRef, qelt_chain::ByKey, qelt_chain::PoolAllocator<qelt_chain::IndexRef>> refs;
    qelt_hashtable_entry* tail;  // the chain's last entry
};

// Frees the index of the chain whose head lies in `slot`, if it has one.
inline void qelt_hashtable_drop_index(qelt_hashtable_entry* slot) noexcept {
    if (slot->index == nullptr) return;
    slot->index->~qelt_chain_index();
    qelt_block_free(slot->index, sizeof(qelt_chain_index));
    slot->index = nullptr;
}

#endif  // QELT_CHAIN_INDEX_H
