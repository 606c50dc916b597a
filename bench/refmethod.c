/* The reference for the getters' call overhead: a method of exactly their
 * shape, with nothing of the libraries in it. One positional argument parsed
 * with "O", converted to an address, one native call that cannot be inlined
 * and does next to nothing, an int returned; the interpreter lock is held
 * throughout. Built against the same stable ABI as _qeltypes (see
 * bench_getters.py, which compiles it). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

__attribute__((noinline)) static int trivial_get(const void* address, uint16_t* out) {
    if (address == NULL || out == NULL) return 3;
    *out = 1;
    return 0;
}

static PyObject* reference_get(PyObject* self, PyObject* args) {
    PyObject* handle;
    uint16_t value = 0;
    (void)self;
    if (!PyArg_ParseTuple(args, "O", &handle)) return NULL;
    void* address = PyLong_AsVoidPtr(handle);
    if (address == NULL && PyErr_Occurred()) PyErr_Clear();
    if (trivial_get(address, &value) != 0) {
        PyErr_SetString(PyExc_ValueError, "reference_get failed (3)");
        return NULL;
    }
    return PyLong_FromLong(value);
}

static PyMethodDef methods[] = {
    {"reference_get", reference_get, METH_VARARGS, "reference_get(variant)"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_qelref", NULL, -1, methods};

PyMODINIT_FUNC PyInit__qelref(void) { return PyModule_Create(&module); }
