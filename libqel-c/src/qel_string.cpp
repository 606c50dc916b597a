#include "qel_string.h"

#include <cstring>

#include "qel_check.h"

extern "C" uint32_t qel_string_unit_size(uint32_t string_type) noexcept {
    constexpr uint32_t unit_sizes[] = {1, 1, 2, 4};
    return string_type < 4 ? unit_sizes[string_type] : 0;
}

extern "C" qel_err qel_string_get_units(uint32_t string_type, const void* string_buffer,
                                        uint32_t units_in, uint32_t* units) noexcept {
    const uint32_t unit_size = qel_string_unit_size(string_type);
    QEL_CHECK(NULL != string_buffer, "missing string buffer", QEL_ERR_INVALID);
    QEL_CHECK(1 <= units_in, "invalid string buffer size", QEL_ERR_SIZE);
    QEL_CHECK(1 <= unit_size, "wrong string type", QEL_ERR_INVALID);

    const auto* bytes = static_cast<const unsigned char*>(string_buffer);
    static constexpr unsigned char zero_unit[4] = {0, 0, 0, 0};
    bool string_end_found = false;
    uint32_t i = 0;
    if (unit_size == 1) {
        const void* end = std::memchr(bytes, 0, units_in);
        string_end_found = end != nullptr;
        if (string_end_found) i = static_cast<uint32_t>(static_cast<const unsigned char*>(end) - bytes);
    } else {
        for (; i < units_in; ++i) {
            if (std::memcmp(bytes + uint64_t{i} * unit_size, zero_unit, unit_size) == 0) {
                string_end_found = true;
                break;
            }
        }
    }
    QEL_CHECK(string_end_found, "invalid string buffer size", QEL_ERR_SIZE);
    if (units != nullptr) *units = i + 1;
    return QEL_SUCCESS;
}
