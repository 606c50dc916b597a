// Conversions that every method shares: handles checked and made, tuples,
// bytes, and texts made safe to hand to the libraries.

#include "qeltypes_module.h"

#include <cstdlib>
#include <cstring>

namespace qeltypes {

HandleCheck check_handle(PyObject* handle, qelt_variant** out)
{
    *out = nullptr;
    void* address = PyLong_AsVoidPtr(handle);
    if (address == nullptr) {
        if (!PyErr_Occurred())
            return HandleCheck::zero;
        // Either no integer at all, or one too large for an address.
        PyErr_Clear();
        return PyLong_Check(handle) ? HandleCheck::dead : HandleCheck::not_an_integer;
    }
    return qelt_variant_from_address(reinterpret_cast<uintptr_t>(address), out) == QELT_SUCCESS
               ? HandleCheck::live
               : HandleCheck::dead;
}

bool to_variant(PyObject* handle, qelt_variant** out, const char* method)
{
    if (check_handle(handle, out) != HandleCheck::dead)
        return true;
    raise_error(method, QELT_ERR_NULL_PTR);
    return false;
}

PyObject* owned_handle(qelt_variant* v)
{
    PyObject* handle = PyLong_FromVoidPtr(v);
    if (handle == nullptr)
        qelt_variant_decref(v);
    return handle;
}

PyObject* borrowed_handle(qelt_variant* v)
{
    return PyLong_FromVoidPtr(v);
}

PyObject* bytes_from(const void* data, size_t length)
{
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (bytes == nullptr || length == 0)
        return bytes;
    char* target = PyBytes_AsString(bytes);
    run_unlocked_if(length >= kUnlockedCopyFrom, [&] { return std::memcpy(target, data, length); });
    return bytes;
}

PyObject* steal_tuple(PyObject* const* items, Py_ssize_t count)
{
    PyObject* tuple = nullptr;
    bool complete = true;
    for (Py_ssize_t i = 0; i < count; ++i)
        complete = complete && items[i] != nullptr;
    if (complete)
        tuple = PyTuple_New(count);
    if (tuple == nullptr) {
        for (Py_ssize_t i = 0; i < count; ++i)
            Py_XDECREF(items[i]);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SetItem(tuple, i, items[i]); // cannot fail: a new tuple, an index in range
    return tuple;
}

namespace {

constexpr bool fits_u32_capacity(Py_ssize_t length)
{
    return length >= 0 && static_cast<unsigned long long>(length) < UINT32_MAX;
}
static_assert(fits_u32_capacity(0xFFFFFFFELL) && !fits_u32_capacity(0xFFFFFFFFLL));

} // namespace

TerminatedText::TerminatedText(PyObject* object, const char* text, Py_ssize_t length, const char* method)
    : text_(text)
{
    if (!fits_u32_capacity(length)) {
        raise_error(method, QELT_ERR_WRONG_STRING_SIZE);
        ok_ = false;
        return;
    }
    if (text == nullptr || PyUnicode_Check(object) || PyBytes_Check(object))
        return;
    copy_ = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy_ == nullptr) {
        PyErr_NoMemory();
        ok_ = false;
        return;
    }
    std::memcpy(copy_, text, static_cast<size_t>(length));
    copy_[length] = '\0';
    text_ = copy_;
}

TerminatedText::~TerminatedText()
{
    std::free(copy_);
}

} // namespace qeltypes

static_assert(qeltypes::fits_u32_length(0xFFFFFFFFLL) && !qeltypes::fits_u32_length(0x100000000LL));
