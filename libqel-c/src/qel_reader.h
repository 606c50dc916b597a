/* The reader handle. */
#ifndef QEL_SRC_QEL_READER_H
#define QEL_SRC_QEL_READER_H

#include <cstdint>
#include <cstdio>

#include "qel/qel.h"
#include "qel_handle.h"

extern "C" {

typedef struct qel_header {
    uint8_t magic[4];
    uint16_t version;
    uint8_t reserved;
} qel_header;

struct qel_reader {
    uint32_t mode;                /* QEL_MODE_FILE or QEL_MODE_BUFFER */
    qel_state_stack states;       /* the nesting, one record per level */
    qel_state* state;             /* the current record, in `states` */
    qel_header header;            /* as read by qel_reader_parse */
    uint64_t size;                /* buffer mode: bytes of input */
    const uint8_t* buffer;        /* buffer mode: the input */
    bool owns_buffer;             /* the input is the reader's own copy */
    uint64_t position;            /* buffer mode: offset of the next byte */
    FILE* file;                   /* file mode: the input */
    qel_reader_callback callback; /* may be null */
    void* user_data;
    /* File mode: whether the file's size was known at opening (a regular
     * file), and then how many of its bytes have not been read yet. */
    bool file_size_known;
    uint64_t file_remaining;
};
}

#endif /* QEL_SRC_QEL_READER_H */
