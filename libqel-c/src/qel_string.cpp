// String measurement: the code units of a string up to its terminator.
#include "qel_string.h"

#include <cstring>

#include "qel_check.h"

extern "C" uint32_t qel_string_unit_size(uint32_t string_type) noexcept {
    constexpr uint32_t unit_sizes[] = {1, 1, 2, 4};
    return string_type < 4 ? unit_sizes[string_type] : 0;
}

extern "C" qel_err qel_string_get_units(uint32_t string_type, const void* string_buffer, uint32_t units_in,
                                        uint32_t* units) noexcept {
    // Strings are written with 1-byte units only, so a type of wider units
    // is as wrong here as an unknown one.
    const uint32_t unit_size = qel_string_unit_size(string_type) == 1 ? 1 : 0;
    QEL_CHECK(NULL != string_buffer, "missing string buffer", QEL_ERR_INVALID);
    QEL_CHECK(1 <= units_in, "invalid string buffer size", QEL_ERR_SIZE);
    QEL_CHECK(1 <= unit_size, "wrong string type", QEL_ERR_INVALID);

    const void* end = std::memchr(string_buffer, 0, units_in);
    const bool string_end_found = end != nullptr;
    QEL_CHECK(string_end_found, "invalid string buffer size", QEL_ERR_SIZE);
    if (units != nullptr) {
        *units =
            static_cast<uint32_t>(static_cast<const char*>(end) - static_cast<const char*>(string_buffer)) + 1;
    }
    return QEL_SUCCESS;
}
