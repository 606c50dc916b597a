/*
 * Bridge between variant trees and QEL streams.
 *
 * The root must be a LIST or a MAP. Writing borrows the tree (no reference
 * taken or released; it rewinds and runs the built-in iterator of every map
 * it writes). Reading returns a new tree whose root reference belongs to the
 * caller; on failure nothing of a partial tree survives.
 *
 * Results are qelt_err codes or, passed on unchanged, format-library codes
 * (5502 to 5508), each of the latter after its diagnostic record on stdout.
 */
#ifndef QELT_QELT_BRIDGE_H
#define QELT_QELT_BRIDGE_H

#include <stdint.h>

#include "qelt/qelt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* On success *buffer is a heap block of exactly *size bytes (the writer's own
 * buffer, cut to the stream's length) owned by the caller, to be released
 * with qelt_free_buffer. On failure *buffer is null and *size 0. */
qelt_err qelt_write_to_buffer(qelt_variant* root, uint8_t** buffer, uint32_t* size) QELT_NOEXCEPT;
/* Creates or replaces the file. `n_fn` is the name's capacity in bytes,
 * terminator included. A regular file is replaced only by a complete stream:
 * on any failure (a refused root or tree, a failed write) it keeps its old
 * contents and no temporary file is left (qel_writer_new_file_replacing). A
 * FIFO or device is written in place. */
qelt_err qelt_write_to_file(qelt_variant* root, const char* filename, uint32_t n_fn) QELT_NOEXCEPT;
/* Releases a buffer from qelt_write_to_buffer. */
qelt_err qelt_free_buffer(uint8_t* buffer) QELT_NOEXCEPT;

/* The bytes are read where they lie, not copied: they must stay unchanged
 * during the call, and are not referred to after it. *out is written only
 * when the document was read to its end. */
qelt_err qelt_read_from_buffer(qelt_variant** out, const uint8_t* buffer, uint32_t size) QELT_NOEXCEPT;
qelt_err qelt_read_from_file(qelt_variant** out, const char* filename, uint32_t n_fn) QELT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QELT_QELT_BRIDGE_H */
