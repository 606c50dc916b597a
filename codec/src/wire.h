/* Walking bytes of the format that are already known to be well formed. */
#ifndef QELTYPES_CODEC_WIRE_H
#define QELTYPES_CODEC_WIRE_H

#include <cstdint>

#include "qel/qel_wire.h"

namespace qelcodec {

/* The offset just after the value that starts at `q`: one element, or a
 * container with everything up to its end marker. `element_size(q)` gives
 * the size of the element at `q`; `type(q)` its type byte. */
template <typename TypeAt, typename SizeAt>
uint64_t skip_value(uint64_t q, TypeAt type, SizeAt element_size)
{
    uint64_t depth = 0;
    do {
        const uint8_t t = type(q);
        if (t == QEL_TYPE_LIST || t == QEL_TYPE_MAP) {
            ++depth;
            ++q;
        } else if (t == QEL_TYPE_END) {
            --depth;
            ++q;
        } else {
            q += element_size(q);
        }
    } while (depth > 0);
    return q;
}

} // namespace qelcodec

#endif /* QELTYPES_CODEC_WIRE_H */
