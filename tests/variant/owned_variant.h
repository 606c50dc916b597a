// Test helper: a variant reference released by decref when it goes out of scope.
#ifndef QELT_TESTS_OWNED_VARIANT_H
#define QELT_TESTS_OWNED_VARIANT_H

#include "qelt/qelt.h"

#include <memory>

struct VariantDecref {
    void operator()(qelt_variant* v) const noexcept { qelt_variant_decref(v); }
};
using OwnedVariant = std::unique_ptr<qelt_variant, VariantDecref>;

#endif  // QELT_TESTS_OWNED_VARIANT_H
