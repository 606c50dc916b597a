// Writing list and map trees to bytes and files, and reading them back.

#include "qeltypes_module.h"

#include "qelt/qelt_bridge.h"

#include <cstring>

namespace qeltypes {

namespace {

/* The file-name capacity: the length and its terminator, 0 for an empty or
 * missing name (which the format library refuses as such). */
uint32_t file_name_capacity(Py_ssize_t length)
{
    return length >= 1 ? static_cast<uint32_t>(length + 1) : 0;
}

/* The libraries end a name at its first NUL, so such a name would reach
 * another file; refused with open()'s ValueError before anything is opened. */
bool refuse_embedded_nul(const char* name, Py_ssize_t length)
{
    if (name == nullptr || std::memchr(name, '\0', static_cast<size_t>(length)) == nullptr)
        return false;
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return true;
}

} // namespace

extern const char doc_qelt_write_to_buffer[] =
    "qelt_write_to_buffer(variant)\n"
    "Writes a container variant into a buffer\n"
    "\n"
    "Args:\n"
    "    variant (int): container variant handle\n"
    "\n"
    "Returns:\n"
    "    (bytes): the Qel representation of the container variant";

PyObject* meth_qelt_write_to_buffer(PyObject*, PyObject* args)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* root;
    if (!to_variant(handle, &root, "qelt_write_to_buffer"))
        return nullptr;
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    qelt_err rc;
    Py_BEGIN_ALLOW_THREADS rc = qelt_write_to_buffer(root, &buffer, &size);
    Py_END_ALLOW_THREADS if (rc != QELT_SUCCESS) return raise_error("qelt_write_to_buffer", rc);
    PyObject* bytes = bytes_from(buffer, size);
    qelt_free_buffer(buffer);
    return bytes;
}

extern const char doc_qelt_write_to_file[] =
    "qelt_write_to_file(variant, filename)\n"
    "Writes a container variant into a file\n"
    "\n"
    "Args:\n"
    "    variant (int): container variant handle\n"
    "    filename (str): full path to Qel file to write";

PyObject* meth_qelt_write_to_file(PyObject*, PyObject* args)
{
    PyObject* handle;
    const char* name;
    Py_ssize_t length;
    if (!parse_with_lengths(args, "Oz#", &handle, &name, &length))
        return nullptr;
    const TerminatedText terminated(PyTuple_GetItem(args, 1), name, length, "qelt_write_to_file");
    if (!terminated.ok() || refuse_embedded_nul(name, length))
        return nullptr;
    qelt_variant* root;
    if (!to_variant(handle, &root, "qelt_write_to_file"))
        return nullptr;
    const char* const safe_name = terminated.text();
    const uint32_t capacity = file_name_capacity(length);
    qelt_err rc;
    Py_BEGIN_ALLOW_THREADS rc = qelt_write_to_file(root, safe_name, capacity);
    Py_END_ALLOW_THREADS if (rc != QELT_SUCCESS) return raise_error("qelt_write_to_file", rc);
    return none();
}

extern const char doc_qelt_read_from_buffer[] =
    "qelt_read_from_buffer(buffer)\n"
    "Reads a container variant from a buffer\n"
    "\n"
    "Args:\n"
    "    buffer (bytes): the Qel representation of the container variant\n"
    "\n"
    "Returns:\n"
    "    (int): container variant handle";

PyObject* meth_qelt_read_from_buffer(PyObject*, PyObject* args)
{
    const char* data;
    Py_ssize_t length;
    if (!parse_with_lengths(args, "y#", &data, &length))
        return nullptr;
    // Cut to 32 bits, a longer buffer would be read as a shorter one.
    if (!fits_u32_length(length))
        return raise_error("qelt_read_from_buffer", QELT_ERR_ILLEGAL_FILE_CONTENT);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    const auto size = static_cast<uint32_t>(length);
    qelt_variant* root = nullptr;
    qelt_err rc;
    Py_BEGIN_ALLOW_THREADS rc = qelt_read_from_buffer(&root, bytes, size);
    Py_END_ALLOW_THREADS if (rc != QELT_SUCCESS) return raise_error("qelt_read_from_buffer", rc);
    return owned_handle(root);
}

extern const char doc_qelt_read_from_file[] =
    "qelt_read_from_file(filename)\n"
    "Reads a container variant from a file\n"
    "\n"
    "Args:\n"
    "    filename (str): full path to Qel file to read\n"
    "\n"
    "Returns:\n"
    "    (int): container variant handle";

PyObject* meth_qelt_read_from_file(PyObject*, PyObject* args)
{
    const char* name;
    Py_ssize_t length;
    if (!parse_with_lengths(args, "z#", &name, &length))
        return nullptr;
    const TerminatedText terminated(PyTuple_GetItem(args, 0), name, length, "qelt_read_from_file");
    if (!terminated.ok() || refuse_embedded_nul(name, length))
        return nullptr;
    const char* const safe_name = terminated.text();
    const uint32_t capacity = file_name_capacity(length);
    qelt_variant* root = nullptr;
    qelt_err rc;
    Py_BEGIN_ALLOW_THREADS rc = qelt_read_from_file(&root, safe_name, capacity);
    Py_END_ALLOW_THREADS if (rc != QELT_SUCCESS) return raise_error("qelt_read_from_file", rc);
    return owned_handle(root);
}

} // namespace qeltypes
