/* The check-and-log construct that every check of the format library uses. */
#ifndef QEL_SRC_QEL_CHECK_H
#define QEL_SRC_QEL_CHECK_H

#include <cstdint>

#include "qel/qel.h"

namespace qel_detail {
constexpr const char* expression_text(const char* stringised) { return stringised; }
constexpr const char* expression_text(const char*, const char* printed) { return printed; }
}  // namespace qel_detail

/* The one shape of a check: unless `cond` holds, print the record and return
 * `code` from the enclosing function.
 *
 * The record prints the condition as it is spelled (#cond), and that text is
 * output: callers read the records and the tests pin them. So a condition
 * that looks untidy keeps its spelling to the character, spaces included:
 * `w->state->state==STATE_LIST`, `(const char*)r->header.magic,4` and the
 * `NULL != p` comparisons must not be tidied (clang-format would space the
 * first two; they sit between `clang-format off` and `on`). Where a condition has to be
 * written differently, give the text to print as a fourth argument, and the
 * record keeps it whatever the condition becomes:
 *     QEL_CHECK(NULL != bigger, "resize buffer failed", QEL_ERR_ALLOCATION, "QEL_FALSE"); */
#define QEL_CHECK(cond, message, code, ...)                                                       \
    do {                                                                                          \
        if (!(cond)) {                                                                            \
            qel_log_error(__FILE__, __LINE__, "\"" message "\":expression failed %s: error (%d)", \
                          qel_detail::expression_text(#cond __VA_OPT__(, ) __VA_ARGS__),          \
                          static_cast<int32_t>(code));                                            \
            return code;                                                                          \
        }                                                                                         \
    } while (0)

#endif /* QEL_SRC_QEL_CHECK_H */
