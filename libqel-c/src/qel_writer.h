/* The writer handle, for the library and the tree writer that writes stored
 * strings through it directly. */
#ifndef QEL_SRC_QEL_WRITER_H
#define QEL_SRC_QEL_WRITER_H

#include <cstdint>
#include <cstdio>

#include "qel/qel.h"
#include "qel_handle.h"

extern "C" {

struct qel_writer {
    uint32_t mode;          /* QEL_MODE_FILE or QEL_MODE_BUFFER */
    qel_state_stack states; /* the nesting, one record per level */
    qel_state* state;       /* the current record, in `states` */
    uint64_t capacity;      /* buffer mode: bytes allocated */
    uint8_t* buffer;        /* buffer mode: the stream so far */
    uint64_t used;          /* buffer mode: stream bytes in the buffer */
    FILE* file;             /* file mode: the output */
    char* temporary;        /* replacing: the file written, moved over `target` on commit */
    char* target;
};

/* A string of subtype 0 or 1 whose `units` bytes (at least 1) end in its only
 * zero byte, as every stored string variant does: written as the string
 * emitters write it, without measuring it again. */
qel_err qel_writer_write_string_whole(qel_writer* w, uint8_t subtype, const char* string,
                                      uint32_t units) noexcept;
}

#endif /* QEL_SRC_QEL_WRITER_H */
