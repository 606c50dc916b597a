// The variant library's allocator: every record, body, table and payload of
// the library comes from here and goes back here.
//
// Records and blocks of up to 512 bytes come from 64 KiB slabs that each
// hold blocks of one size, handed out through small per-thread caches, so
// the common allocation takes no lock and no call into the C library. A slab
// whose blocks have all come back returns its memory to the system. Larger
// blocks come from the C library, and large container arrays straight from
// the system.
//
// Because record slabs hold nothing but records, an address can be told to
// be a live record without reading anything that is not the library's own
// (qelt_variant_from_address).
//
// Builds with AddressSanitizer, and runs under valgrind, use the C library
// for everything instead, so that those tools see each record as a block of
// its own: every leak and every use after free.
#ifndef QELT_POOL_H
#define QELT_POOL_H

#include "qelt/qelt.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {

// A block of `size` bytes (at least 1), zero-filled when `zero` is set; null
// when the memory is exhausted. Aligned to 16 bytes.
void* qelt_block_alloc(size_t size, bool zero) noexcept;
// Gives back a block of qelt_block_alloc; `size` is the size it was asked
// for. Null is ignored.
void qelt_block_free(void* block, size_t size) noexcept;

// The same for the arrays of containers (list slots, bucket arrays): always
// zero-filled, and from 64 KiB on mapped from the system one by one, so that
// the memory of a large container goes back the moment it is freed. Payloads
// over 512 bytes come from the C library instead, whose reuse of freed memory
// spares a large copy the page faults of fresh memory.
void* qelt_array_alloc(size_t size) noexcept;
void qelt_array_free(void* array, size_t size) noexcept;
// An array of `new_size` bytes holding the first bytes of `array` (of
// `old_size` bytes), the rest zero; the old array is gone. Null, with the old
// array untouched, when memory is exhausted. Mapped arrays are remapped, so
// growing a large list copies nothing.
void* qelt_array_resize(void* array, size_t old_size, size_t new_size) noexcept;

// What the allocator holds, for leak checks and memory figures. Blocks in
// other threads' caches count as in use.
typedef struct qelt_pool_stats {
    bool pooled;             // slabs in use (false: everything from the C library)
    size_t records;          // live records
    size_t block_bytes;      // bytes of the slab blocks in use, records included
    size_t large_bytes;      // bytes of the blocks over 512 bytes, in use
    size_t slabs;            // slabs holding memory (in use, or kept empty for reuse)
} qelt_pool_stats;

// Flushes the calling thread's caches first, so that its own frees show.
void qelt_pool_get_stats(qelt_pool_stats* stats) noexcept;
// Gives the calling thread's cached blocks back to their slabs.
void qelt_pool_flush_thread_cache(void) noexcept;

// Tests: the n-th allocation from now (records and blocks alike) fails; 0
// turns the failure off.
void qelt_pool_fail_in(int n) noexcept;

// The out-of-line halves of qelt_record_alloc and qelt_record_free.
qelt_variant* qelt_record_alloc_slow(void) noexcept;
void qelt_record_free_slow(qelt_variant* record) noexcept;

}  // extern "C"

// ---------------------------------------------------------------------------
// The record fast path: inline, because a read makes and a teardown frees a
// record for every element.
// ---------------------------------------------------------------------------

namespace qelt_pool {

constexpr int kClassCount = 11;

// A thread's blocks of one class: a list of freed blocks (linked at offset 8,
// clear of a record's type byte) and a run of never-used ones.
struct Cache {
    void* head;
    uint32_t count;  // blocks on the list
    uint32_t limit;  // more than this go back to their slabs
    char* run;
    char* run_end;
};

struct Thread {
    Cache cache[kClassCount];
};

inline void*& link_of(void* block) { return *reinterpret_cast<void**>(static_cast<char*>(block) + 8); }

}  // namespace qelt_pool

// The calling thread's caches; null until its first slow-path call.
extern __thread qelt_pool::Thread* qelt_pool_thread;
// 1 while the pool is on and no failure is armed: the fast paths may run.
extern uint8_t qelt_pool_fast;

// A zero-filled record, or null; qelt_variant_alloc fills in the rest.
inline qelt_variant* qelt_record_alloc(void) noexcept {
    qelt_pool::Thread* self = qelt_pool_thread;
    if (__atomic_load_n(&qelt_pool_fast, __ATOMIC_RELAXED) != 0 && self != nullptr) {
        qelt_pool::Cache& c = self->cache[0];
        void* block = c.head;
        if (block != nullptr) {
            c.head = qelt_pool::link_of(block);
            --c.count;
        } else if (c.run != c.run_end) {
            block = c.run;
            c.run += sizeof(qelt_variant);
        }
        if (block != nullptr) {
            std::memset(block, 0, sizeof(qelt_variant));
            return static_cast<qelt_variant*>(block);
        }
    }
    return qelt_record_alloc_slow();
}

// Gives back a record; from here on its address is no live record.
inline void qelt_record_free(qelt_variant* record) noexcept {
    qelt_pool::Thread* self = qelt_pool_thread;
    if (__atomic_load_n(&qelt_pool_fast, __ATOMIC_RELAXED) != 0 && self != nullptr && record != nullptr) {
        qelt_pool::Cache& c = self->cache[0];
        if (c.count < c.limit) {
            __atomic_store_n(&record->type, uint8_t{0}, __ATOMIC_RELAXED);
            qelt_pool::link_of(record) = c.head;
            c.head = record;
            ++c.count;
            return;
        }
    }
    qelt_record_free_slow(record);
}

#endif  // QELT_POOL_H
