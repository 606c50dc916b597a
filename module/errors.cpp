// The exception classes: made once at import, raised by every method.

#include "qeltypes_module.h"

namespace qeltypes {

namespace {

/* ------------------------------------------------------------------------ */
/* Exception classes                                                          */
/* ------------------------------------------------------------------------ */
/* Row i is the class of error code i; row 0, the base class, also serves
 * every code without a row of its own (the format library's codes among
 * them). */

struct ExceptionRow {
    const char* class_name; // dotted: "qeltypes" becomes the class's module
    const char* attribute;
};

constexpr ExceptionRow kExceptionRows[] = {
    {"qeltypes.error", "qeltypesError"},
    {"qeltypes.error_NYI", "qeltypesError_NYI"},
    {"qeltypes.error_INVALID_TYPE", "qeltypesError_INVALID_TYPE"},
    {"qeltypes.error_NULL_PTR", "qeltypesError_NULL_PTR"},
    {"qeltypes.error_REFCNT_EXCD", "qeltypesError_REFCNT_EXCD"},
    {"qeltypes.error_UNKNOWN", "qeltypesError_UNKNOWN"},
    {"qeltypes.error_OUT_OF_MEMORY", "qeltypesError_OUT_OF_MEMORY"},
    {"qeltypes.error_INDEX_OUT_OF_RANGE", "qeltypesError_INDEX_OUT_OF_RANGE"},
    {"qeltypes.error_CIRCULAR_REFERENCE", "qeltypesError_CIRCULAR_REFERENCE"},
    {"qeltypes.error_KEY_NOT_EXISTS", "qeltypesError_KEY_NOT_EXISTS"},
    {"qeltypes.error_WRONG_STRING_SIZE", "qeltypesError_WRONG_STRING_SIZE"},
    {"qeltypes.error_ILLEGAL_FILE_CONTENT", "qeltypesError_ILLEGAL_FILE_CONTENT"},
    {"qeltypes.error_UNDEFINED", "qeltypesError_UNDEFINED"},
};
constexpr int kExceptionCount = sizeof kExceptionRows / sizeof kExceptionRows[0];
static_assert(kExceptionCount == QELT_ERR_UNDEFINED + 1, "one class per error code");

/* One strong reference each, never released: the classes outlive any module
 * object, and a second import reuses them so that a class caught by one
 * module object is the class that every other raises. */
PyObject* g_exception_classes[kExceptionCount];

} // namespace

bool add_exception_classes(PyObject* module)
{
    for (int code = 0; code < kExceptionCount; ++code) {
        PyObject*& cls = g_exception_classes[code];
        if (cls == nullptr) {
            PyObject* base = code == 0 ? nullptr : g_exception_classes[0];
            cls = PyErr_NewException(kExceptionRows[code].class_name, base, nullptr);
            if (cls == nullptr)
                return false;
        }
        Py_INCREF(cls);
        if (PyModule_AddObject(module, kExceptionRows[code].attribute, cls) < 0) {
            Py_DECREF(cls);
            return false;
        }
    }
    return true;
}

PyObject* raise_error(const char* method, qelt_err code)
{
    const bool own_class = code >= 1 && code < kExceptionCount;
    PyErr_Format(g_exception_classes[own_class ? code : 0], "%s failed (%d)", method, static_cast<int>(code));
    return nullptr;
}

} // namespace qeltypes
