/*
 * The interpreter's C API as the codec uses it: the stable ABI of CPython 3.7
 * (the build defines Py_LIMITED_API), plus the few entry points that every
 * CPython 3 interpreter exports although the limited API lists them only from
 * a later version on. Their signatures and the buffer record have not changed
 * since 3.3.
 */
#ifndef QELTYPES_CODEC_PY_H
#define QELTYPES_CODEC_PY_H

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

extern "C" {
/* Listed from 3.10 on. The UTF-8 form is cached in the str object, so the
 * pointer stays valid while the object lives. */
const char* PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);

/* Not in the limited API: a new str of `size` code points up to `maxchar`,
 * to be filled in place. Used only for compact ASCII strings, whose text
 * lies at a place an import-time self-check found (runtime.h). */
PyObject* PyUnicode_New(Py_ssize_t size, uint32_t maxchar);

/* The buffer protocol, listed from 3.11 on; the record is Py_buffer. */
struct QelPyBuffer {
    void* buf;
    PyObject* obj;
    Py_ssize_t len;
    Py_ssize_t itemsize;
    int readonly;
    int ndim;
    char* format;
    Py_ssize_t* shape;
    Py_ssize_t* strides;
    Py_ssize_t* suboffsets;
    void* internal;
};
int PyObject_GetBuffer(PyObject* obj, QelPyBuffer* view, int flags);
void PyBuffer_Release(QelPyBuffer* view);
}

namespace qelcodec {

/* PyBUF_SIMPLE: one contiguous block of bytes, read only. */
constexpr int kBufferSimple = 0;

/* One owned reference, released when the holder goes. */
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr)
    {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

/* A new reference to a borrowed object. */
inline PyObject* new_ref(PyObject* o)
{
    Py_INCREF(o);
    return o;
}

/* A held buffer view, released with its holder. */
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }
    /* False with the exporter's exception when the object lends no simple
     * contiguous buffer. */
    bool acquire(PyObject* o)
    {
        held_ = PyObject_GetBuffer(o, &view_, kBufferSimple) == 0;
        return held_;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

private:
    QelPyBuffer view_{};
    bool held_ = false;
};

} // namespace qelcodec

#endif /* QELTYPES_CODEC_PY_H */
