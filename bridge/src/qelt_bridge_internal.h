// What the tree reader and the tree writer share: both libraries' headers,
// and the one conversion of the format library's codes.
#ifndef QELT_BRIDGE_INTERNAL_H
#define QELT_BRIDGE_INTERNAL_H

#include "qel/qel.h"
#include "qelt/qelt.h"
#include "qelt/qelt_bridge.h"

// Format-library codes (5502 to 5508) pass through the bridge unchanged.
inline qelt_err as_qelt(qel_err code) noexcept { return static_cast<qelt_err>(code); }

#endif  // QELT_BRIDGE_INTERNAL_H
