// The variant C API capsule (_qeltypes._C_API): the library's functions and
// the module's own handle rules, shared with the package's codec so that the
// process holds one variant library and one set of handle checks.

#include "qeltypes_module.h"

#include "qeltypes_capi.h"

namespace qeltypes {

namespace {

PyObject* capi_handle_to_py(qelt_variant* v)
{
    return owned_handle(v);
}

int capi_handle_from_py(PyObject* handle, qelt_variant** out, const char* method)
{
    qelt_variant* v;
    if (!to_variant(handle, &v, method))
        return -1;
    if (v == nullptr) {
        raise_error(method, QELT_ERR_NULL_PTR);
        return -1;
    }
    *out = v;
    return 0;
}

const QelVariantCAPI kVariantCAPI = {
    sizeof(QelVariantCAPI),     capi_handle_to_py,
    capi_handle_from_py,        raise_error,
    qelt_variant_incref,        qelt_variant_decref,
    qelt_variant_get_type,      qelt_variant_new_none,
    qelt_variant_new_bool,      qelt_variant_new_float16,
    qelt_variant_new_float32,   qelt_variant_new_float64,
    qelt_variant_new_int8,      qelt_variant_new_int16,
    qelt_variant_new_int32,     qelt_variant_new_int64,
    qelt_variant_new_uint8,     qelt_variant_new_uint16,
    qelt_variant_new_uint32,    qelt_variant_new_uint64,
    qelt_variant_as_bool,       qelt_variant_as_float16,
    qelt_variant_as_float32,    qelt_variant_as_float64,
    qelt_variant_as_int8,       qelt_variant_as_int16,
    qelt_variant_as_int32,      qelt_variant_as_int64,
    qelt_variant_as_uint8,      qelt_variant_as_uint16,
    qelt_variant_as_uint32,     qelt_variant_as_uint64,
    qelt_variant_new_string_c,  qelt_variant_new_string_utf8,
    qelt_variant_as_string_c,   qelt_variant_as_string_utf8,
    qelt_variant_new_binary,    qelt_variant_as_binary,
    qelt_variant_new_timestamp, qelt_variant_as_timestamp,
    qelt_variant_new_list,      qelt_variant_list_append,
    qelt_variant_list_get_size, qelt_variant_list_get_item,
    qelt_variant_new_map,       qelt_variant_map_set,
    qelt_variant_map_get_size,  qelt_variant_map_first,
    qelt_variant_map_next,
};

} // namespace

bool add_variant_capi(PyObject* module)
{
    // The table is constant; the capsule only lends its address.
    PyObject* capsule = PyCapsule_New(const_cast<QelVariantCAPI*>(&kVariantCAPI), QELTYPES_CAPI_NAME, nullptr);
    if (capsule == nullptr)
        return false;
    if (PyModule_AddObject(module, "_C_API", capsule) < 0) {
        Py_DECREF(capsule);
        return false;
    }
    return true;
}

} // namespace qeltypes
