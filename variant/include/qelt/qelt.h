/*
 * qelt: reference-counted typed values (variants), lists and maps.
 *
 * Every operation returns a qelt_err (0 is success) and gives its results
 * through out-parameters. Required pointer arguments are tested first and a
 * null one gives QELT_ERR_NULL_PTR with nothing changed; out-parameters marked
 * optional may be null.
 *
 * Ownership: a constructor's new variant carries one reference, owned by the
 * caller. Storing a variant into a list or map adds a reference (the caller
 * keeps its own); list get-item, map get and map next lend (no reference is
 * added, the pointer stays valid while the container holds the entry).
 *
 * Thread-safety: none. Reference counts, cached hashes and the map iterator are
 * plain fields; a tree must not be used from two threads at once.
 */
#ifndef QELT_QELT_H
#define QELT_QELT_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* Marks the functions that cannot throw; C++ callers see it in the type. */
#ifdef __cplusplus
#define QELT_NOEXCEPT noexcept
#else
#define QELT_NOEXCEPT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Codes                                                                      */
/* ------------------------------------------------------------------------ */

typedef int32_t qelt_err;

enum {
    QELT_SUCCESS = 0,
    QELT_ERR_NYI = 1,          /* type or element the bridge does not handle */
    QELT_ERR_INVALID_TYPE = 2, /* variant of another type (or string subtype) */
    QELT_ERR_NULL_PTR = 3,     /* a required pointer is null */
    QELT_ERR_REFCNT_EXCD = 4,  /* refcount would pass 65535 */
    QELT_ERR_UNKNOWN = 5,
    QELT_ERR_OUT_OF_MEMORY = 6,
    QELT_ERR_INDEX_OUT_OF_RANGE = 7,
    QELT_ERR_CIRCULAR_REFERENCE = 8, /* a container stored into itself */
    QELT_ERR_KEY_NOT_EXISTS = 9,
    QELT_ERR_WRONG_STRING_SIZE = 10,    /* no NUL within capacity, zero capacity, empty binary */
    QELT_ERR_ILLEGAL_FILE_CONTENT = 11, /* a stream that is not a list or map tree */
    QELT_ERR_UNDEFINED = 12             /* published, never returned */
};

/* Variant type codes; the same numbers as the QEL type bytes. */
enum {
    QELT_VARIANT_TYPE_FLOAT64 = 1,
    QELT_VARIANT_TYPE_FLOAT32 = 2,
    QELT_VARIANT_TYPE_FLOAT16 = 3,
    QELT_VARIANT_TYPE_STRING = 4,
    QELT_VARIANT_TYPE_INT64 = 5,
    QELT_VARIANT_TYPE_INT32 = 6,
    QELT_VARIANT_TYPE_INT16 = 7,
    QELT_VARIANT_TYPE_INT8 = 8,
    QELT_VARIANT_TYPE_UINT64 = 9,
    QELT_VARIANT_TYPE_UINT32 = 10,
    QELT_VARIANT_TYPE_UINT16 = 11,
    QELT_VARIANT_TYPE_UINT8 = 12,
    QELT_VARIANT_TYPE_BOOL = 13,
    QELT_VARIANT_TYPE_BINARY = 14,
    QELT_VARIANT_TYPE_NONE = 15,
    QELT_VARIANT_TYPE_TIMESTAMP = 19,
    QELT_VARIANT_TYPE_LIST = 48,
    QELT_VARIANT_TYPE_MAP = 49
};

enum { QELT_STRING_TYPE_C = 0, QELT_STRING_TYPE_UTF8 = 1 };
enum { QELT_BINARY_TYPE_GENERIC = 0, QELT_BINARY_TYPE_QEL = 1 };
enum { QELT_FALSE = 0, QELT_TRUE = 1 };

/* The "not found" index of the list searches. */
extern const int32_t QELT_LIST_INDEX_UNKNOWN; /* -1 */
/* The value of `hash` in a record whose hash is not computed yet. */
extern const uint32_t QELT_HASH_NOT_COMPUTED; /* 0xFFFFFFFF */

/* ------------------------------------------------------------------------ */
/* The record                                                                 */
/* ------------------------------------------------------------------------ */

/* Date and time, no time zone. The ranges in the comments are conventions
 * only: any field value is stored and returned unchanged. Laid out as the
 * 12-byte payload that equality and hashing read: the byte after `second`
 * is padding and always zero in a stored timestamp. */
typedef struct qelt_timestamp {
    int16_t year;         /* full year, e.g. 2018 */
    uint8_t month;        /* 1-12 */
    uint8_t day;          /* 1-31 */
    uint8_t hour;         /* 0-23 */
    uint8_t minute;       /* 0-59 */
    uint8_t second;       /* 0-59 */
    uint32_t microsecond; /* 0-999999 */
} qelt_timestamp;

/* A scalar occupies the low bytes of `value` at its own width; the bytes
 * above it stay zero, which equality and hashing rely on. */
typedef union qelt_value {
    int8_t i8;
    int16_t i16;
    int32_t i32;
    int64_t i64;
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    float f32;
    double f64;
    void* ptr; /* STRING, BINARY, TIMESTAMP payload; LIST, MAP body */
    uint8_t bytes[8];
} qelt_value;

typedef struct qelt_variant {
    uint8_t type;      /* QELT_VARIANT_TYPE_*, fixed at creation */
    uint16_t refcount; /* 1 at creation, at most 65535 */
    uint32_t hash;     /* cached hash, QELT_HASH_NOT_COMPUTED until asked for */
    uint8_t subtype;   /* string subtype or binary type; 0 for other types */
    uint32_t size;     /* payload bytes: string incl. NUL, binary length, 12 for timestamps */
    qelt_value value;
} qelt_variant;

/* ------------------------------------------------------------------------ */
/* Lifetime, type queries, version                                            */
/* ------------------------------------------------------------------------ */

/* A new NONE variant in *out (one reference, owned by the caller). */
qelt_err qelt_variant_new_none(qelt_variant** out) QELT_NOEXCEPT;
/* Take one more reference. QELT_ERR_REFCNT_EXCD at 65535, count unchanged. */
qelt_err qelt_variant_incref(qelt_variant* v) QELT_NOEXCEPT;
/* Give up one reference; the last one destroys the variant and releases
 * everything a list or map holds, depth first. */
qelt_err qelt_variant_decref(qelt_variant* v) QELT_NOEXCEPT;
qelt_err qelt_variant_get_refcount(const qelt_variant* v, uint16_t* out) QELT_NOEXCEPT;
/* `subtype` is optional. */
qelt_err qelt_variant_get_type(const qelt_variant* v, uint8_t* type, uint8_t* subtype) QELT_NOEXCEPT;
/* *matches = 1 when v's type is `type`, else 0; a mismatch is not an error. */
qelt_err qelt_variant_type_check(const qelt_variant* v, uint8_t type, uint8_t* matches) QELT_NOEXCEPT;
/* Library version 1, API version 101. */
qelt_err qelt_get_version(uint32_t* lib_version, uint32_t* api_version) QELT_NOEXCEPT;

/* The live variant at `address`, for callers that take addresses from
 * outside (the Python module's integer handles). Any address may be asked
 * about: nothing is read that is not the library's own, so an arbitrary
 * integer, the address of something else or an address inside a record is
 * simply not a variant. QELT_SUCCESS with the record in *out, or
 * QELT_ERR_NULL_PTR with *out null for 0 and for every address that is not
 * a live record (never made, or its last reference gone). Like a file
 * descriptor, an address whose record was freed and then made again for a
 * new variant names that new variant. Takes a few nanoseconds and no lock
 * in the common case. */
qelt_err qelt_variant_from_address(uintptr_t address, qelt_variant** out) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Scalars                                                                    */
/* ------------------------------------------------------------------------ */
/* qelt_variant_new_<T>(out, value) makes a variant of T holding the value bit
 * for bit. qelt_variant_as_<T>(v, out) demands exactly type T (no conversion,
 * QELT_ERR_INVALID_TYPE otherwise) and writes *out only on success; a null out
 * or v gives QELT_ERR_NULL_PTR before the type is looked at. */

/* The same twelve types as one list, for code that treats them all alike
 * (the library, the tree reader and writer, the Python module): one row per
 * type, X(name, C type, TYPE, member), for qelt_variant_new_<name> and
 * qelt_variant_as_<name>, the type code QELT_VARIANT_TYPE_<TYPE> and the
 * qelt_value member that holds the value. */
#define QELT_SCALAR_TYPES(X)           \
    X(bool, uint8_t, BOOL, u8)         \
    X(float16, uint16_t, FLOAT16, u16) \
    X(float32, float, FLOAT32, f32)    \
    X(float64, double, FLOAT64, f64)   \
    X(int16, int16_t, INT16, i16)      \
    X(int32, int32_t, INT32, i32)      \
    X(int64, int64_t, INT64, i64)      \
    X(int8, int8_t, INT8, i8)          \
    X(uint16, uint16_t, UINT16, u16)   \
    X(uint32, uint32_t, UINT32, u32)   \
    X(uint64, uint64_t, UINT64, u64)   \
    X(uint8, uint8_t, UINT8, u8)

/* bool keeps its byte as given (2 stays 2); float16 holds a binary16 bit pattern. */
qelt_err qelt_variant_new_bool(qelt_variant** out, uint8_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_bool(const qelt_variant* v, uint8_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_float16(qelt_variant** out, uint16_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_float16(const qelt_variant* v, uint16_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_float32(qelt_variant** out, float value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_float32(const qelt_variant* v, float* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_float64(qelt_variant** out, double value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_float64(const qelt_variant* v, double* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_int16(qelt_variant** out, int16_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_int16(const qelt_variant* v, int16_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_int32(qelt_variant** out, int32_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_int32(const qelt_variant* v, int32_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_int64(qelt_variant** out, int64_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_int64(const qelt_variant* v, int64_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_int8(qelt_variant** out, int8_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_int8(const qelt_variant* v, int8_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_uint16(qelt_variant** out, uint16_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_uint16(const qelt_variant* v, uint16_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_uint32(qelt_variant** out, uint32_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_uint32(const qelt_variant* v, uint32_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_uint64(qelt_variant** out, uint64_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_uint64(const qelt_variant* v, uint64_t* out) QELT_NOEXCEPT;
qelt_err qelt_variant_new_uint8(qelt_variant** out, uint8_t value) QELT_NOEXCEPT;
qelt_err qelt_variant_as_uint8(const qelt_variant* v, uint8_t* out) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Half precision                                                             */
/* ------------------------------------------------------------------------ */

/* binary32 -> binary16 pattern, truncating toward zero; NaNs keep sign and
 * the top 10 mantissa bits. */
uint16_t qelt_float_to_half(float value) QELT_NOEXCEPT;
/* binary16 pattern -> binary32, exact for all 65536 patterns. */
float qelt_half_to_float(uint16_t half) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Strings, binaries, timestamps                                              */
/* ------------------------------------------------------------------------ */
/* The constructors copy the caller's data. The accessors lend a pointer into
 * the variant's own payload: do not free or change it; it stays valid while
 * the caller holds a reference on the variant. */

/* `capacity`: bytes of `text` that may be examined, the terminating NUL
 * included (a NUL-terminated text of length n passes n + 1). The text is
 * stored up to its first NUL; no NUL within capacity, or capacity 0, gives
 * QELT_ERR_WRONG_STRING_SIZE. */
qelt_err qelt_variant_new_string_c(qelt_variant** out, const char* text, uint32_t capacity) QELT_NOEXCEPT;
qelt_err qelt_variant_new_string_utf8(qelt_variant** out, const char* text, uint32_t capacity) QELT_NOEXCEPT;
/* The stored text (NUL-terminated) and optionally its size, NUL included.
 * The subtype must match: a UTF-8 string is not readable as a C string. */
qelt_err qelt_variant_as_string_c(const qelt_variant* v, const char** text, uint32_t* size) QELT_NOEXCEPT;
qelt_err qelt_variant_as_string_utf8(const qelt_variant* v, const char** text, uint32_t* size) QELT_NOEXCEPT;

/* A length of 0 gives QELT_ERR_WRONG_STRING_SIZE. Any binary type is kept. */
qelt_err qelt_variant_new_binary(qelt_variant** out, const void* data, uint32_t length,
                                 uint8_t bin_type) QELT_NOEXCEPT;
qelt_err qelt_variant_as_binary(const qelt_variant* v, const void** data, uint32_t* length,
                                uint8_t* bin_type) QELT_NOEXCEPT;

qelt_err qelt_variant_new_timestamp(qelt_variant** out, const qelt_timestamp* ts) QELT_NOEXCEPT;
qelt_err qelt_variant_as_timestamp(const qelt_variant* v, const qelt_timestamp** ts) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Hashing and equality                                                       */
/* ------------------------------------------------------------------------ */

/* h = type*M + subtype, then h = h*M + byte for each byte (M = 0x5294A529,
 * 32-bit wrapping). `data` may be null; length < 1 hashes no bytes. */
uint32_t qelt_hash_bytes(uint8_t type, uint8_t subtype, const void* data, int32_t length) QELT_NOEXCEPT;
/* The cached hash of the value (computed on first use, never 0xFFFFFFFF).
 * Lists and maps hash by identity (their record's address). */
qelt_err qelt_variant_get_hash(qelt_variant* v, uint32_t* out) QELT_NOEXCEPT;
/* Value equality: same type, subtype and value bytes; containers are equal
 * only to themselves. Either argument may be null. */
bool qelt_variant_equal(const qelt_variant* a, const qelt_variant* b) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Lists                                                                      */
/* ------------------------------------------------------------------------ */
/* Indexes run from 0 to size - 1; a negative index is out of range. Append,
 * insert and set take a reference on the value (the caller keeps its own);
 * a list never holds itself (QELT_ERR_CIRCULAR_REFERENCE). */

qelt_err qelt_variant_new_list(qelt_variant** out) QELT_NOEXCEPT;
/* `index` (optional) receives the new item's index. */
qelt_err qelt_variant_list_append(qelt_variant* list, qelt_variant* value, int32_t* index) QELT_NOEXCEPT;
/* Insert before `index`; index == size appends. */
qelt_err qelt_variant_list_insert(qelt_variant* list, qelt_variant* value, int32_t index) QELT_NOEXCEPT;
/* Replace the item at `index`; the replaced item loses the list's reference. */
qelt_err qelt_variant_list_set_item(qelt_variant* list, qelt_variant* value, int32_t index) QELT_NOEXCEPT;
/* Lends the item at `index`. */
qelt_err qelt_variant_list_get_item(qelt_variant* list, qelt_variant** out, int32_t index) QELT_NOEXCEPT;
qelt_err qelt_variant_list_delete_item(qelt_variant* list, int32_t index) QELT_NOEXCEPT;
qelt_err qelt_variant_list_clear(qelt_variant* list) QELT_NOEXCEPT;
qelt_err qelt_variant_list_get_size(qelt_variant* list, int32_t* out) QELT_NOEXCEPT;
/* `index` (optional) receives the first equal item's index or
 * QELT_LIST_INDEX_UNKNOWN. */
qelt_err qelt_variant_list_contains(qelt_variant* list, qelt_variant* value, int32_t* index) QELT_NOEXCEPT;
/* As contains, within [min(start, stop), max(start, stop)] after clamping to
 * the list; a negative stop means the end of the list. */
qelt_err qelt_variant_list_contains_in_subset(qelt_variant* list, qelt_variant* value, int32_t* index,
                                              int32_t start, int32_t stop) QELT_NOEXCEPT;

/* ------------------------------------------------------------------------ */
/* Maps                                                                       */
/* ------------------------------------------------------------------------ */
/* Keys are compared by value (qelt_variant_equal). Set takes a reference on
 * the key and on the value; get and next lend. A map never holds itself as
 * key or value. Iteration order is bucket order, then chain order; it is the
 * order in which maps are written. One walk at a time: a delete that finds
 * its key, a resize and a clear rewind the built-in iterator. */

qelt_err qelt_variant_new_map(qelt_variant** map) QELT_NOEXCEPT;
/* Insert or replace; a null value deletes the key (success either way). */
qelt_err qelt_variant_map_set(qelt_variant* map, qelt_variant* key, qelt_variant* value) QELT_NOEXCEPT;
/* Lends the value; a missing key gives QELT_ERR_KEY_NOT_EXISTS and *value null. */
qelt_err qelt_variant_map_get(qelt_variant* map, qelt_variant* key, qelt_variant** value) QELT_NOEXCEPT;
/* *found = 1 when present, 0 when absent or on any error but a null `found`. */
qelt_err qelt_variant_map_haskey(qelt_variant* map, qelt_variant* key, uint8_t* found) QELT_NOEXCEPT;
/* Remove the key if present; a missing key is success. */
qelt_err qelt_variant_map_delete(qelt_variant* map, qelt_variant* key) QELT_NOEXCEPT;
qelt_err qelt_variant_map_clear(qelt_variant* map) QELT_NOEXCEPT;
qelt_err qelt_variant_map_get_size(qelt_variant* map, uint32_t* size) QELT_NOEXCEPT;
/* Rewind the built-in iterator. */
qelt_err qelt_variant_map_first(qelt_variant* map) QELT_NOEXCEPT;
/* One step: *found 1 with the entry's key and (optional) value lent, or 0 and
 * nulls at the end, after which the iterator stands at its start again. */
qelt_err qelt_variant_map_next(qelt_variant* map, qelt_variant** key, qelt_variant** value,
                               uint8_t* found) QELT_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* QELT_QELT_H */
