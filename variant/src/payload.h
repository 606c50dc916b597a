// The heap-payload types (STRING, BINARY, TIMESTAMP): the records whose
// `value` points to a block of `size` bytes that the record owns.
#ifndef QELT_PAYLOAD_H
#define QELT_PAYLOAD_H

#include "qelt/qelt.h"

#include <cstdint>

// Bits 4, 14 and 19: one test serves destruction, hashing and equality.
inline constexpr uint32_t kQeltHeapPayloadMask =
    (1u << QELT_VARIANT_TYPE_STRING) | (1u << QELT_VARIANT_TYPE_BINARY) | (1u << QELT_VARIANT_TYPE_TIMESTAMP);
static_assert(kQeltHeapPayloadMask == 0x84010u);

inline constexpr bool qelt_has_heap_payload(uint8_t type) noexcept {
    return type < 20 && ((kQeltHeapPayloadMask >> type) & 1u) != 0;
}

#endif  // QELT_PAYLOAD_H
