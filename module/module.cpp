// The module itself: its constants, its method table, its definition and its
// initialisation.

#include "qeltypes_module.h"

namespace qeltypes {

namespace {

/* ------------------------------------------------------------------------ */
/* Constants                                                                  */
/* ------------------------------------------------------------------------ */

struct ConstantRow {
    const char* name;
    long value;
};

#define QELTYPES_CONSTANT(name) \
    {                           \
#name, name             \
    }

const ConstantRow kConstantRows[] = {
    QELTYPES_CONSTANT(QELT_SUCCESS),
    QELTYPES_CONSTANT(QELT_ERR_NYI),
    QELTYPES_CONSTANT(QELT_ERR_INVALID_TYPE),
    QELTYPES_CONSTANT(QELT_ERR_NULL_PTR),
    QELTYPES_CONSTANT(QELT_ERR_REFCNT_EXCD),
    QELTYPES_CONSTANT(QELT_ERR_UNKNOWN),
    QELTYPES_CONSTANT(QELT_ERR_OUT_OF_MEMORY),
    QELTYPES_CONSTANT(QELT_ERR_INDEX_OUT_OF_RANGE),
    QELTYPES_CONSTANT(QELT_ERR_CIRCULAR_REFERENCE),
    QELTYPES_CONSTANT(QELT_ERR_KEY_NOT_EXISTS),
    QELTYPES_CONSTANT(QELT_ERR_WRONG_STRING_SIZE),
    QELTYPES_CONSTANT(QELT_ERR_ILLEGAL_FILE_CONTENT),
    QELTYPES_CONSTANT(QELT_ERR_UNDEFINED),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_INT64),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_INT32),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_INT16),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_INT8),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_UINT64),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_UINT32),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_UINT16),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_UINT8),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_FLOAT64),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_FLOAT32),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_FLOAT16),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_STRING),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_BOOL),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_BINARY),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_NONE),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_TIMESTAMP),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_LIST),
    QELTYPES_CONSTANT(QELT_VARIANT_TYPE_MAP),
    QELTYPES_CONSTANT(QELT_BINARY_TYPE_GENERIC),
    QELTYPES_CONSTANT(QELT_BINARY_TYPE_QEL),
    QELTYPES_CONSTANT(QELT_STRING_TYPE_C),
    QELTYPES_CONSTANT(QELT_STRING_TYPE_UTF8),
    QELTYPES_CONSTANT(QELT_LIST_INDEX_UNKNOWN),
    QELTYPES_CONSTANT(QELT_FALSE),
    QELTYPES_CONSTANT(QELT_TRUE),
};

#undef QELTYPES_CONSTANT

static_assert(sizeof kConstantRows / sizeof kConstantRows[0] == 38, "38 constants");

bool add_constants(PyObject* module)
{
    for (const ConstantRow& row : kConstantRows)
        if (PyModule_AddIntConstant(module, row.name, row.value) < 0)
            return false;
    return true;
}

/* ------------------------------------------------------------------------ */
/* Method table                                                               */
/* ------------------------------------------------------------------------ */

#define QELTYPES_ROW(name, flags)             \
    {                                         \
#name, meth_##name, flags, doc_##name \
    }
#define QELTYPES_SCALAR_ROWS(T, ...) \
    QELTYPES_ROW(qelt_variant_new_##T, METH_VARARGS), QELTYPES_ROW(qelt_variant_as_##T, METH_VARARGS),

PyMethodDef kMethods[] = {
    QELTYPES_ROW(qelt_get_version, METH_NOARGS),
    QELTYPES_ROW(qelt_variant_get_type, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_type_check, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_get_refcount, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_decref, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_incref, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_new_none, METH_NOARGS),
    QELTYPES_INTEGER_SCALARS(QELTYPES_SCALAR_ROWS) QELTYPES_ROW(qelt_variant_new_string_c, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_as_string_c, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_new_string_utf8, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_as_string_utf8, METH_VARARGS),
    QELTYPES_FLOAT_SCALARS(QELTYPES_SCALAR_ROWS) QELTYPES_ROW(qelt_float_to_half, METH_VARARGS),
    QELTYPES_ROW(qelt_half_to_float, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_new_list, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_append, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_insert, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_set_item, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_get_item, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_delete_item, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_clear, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_get_size, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_contains, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_list_contains_in_subset, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_new_map, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_set, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_get, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_delete, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_clear, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_first, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_next, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_get_size, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_map_haskey, METH_VARARGS),
    QELTYPES_BOOL_SCALAR(QELTYPES_SCALAR_ROWS) QELTYPES_ROW(qelt_variant_new_binary, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_as_binary, METH_VARARGS),
    QELTYPES_ROW(qelt_write_to_buffer, METH_VARARGS),
    QELTYPES_ROW(qelt_write_to_file, METH_VARARGS),
    QELTYPES_ROW(qelt_read_from_buffer, METH_VARARGS),
    QELTYPES_ROW(qelt_read_from_file, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_new_timestamp, METH_VARARGS),
    QELTYPES_ROW(qelt_variant_as_timestamp, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr},
};

#undef QELTYPES_SCALAR_ROWS
#undef QELTYPES_ROW

static_assert(sizeof kMethods / sizeof kMethods[0] == 64 + 1, "64 methods");

/* ------------------------------------------------------------------------ */
/* Module definition                                                          */
/* ------------------------------------------------------------------------ */
/* No per-module state: the classes live in process-wide storage, and nothing
 * else is kept, so there is nothing for the cycle collector to visit. */

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "_qeltypes", nullptr, 0, kMethods, nullptr, nullptr, nullptr, nullptr,
};

// The version this module has always been created with: PYTHON_API_VERSION,
// 1013 from CPython 3.7 to 3.13, which every one of them accepts without a
// warning, as it does the limited API's PYTHON_ABI_VERSION (3).
constexpr int kModuleApiVersion = 1013;

} // namespace

} // namespace qeltypes

PyMODINIT_FUNC PyInit__qeltypes(void)
{
    using namespace qeltypes;
    PyObject* module = PyModule_Create2(&kModuleDef, kModuleApiVersion);
    if (module == nullptr)
        return nullptr;
    if (!add_exception_classes(module) || !add_constants(module) || !add_variant_capi(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
