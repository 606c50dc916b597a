/* Compiled as C: every public header must be includable from a C compiler. */
#if __has_include("qel/qel.h")
#include "qel/qel.h"
#endif
#include "qel/qel_wire.h"
#include "qelt/qelt.h"
#include "qelt/qelt_bridge.h"
#include "qeltypes_capi.h"

int qel_c_headers_compile(void);
int qel_c_headers_compile(void) { return QELT_SUCCESS; }
