// The driver of the codec targets: it embeds the interpreter once, imports
// codec_fuzz.py and hands every input, as bytes, to one function of it
// (QEL_FUZZ_FUNCTION). The function raises on a broken invariant; any
// exception that escapes it is a finding, printed with its traceback before
// the abort that makes libFuzzer keep the input.
#include <Python.h>

#include <cstdio>
#include <cstdlib>

namespace {

PyObject* g_target = nullptr;

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "fuzz_python: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The format library prints a diagnostic record for every refused call.
    if (std::getenv("QEL_FUZZ_VERBOSE") == nullptr) (void)std::freopen("/dev/null", "w", stdout);
    // Every object from malloc, so that AddressSanitizer sees overflows of
    // the objects the codec reads and writes, and LeakSanitizer the ones it
    // leaks (the interpreter's own arenas are mmap'd and not scanned).
    setenv("PYTHONMALLOC", "malloc", 1);
    // The same interpreter that the modules were built for, whatever the
    // environment; a fixed hash seed, so that an input replays the same way.
    setenv("PYTHONHOME", QEL_FUZZ_PYTHON_HOME, 1);
    setenv("PYTHONHASHSEED", "0", 1);
    setenv("PYTHONNOUSERSITE", "1", 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    unsetenv("PYTHONPATH");
    setenv("QEL_FUZZ_STAGE", QEL_FUZZ_STAGE, 1);
    // No signal handlers: libFuzzer owns SIGINT and the crash signals.
    Py_InitializeEx(0);
    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    PyObject* stage = PyUnicode_FromString(QEL_FUZZ_STAGE);
    PyObject* source = PyUnicode_FromString(QEL_FUZZ_SOURCE);
    if (sys_path == nullptr || stage == nullptr || source == nullptr || PyList_Insert(sys_path, 0, stage) < 0 ||
        PyList_Insert(sys_path, 0, source) < 0)
        die("cannot set sys.path");
    Py_DECREF(stage);
    Py_DECREF(source);
    PyObject* module = PyImport_ImportModule("codec_fuzz");
    if (module == nullptr) die("cannot import codec_fuzz");
    g_target = PyObject_GetAttrString(module, QEL_FUZZ_FUNCTION);
    Py_DECREF(module);
    if (g_target == nullptr) die("codec_fuzz has no " QEL_FUZZ_FUNCTION);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                static_cast<Py_ssize_t>(size));
    if (input == nullptr) die("cannot make the input bytes");
    PyObject* result = PyObject_CallFunctionObjArgs(g_target, input, nullptr);
    Py_DECREF(input);
    if (result == nullptr) die(QEL_FUZZ_FUNCTION " failed");
    Py_DECREF(result);
    return 0;
}
