/*
 * qel_wire: the facts of the QEL byte format, in one place for every reader
 * and writer of it (the format library and the Python codec).
 *
 * A stream is the 7-byte header (the magic "_QEL", version 1 as unsigned
 * 16-bit, one reserved byte) and one root list or map. Every element starts
 * with a type byte: the type code in bits 0-6 and the null flag in bit 7 (an
 * element with the flag has no payload). Multi-byte numbers are little-endian,
 * with no alignment or padding anywhere. Containers carry no length: a list is
 * 0x30, its values, 0x00; a map is 0x31, key/value pairs, 0x00; a table
 * (read only) is 0x32, string keys, 0x00, rows of values, 0x00. Map keys are
 * never containers. Nothing after the root's end marker belongs to the stream.
 *
 * Header only and free of state, so that it can be included from C and C++
 * alike without linking anything.
 */
#ifndef QEL_QEL_WIRE_H
#define QEL_QEL_WIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Header                                                                     */
/* ------------------------------------------------------------------------ */

/* The first four bytes of every stream (no terminator is stored). */
#define QEL_MAGIC "_QEL"
#define QEL_MAGIC_SIZE 4
#define QEL_VERSION 1
#define QEL_HEADER_SIZE 7
/* The header as written: magic, version 1 little-endian, reserved byte 0. */
#define QEL_HEADER_BYTES \
    { 0x5F, 0x51, 0x45, 0x4C, 0x01, 0x00, 0x00 }

/* ------------------------------------------------------------------------ */
/* Type bytes                                                                 */
/* ------------------------------------------------------------------------ */

/* Type codes: bits 0-6 of an element's type byte. The same numbers as the
 * variant type codes for every type both know. */
enum {
    QEL_TYPE_END = 0, /* end marker of the innermost open container */
    QEL_TYPE_FLOAT64 = 1,
    QEL_TYPE_FLOAT32 = 2,
    QEL_TYPE_FLOAT16 = 3, /* binary16 bit pattern */
    QEL_TYPE_STRING = 4,
    QEL_TYPE_INT64 = 5,
    QEL_TYPE_INT32 = 6,
    QEL_TYPE_INT16 = 7,
    QEL_TYPE_INT8 = 8,
    QEL_TYPE_UINT64 = 9,
    QEL_TYPE_UINT32 = 10,
    QEL_TYPE_UINT16 = 11,
    QEL_TYPE_UINT8 = 12,
    QEL_TYPE_BOOL = 13,
    QEL_TYPE_BIN = 14,
    QEL_TYPE_NONE = 15,
    QEL_TYPE_OPAQUE64 = 16, /* read only */
    QEL_TYPE_DATE = 17,     /* read only */
    QEL_TYPE_TIME = 18,     /* read only */
    QEL_TYPE_TIMESTAMP = 19,
    QEL_TYPE_LIST = 48,
    QEL_TYPE_MAP = 49,
    QEL_TYPE_TABLE = 50 /* read only */
};

#define QEL_NULL_FLAG 0x80u /* bit 7: the element has its type but no value */
#define QEL_TYPE_MASK 0x7Fu

/* String subtypes, with code units of 1, 1, 2 and 4 bytes. */
enum {
    QEL_SUB_STRING_C = 0,   /* zero-terminated bytes, no encoding stated */
    QEL_SUB_STRING_U8 = 1,  /* UTF-8 */
    QEL_SUB_STRING_U16 = 2, /* read only */
    QEL_SUB_STRING_U32 = 3  /* read only */
};

/* ------------------------------------------------------------------------ */
/* Payload layouts                                                            */
/* ------------------------------------------------------------------------ */

/* String: subtype (1 byte), units (u32, the terminating zero unit counted),
 * then units x unit size bytes. Binary: subtype (any 0-255), size (u32), then
 * size bytes. Both heads are 5 bytes after the type byte. */
#define QEL_STRING_HEAD_SIZE 5
#define QEL_BINARY_HEAD_SIZE 5
/* Timestamp: year (i16), month, day, hour, minute, second (1 byte each),
 * microsecond (u32). No field range is checked by any reader or writer. */
#define QEL_TIMESTAMP_SIZE 11

/* What follows the type byte of an element without the null flag. */
enum {
    QEL_PAYLOAD_INVALID = -1, /* the code is not part of the format */
    QEL_PAYLOAD_SIZED = -2    /* string or binary: a 5-byte head, then its length */
};

/* The payload size in bytes of `code` (0 for the end marker, none and the
 * container openings), or one of the two values above. */
static inline int qel_wire_payload_size(uint8_t code) {
    switch (code) {
    case QEL_TYPE_END:
    case QEL_TYPE_NONE:
    case QEL_TYPE_LIST:
    case QEL_TYPE_MAP:
    case QEL_TYPE_TABLE:
        return 0;
    case QEL_TYPE_INT8:
    case QEL_TYPE_UINT8:
    case QEL_TYPE_BOOL:
        return 1;
    case QEL_TYPE_FLOAT16:
    case QEL_TYPE_INT16:
    case QEL_TYPE_UINT16:
        return 2;
    case QEL_TYPE_TIME:
        return 3;
    case QEL_TYPE_FLOAT32:
    case QEL_TYPE_INT32:
    case QEL_TYPE_UINT32:
    case QEL_TYPE_DATE:
        return 4;
    case QEL_TYPE_FLOAT64:
    case QEL_TYPE_INT64:
    case QEL_TYPE_UINT64:
    case QEL_TYPE_OPAQUE64:
        return 8;
    case QEL_TYPE_TIMESTAMP:
        return QEL_TIMESTAMP_SIZE;
    case QEL_TYPE_STRING:
    case QEL_TYPE_BIN:
        return QEL_PAYLOAD_SIZED;
    default:
        return QEL_PAYLOAD_INVALID;
    }
}

/* Whether the null flag may stand on `code`: every value code but none, and
 * the three container openings (a null container opens nothing). The flag on
 * the end marker, on none or on an unknown code makes the stream invalid. */
static inline int qel_wire_null_flag_allowed(uint8_t code) {
    return (code >= QEL_TYPE_FLOAT64 && code <= QEL_TYPE_BIN) ||
           (code >= QEL_TYPE_OPAQUE64 && code <= QEL_TYPE_TIMESTAMP) ||
           (code >= QEL_TYPE_LIST && code <= QEL_TYPE_TABLE);
}

/* Little-endian loads and stores of unaligned fields. */
static inline uint16_t qel_wire_load_u16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

static inline uint32_t qel_wire_load_u32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline uint64_t qel_wire_load_u64(const uint8_t* p) {
    return (uint64_t)qel_wire_load_u32(p) | ((uint64_t)qel_wire_load_u32(p + 4) << 32);
}

static inline void qel_wire_store_u16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static inline void qel_wire_store_u32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

static inline void qel_wire_store_u64(uint8_t* p, uint64_t v) {
    qel_wire_store_u32(p, (uint32_t)v);
    qel_wire_store_u32(p + 4, (uint32_t)(v >> 32));
}

#ifdef __cplusplus
}
#endif

#endif /* QEL_QEL_WIRE_H */
