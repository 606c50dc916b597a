/* The format library's heap wrappers: every block it owns comes from
 * qel_calloc and goes back through qel_free. */
#ifndef QEL_SRC_QEL_HEAP_H
#define QEL_SRC_QEL_HEAP_H

#include <cstddef>
#include <cstdlib>

/* Zero-filled; never asks the runtime for an empty block, so a null result
 * always means the heap is exhausted. */
inline void* qel_calloc(size_t count, size_t size) noexcept {
    return std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
}

/* Ignores a null pointer. */
inline void qel_free(void* block) noexcept { std::free(block); }

#endif /* QEL_SRC_QEL_HEAP_H */
