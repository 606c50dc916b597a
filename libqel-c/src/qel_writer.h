/* Writer handle and its internal steps. */
#ifndef QEL_SRC_QEL_WRITER_H
#define QEL_SRC_QEL_WRITER_H

#include <cstdint>
#include <cstdio>

#include "qel/qel.h"
#include "qel_state.h"

extern "C" {

struct qel_writer {
    uint32_t mode;          /* QEL_MODE_FILE or QEL_MODE_BUFFER */
    qel_state_stack states; /* the nesting, one record per level */
    qel_state* state;       /* the current record, in `states` */
    uint64_t capacity; /* buffer mode: bytes allocated */
    uint8_t* buffer;   /* buffer mode: the stream so far */
    uint64_t used;     /* buffer mode: stream bytes in the buffer */
    FILE* file;        /* file mode: the output */
    char* temporary;   /* replacing: the file written, moved over `target` on commit */
    char* target;
};

/* Bytes a buffer-mode writer starts with, and its least growth step. */
enum { QEL_WRITER_BUFFER_STEP = 4096 };

/* A zero-filled handle at the document level (STATE_START); the mode
 * is the caller's to set. *writer is written only on success. */
qel_err qel_writer_alloc(qel_writer** writer) noexcept;
/* A string of subtype 0 or 1 whose `units` bytes (at least 1) end in its only
 * zero byte, as every stored string variant does: written as the string
 * emitters write it, without measuring it again. */
qel_err qel_writer_write_string_whole(qel_writer* w, uint8_t subtype, const char* string, uint32_t units) noexcept;
/* Appends `bytes` bytes to the stream (file, or buffer grown as needed). */
qel_err qel_writer_output(qel_writer* w, const void* sequence, uint64_t bytes) noexcept;

bool qel_half_is_nan(uint16_t pattern) noexcept;
/* True for NaN and both infinities; asked after qel_half_is_nan. */
bool qel_half_is_nonfinite(uint16_t pattern) noexcept;
}

#endif /* QEL_SRC_QEL_WRITER_H */
