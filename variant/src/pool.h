// The variant library's allocator: every record, body, table and payload of
// the library comes from here and goes back here.
//
// Records and blocks of up to 2 KiB come from 64 KiB slabs that each
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

// The same for the arrays of containers (list slots, bucket arrays): always
// zero-filled, and from 64 KiB on mapped from the system one by one, so that
// the memory of a large container goes back the moment it is freed. Payloads
// over 2 KiB come from the C library instead, whose reuse of freed memory
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
    bool pooled;         // slabs in use (false: everything from the C library)
    size_t records;      // live records
    size_t block_bytes;  // bytes of the slab blocks in use, records included
    size_t large_bytes;  // bytes of the blocks over 2 KiB, in use
    size_t slabs;        // slabs holding memory (in use, or kept empty for reuse)
    size_t reserve;      // empty slabs the pool may keep for reuse
} qelt_pool_stats;

// Flushes the calling thread's caches first, so that its own frees show.
void qelt_pool_get_stats(qelt_pool_stats* stats) noexcept;
// Gives the calling thread's cached blocks back to their slabs.
void qelt_pool_flush_thread_cache(void) noexcept;

// Tests: the n-th allocation from now (records and blocks alike) fails; 0
// turns the failure off. Returns how many allocations the failure armed
// before still had to wait for: 0 when it came (or none was armed).
int qelt_pool_fail_in(int n) noexcept;

// The out-of-line halves of the inline functions below.
qelt_variant* qelt_record_alloc_slow(void) noexcept;
void qelt_record_free_slow(qelt_variant* record) noexcept;
void* qelt_block_alloc_slow(size_t size, bool zero) noexcept;
void qelt_block_free_slow(void* block, size_t size) noexcept;

}  // extern "C"

// ---------------------------------------------------------------------------
// The fast paths: inline, because a read makes and a teardown frees a record
// (and often a payload) for every element.
// ---------------------------------------------------------------------------

namespace qelt_pool {

// Class 0 holds records; the others hold blocks of their size. A request goes
// to the smallest class that fits.
constexpr uint32_t kClassSizes[] = {
    sizeof(qelt_variant), 16, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048};
constexpr int kClassCount = sizeof kClassSizes / sizeof kClassSizes[0];
constexpr int kRecordClass = 0;
constexpr size_t kLargestSlabBlock = 2048;
static_assert(sizeof(qelt_variant) == 24);

constexpr int class_index(size_t size) {
    for (int c = 1; c < kClassCount; ++c) {
        if (size <= kClassSizes[c]) return c;
    }
    return -1;
}

// The class of a block of 1 to 2048 bytes, by (size + 15) / 16.
struct ClassTable {
    int8_t by_sixteenths[kLargestSlabBlock / 16 + 1];
    constexpr ClassTable() : by_sixteenths{} {
        for (size_t i = 0; i <= kLargestSlabBlock / 16; ++i) {
            by_sixteenths[i] = static_cast<int8_t>(class_index(i == 0 ? 1 : i * 16));
        }
    }
};
inline constexpr ClassTable kClassTable;

inline int class_of(size_t size) { return kClassTable.by_sixteenths[(size + 15) / 16]; }

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

// A block of class `cls` from the calling thread's cache, or null when the
// cache is empty or the fast path is off.
inline void* take(int cls, uint32_t size);
// Puts a block on the calling thread's cache; false when the fast path is
// off or the cache is full.
inline bool give(void* block, int cls);

}  // namespace qelt_pool

// The calling thread's caches; null until its first slow-path call.
extern __thread qelt_pool::Thread* qelt_pool_thread;
// 1 while the pool is on and no failure is armed: the fast paths may run.
extern uint8_t qelt_pool_fast;

inline void* qelt_pool::take(int cls, uint32_t size) {
    Thread* self = qelt_pool_thread;
    if (__atomic_load_n(&qelt_pool_fast, __ATOMIC_RELAXED) == 0 || self == nullptr) return nullptr;
    Cache& c = self->cache[cls];
    void* block = c.head;
    if (block != nullptr) {
        c.head = link_of(block);
        --c.count;
    } else if (c.run != c.run_end) {
        block = c.run;
        c.run += size;
    }
    return block;
}

inline bool qelt_pool::give(void* block, int cls) {
    Thread* self = qelt_pool_thread;
    if (__atomic_load_n(&qelt_pool_fast, __ATOMIC_RELAXED) == 0 || self == nullptr) return false;
    Cache& c = self->cache[cls];
    if (c.count >= c.limit) return false;
    link_of(block) = c.head;
    c.head = block;
    ++c.count;
    return true;
}

// A zero-filled record, or null; qelt_variant_alloc fills in the rest.
inline qelt_variant* qelt_record_alloc(void) noexcept {
    if (void* block = qelt_pool::take(qelt_pool::kRecordClass, sizeof(qelt_variant))) {
        std::memset(block, 0, sizeof(qelt_variant));
        return static_cast<qelt_variant*>(block);
    }
    return qelt_record_alloc_slow();
}

// Gives back a record; from here on its address is no live record.
inline void qelt_record_free(qelt_variant* record) noexcept {
    qelt_pool::Thread* self = qelt_pool_thread;
    if (__atomic_load_n(&qelt_pool_fast, __ATOMIC_RELAXED) != 0 && self != nullptr && record != nullptr) {
        qelt_pool::Cache& c = self->cache[qelt_pool::kRecordClass];
        if (c.count < c.limit) {
            // Dead before it is cached: the handle check reads this byte.
            __atomic_store_n(&record->type, uint8_t{0}, __ATOMIC_RELAXED);
            qelt_pool::link_of(record) = c.head;
            c.head = record;
            ++c.count;
            return;
        }
    }
    qelt_record_free_slow(record);
}

// A block of `size` bytes (at least 1), zero-filled when `zero` is set; null
// when the memory is exhausted. Aligned to 16 bytes.
inline void* qelt_block_alloc(size_t size, bool zero) noexcept {
    if (size - 1 < qelt_pool::kLargestSlabBlock) {
        const int cls = qelt_pool::class_of(size);
        if (void* block = qelt_pool::take(cls, qelt_pool::kClassSizes[cls])) {
            if (zero) std::memset(block, 0, size);
            return block;
        }
    }
    return qelt_block_alloc_slow(size, zero);
}

// Gives back a block of qelt_block_alloc; `size` is the size it was asked
// for. Null is ignored.
inline void qelt_block_free(void* block, size_t size) noexcept {
    if (block != nullptr && size - 1 < qelt_pool::kLargestSlabBlock &&
        qelt_pool::give(block, qelt_pool::class_of(size))) {
        return;
    }
    qelt_block_free_slow(block, size);
}

#endif  // QELT_POOL_H
