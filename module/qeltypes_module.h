/*
 * Private to the _qeltypes extension module.
 *
 * Every method wrapper has one shape: parse the argument tuple, check and
 * convert the handles, make exactly one library call, then build the result
 * or raise through raise_error. The interpreter lock is released around the
 * call only when its work grows with the input (see "The interpreter lock"
 * below); nothing touches a Python object while it is released.
 *
 * Only the stable ABI of CPython 3.7 is used (the build defines
 * Py_LIMITED_API), so one binary serves every CPython from 3.7 on.
 */
#ifndef QELTYPES_MODULE_H
#define QELTYPES_MODULE_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "qelt/qelt.h"

namespace qeltypes {

/* ------------------------------------------------------------------------ */
/* Handles, errors, results                                                   */
/* ------------------------------------------------------------------------ */

/* What a handle object names. Every handle is checked before the library
 * sees it: an integer is a variant's address only while that variant lives
 * (qelt_variant_from_address), so no integer can make the library read or
 * write memory that is not a live record. An address whose record has been
 * freed and made again for a new variant names that new variant, as a reused
 * file descriptor names its new file. */
enum class HandleCheck {
    live,           /* the address of a live variant */
    zero,           /* the integer 0: null */
    not_an_integer, /* null, as for 0 */
    dead,           /* any other integer: no variant */
};

/* The one check of every handle, here and in the hooks that other modules
 * call: no exception is raised; *out is the variant for `live`, else null. */
HandleCheck check_handle(PyObject* handle, qelt_variant** out);

/* The variant for a method's handle argument, in *out. 0 and objects that
 * are not integers give null, which the library refuses or reads as it
 * documents. Any other integer that names no live variant raises the
 * method's NULL_PTR error ("<method> failed (3)") and gives false: the
 * library is never called with it, so it is never taken for null either. */
bool to_variant(PyObject* handle, qelt_variant** out, const char* method);

/* to_variant for several handles of one method, in argument order:
 * to_variants(method, a, &va, b, &vb). */
template <typename... More>
bool to_variants(const char* method, PyObject* handle, qelt_variant** out, More... more)
{
    if (!to_variant(handle, out, method))
        return false;
    if constexpr (sizeof...(more) > 0)
        return to_variants(method, more...);
    return true;
}

/* Raises the exception class of `code` (codes 1 to 12 their own, any other
 * the base class) with the message "<method> failed (<code>)"; returns null. */
PyObject* raise_error(const char* method, qelt_err code);

/* Adds the thirteen exception classes to the module, making them on the
 * first import. */
bool add_exception_classes(PyObject* module);

/* An int for a variant the script now owns; if the int cannot be made, the
 * variant's one reference is given back so that nothing leaks. */
PyObject* owned_handle(qelt_variant* v);
/* An int for a variant a container lends. */
PyObject* borrowed_handle(qelt_variant* v);

/* An int or float that keeps a library value whole: signed, unsigned and
 * floating types each take their own conversion. */
template <typename T>
PyObject* to_python(T value)
{
    if constexpr (std::is_floating_point_v<T>)
        return PyFloat_FromDouble(static_cast<double>(value));
    else if constexpr (std::is_signed_v<T>)
        return PyLong_FromLongLong(value);
    else
        return PyLong_FromUnsignedLongLong(value);
}

/* None as a new reference. Py_RETURN_NONE is not used: from CPython 3.12
 * on the headers drop its increment (None is immortal there), which would
 * let the older interpreters that this binary also serves free None. */
inline PyObject* none()
{
    Py_INCREF(Py_None);
    return Py_None;
}

/* A tuple that takes over the given new references; null (with the pending
 * exception) when an item or the tuple could not be made, and then every
 * item that was made is released. */
PyObject* steal_tuple(PyObject* const* items, Py_ssize_t count);

template <typename... Items>
PyObject* make_tuple(Items*... items)
{
    PyObject* const array[] = {items...};
    return steal_tuple(array, sizeof...(items));
}

/* Adds `_C_API`, the capsule of the variant C API (qeltypes_capi.h). */
bool add_variant_capi(PyObject* module);

/* ------------------------------------------------------------------------ */
/* The interpreter lock                                                       */
/* ------------------------------------------------------------------------ */
/* The lock is released only around work that grows with the input: reading
 * and writing trees, list searches, tearing down a container, copying a
 * large payload. Releasing and taking it back costs about as much as the
 * rest of a getter, so every call that takes constant time (and the amortised
 * constant time of an append or a map set) runs with the lock held. Scripts
 * see no difference but timing. */

/* Payloads from this size on are copied with the lock released. */
constexpr size_t kUnlockedCopyFrom = size_t{64} << 10;

inline bool is_container(const qelt_variant* v)
{
    return v->type == QELT_VARIANT_TYPE_LIST || v->type == QELT_VARIANT_TYPE_MAP;
}

/* Whether a list or map holds anything: clearing it frees what it holds. */
inline bool holds_items(const qelt_variant* v)
{
    return v != nullptr && is_container(v) && v->value.ptr != nullptr;
}

/* Whether giving up one reference on `v` may tear down a container with
 * everything it holds. */
inline bool may_tear_down(const qelt_variant* v)
{
    return holds_items(v) && v->refcount == 1;
}

/* Runs `call` with the interpreter lock released when `unlocked` holds.
 * Nothing inside may touch a Python object. */
template <typename Call>
auto run_unlocked_if(bool unlocked, Call call) -> decltype(call())
{
    if (!unlocked)
        return call();
    PyThreadState* saved = PyEval_SaveThread();
    auto result = call();
    PyEval_RestoreThread(saved);
    return result;
}

/* Copies `length` bytes into a new bytes object, the lock released for a
 * large copy; null with the interpreter's exception when it cannot be made. */
PyObject* bytes_from(const void* data, size_t length);

/* ------------------------------------------------------------------------ */
/* Wrapper shapes that several methods share                                  */
/* ------------------------------------------------------------------------ */

/* A constructor without a value (none, list, map). */
template <qelt_err (*New)(qelt_variant**)>
PyObject* new_without_value(const char* method)
{
    qelt_variant* v = nullptr;
    const qelt_err rc = New(&v);
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return owned_handle(v);
}

/* A call on one handle that gives nothing back (incref, decref, the clears,
 * map rewind); `Unlocked` tells from the variant whether the call may take
 * long enough to release the lock. */
template <qelt_err (*Op)(qelt_variant*), bool (*Unlocked)(const qelt_variant*)>
PyObject* call_on_handle(PyObject* args, const char* method)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, method))
        return nullptr;
    const qelt_err rc = run_unlocked_if(Unlocked(v), [v] { return Op(v); });
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return none();
}

inline bool never(const qelt_variant*)
{
    return false;
}

/* ------------------------------------------------------------------------ */
/* Texts handed to the libraries                                              */
/* ------------------------------------------------------------------------ */

} // namespace qeltypes

/* The tuple parser that stores a "#" length as Py_ssize_t on every CPython
 * from 3.7 on. Before 3.13 plain PyArg_ParseTuple stores an int there (and
 * refuses "#" from 3.10 on); the headers of 3.13 no longer declare this entry
 * point, but it stays exported as part of the stable ABI. */
extern "C" int _PyArg_ParseTuple_SizeT(PyObject* args, const char* format, ...);

namespace qeltypes {

/* For every format that has a "#" unit: lengths are Py_ssize_t. */
template <typename... Out>
int parse_with_lengths(PyObject* args, const char* format, Out*... out)
{
    return _PyArg_ParseTuple_SizeT(args, format, out...);
}

/* A length that the libraries take as a 32-bit byte count. */
constexpr bool fits_u32_length(Py_ssize_t length)
{
    return length >= 0 && static_cast<unsigned long long>(length) <= UINT32_MAX;
}

/* A text parsed with "z#", made safe to pass with a capacity of length + 1.
 * A str (its UTF-8 form) and a bytes object keep a NUL after their last
 * byte; any other bytes-like object may end at its last byte, so it is
 * copied with a NUL appended. The object is the argument the text came
 * from. */
class TerminatedText {
public:
    TerminatedText(PyObject* object, const char* text, Py_ssize_t length, const char* method);
    ~TerminatedText();
    TerminatedText(const TerminatedText&) = delete;
    TerminatedText& operator=(const TerminatedText&) = delete;

    /* False, with the exception raised, when the text cannot be handed over
     * whole: the method's WRONG_STRING_SIZE when it and its terminator do not
     * fit the libraries' 32-bit capacity (a longer text would be cut short),
     * MemoryError when the copy could not be made. */
    bool ok() const { return ok_; }
    /* Null when the text was null (a None argument). */
    const char* text() const { return text_; }

private:
    const char* text_;
    char* copy_ = nullptr;
    bool ok_ = true;
};

/* ------------------------------------------------------------------------ */
/* The scalar families                                                        */
/* ------------------------------------------------------------------------ */
/* What the module adds to each type of QELT_SCALAR_TYPES: type name, parser
 * format, C type the parser fills, constructor summary, constructor Args
 * line, accessor summary, accessor Returns line. The method table
 * interleaves the families, so the list comes in three parts in table order;
 * values.cpp checks that together they name each type of the library's list
 * once. */

#define QELTYPES_INTEGER_SCALARS(X)                                                                   \
    X(int64, "L", long long, "Creates a variant with an int64 value",                                 \
      "value (int): the value to assign to the new variant", "Read the value from an int64 variant",  \
      "(int): the value of the variant")                                                              \
    X(int32, "i", int, "Creates a variant with an int32 value",                                       \
      "value (int): the value to assign to the new variant", "Read the value from an int32 variant",  \
      "(int): the value of the variant")                                                              \
    X(int16, "h", short, "Creates a variant with an int16 value",                                     \
      "value (int): the value to assign to the new variant", "Read the value from an int16 variant",  \
      "(int): the value of the variant")                                                              \
    X(int8, "h", short, "Creates a variant with an int8 value",                                       \
      "value (int): the value to assign to the new variant", "Read the value from an int8 variant",   \
      "(int): the value of the variant")                                                              \
    X(uint64, "K", unsigned long long, "Creates a variant with an uint64 value",                      \
      "value (int): the value to assign to the new variant", "Read the value from an uint64 variant", \
      "(int): the value of the variant")                                                              \
    X(uint32, "I", unsigned int, "Creates a variant with an uint32 value",                            \
      "value (int): the value to assign to the new variant", "Read the value from an uint32 variant", \
      "(int): the value of the variant")                                                              \
    X(uint16, "H", unsigned short, "Creates a variant with an uint16 value",                          \
      "value (int): the value to assign to the new variant", "Read the value from an uint16 variant", \
      "(int): the value of the variant")                                                              \
    X(uint8, "H", unsigned short, "Creates a variant with an uint8 value",                            \
      "value (int): the value to assign to the new variant", "Read the value from an uint8 variant",  \
      "(int): the value of the variant")

#define QELTYPES_FLOAT_SCALARS(X)                                                                        \
    X(float64, "d", double, "Creates a variant with an float64 value",                                   \
      "value (float): the value to assign to the new variant", "Read the value from an float64 variant", \
      "(float): the value of the variant")                                                               \
    X(float32, "f", float, "Creates a variant with an float32 value",                                    \
      "value (float): the value to assign to the new variant", "Read the value from an float32 variant", \
      "(float): the value of the variant")                                                               \
    X(float16, "H", unsigned short, "Creates a variant with an float16 value",                           \
      "value (int): binary float16 value representation", "Read the value from an float16 variant",      \
      "(int): binary float16 value representation")

#define QELTYPES_BOOL_SCALAR(X)                                                                    \
    X(bool, "H", unsigned short, "Creates a variant with an boolean value",                        \
      "value (int): the value to assign to the new variant", "Read the value from a bool variant", \
      "(int): the value of the variant")

#define QELTYPES_SCALARS(X) QELTYPES_INTEGER_SCALARS(X) QELTYPES_FLOAT_SCALARS(X) QELTYPES_BOOL_SCALAR(X)

/* ------------------------------------------------------------------------ */
/* Wrappers and docstrings                                                    */
/* ------------------------------------------------------------------------ */
/* meth_<name> wraps the library function <name>; doc_<name> is its
 * docstring, defined beside it. */

#define QELTYPES_DECLARE_METHOD(name)                      \
    PyObject* meth_##name(PyObject* self, PyObject* args); \
    extern const char doc_##name[];

#define QELTYPES_DECLARE_SCALAR(T, ...)           \
    QELTYPES_DECLARE_METHOD(qelt_variant_new_##T) \
    QELTYPES_DECLARE_METHOD(qelt_variant_as_##T)

QELTYPES_SCALARS(QELTYPES_DECLARE_SCALAR)

/* core.cpp */
QELTYPES_DECLARE_METHOD(qelt_get_version)
QELTYPES_DECLARE_METHOD(qelt_variant_get_type)
QELTYPES_DECLARE_METHOD(qelt_variant_type_check)
QELTYPES_DECLARE_METHOD(qelt_variant_get_refcount)
QELTYPES_DECLARE_METHOD(qelt_variant_decref)
QELTYPES_DECLARE_METHOD(qelt_variant_incref)
QELTYPES_DECLARE_METHOD(qelt_variant_new_none)

/* values.cpp */
QELTYPES_DECLARE_METHOD(qelt_variant_new_string_c)
QELTYPES_DECLARE_METHOD(qelt_variant_as_string_c)
QELTYPES_DECLARE_METHOD(qelt_variant_new_string_utf8)
QELTYPES_DECLARE_METHOD(qelt_variant_as_string_utf8)
QELTYPES_DECLARE_METHOD(qelt_float_to_half)
QELTYPES_DECLARE_METHOD(qelt_half_to_float)
QELTYPES_DECLARE_METHOD(qelt_variant_new_binary)
QELTYPES_DECLARE_METHOD(qelt_variant_as_binary)
QELTYPES_DECLARE_METHOD(qelt_variant_new_timestamp)
QELTYPES_DECLARE_METHOD(qelt_variant_as_timestamp)

/* containers.cpp */
QELTYPES_DECLARE_METHOD(qelt_variant_new_list)
QELTYPES_DECLARE_METHOD(qelt_variant_list_append)
QELTYPES_DECLARE_METHOD(qelt_variant_list_insert)
QELTYPES_DECLARE_METHOD(qelt_variant_list_set_item)
QELTYPES_DECLARE_METHOD(qelt_variant_list_get_item)
QELTYPES_DECLARE_METHOD(qelt_variant_list_delete_item)
QELTYPES_DECLARE_METHOD(qelt_variant_list_clear)
QELTYPES_DECLARE_METHOD(qelt_variant_list_get_size)
QELTYPES_DECLARE_METHOD(qelt_variant_list_contains)
QELTYPES_DECLARE_METHOD(qelt_variant_list_contains_in_subset)
QELTYPES_DECLARE_METHOD(qelt_variant_new_map)
QELTYPES_DECLARE_METHOD(qelt_variant_map_set)
QELTYPES_DECLARE_METHOD(qelt_variant_map_get)
QELTYPES_DECLARE_METHOD(qelt_variant_map_delete)
QELTYPES_DECLARE_METHOD(qelt_variant_map_clear)
QELTYPES_DECLARE_METHOD(qelt_variant_map_first)
QELTYPES_DECLARE_METHOD(qelt_variant_map_next)
QELTYPES_DECLARE_METHOD(qelt_variant_map_get_size)
QELTYPES_DECLARE_METHOD(qelt_variant_map_haskey)

/* serialize.cpp */
QELTYPES_DECLARE_METHOD(qelt_write_to_buffer)
QELTYPES_DECLARE_METHOD(qelt_write_to_file)
QELTYPES_DECLARE_METHOD(qelt_read_from_buffer)
QELTYPES_DECLARE_METHOD(qelt_read_from_file)

} // namespace qeltypes

#endif /* QELTYPES_MODULE_H */
