// qeltypes._codec: the native half of the qeltypes package.

#include "py.h"

#include <cstdint>

#include "decoder.h"
#include "encoder.h"
#include "runtime.h"
#include "streams.h"
#include "variants.h"

namespace qelcodec {

namespace {

/* ------------------------------------------------------------------------ */
/* Arguments                                                                  */
/* ------------------------------------------------------------------------ */

bool parse_encode_options(
    PyObject* args, PyObject* kwargs, const char* format, PyObject** obj, EncodeOptions* options)
{
    static const char* keywords[] = {"", "default", "utc", nullptr};
    PyObject* default_fn = Py_None;
    int utc = 0;
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
        *obj = PyTuple_GetItem(args, 0);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), obj, &default_fn,
                                            &utc)) {
        return false;
    }
    if (default_fn != Py_None && !PyCallable_Check(default_fn)) {
        PyErr_SetString(PyExc_TypeError, "default must be callable or None");
        return false;
    }
    options->default_fn = default_fn == Py_None ? nullptr : default_fn;
    options->utc = utc != 0;
    return true;
}

/* ------------------------------------------------------------------------ */
/* Functions                                                                  */
/* ------------------------------------------------------------------------ */

const char kDumpsDoc[] =
    "dumps(obj, /, *, default=None, utc=False)\n"
    "--\n"
    "\n"
    "Returns the QEL bytes of obj, a list, tuple or dict (the root).\n"
    "\n"
    "None, bool, int (the narrowest of int8 to int64, then uint64), float (float64),\n"
    "str (UTF-8), bytes-like objects (binary of type 0), datetime (timestamp), list and\n"
    "tuple (list), dict (map, in the dict's order) and the typed values of qeltypes are\n"
    "written as they are. Anything else goes to default(obj), which returns something\n"
    "that can be written. A timezone-aware datetime is refused unless utc is true; then\n"
    "it is stored converted to UTC. Raises EncodeError (a TypeError, ValueError or\n"
    "OverflowError) with the path of the object that cannot be written.";

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs)
{
    PyObject* obj;
    EncodeOptions options;
    if (!parse_encode_options(args, kwargs, "O|$Op:dumps", &obj, &options))
        return nullptr;
    Encoder encoder(options);
    if (!encoder.write_document(obj))
        return nullptr;
    return encoder.take_bytes();
}

const char kLoadsDoc[] =
    "loads(data, /, *, typed=False, allow_trailing=False, max_depth=None, max_elements=None,\n"
    "      max_bytes=None)\n"
    "--\n"
    "\n"
    "Returns the list or dict that the QEL stream in data (any bytes-like object) holds.\n"
    "\n"
    "With typed, every value whose Python type does not fix its QEL type comes as a typed\n"
    "value (Int8 ... UInt64, Float16, Float32, Float64, CString, Blob), so that\n"
    "dumps(loads(data, typed=True)) == data for every stream that dumps writes. Bytes\n"
    "after the root are refused unless allow_trailing is true. The limits, for untrusted\n"
    "input, bound the nesting depth, the number of elements and the bytes of one string\n"
    "or binary. Raises DecodeError (a ValueError) with the offset of the fault.";

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"",          "typed", "allow_trailing", "max_depth", "max_elements",
                                     "max_bytes", nullptr};
    PyObject* data;
    int typed = 0;
    int allow_trailing = 0;
    PyObject* limits[3] = {Py_None, Py_None, Py_None};
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
        data = PyTuple_GetItem(args, 0);
    } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppOOO:loads", const_cast<char**>(keywords), &data,
                                            &typed, &allow_trailing, &limits[0], &limits[1], &limits[2])) {
        return nullptr;
    }
    DecodeOptions options;
    options.typed = typed != 0;
    if (!parse_limits(limits, &options))
        return nullptr;

    const uint8_t* bytes;
    size_t size;
    BufferView view;
    if (PyBytes_Check(data)) {
        char* p;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(data, &p, &n) < 0)
            return nullptr;
        bytes = reinterpret_cast<const uint8_t*>(p);
        size = static_cast<size_t>(n);
    } else {
        if (PyUnicode_Check(data)) {
            PyErr_SetString(PyExc_TypeError, "loads takes a bytes-like object, not str");
            return nullptr;
        }
        if (!view.acquire(data)) {
            // A strided buffer keeps the exporter's BufferError.
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "loads takes a bytes-like object");
            }
            return nullptr;
        }
        bytes = view.data();
        size = view.size();
    }

    Decoder decoder(options);
    size_t pos = 0;
    switch (decoder.feed(bytes, size, &pos)) {
    case Decoder::Status::Failed:
    case Decoder::Status::Item: // not streamed: never
        return nullptr;
    case Decoder::Status::NeedMore:
        return decoder.raise_truncated();
    case Decoder::Status::Done:
        break;
    }
    if (pos < size && !allow_trailing)
        return raise_decode_error(static_cast<long long>(pos), "the end of the stream",
                                  "%zu bytes follow the root's end marker at offset %zu "
                                  "(loads(..., allow_trailing=True) ignores them)",
                                  size - pos, pos);
    return decoder.take_root();
}

const char kToVariantDoc[] =
    "to_variant(obj, /, *, default=None, utc=False)\n"
    "--\n"
    "\n"
    "Returns the handle of a new variant tree for obj, owned by the caller (release it\n"
    "with _qeltypes.qelt_variant_decref). The mapping and the options are those of\n"
    "dumps; obj may also be a scalar. The variant library holds no empty binary, so\n"
    "empty bytes raise qeltypes.error_WRONG_STRING_SIZE.";

PyObject* to_variant_fn(PyObject*, PyObject* args, PyObject* kwargs)
{
    PyObject* obj;
    EncodeOptions options;
    if (!parse_encode_options(args, kwargs, "O|$Op:to_variant", &obj, &options))
        return nullptr;
    return to_variant(obj, options);
}

const char kFromVariantDoc[] =
    "from_variant(handle, /, *, typed=False)\n"
    "--\n"
    "\n"
    "Returns the Python objects of the variant tree behind handle (a handle of\n"
    "_qeltypes, borrowed), with the mapping of loads; maps come in their own\n"
    "iteration order.";

PyObject* from_variant_fn(PyObject*, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"", "typed", nullptr};
    PyObject* handle;
    int typed = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:from_variant", const_cast<char**>(keywords), &handle,
                                     &typed))
        return nullptr;
    return from_variant(handle, typed != 0);
}

const char kSelfChecksDoc[] =
    "_self_checks()\n"
    "--\n"
    "\n"
    "Which object layouts the import-time self-checks found readable (private: the\n"
    "codec falls back to the interpreter's functions for any that is False).";

PyObject* self_checks(PyObject*, PyObject*)
{
    return Py_BuildValue("{sNsNsNsNsN}", "datetime", PyBool_FromLong(g.datetime_layout), "sequence",
                         PyBool_FromLong(g.sequence_layout), "ascii", PyBool_FromLong(g.ascii_layout), "int",
                         PyBool_FromLong(g.int_layout), "float", PyBool_FromLong(g.float_layout));
}

/* ------------------------------------------------------------------------ */
/* Module                                                                     */
/* ------------------------------------------------------------------------ */

#define QELCODEC_ROW(name, fn, doc)                                                                              \
    {                                                                                                            \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, \
            doc                                                                                                  \
    }

PyMethodDef kMethods[] = {
    QELCODEC_ROW("dumps", dumps, kDumpsDoc),
    QELCODEC_ROW("loads", loads, kLoadsDoc),
    QELCODEC_ROW("to_variant", to_variant_fn, kToVariantDoc),
    QELCODEC_ROW("from_variant", from_variant_fn, kFromVariantDoc),
    {"_self_checks", self_checks, METH_NOARGS, kSelfChecksDoc},
    {nullptr, nullptr, 0, nullptr},
};

#undef QELCODEC_ROW

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "qeltypes._codec",
    "Python objects to QEL bytes and variant trees, and back.",
    -1,
    kMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace qelcodec

PyMODINIT_FUNC PyInit__codec(void)
{
    if (!qelcodec::init_runtime())
        return nullptr;
    PyObject* module = PyModule_Create(&qelcodec::kModuleDef);
    if (module != nullptr && !qelcodec::add_stream_types(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
