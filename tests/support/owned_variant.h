// Test helpers: a variant reference released by decref when it goes out of
// scope, and constructors that must succeed.
#ifndef QELT_TESTS_OWNED_VARIANT_H
#define QELT_TESTS_OWNED_VARIANT_H

#include "qelt/qelt.h"

#include <gtest/gtest.h>

#include <memory>

struct VariantDecref {
    void operator()(qelt_variant* v) const noexcept { qelt_variant_decref(v); }
};
using OwnedVariant = std::unique_ptr<qelt_variant, VariantDecref>;

// make(qelt_variant_new_int8, -1), make(qelt_variant_new_list), ...
template <typename Ctor, typename... Args>
OwnedVariant make(Ctor ctor, Args... args) {
    qelt_variant* v = nullptr;
    EXPECT_EQ(ctor(&v, args...), QELT_SUCCESS);
    return OwnedVariant(v);
}

inline OwnedVariant i32(int32_t x) { return make(qelt_variant_new_int32, x); }

#endif  // QELT_TESTS_OWNED_VARIANT_H
