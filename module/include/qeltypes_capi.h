/*
 * The variant C API that _qeltypes shares with other extension modules.
 *
 * `_qeltypes._C_API` is a capsule named QELTYPES_CAPI_NAME holding a pointer
 * to one static, read-only QelVariantCAPI. A module that builds or reads
 * variant trees calls the variant library through it instead of linking a
 * copy of its own, so that the process holds one variant library and one set
 * of handle rules, whichever module made a variant:
 *
 *     const QelVariantCAPI* api = (const QelVariantCAPI*)
 *         PyCapsule_Import(QELTYPES_CAPI_NAME, 0);
 *     if (api == NULL || api->size < sizeof(QelVariantCAPI)) ... refuse ...
 *
 * `size` comes first and is the size of the struct that _qeltypes was built
 * with; fields are only ever appended, so a caller checks that `size` covers
 * the last field it uses. Every variant function keeps the signature and the
 * ownership rules of its declaration in qelt/qelt.h. Functions that take or
 * give Python objects must be called with the interpreter lock held; the
 * variant functions may be called without it, under the same rule as the
 * library: one tree belongs to one thread at a time.
 */
#ifndef QELTYPES_CAPI_H
#define QELTYPES_CAPI_H

#include <stdint.h>

#include "qelt/qelt.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QELTYPES_CAPI_NAME "_qeltypes._C_API"

/* The interpreter's object type, named without including Python.h. */
struct _object;

typedef struct QelVariantCAPI {
    uint32_t size; /* sizeof(QelVariantCAPI) as built into _qeltypes */

    /* -- Handles and errors (implemented in the module) ------------------- */

    /* The Python int handle for `v`, whose one reference the caller owns and
     * hands to the script. On failure returns null with an exception set, and
     * that reference has been released. */
    struct _object* (*handle_to_py)(qelt_variant* v);
    /* Checks a handle given by a script, as every method of _qeltypes does.
     * On success returns 0 and sets *out to the variant, borrowed. Otherwise
     * raises qeltypes.error_NULL_PTR with the message "<method> failed (3)"
     * and returns -1. `method` (required) names the caller's function. */
    int (*handle_from_py)(struct _object* handle, qelt_variant** out, const char* method);
    /* Raises the exception class of a library code, as the module's methods
     * do ("<method> failed (<code>)"), and returns null. */
    struct _object* (*raise_error)(const char* method, qelt_err code);

    /* -- Lifetime and types ----------------------------------------------- */
    qelt_err (*incref)(qelt_variant* v);
    qelt_err (*decref)(qelt_variant* v);
    qelt_err (*get_type)(const qelt_variant* v, uint8_t* type, uint8_t* subtype);

    /* -- Scalars ----------------------------------------------------------- */
    qelt_err (*new_none)(qelt_variant** out);
    qelt_err (*new_bool)(qelt_variant** out, uint8_t value);
    qelt_err (*new_float16)(qelt_variant** out, uint16_t value);
    qelt_err (*new_float32)(qelt_variant** out, float value);
    qelt_err (*new_float64)(qelt_variant** out, double value);
    qelt_err (*new_int8)(qelt_variant** out, int8_t value);
    qelt_err (*new_int16)(qelt_variant** out, int16_t value);
    qelt_err (*new_int32)(qelt_variant** out, int32_t value);
    qelt_err (*new_int64)(qelt_variant** out, int64_t value);
    qelt_err (*new_uint8)(qelt_variant** out, uint8_t value);
    qelt_err (*new_uint16)(qelt_variant** out, uint16_t value);
    qelt_err (*new_uint32)(qelt_variant** out, uint32_t value);
    qelt_err (*new_uint64)(qelt_variant** out, uint64_t value);
    qelt_err (*as_bool)(const qelt_variant* v, uint8_t* out);
    qelt_err (*as_float16)(const qelt_variant* v, uint16_t* out);
    qelt_err (*as_float32)(const qelt_variant* v, float* out);
    qelt_err (*as_float64)(const qelt_variant* v, double* out);
    qelt_err (*as_int8)(const qelt_variant* v, int8_t* out);
    qelt_err (*as_int16)(const qelt_variant* v, int16_t* out);
    qelt_err (*as_int32)(const qelt_variant* v, int32_t* out);
    qelt_err (*as_int64)(const qelt_variant* v, int64_t* out);
    qelt_err (*as_uint8)(const qelt_variant* v, uint8_t* out);
    qelt_err (*as_uint16)(const qelt_variant* v, uint16_t* out);
    qelt_err (*as_uint32)(const qelt_variant* v, uint32_t* out);
    qelt_err (*as_uint64)(const qelt_variant* v, uint64_t* out);

    /* -- Strings, binaries, timestamps ------------------------------------ */
    qelt_err (*new_string_c)(qelt_variant** out, const char* text, uint32_t capacity);
    qelt_err (*new_string_utf8)(qelt_variant** out, const char* text, uint32_t capacity);
    qelt_err (*as_string_c)(const qelt_variant* v, const char** text, uint32_t* size);
    qelt_err (*as_string_utf8)(const qelt_variant* v, const char** text, uint32_t* size);
    qelt_err (*new_binary)(qelt_variant** out, const void* data, uint32_t length, uint8_t bin_type);
    qelt_err (*as_binary)(const qelt_variant* v, const void** data, uint32_t* length, uint8_t* bin_type);
    qelt_err (*new_timestamp)(qelt_variant** out, const qelt_timestamp* ts);
    qelt_err (*as_timestamp)(const qelt_variant* v, const qelt_timestamp** ts);

    /* -- Lists and maps ---------------------------------------------------- */
    qelt_err (*new_list)(qelt_variant** out);
    qelt_err (*list_append)(qelt_variant* list, qelt_variant* value, int32_t* index);
    qelt_err (*list_get_size)(qelt_variant* list, int32_t* out);
    qelt_err (*list_get_item)(qelt_variant* list, qelt_variant** out, int32_t index);
    qelt_err (*new_map)(qelt_variant** out);
    qelt_err (*map_set)(qelt_variant* map, qelt_variant* key, qelt_variant* value);
    qelt_err (*map_get_size)(qelt_variant* map, uint32_t* out);
    qelt_err (*map_first)(qelt_variant* map);
    qelt_err (*map_next)(qelt_variant* map, qelt_variant** key, qelt_variant** value, uint8_t* found);
} QelVariantCAPI;

#ifdef __cplusplus
}
#endif

#endif /* QELTYPES_CAPI_H */
