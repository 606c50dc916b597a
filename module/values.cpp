// Scalars, strings, binaries, timestamps and the half-precision conversions.

#include "qeltypes_module.h"

#include <iterator>

namespace qeltypes {

namespace {

/* The C type of a scalar constructor's or accessor's value. */
template <typename Function>
struct ValueOf;
template <typename T>
struct ValueOf<qelt_err (*)(qelt_variant**, T) noexcept> {
    using type = T;
};
template <typename T>
struct ValueOf<qelt_err (*)(const qelt_variant*, T*) noexcept> {
    using type = T;
};

/* The parser fills `Parsed`; the conversion to the library's type keeps the
 * low bits, which is how values outside an 8-bit type's range wrap. */
template <typename Parsed, auto New>
PyObject* new_scalar(PyObject* args, const char* format, const char* method)
{
    using Stored = typename ValueOf<decltype(New)>::type;
    Parsed parsed{};
    if (!PyArg_ParseTuple(args, format, &parsed))
        return nullptr;
    const auto value = static_cast<Stored>(parsed);
    qelt_variant* v = nullptr;
    const qelt_err rc = New(&v, value);
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return owned_handle(v);
}

template <auto As>
PyObject* as_scalar(PyObject* args, const char* method)
{
    using Stored = typename ValueOf<decltype(As)>::type;
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, method))
        return nullptr;
    Stored value{};
    const qelt_err rc = As(v, &value);
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return to_python(value);
}

} // namespace

/* ------------------------------------------------------------------------ */
/* Scalars                                                                    */
/* ------------------------------------------------------------------------ */

#define QELTYPES_DEFINE_SCALAR(T, format, parsed, new_summary, new_arg, as_summary, as_returns)   \
    extern const char doc_qelt_variant_new_##T[] = "qelt_variant_new_" #T "(value)\n" new_summary \
                                                   "\n"                                           \
                                                   "\n"                                           \
                                                   "Args:\n"                                      \
                                                   "    " new_arg                                 \
                                                   "\n"                                           \
                                                   "\n"                                           \
                                                   "Returns:\n"                                   \
                                                   "    (int): variant handle";                   \
    PyObject* meth_qelt_variant_new_##T(PyObject*, PyObject* args)                                \
    {                                                                                             \
        return new_scalar<parsed, qelt_variant_new_##T>(args, format, "qelt_variant_new_" #T);    \
    }                                                                                             \
    extern const char doc_qelt_variant_as_##T[] = "qelt_variant_as_" #T "(variant)\n" as_summary  \
                                                  "\n"                                            \
                                                  "\n"                                            \
                                                  "Args:\n"                                       \
                                                  "    variant (int): variant handle\n"           \
                                                  "\n"                                            \
                                                  "Returns:\n"                                    \
                                                  "    " as_returns;                              \
    PyObject* meth_qelt_variant_as_##T(PyObject*, PyObject* args)                                 \
    {                                                                                             \
        return as_scalar<qelt_variant_as_##T>(args, "qelt_variant_as_" #T);                       \
    }

QELTYPES_SCALARS(QELTYPES_DEFINE_SCALAR)

#undef QELTYPES_DEFINE_SCALAR

namespace {

/* The module's rows name each scalar type of the library exactly once. */
#define QELTYPES_NAME(T, ...) #T,
constexpr const char* kLibraryScalars[] = {QELT_SCALAR_TYPES(QELTYPES_NAME)};
constexpr const char* kModuleScalars[] = {QELTYPES_SCALARS(QELTYPES_NAME)};
#undef QELTYPES_NAME

constexpr bool same_text(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b)
        ++a, ++b;
    return *a == *b;
}

constexpr bool each_library_scalar_once()
{
    for (const char* name : kLibraryScalars) {
        int rows = 0;
        for (const char* row : kModuleScalars)
            rows += same_text(name, row) ? 1 : 0;
        if (rows != 1)
            return false;
    }
    return std::size(kModuleScalars) == std::size(kLibraryScalars);
}
static_assert(each_library_scalar_once(), "one module row per scalar type of QELT_SCALAR_TYPES");

} // namespace

/* ------------------------------------------------------------------------ */
/* Strings                                                                    */
/* ------------------------------------------------------------------------ */

namespace {

template <qelt_err (*New)(qelt_variant**, const char*, uint32_t)>
PyObject* new_string(PyObject* args, const char* method)
{
    const char* text;
    Py_ssize_t length;
    if (!parse_with_lengths(args, "z#", &text, &length))
        return nullptr;
    const TerminatedText terminated(PyTuple_GetItem(args, 0), text, length, method);
    if (!terminated.ok())
        return nullptr;
    // None stands for the empty text (its length is 0).
    const char* const safe_text = terminated.text() != nullptr ? terminated.text() : "";
    const auto capacity = static_cast<uint32_t>(length + 1);
    qelt_variant* v = nullptr;
    const qelt_err rc = run_unlocked_if(capacity >= kUnlockedCopyFrom,
                                        [&] { return New(&v, safe_text, capacity); });
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return owned_handle(v);
}

template <qelt_err (*As)(const qelt_variant*, const char**, uint32_t*)>
PyObject* as_string(PyObject* args, const char* method)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, method))
        return nullptr;
    const char* text = nullptr;
    uint32_t size = 0;
    const qelt_err rc = As(v, &text, &size);
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    // `size` counts the terminating NUL; strict UTF-8 for both subtypes.
    const Py_ssize_t length = size > 0 ? static_cast<Py_ssize_t>(size) - 1 : 0;
    return PyUnicode_DecodeUTF8(text, length, nullptr);
}

} // namespace

extern const char doc_qelt_variant_new_string_c[] =
    "qelt_variant_new_string_c(string)\n"
    "Create a c-string variant\n"
    "\n"
    "Args:\n"
    "    string (str): the value to assign to the new variant\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

PyObject* meth_qelt_variant_new_string_c(PyObject*, PyObject* args)
{
    return new_string<qelt_variant_new_string_c>(args, "qelt_variant_new_string_c");
}

extern const char doc_qelt_variant_as_string_c[] =
    "qelt_variant_as_string_c(variant)\n"
    "Read the value from a c-string variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (str): the value of the variant";

PyObject* meth_qelt_variant_as_string_c(PyObject*, PyObject* args)
{
    return as_string<qelt_variant_as_string_c>(args, "qelt_variant_as_string_c");
}

extern const char doc_qelt_variant_new_string_utf8[] =
    "qelt_variant_new_string_utf8(string)\n"
    "Create an UTF8-string variant\n"
    "\n"
    "Args:\n"
    "    string (str): the value to assign to the new variant\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

PyObject* meth_qelt_variant_new_string_utf8(PyObject*, PyObject* args)
{
    return new_string<qelt_variant_new_string_utf8>(args, "qelt_variant_new_string_utf8");
}

extern const char doc_qelt_variant_as_string_utf8[] =
    "qelt_variant_as_string_utf8(variant)\n"
    "Read the value from a UTF8-string variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (str): the value of the variant";

PyObject* meth_qelt_variant_as_string_utf8(PyObject*, PyObject* args)
{
    return as_string<qelt_variant_as_string_utf8>(args, "qelt_variant_as_string_utf8");
}

/* ------------------------------------------------------------------------ */
/* Half precision                                                             */
/* ------------------------------------------------------------------------ */

extern const char doc_qelt_float_to_half[] =
    "qelt_float_to_half(value)\n"
    "Convert single precision float to half precision float value\n"
    "\n"
    "Args:\n"
    "    value (float): the float32 value to be converted\n"
    "\n"
    "Returns:\n"
    "    (int): binary float16 value representation";

PyObject* meth_qelt_float_to_half(PyObject*, PyObject* args)
{
    float value;
    if (!PyArg_ParseTuple(args, "f", &value))
        return nullptr;
    return PyLong_FromLong(qelt_float_to_half(value));
}

extern const char doc_qelt_half_to_float[] =
    "qelt_half_to_float(value)\n"
    "Convert half precision float to single precision float value\n"
    "\n"
    "Args:\n"
    "    value (int): binary float16 value representation to be converted\n"
    "\n"
    "Returns:\n"
    "    (float): float32 value";

PyObject* meth_qelt_half_to_float(PyObject*, PyObject* args)
{
    unsigned short half;
    if (!PyArg_ParseTuple(args, "H", &half))
        return nullptr;
    return PyFloat_FromDouble(qelt_half_to_float(half));
}

/* ------------------------------------------------------------------------ */
/* Binaries                                                                   */
/* ------------------------------------------------------------------------ */

extern const char doc_qelt_variant_new_binary[] =
    "qelt_variant_new_binary(buffer, bin_type)\n"
    "Creates a variant with an binary value\n"
    "\n"
    "Args:\n"
    "    buffer (bytes): binary data\n"
    "    bin_type (int): binary type\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

PyObject* meth_qelt_variant_new_binary(PyObject*, PyObject* args)
{
    const char* data;
    Py_ssize_t length;
    unsigned short bin_type;
    if (!parse_with_lengths(args, "y#H", &data, &length, &bin_type))
        return nullptr;
    // The library takes a 32-bit length; a longer blob would be stored cut.
    if (!fits_u32_length(length))
        return raise_error("qelt_variant_new_binary", QELT_ERR_WRONG_STRING_SIZE);
    const auto size = static_cast<uint32_t>(length);
    const auto type = static_cast<uint8_t>(bin_type);
    qelt_variant* v = nullptr;
    const qelt_err rc = run_unlocked_if(size >= kUnlockedCopyFrom,
                                        [&] { return qelt_variant_new_binary(&v, data, size, type); });
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_new_binary", rc);
    return owned_handle(v);
}

extern const char doc_qelt_variant_as_binary[] =
    "qelt_variant_as_binary(variant)\n"
    "Read the value from an binary variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (tuple of (bytes, int)): (binary data, binary type)";

PyObject* meth_qelt_variant_as_binary(PyObject*, PyObject* args)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, "qelt_variant_as_binary"))
        return nullptr;
    const void* data = nullptr;
    uint32_t length = 0;
    uint8_t bin_type = 0;
    const qelt_err rc = qelt_variant_as_binary(v, &data, &length, &bin_type);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_as_binary", rc);
    return make_tuple(bytes_from(data, length), PyLong_FromLong(bin_type));
}

/* ------------------------------------------------------------------------ */
/* Timestamps                                                                 */
/* ------------------------------------------------------------------------ */

extern const char doc_qelt_variant_new_timestamp[] =
    "qelt_variant_new_timestamp(year, month, day, hour, minute, second, microsecond)\n"
    "Creates a variant with an timestamp value\n"
    "\n"
    "Args:\n"
    "    year (int): the full year (e.g. 2018)\n"
    "    month (int): the month (1-12)\n"
    "    day (int): the day (1-31)\n"
    "    hour (int): the hour (0-23)\n"
    "    minute (int): the minute (0-59)\n"
    "    second (int): the second (0-59)\n"
    "    microsecond (int): the microsecond (0-999999)\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

PyObject* meth_qelt_variant_new_timestamp(PyObject*, PyObject* args)
{
    short year;
    unsigned char month, day, hour, minute, second;
    unsigned int microsecond;
    if (!PyArg_ParseTuple(args, "hBBBBBI", &year, &month, &day, &hour, &minute, &second, &microsecond))
        return nullptr;
    qelt_timestamp ts{};
    ts.year = year;
    ts.month = month;
    ts.day = day;
    ts.hour = hour;
    ts.minute = minute;
    ts.second = second;
    ts.microsecond = microsecond;
    qelt_variant* v = nullptr;
    const qelt_err rc = qelt_variant_new_timestamp(&v, &ts);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_new_timestamp", rc);
    return owned_handle(v);
}

extern const char doc_qelt_variant_as_timestamp[] =
    "qelt_variant_as_timestamp(variant)\n"
    "Read the value from an timestamp variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (tuple of (int, int, int, int, int, int, int)):\n"
    "        (year, month, day, hour, minute, second, microsecond)";

PyObject* meth_qelt_variant_as_timestamp(PyObject*, PyObject* args)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, "qelt_variant_as_timestamp"))
        return nullptr;
    const qelt_timestamp* ts = nullptr;
    const qelt_err rc = qelt_variant_as_timestamp(v, &ts);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_as_timestamp", rc);
    return make_tuple(PyLong_FromLong(ts->year), PyLong_FromLong(ts->month), PyLong_FromLong(ts->day),
                      PyLong_FromLong(ts->hour), PyLong_FromLong(ts->minute), PyLong_FromLong(ts->second),
                      PyLong_FromUnsignedLong(ts->microsecond));
}

} // namespace qeltypes
