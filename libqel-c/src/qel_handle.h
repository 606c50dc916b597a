/* What the writer and reader handles share: their two modes, and the one way
 * both are made and released around their nesting state and file. */
#ifndef QEL_SRC_QEL_HANDLE_H
#define QEL_SRC_QEL_HANDLE_H

#include <cstdio>

#include "qel_heap.h"
#include "qel_state.h"

/* Where a handle's stream lies. */
enum { QEL_MODE_FILE = 256, QEL_MODE_BUFFER = 257 };

/* A zero-filled handle at the document level (STATE_START), or null when
 * the heap is exhausted; the mode is the caller's to set. */
template <typename Handle>
Handle* qel_handle_new() noexcept {
    auto* handle = static_cast<Handle*>(qel_calloc(1, sizeof(Handle)));
    if (handle == nullptr) return nullptr;
    if (!qel_state_stack_init(&handle->states)) {
        qel_free(handle);
        return nullptr;
    }
    handle->state = qel_state_stack_reset(&handle->states);
    return handle;
}

/* Releases the nesting, closes the file (if any) and frees the handle; what
 * only one kind of handle owns is the caller's to release first. Non-zero
 * when the file was in error or failed to close: bytes buffered for it were
 * lost. */
template <typename Handle>
int qel_handle_release(Handle* handle) noexcept {
    qel_state_stack_release(&handle->states);
    int failed = 0;
    if (handle->file != nullptr) {
        failed = std::ferror(handle->file);
        failed |= std::fclose(handle->file);
    }
    qel_free(handle);
    return failed;
}

#endif /* QEL_SRC_QEL_HANDLE_H */
