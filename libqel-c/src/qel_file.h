/* Opening a file that a finished stream replaces. */
#ifndef QEL_SRC_QEL_FILE_H
#define QEL_SRC_QEL_FILE_H

#include <cstddef>
#include <cstdio>

#include "qel/qel.h"

extern "C" {
/* Like qel_file_open for writing, but a regular target (or a missing one) is
 * not touched: the stream goes to a new temporary file beside it, named in
 * *temporary, which the caller renames over *target (a copy of the name) once
 * the stream is complete, or removes. Both strings are the caller's to free.
 * Any other target (a symbolic link, a file with several links, a FIFO, a
 * device), or one beside which no temporary file may be made, is opened in
 * place as by qel_file_open, with both strings null. A full disk fails at
 * once with QEL_ERR_FILE, since writing in place would lose the old
 * contents. */
qel_err qel_file_open_replacing(FILE** filehandle, char** temporary, char** target, const char* filename,
                                size_t n_fn) noexcept;
}

#endif /* QEL_SRC_QEL_FILE_H */
