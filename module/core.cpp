// The methods of the variant core, as variant/src/core.cpp holds them:
// reference counting, type queries, the none variant and the version.

#include "qeltypes_module.h"

namespace qeltypes {

extern const char doc_qelt_get_version[] =
    "qelt_get_version()\n"
    "Get the current API and library version\n"
    "\n"
    "Returns:\n"
    "    (tuple of (int, int)): (library version, api version)";

PyObject* meth_qelt_get_version(PyObject*, PyObject*)
{
    uint32_t lib_version = 0;
    uint32_t api_version = 0;
    const qelt_err rc = qelt_get_version(&lib_version, &api_version);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_get_version", rc);
    return make_tuple(PyLong_FromUnsignedLong(lib_version), PyLong_FromUnsignedLong(api_version));
}

extern const char doc_qelt_variant_get_type[] =
    "qelt_variant_get_type(variant)\n"
    "Determines the type of the given variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (tuple of (int, int)): (type, subtype)";

PyObject* meth_qelt_variant_get_type(PyObject*, PyObject* args)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, "qelt_variant_get_type"))
        return nullptr;
    uint8_t type = 0;
    uint8_t subtype = 0;
    const qelt_err rc = qelt_variant_get_type(v, &type, &subtype);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_get_type", rc);
    return make_tuple(PyLong_FromLong(type), PyLong_FromLong(subtype));
}

extern const char doc_qelt_variant_type_check[] =
    "qelt_variant_type_check(variant, type)\n"
    "Check type of an Qel variant\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "    type (int): type id to be checked\n"
    "\n"
    "Returns:\n"
    "    (bool): True if variant type matches";

PyObject* meth_qelt_variant_type_check(PyObject*, PyObject* args)
{
    PyObject* handle;
    unsigned short type_code;
    if (!PyArg_ParseTuple(args, "OH", &handle, &type_code))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, "qelt_variant_type_check"))
        return nullptr;
    const auto type = static_cast<uint8_t>(type_code);
    uint8_t matches = 0;
    const qelt_err rc = qelt_variant_type_check(v, type, &matches);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_type_check", rc);
    return PyBool_FromLong(matches);
}

extern const char doc_qelt_variant_get_refcount[] =
    "qelt_variant_get_refcount(variant)\n"
    "Get current reference count\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle\n"
    "\n"
    "Returns:\n"
    "    (int): reference counter value";

PyObject* meth_qelt_variant_get_refcount(PyObject*, PyObject* args)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* v;
    if (!to_variant(handle, &v, "qelt_variant_get_refcount"))
        return nullptr;
    uint16_t count = 0;
    const qelt_err rc = qelt_variant_get_refcount(v, &count);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_get_refcount", rc);
    return PyLong_FromLong(count);
}

extern const char doc_qelt_variant_decref[] =
    "qelt_variant_decref(variant)\n"
    "Decrement variant reference counter\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle";

PyObject* meth_qelt_variant_decref(PyObject*, PyObject* args)
{
    return call_on_handle<qelt_variant_decref, may_tear_down>(args, "qelt_variant_decref");
}

extern const char doc_qelt_variant_incref[] =
    "qelt_variant_incref(variant)\n"
    "Increment variant reference counter\n"
    "\n"
    "Args:\n"
    "    variant (int): variant handle";

PyObject* meth_qelt_variant_incref(PyObject*, PyObject* args)
{
    return call_on_handle<qelt_variant_incref, never>(args, "qelt_variant_incref");
}

extern const char doc_qelt_variant_new_none[] =
    "qelt_variant_new_none()\n"
    "Create new variant of type none\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

PyObject* meth_qelt_variant_new_none(PyObject*, PyObject*)
{
    return new_without_value<qelt_variant_new_none>("qelt_variant_new_none");
}

} // namespace qeltypes
