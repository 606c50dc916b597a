// Test helpers: a variant reference released by decref when it goes out of
// scope, constructors that must succeed, and reference counts.
#ifndef QELT_TESTS_OWNED_VARIANT_H
#define QELT_TESTS_OWNED_VARIANT_H

#include "qelt/qelt.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <vector>

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

// Reference counts to compare one by one: in a sum, a leak and an extra
// release cancel out.
inline std::vector<int> refcounts(std::initializer_list<const qelt_variant*> variants) {
    std::vector<int> counts;
    for (const qelt_variant* v : variants) counts.push_back(v->refcount);
    return counts;
}

#endif  // QELT_TESTS_OWNED_VARIANT_H
