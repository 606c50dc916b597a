#include "owned_variant.h"

#include <gtest/gtest.h>

namespace {

// A mismatch is an answer, not an error: type_check succeeds and reports 0.
TEST(VariantCore, TypeAndSubtypeReports) {
    const struct {
        OwnedVariant v;
        uint8_t type, subtype;
    } cases[] = {
        {make(qelt_variant_new_string_utf8, "x", 2u), 4, 1},
        {make(qelt_variant_new_string_c, "x", 2u), 4, 0},
        {make(qelt_variant_new_binary, static_cast<const void*>("x"), 1u, uint8_t{7}), 14, 7},
        {make(qelt_variant_new_int64, int64_t{-5}), 5, 0},
        {make(qelt_variant_new_none), 15, 0},
    };
    for (const auto& c : cases) {
        uint8_t type = 0, subtype = 0xEE, matches = 7;
        ASSERT_EQ(qelt_variant_get_type(c.v.get(), &type, &subtype), QELT_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(subtype, c.subtype) << int(c.type);
        EXPECT_EQ(qelt_variant_get_type(c.v.get(), &type, nullptr), QELT_SUCCESS);
        for (int code : {0, 16, 255, int(c.type)}) {
            EXPECT_EQ(qelt_variant_type_check(c.v.get(), uint8_t(code), &matches), QELT_SUCCESS);
            EXPECT_EQ(matches, code == c.type) << code;
        }
    }
}

TEST(VariantCore, RefcountStopsAt65535) {
    OwnedVariant v = make(qelt_variant_new_none);
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(qelt_variant_incref(v.get()), QELT_SUCCESS);
    uint16_t count = 0;
    EXPECT_EQ(qelt_variant_incref(v.get()), QELT_ERR_REFCNT_EXCD);
    ASSERT_EQ(qelt_variant_get_refcount(v.get(), &count), QELT_SUCCESS);
    EXPECT_EQ(count, 65535);
    for (int i = 0; i < 65534; ++i) qelt_variant_decref(v.get());
}

// A script's handle 0 arrives as a null variant.
TEST(VariantCore, NullVariantsAreRefusedAndVersion) {
    uint8_t byte = 0;
    uint16_t count = 0;
    uint32_t lib = 0, api = 0;
    EXPECT_EQ(qelt_variant_incref(nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_decref(nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_refcount(nullptr, &count), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_type(nullptr, &byte, &byte), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_type_check(nullptr, 15, &byte), QELT_ERR_NULL_PTR);
    ASSERT_EQ(qelt_get_version(&lib, &api), QELT_SUCCESS);
    EXPECT_EQ(lib, 1u);
    EXPECT_EQ(api, 101u);
}

}  // namespace
