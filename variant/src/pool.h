// The variant library's allocator: every record, body, table and payload of
// the library comes from here and goes back here.
//
// Records and blocks of up to 512 bytes come from 64 KiB slabs that each
// hold blocks of one size, handed out through small per-thread caches, so the
// common allocation takes no lock and no call into the C library. A slab
// whose blocks have all come back returns its memory to the system. Larger
// blocks come from the C library, or straight from the system from 64 KiB
// on, so that their memory too goes back as soon as they are freed.
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

extern "C" {

// A block of `size` bytes (at least 1), zero-filled when `zero` is set; null
// when the memory is exhausted. Aligned to 16 bytes.
void* qelt_block_alloc(size_t size, bool zero) noexcept;
// Gives back a block of qelt_block_alloc; `size` is the size it was asked
// for. Null is ignored.
void qelt_block_free(void* block, size_t size) noexcept;

// A zero-filled record, or null; qelt_variant_alloc fills in the rest.
qelt_variant* qelt_record_alloc(void) noexcept;
// Gives back a record; from here on its address is no live record.
void qelt_record_free(qelt_variant* record) noexcept;

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

}  // extern "C"

#endif  // QELT_POOL_H
