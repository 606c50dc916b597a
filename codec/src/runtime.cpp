// What the codec takes once at import: the package's classes, the datetime C
// API and the variant C API of _qeltypes.

#include "runtime.h"

#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace qelcodec {

Runtime g{};

namespace {

constexpr const char* kTypedNames[kTypedCount] = {
    "Int8",   "Int16",   "Int32",   "Int64",   "UInt8",   "UInt16", "UInt32",
    "UInt64", "Float16", "Float32", "Float64", "CString", "Blob",   "Timestamp",
};

/* ------------------------------------------------------------------------ */
/* Datetime fields from the object's memory                                   */
/* ------------------------------------------------------------------------ */
/* The layout of a datetime object since CPython 3.6: the object header, the
 * cached hash, the tzinfo flag, ten bytes of date and time (year and
 * microsecond big-endian), the fold, then the tzinfo reference when the flag
 * is set. Reading it saves seven attribute lookups per value; init checks it
 * against attribute access and keeps it only when every probe agrees. */
struct DateTimeLayout {
    Py_ssize_t refcnt;
    PyTypeObject* type;
    Py_hash_t hashcode;
    char hastzinfo;
    unsigned char data[10];
    unsigned char fold;
    PyObject* tzinfo;
};

const DateTimeLayout* layout_of(PyObject* dt)
{
    return reinterpret_cast<const DateTimeLayout*>(dt);
}

Fields fields_from_layout(PyObject* dt)
{
    const unsigned char* d = layout_of(dt)->data;
    return Fields{(d[0] << 8) | d[1], d[2], d[3], d[4], d[5], d[6], (d[7] << 16) | (d[8] << 8) | d[9]};
}

bool fields_from_attributes(PyObject* dt, Fields* out)
{
    static const char* const names[] = {"year", "month", "day", "hour", "minute", "second", "microsecond"};
    long long values[7];
    for (int i = 0; i < 7; ++i) {
        Ref v(PyObject_GetAttrString(dt, names[i]));
        if (!v)
            return false;
        values[i] = PyLong_AsLongLong(v.get());
        if (values[i] == -1 && PyErr_Occurred())
            return false;
    }
    *out = Fields{static_cast<int32_t>(values[0]),
                  static_cast<int32_t>(values[1]),
                  static_cast<int32_t>(values[2]),
                  static_cast<int32_t>(values[3]),
                  static_cast<int32_t>(values[4]),
                  static_cast<int32_t>(values[5]),
                  values[6]};
    return true;
}

bool same_fields(const Fields& a, const Fields& b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.microsecond == b.microsecond;
}

/* Probes chosen so that every byte of the ten takes a value of its own. */
bool layout_agrees()
{
    static const Fields probes[] = {
        {2023, 7, 15, 13, 45, 59, 123456},
        {1, 1, 1, 0, 0, 0, 0},
        {9999, 12, 31, 23, 59, 58, 999999},
        {1970, 2, 28, 1, 2, 3, 65537},
    };
    for (const Fields& f : probes) {
        for (PyObject* tz : {Py_None, g.utc}) {
            Ref dt(g.datetime->DateTime_FromDateAndTime(f.year, f.month, f.day, f.hour, f.minute, f.second,
                                                        static_cast<int>(f.microsecond), tz,
                                                        g.datetime->DateTimeType));
            if (!dt)
                return false;
            Fields read{};
            if (!fields_from_attributes(dt.get(), &read) || !same_fields(read, f) ||
                !same_fields(fields_from_layout(dt.get()), f))
                return false;
            const DateTimeLayout* l = layout_of(dt.get());
            const bool aware = tz != Py_None;
            if ((l->hastzinfo != 0) != aware || (aware && l->tzinfo != g.utc))
                return false;
        }
    }
    return true;
}

bool init_datetime()
{
    g.datetime = static_cast<const DateTimeCAPI*>(PyCapsule_Import("datetime.datetime_CAPI", 0));
    if (g.datetime == nullptr)
        return false;
    g.datetime_type = reinterpret_cast<PyObject*>(g.datetime->DateTimeType);
    g.utc = g.datetime->TimeZone_UTC;
    g.datetime_layout = layout_agrees();
    PyErr_Clear(); // a failed probe only means the slow path
    return true;
}

/* ------------------------------------------------------------------------ */
/* List and tuple items from the objects' memory                              */
/* ------------------------------------------------------------------------ */

bool sequence_layout_agrees()
{
    for (Py_ssize_t n : {0, 1, 3, 17, 100}) {
        Ref list(PyList_New(0));
        Ref tuple(PyTuple_New(n));
        if (!list || !tuple)
            return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref item(PyLong_FromSsize_t(i * 1000003));
            if (!item || PyList_Append(list.get(), item.get()) < 0)
                return false;
            PyTuple_SetItem(tuple.get(), i, item.release());
        }
        if (list_size(list.get()) != PyList_Size(list.get()) || PyTuple_Size(tuple.get()) != n)
            return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (list_item(list.get(), i) != PyList_GetItem(list.get(), i) ||
                tuple_item(tuple.get(), i) != PyTuple_GetItem(tuple.get(), i))
                return false;
    }
    return true;
}

/* ------------------------------------------------------------------------ */
/* str, int and float values from the objects' memory                         */
/* ------------------------------------------------------------------------ */

bool ascii_layout_agrees()
{
    // Where the text starts: after a header with the wide-char pointer up to
    // 3.11, without it from 3.12 on. Only the running version's offset is
    // probed: a probe at the other would read past the end of short strings.
    constexpr size_t head = offsetof(StrLayout, state) + 8;
    const char* version = Py_GetVersion();
    const bool wide_pointer = version[0] == '3' && version[1] == '.' && std::atoi(version + 2) < 12;
    for (size_t offset : {wide_pointer ? head + sizeof(void*) : head}) {
        g.ascii_data = offset;
        g.ascii_layout = true;
        bool agrees = true;
        for (const char* text : {"", "a", "key", "0123456789abcdefghijklmnop", "caf\xc3\xa9", "\xe2\x82\xac",
                                 "\xf0\x9f\x98\x80", "user12345@example.com"}) {
            Ref s(PyUnicode_FromString(text));
            Ref interned(PyUnicode_FromString(text));
            if (!s || !interned)
                return false;
            PyObject* raw = interned.release();
            PyUnicode_InternInPlace(&raw);
            interned.reset(raw);
            for (PyObject* o : {s.get(), interned.get()}) {
                Py_ssize_t api_size;
                const char* api = PyUnicode_AsUTF8AndSize(o, &api_size);
                Py_ssize_t size = -1;
                const char* fast = ascii_text(o, &size);
                bool ascii = true;
                for (const char* c = text; *c != 0; ++c)
                    ascii = ascii && static_cast<unsigned char>(*c) < 0x80;
                if (api == nullptr || (fast != nullptr) != ascii ||
                    (fast != nullptr && (size != api_size || std::memcmp(fast, api, size) != 0)))
                    agrees = false;
            }
        }
        // A new compact ASCII string is filled in place there.
        Ref made(agrees ? PyUnicode_New(5, 127) : nullptr);
        if (made) {
            std::memcpy(reinterpret_cast<char*>(made.get()) + offset, "hello", 5);
            Py_ssize_t size = 0;
            agrees = PyUnicode_CompareWithASCIIString(made.get(), "hello") == 0 && ascii_text(made.get(), &size) &&
                     size == 5;
        }
        if (agrees && made)
            return true;
    }
    g.ascii_layout = false;
    return false;
}

bool int_layout_agrees()
{
    const char* version = Py_GetVersion();
    const int minor = std::atoi(version + 2);
    g.int_tagged = version[0] == '3' && minor >= 12;
    g.int_layout = true;
    static const long long small[] = {0, 1, -1, 7, -300, 1073741823, -1073741823};
    static const long long large[] = {1073741824, -1073741824, 1LL << 62, -(1LL << 62)};
    for (long long v : small) {
        Ref o(PyLong_FromLongLong(v));
        long long read = 0;
        if (!o || !small_int(o.get(), &read) || read != v)
            return g.int_layout = false;
    }
    for (long long v : large) {
        Ref o(PyLong_FromLongLong(v));
        long long read = 0;
        if (!o || small_int(o.get(), &read))
            return g.int_layout = false;
    }
    return true;
}

bool float_layout_agrees()
{
    for (double d : {0.0, -0.0, 1.5, -1e300, 3.141592653589793}) {
        Ref o(PyFloat_FromDouble(d));
        if (!o || std::memcmp(&reinterpret_cast<const FloatLayout*>(o.get())->value, &d, sizeof d) != 0)
            return false;
    }
    return true;
}

/* ------------------------------------------------------------------------ */
/* The package's classes                                                      */
/* ------------------------------------------------------------------------ */

bool init_classes()
{
    Ref types(PyImport_ImportModule("qeltypes._types"));
    if (!types)
        return false;
    for (int i = 0; i < kTypedCount; ++i) {
        PyObject* cls = PyObject_GetAttrString(types.get(), kTypedNames[i]);
        if (cls == nullptr)
            return false;
        if (!PyType_Check(cls)) {
            Py_DECREF(cls);
            PyErr_Format(PyExc_ImportError, "qeltypes._types.%s is not a class", kTypedNames[i]);
            return false;
        }
        g.typed[i] = reinterpret_cast<PyTypeObject*>(cls); // kept for the life of the process
    }
    g.decode_error = PyObject_GetAttrString(types.get(), "DecodeError");
    g.encode_error_factory = PyObject_GetAttrString(types.get(), "_encode_error");
    if (g.decode_error == nullptr || g.encode_error_factory == nullptr)
        return false;
    struct {
        PyObject** slot;
        PyTypeObject* type;
    } news[] = {{&g.int_new, &PyLong_Type},
                {&g.float_new, &PyFloat_Type},
                {&g.str_new, &PyUnicode_Type},
                {&g.tuple_new, &PyTuple_Type}};
    for (auto& n : news) {
        *n.slot = PyObject_GetAttrString(reinterpret_cast<PyObject*>(n.type), "__new__");
        if (*n.slot == nullptr)
            return false;
    }
    return true;
}

bool init_names()
{
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {{&g.str_utcoffset, "utcoffset"},
                 {&g.str_astimezone, "astimezone"},
                 {&g.str_data, "data"},
                 {&g.str_type, "type"},
                 {&g.str_tobytes, "tobytes"}};
    for (auto& n : names) {
        *n.slot = PyUnicode_InternFromString(n.text);
        if (*n.slot == nullptr)
            return false;
    }
    return true;
}

bool init_variants()
{
    g.variants = static_cast<const QelVariantCAPI*>(PyCapsule_Import(QELTYPES_CAPI_NAME, 0));
    if (g.variants == nullptr)
        return false;
    if (g.variants->size < sizeof(QelVariantCAPI)) {
        g.variants = nullptr;
        PyErr_SetString(PyExc_ImportError, "_qeltypes is older than the codec: its variant C API is incomplete");
        return false;
    }
    return true;
}

} // namespace

bool init_runtime()
{
    if (!init_names() || !init_datetime() || !init_variants() || !init_classes())
        return false;
    g.sequence_layout = sequence_layout_agrees();
    ascii_layout_agrees();
    int_layout_agrees();
    g.float_layout = float_layout_agrees();
    PyErr_Clear(); // a failed probe only means the slow path
    return true;
}

int typed_index(PyTypeObject* type)
{
    for (int i = 0; i < kTypedCount; ++i)
        if (type == g.typed[i])
            return i;
    for (int i = 0; i < kTypedCount; ++i)
        if (PyType_IsSubtype(type, g.typed[i]))
            return i;
    return -1;
}

bool datetime_fields(PyObject* dt, Fields* out)
{
    if (g.datetime_layout) {
        *out = fields_from_layout(dt);
        return true;
    }
    return fields_from_attributes(dt, out);
}

int datetime_is_aware(PyObject* dt)
{
    if (g.datetime_layout && layout_of(dt)->hastzinfo == 0)
        return 0;
    Ref offset(PyObject_CallMethodObjArgs(dt, g.str_utcoffset, nullptr));
    if (!offset)
        return -1;
    return offset.get() != Py_None;
}

bool datetime_can_hold(const Fields& f)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (f.year < 1 || f.year > 9999 || f.month < 1 || f.month > 12 || f.day < 1)
        return false;
    const bool leap = (f.year % 4 == 0 && f.year % 100 != 0) || f.year % 400 == 0;
    const int month_days = days[f.month - 1] + (f.month == 2 && leap ? 1 : 0);
    return f.day <= month_days && f.hour < 24 && f.minute < 60 && f.second < 60 && f.microsecond < 1000000;
}

PyObject* make_datetime(const Fields& f)
{
    return g.datetime->DateTime_FromDateAndTime(f.year, f.month, f.day, f.hour, f.minute, f.second,
                                                static_cast<int>(f.microsecond), Py_None,
                                                g.datetime->DateTimeType);
}

PyObject* raise_decode_error(long long offset, const char* expected, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Ref message(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return message ? raise_decode_error_with(offset, expected, message.get()) : nullptr;
}

PyObject* raise_decode_error_with(long long offset, const char* expected, PyObject* message)
{
    Ref where(offset >= 0 ? PyLong_FromLongLong(offset) : new_ref(Py_None));
    Ref what(PyUnicode_FromString(expected));
    if (!where || !what)
        return nullptr;
    Ref error(PyObject_CallFunctionObjArgs(g.decode_error, message, where.get(), what.get(), nullptr));
    if (error)
        PyErr_SetObject(g.decode_error, error.get());
    return nullptr;
}

} // namespace qelcodec
