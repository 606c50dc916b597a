/*
 * What the codec takes from the interpreter and from its neighbours once, at
 * import: the package's typed value and error classes, the datetime C API,
 * and the variant C API of _qeltypes. Read only after init; every function of
 * the codec runs with the interpreter lock held.
 */
#ifndef QELTYPES_CODEC_RUNTIME_H
#define QELTYPES_CODEC_RUNTIME_H

#include "py.h"

#include <cstdint>

#include "qeltypes_capi.h"

namespace qelcodec {

/* The typed value classes of qeltypes, in the order of this list. */
enum class Typed : uint8_t {
    Int8,
    Int16,
    Int32,
    Int64,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    Float16,
    Float32,
    Float64,
    CString,
    Blob,
    Timestamp,
};
constexpr int kTypedCount = 14;

/* The leading part of the datetime module's C API record, the same on every
 * CPython from 3.7 on (later versions only append). */
struct DateTimeCAPI {
    PyTypeObject* DateType;
    PyTypeObject* DateTimeType;
    PyTypeObject* TimeType;
    PyTypeObject* DeltaType;
    PyTypeObject* TZInfoType;
    PyObject* TimeZone_UTC;
    PyObject* (*Date_FromDate)(int, int, int, PyTypeObject*);
    PyObject* (*DateTime_FromDateAndTime)(int, int, int, int, int, int, int, PyObject*, PyTypeObject*);
};

/* The seven fields of a timestamp, as the stream holds them. */
struct Fields {
    int32_t year, month, day, hour, minute, second;
    int64_t microsecond;
};

struct Runtime {
    PyTypeObject* typed[kTypedCount];
    /* int.__new__, float.__new__, str.__new__ and tuple.__new__: they make a
     * typed value from a value already known to fit, without its range check. */
    PyObject* int_new;
    PyObject* float_new;
    PyObject* str_new;
    PyObject* tuple_new;

    PyObject* decode_error;         /* qeltypes.DecodeError */
    PyObject* encode_error_factory; /* qeltypes._types._encode_error */

    const DateTimeCAPI* datetime;
    PyObject* datetime_type;
    PyObject* utc;
    /* Whether datetime fields and the tzinfo flag may be read from the
     * object's memory, as a self-check at import found. */
    bool datetime_layout;

    /* Whether list and tuple items, the text of compact ASCII strings, the
     * value of one-digit ints and of floats may be read from the objects'
     * memory, as self-checks at import found (see the readers below). */
    bool sequence_layout;
    bool ascii_layout;
    size_t ascii_data; /* offset of a compact ASCII string's text */
    bool int_layout;
    bool int_tagged; /* the int header of CPython 3.12 on */
    bool float_layout;

    const QelVariantCAPI* variants;

    /* Interned attribute and method names. */
    PyObject* str_utcoffset;
    PyObject* str_astimezone;
    PyObject* str_data;
    PyObject* str_type;
    PyObject* str_tobytes;
};

extern Runtime g;

/* Fills `g`; false with an exception set when something the codec needs is
 * missing. */
bool init_runtime();

inline PyTypeObject* typed_class(Typed t)
{
    return g.typed[static_cast<int>(t)];
}

/* The typed class that `type` is, or is a subclass of; -1 for none. The
 * exact classes are tested first. */
int typed_index(PyTypeObject* type);

/* The items of a list or tuple as the objects lay them out since CPython
 * 3.0 (a variable-size object header, then the item pointers: held apart
 * for a list, inline for a tuple). Used only when g.sequence_layout. */
struct ListLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    Py_ssize_t size;
    PyObject** items;
};
struct TupleLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    Py_ssize_t size;
    PyObject* items[1];
};

inline Py_ssize_t list_size(PyObject* list)
{
    return reinterpret_cast<const ListLayout*>(list)->size;
}
inline PyObject* const& list_item(PyObject* list, Py_ssize_t i)
{
    return reinterpret_cast<const ListLayout*>(list)->items[i];
}
inline PyObject* const& tuple_item(PyObject* tuple, Py_ssize_t i)
{
    return reinterpret_cast<const TupleLayout*>(tuple)->items[i];
}

/* A str's text without a call, when it is a compact ASCII string (the form
 * of every ASCII str made by the interpreter): the state bits after the
 * length and the hash say so, and the text follows the header. */
struct StrLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    Py_ssize_t length;
    Py_hash_t hash;
    uint32_t state;
};
constexpr uint32_t kStateCompactAscii = (1u << 5) | (1u << 6);

inline const char* ascii_text(PyObject* s, Py_ssize_t* size)
{
    const auto* l = reinterpret_cast<const StrLayout*>(s);
    if (!g.ascii_layout || (l->state & kStateCompactAscii) != kStateCompactAscii)
        return nullptr;
    *size = l->length;
    return reinterpret_cast<const char*>(s) + g.ascii_data;
}

/* An int's value without a call, when it has one 30-bit digit: the digit
 * count and sign share a tag word from CPython 3.12 on, and sit in the
 * variable-size header before. */
struct IntLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    Py_ssize_t size_or_tag;
    uint32_t digit;
};

inline bool small_int(PyObject* o, long long* value)
{
    if (!g.int_layout)
        return false;
    const auto* l = reinterpret_cast<const IntLayout*>(o);
    if (g.int_tagged) {
        const auto tag = static_cast<size_t>(l->size_or_tag);
        if (tag >= (2u << 3))
            return false;
        *value = (1 - static_cast<long long>(tag & 3)) * static_cast<long long>(l->digit);
        return true;
    }
    if (l->size_or_tag < -1 || l->size_or_tag > 1)
        return false;
    *value = l->size_or_tag * static_cast<long long>(l->digit);
    return true;
}

struct FloatLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    double value;
};

inline double float_value(PyObject* o)
{
    return g.float_layout ? reinterpret_cast<const FloatLayout*>(o)->value : PyFloat_AsDouble(o);
}

/* The fields of a datetime (exact type or subclass); false with an exception
 * set when they cannot be read. */
bool datetime_fields(PyObject* dt, Fields* out);
/* Whether a datetime has a tzinfo whose utcoffset() is not None (aware);
 * -1 with an exception set when utcoffset() fails. */
int datetime_is_aware(PyObject* dt);
/* A naive datetime, or null with an exception set. */
PyObject* make_datetime(const Fields& f);
/* Whether a datetime can hold these fields. */
bool datetime_can_hold(const Fields& f);

/* Raises DecodeError(message, offset, expected); offset < 0 gives None.
 * Returns null. */
PyObject* raise_decode_error(long long offset, const char* expected, const char* format, ...);
/* The same with the message made. */
PyObject* raise_decode_error_with(long long offset, const char* expected, PyObject* message);

} // namespace qelcodec

#endif /* QELTYPES_CODEC_RUNTIME_H */
