#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

namespace {

TEST(VariantCore, NewNoneIsAFreshZeroRecord) {
    OwnedVariant v = make(qelt_variant_new_none);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, QELT_VARIANT_TYPE_NONE);
    EXPECT_EQ(v->refcount, 1);
    EXPECT_EQ(v->hash, QELT_HASH_NOT_COMPUTED);
    EXPECT_EQ(v->subtype, 0);
    EXPECT_EQ(v->size, 0u);
    EXPECT_EQ(v->value.u64, 0u);
    EXPECT_EQ(QELT_HASH_NOT_COMPUTED, 0xFFFFFFFFu);
    EXPECT_EQ(QELT_LIST_INDEX_UNKNOWN, -1);
}

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
        uint8_t type = 0, subtype = 0xEE;
        ASSERT_EQ(qelt_variant_get_type(c.v.get(), &type, &subtype), QELT_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(subtype, c.subtype) << int(c.type);
        type = 0;
        EXPECT_EQ(qelt_variant_get_type(c.v.get(), &type, nullptr), QELT_SUCCESS);
        EXPECT_EQ(type, c.type);
    }
}

TEST(VariantCore, TypeCheckReportsMismatchWithoutError) {
    OwnedVariant v = make(qelt_variant_new_none);
    for (int code : {0, 5, 14, 16, 48, 255}) {
        uint8_t matches = 7;
        EXPECT_EQ(qelt_variant_type_check(v.get(), static_cast<uint8_t>(code), &matches),
                  QELT_SUCCESS);
        EXPECT_EQ(matches, 0) << code;
    }
    uint8_t matches = 0;
    EXPECT_EQ(qelt_variant_type_check(v.get(), QELT_VARIANT_TYPE_NONE, &matches), QELT_SUCCESS);
    EXPECT_EQ(matches, 1);
}

TEST(VariantCore, RefcountStopsAt65535) {
    OwnedVariant v = make(qelt_variant_new_none);
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(qelt_variant_incref(v.get()), QELT_SUCCESS);
    uint16_t count = 0;
    ASSERT_EQ(qelt_variant_get_refcount(v.get(), &count), QELT_SUCCESS);
    EXPECT_EQ(count, 65535);
    EXPECT_EQ(qelt_variant_incref(v.get()), QELT_ERR_REFCNT_EXCD);
    ASSERT_EQ(qelt_variant_get_refcount(v.get(), &count), QELT_SUCCESS);
    EXPECT_EQ(count, 65535);
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(qelt_variant_decref(v.get()), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_get_refcount(v.get(), &count), QELT_SUCCESS);
    EXPECT_EQ(count, 1);
}

TEST(VariantCore, NullArgumentsAreRefused) {
    OwnedVariant v = make(qelt_variant_new_none);
    uint8_t byte = 0;
    uint16_t count = 0;
    uint32_t lib = 0, api = 0;
    EXPECT_EQ(qelt_variant_new_none(nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_alloc(nullptr, QELT_VARIANT_TYPE_NONE), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_incref(nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_decref(nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_refcount(nullptr, &count), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_refcount(v.get(), nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_type(nullptr, &byte, &byte), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_type(v.get(), nullptr, &byte), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_type_check(nullptr, 15, &byte), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_type_check(v.get(), 15, nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_get_version(nullptr, &api), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_get_version(&lib, nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(v->refcount, 1);
}

TEST(VariantCore, Version) {
    uint32_t lib = 0, api = 0;
    ASSERT_EQ(qelt_get_version(&lib, &api), QELT_SUCCESS);
    EXPECT_EQ(lib, 1u);
    EXPECT_EQ(api, 101u);
}

}  // namespace
