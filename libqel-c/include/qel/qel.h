/*
 * qel: reader and writer of QEL, a compact binary stream that holds exactly
 * one list or map tree of typed values, in a memory buffer or in a file.
 *
 * Every operation returns a qel_err: QEL_SUCCESS (0) or one of the codes
 * below. Each failed check also prints one diagnostic record on standard
 * output (see qel_log_error) before its code is returned; nothing aborts.
 *
 * Handles (qel_writer, qel_reader) own their buffers, files and nesting
 * state, and release them in their free call. A handle belongs to one thread
 * at a time; the library keeps no shared mutable state, so different handles
 * may be used on different threads at once.
 */
#ifndef QEL_QEL_H
#define QEL_QEL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* The format itself: header, type codes, null flag, payload layouts. */
#include "qel/qel_wire.h"

/* No function of the library throws; C++ callers see that in the type. */
#ifdef __cplusplus
#define QEL_NOEXCEPT noexcept
#else
#define QEL_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Codes and constants                                                        */
/* ------------------------------------------------------------------------ */

/* A format-library code, or (from qel_reader_parse) a callback's own code. */
typedef uint32_t qel_err;

enum {
    QEL_SUCCESS = 0,
    QEL_ERR_ALLOCATION = 5502,        /* a heap allocation failed */
    QEL_ERR_INVALID = 5503,           /* missing handle or parameter, invalid value or stream content,
                                         accessor used on an element of another type */
    QEL_ERR_NOT_ALLOWED = 5504,       /* element or container not allowed where the stream stands */
    QEL_ERR_CLOSE_NOT_ALLOWED = 5505, /* end marker not allowed where the stream stands */
    QEL_ERR_FILE = 5507,              /* file not opened, written or read; input ends too early */
    QEL_ERR_SIZE = 5508               /* string without terminator or of size 0; file name
                                         not terminated within its capacity */
};

/* Date and time; no field range is checked by writer or reader. */
typedef struct qel_timestamp {
    int16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint32_t microsecond;
} qel_timestamp;

/* ------------------------------------------------------------------------ */
/* Diagnostics and files                                                      */
/* ------------------------------------------------------------------------ */

/* Prints one record on standard output and flushes it: the calendar time
 * line, then " " and `format` expanded (only %s, taking a string, null prints
 * "(null)", and %d, taking an int32_t, are understood; "%x" prints "x"), then
 * " [path][line: N] " and a line feed. Each record goes out whole, in one
 * write with stdout locked, so records of concurrent calls never mix. */
void qel_log_error(const char* path, uint32_t line, const char* format, ...) QEL_NOEXCEPT;

/* Opens `filename` in binary mode, "wb" (create or truncate) when `write` is
 * non-zero, else "rb". `n_fn` is the number of bytes of `filename` that may be
 * examined, terminator included; a name not terminated within them gives
 * QEL_ERR_SIZE. On success *filehandle is an open stream owned by the caller;
 * on failure it is unchanged (null arguments, name size) or null (open). */
qel_err qel_file_open(FILE** filehandle, const char* filename, size_t n_fn, uint8_t write) QEL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Writer                                                                     */
/* ------------------------------------------------------------------------ */
/* Calling order: create, open the root list or map, emitters and nested
 * containers in document order, close the root, take the buffer (buffer
 * mode), free. Every emitter and container call checks the nesting state
 * before writing anything: a refused element (5503, 5504, 5505, 5508) changes
 * nothing and writing may go on. After an output failure (5502, 5507) the
 * stream holds a partial element and the handle should only be freed. A null
 * handle gives QEL_ERR_INVALID everywhere. */

typedef struct qel_writer qel_writer;

/* A writer to a growing memory buffer that already holds the 7-byte header.
 * *writer (required) receives the handle only on success; the caller owns it
 * and releases it with qel_writer_free. */
qel_err qel_writer_new_buffer(qel_writer** writer) QEL_NOEXCEPT;
/* A writer to a file, created or truncated, that already holds the header.
 * Failures of qel_file_open are returned unchanged. If the header cannot be
 * written the code is returned but *writer already holds the handle, which
 * the caller frees (closing the file); on every other failure *writer is
 * unchanged and no file stays open. */
qel_err qel_writer_new_file(qel_writer** writer, const char* filename, size_t n_fn) QEL_NOEXCEPT;
/* As qel_writer_new_file, but the file is replaced only by qel_writer_commit:
 * a regular file, or one not there yet, stays as it was until then, and
 * qel_writer_free leaves it so. The stream goes to a temporary file in the
 * same folder, which commit renames over the target and free removes. A new
 * file gets the mode fopen would give it; an existing one keeps its mode,
 * owner and group. Any other target (a symbolic link such as /dev/stdout, a
 * file with several hard links, a FIFO, a device), or one beside which no
 * temporary file may be made, is written in place as by qel_writer_new_file.
 * A full disk fails at once with QEL_ERR_FILE. */
qel_err qel_writer_new_file_replacing(qel_writer** writer, const char* filename, size_t n_fn) QEL_NOEXCEPT;

/* The twelve scalar types as one list, for code that treats them all alike:
 * one row per type, X(name, C type, TYPE, member), for
 * qel_writer_write_<name> and qel_element_get_<name>, the type code
 * QEL_TYPE_<TYPE> and the qel_element field that holds the decoded value. */
#define QEL_SCALAR_TYPES(X)            \
    X(float64, double, FLOAT64, u64)   \
    X(float32, float, FLOAT32, u32)    \
    X(float16, uint16_t, FLOAT16, u16) \
    X(int64, int64_t, INT64, u64)      \
    X(int32, int32_t, INT32, u32)      \
    X(int16, int16_t, INT16, u16)      \
    X(int8, int8_t, INT8, u8)          \
    X(uint64, uint64_t, UINT64, u64)   \
    X(uint32, uint32_t, UINT32, u32)   \
    X(uint16, uint16_t, UINT16, u16)   \
    X(uint8, uint8_t, UINT8, u8)       \
    X(bool, uint8_t, BOOL, u8)

/* Scalar emitters: one element of the named type, allowed in a list, as a map
 * key or value. */
qel_err qel_writer_write_float64(qel_writer* w, double value) QEL_NOEXCEPT;
qel_err qel_writer_write_float32(qel_writer* w, float value) QEL_NOEXCEPT;
/* A binary16 bit pattern; NaN and infinity patterns give QEL_ERR_INVALID. */
qel_err qel_writer_write_float16(qel_writer* w, uint16_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_int64(qel_writer* w, int64_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_int32(qel_writer* w, int32_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_int16(qel_writer* w, int16_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_int8(qel_writer* w, int8_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_uint64(qel_writer* w, uint64_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_uint32(qel_writer* w, uint32_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_uint16(qel_writer* w, uint16_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_uint8(qel_writer* w, uint8_t value) QEL_NOEXCEPT;
/* The byte is written as passed (0 false, 1 true, anything else kept). */
qel_err qel_writer_write_bool(qel_writer* w, uint8_t value) QEL_NOEXCEPT;
qel_err qel_writer_write_none(qel_writer* w) QEL_NOEXCEPT;
/* `data` (borrowed) holds `size` bytes; it may be null only when size is 0. */
qel_err qel_writer_write_binary(qel_writer* w, uint8_t subtype, const void* data, uint32_t size) QEL_NOEXCEPT;
/* `timestamp` is borrowed and required. */
qel_err qel_writer_write_timestamp(qel_writer* w, const qel_timestamp* timestamp) QEL_NOEXCEPT;
/* Strings: `string` (borrowed) holds `units_in` bytes and must contain a zero
 * byte within them (else QEL_ERR_SIZE, tested before the nesting state). The
 * bytes up to and including the first zero are written. */
qel_err qel_writer_write_string_c(qel_writer* w, const char* string, uint32_t units_in) QEL_NOEXCEPT;
qel_err qel_writer_write_string_u8(qel_writer* w, const char* string, uint32_t units_in) QEL_NOEXCEPT;

/* Containers: open at document level (the root), in a list or as a map
 * value; close only the innermost open container of the same kind, and a map
 * only where its next key would stand. */
qel_err qel_writer_list_open(qel_writer* w) QEL_NOEXCEPT;
qel_err qel_writer_list_close(qel_writer* w) QEL_NOEXCEPT;
qel_err qel_writer_map_open(qel_writer* w) QEL_NOEXCEPT;
qel_err qel_writer_map_close(qel_writer* w) QEL_NOEXCEPT;

/* The stream so far, borrowed from the writer: valid until the next call
 * that writes or until qel_writer_free. Nothing is copied and the document
 * need not be complete. A file-mode writer gives null and 0. Both
 * out-parameters are optional. */
qel_err qel_writer_get_buffer(qel_writer* w, const uint8_t** buffer, uint64_t* size) QEL_NOEXCEPT;
/* Hands the stream over instead of lending it: *buffer (owned by the caller,
 * released with free(); null for a file-mode writer) and *size, both
 * required. The writer keeps no buffer afterwards and should only be freed. */
qel_err qel_writer_take_buffer(qel_writer* w, uint8_t** buffer, uint64_t* size) QEL_NOEXCEPT;
/* Releases the handle, its state, and its buffer or file (closing it). Writes
 * nothing: an unfinished document stays unfinished. QEL_ERR_FILE when bytes
 * still buffered for the file could not be written; the handle is released
 * all the same. */
qel_err qel_writer_free(qel_writer* w) QEL_NOEXCEPT;
/* Releases the handle as qel_writer_free does and then, for a writer from
 * qel_writer_new_file_replacing, moves its file over the target. On
 * QEL_ERR_FILE (bytes not written, or the move failed) the temporary file is
 * removed and the target is as it was. */
qel_err qel_writer_commit(qel_writer* w) QEL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Elements                                                                   */
/* ------------------------------------------------------------------------ */

typedef struct qel_string_value {
    uint8_t type; /* QEL_SUB_STRING_* */
    union {       /* one pointer, seen by subtype */
        char* c_string;
        char* u8_string;
        uint16_t* u16_string;
        uint32_t* u32_string;
    };
    uint32_t units; /* code units, the terminator included */
} qel_string_value;

typedef struct qel_binary_value {
    uint8_t type; /* any subtype, passed through */
    uint8_t* data;
    uint32_t size;
} qel_binary_value;

/* One decoded element. `type_with_null_flag` is the type byte as read. The
 * union member is chosen by the type code; elements with the null flag, end
 * markers and container openings hold zeros. A string or binary element owns
 * its data, a separate block of exactly the payload's size (never null for a
 * decoded payload, even an empty one). */
typedef struct qel_element {
    uint8_t type_with_null_flag;
    union {
        uint8_t u8;   /* int8, uint8, bool */
        uint16_t u16; /* int16, uint16, float16 pattern */
        uint32_t u32; /* int32, uint32, float32 bits */
        uint64_t u64; /* int64, uint64, float64 bits, opaque64 */
        qel_string_value string;
        qel_binary_value binary;
        qel_timestamp timestamp; /* timestamp; date uses year..day, time hour..second */
    };
} qel_element;

/* Frees the element and the data it owns. A null element is ignored. */
qel_err qel_element_free(qel_element* e) QEL_NOEXCEPT;

/* Typed accessors: the whole type byte must equal the type (so an element
 * with the null flag is a mismatch, QEL_ERR_INVALID). `value` is required. */
qel_err qel_element_get_int8(const qel_element* e, int8_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_int16(const qel_element* e, int16_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_int32(const qel_element* e, int32_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_int64(const qel_element* e, int64_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_uint8(const qel_element* e, uint8_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_uint16(const qel_element* e, uint16_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_uint32(const qel_element* e, uint32_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_uint64(const qel_element* e, uint64_t* value) QEL_NOEXCEPT;
/* The binary16 bit pattern. */
qel_err qel_element_get_float16(const qel_element* e, uint16_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_float32(const qel_element* e, float* value) QEL_NOEXCEPT;
qel_err qel_element_get_float64(const qel_element* e, double* value) QEL_NOEXCEPT;
/* The byte as stored. */
qel_err qel_element_get_bool(const qel_element* e, uint8_t* value) QEL_NOEXCEPT;
qel_err qel_element_get_timestamp(const qel_element* e, qel_timestamp* value) QEL_NOEXCEPT;
/* The subtype of a string element without the null flag. */
qel_err qel_element_get_string_type(const qel_element* e, uint8_t* value) QEL_NOEXCEPT;
/* A string of subtype 0 (c) or 1 (u8): *str borrows the element's units and
 * *units counts them, terminator included; both required. A null-flagged
 * string succeeds with null and 0. */
qel_err qel_element_get_string_c(const qel_element* e, const char** str, uint32_t* units) QEL_NOEXCEPT;
qel_err qel_element_get_string_u8(const qel_element* e, const char** str, uint32_t* units) QEL_NOEXCEPT;
/* A binary element: *data borrows the element's bytes. All out-parameters
 * are optional. A null-flagged binary succeeds with 0, null and 0. */
qel_err qel_element_get_binary(const qel_element* e, uint8_t* subtype, const uint8_t** data,
                               uint32_t* size) QEL_NOEXCEPT;
/* Any element: the type code (required) and the null flag, 0 or 1 (optional). */
qel_err qel_element_get_type(const qel_element* e, uint8_t* value, uint8_t* null_flag) QEL_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Reader                                                                     */
/* ------------------------------------------------------------------------ */
/* Buffer: qel_reader_new_buffer, qel_reader_set_buffer, qel_reader_set_callback,
 * qel_reader_parse, qel_reader_free. File: qel_reader_new_file,
 * qel_reader_set_callback, qel_reader_parse, qel_reader_free. The reader
 * decodes what it can and follows the nesting only to find the end of the
 * document; it does not enforce the writer's rules. Input that ends too early
 * gives QEL_ERR_FILE from a buffer and from a file alike. After any failure
 * the handle should only be freed. */

typedef struct qel_reader qel_reader;

/* Called by qel_reader_parse for each element in stream order. The element,
 * and the string or binary data it points to, are borrowed until the callback
 * returns. Return 0 to go on; any other value
 * ends the parse and is returned by it unchanged. */
typedef uint32_t (*qel_reader_callback)(const qel_element* element, void* user_data);

/* A reader without input yet; *reader (required) receives the handle only on
 * success. Follow with qel_reader_set_buffer. */
qel_err qel_reader_new_buffer(qel_reader** reader) QEL_NOEXCEPT;
/* Copies `size` bytes of `buffer` (borrowed only during the call; required
 * even when size is 0) into a buffer-mode reader and rewinds it to a new
 * document; a previous copy is released. */
qel_err qel_reader_set_buffer(qel_reader* r, const uint8_t* buffer, uint64_t size) QEL_NOEXCEPT;
/* As qel_reader_set_buffer, but the reader reads `buffer` where it lies
 * instead of copying it: the bytes must stay alive and unchanged until the
 * reader is freed or given new input. Strings of 1-byte units and binaries
 * handed to the callback of qel_reader_parse then point into `buffer`. */
qel_err qel_reader_set_buffer_borrowed(qel_reader* r, const uint8_t* buffer, uint64_t size) QEL_NOEXCEPT;
/* Opens the file for reading ("rb"); failures of qel_file_open are returned
 * unchanged. The header is read by qel_reader_parse. */
qel_err qel_reader_new_file(qel_reader** reader, const char* filename, size_t n_fn) QEL_NOEXCEPT;
/* Stores the callback and its user data (null callback: user data null). */
qel_err qel_reader_set_callback(qel_reader* r, qel_reader_callback callback, void* user_data) QEL_NOEXCEPT;
/* Checks the header, then hands every element to the callback (if any) until
 * the root container's end marker has been handed over. Returns 0 at the end
 * of the document, else the first failure or non-zero callback result. */
qel_err qel_reader_parse(qel_reader* r) QEL_NOEXCEPT;
/* Decodes the next element, once the header has been read (by
 * qel_reader_parse). On success either *eod is 1 and *v null (the document
 * has ended) or *eod is 0 and *v a new element owned by the caller, released
 * with qel_element_free. On failure *v is null. */
qel_err qel_reader_next_value(qel_reader* r, qel_element** v, uint8_t* eod) QEL_NOEXCEPT;
/* Releases the handle, its state, and its copy or file (closing it). */
qel_err qel_reader_free(qel_reader* r) QEL_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QEL_QEL_H */
