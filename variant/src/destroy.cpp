// Placeholder until the container teardown lands: frees the record only.
#include "qelt_internal.h"

#include <cstdlib>

extern "C" void qelt_container_destroy(qelt_variant* v) { std::free(v); }
