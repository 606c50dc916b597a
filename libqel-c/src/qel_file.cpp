#include <cstdio>
#include <cstring>

#include "qel/qel.h"
#include "qel_check.h"

extern "C" qel_err qel_file_open(FILE** filehandle, const char* filename, size_t n_fn,
                                 uint8_t write) noexcept {
    QEL_CHECK((NULL != filehandle) && (NULL != filename), "illegal parameters", QEL_ERR_INVALID);
    QEL_CHECK(n_fn > strnlen(filename, n_fn), "illegal file name size", QEL_ERR_SIZE);
    // Binary modes: a stream must come back byte for byte on every platform.
    *filehandle = std::fopen(filename, write ? "wb" : "rb");
    QEL_CHECK(*filehandle != NULL, "cannot open file", QEL_ERR_FILE);
    return QEL_SUCCESS;
}
