/* The check-and-log construct that every check of the format library uses. */
#ifndef QEL_SRC_QEL_CHECK_H
#define QEL_SRC_QEL_CHECK_H

#include <cstdint>

#include "qel/qel.h"

namespace qel_detail {
constexpr const char* expression_text(const char* stringised) { return stringised; }
constexpr const char* expression_text(const char*, const char* printed) { return printed; }
}  // namespace qel_detail

/* The one shape of a check: unless `cond` holds, print the record with the
 * condition's own text (or, as a fourth argument, the text to print in its
 * place) and return `code` from the enclosing function. */
#define QEL_CHECK(cond, message, code, ...)                                                      \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            qel_log_error(__FILE__, __LINE__, "\"" message "\":expression failed %s: error (%d)", \
                          qel_detail::expression_text(#cond __VA_OPT__(, ) __VA_ARGS__),          \
                          static_cast<int32_t>(code));                                           \
            return code;                                                                         \
        }                                                                                        \
    } while (0)

#endif /* QEL_SRC_QEL_CHECK_H */
