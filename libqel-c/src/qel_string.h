/* String measurement: the size of the code units of each string subtype, and
 * the length of a zero-terminated string of 1-byte units. */
#ifndef QEL_SRC_QEL_STRING_H
#define QEL_SRC_QEL_STRING_H

#include <cstdint>

#include "qel/qel.h"

extern "C" {
/* Bytes per code unit of a QEL_SUB_STRING_* subtype; 0 for any other. */
uint32_t qel_string_unit_size(uint32_t string_type) noexcept;
/* The number of bytes up to and including the first zero byte among the
 * `units_in` bytes of `string_buffer`, for a subtype of 1-byte units (C or
 * UTF-8; any other is QEL_ERR_INVALID); QEL_ERR_SIZE when there is none.
 * `units` is optional. */
qel_err qel_string_get_units(uint32_t string_type, const void* string_buffer, uint32_t units_in,
                             uint32_t* units) noexcept;
}

#endif /* QEL_SRC_QEL_STRING_H */
