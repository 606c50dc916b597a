#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

namespace {

OwnedVariant make_none() {
    qelt_variant* v = nullptr;
    EXPECT_EQ(qelt_variant_new_none(&v), QELT_SUCCESS);
    return OwnedVariant(v);
}

TEST(VariantCore, NewNoneIsAFreshZeroRecord) {
    OwnedVariant v = make_none();
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
    qelt_variant* raw[5] = {};
    ASSERT_EQ(qelt_variant_new_string_utf8(&raw[0], "x", 2), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_new_string_c(&raw[1], "x", 2), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_new_binary(&raw[2], "x", 1, 7), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_new_int64(&raw[3], -5), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_new_none(&raw[4]), QELT_SUCCESS);
    const uint8_t expected[5][2] = {{4, 1}, {4, 0}, {14, 7}, {5, 0}, {15, 0}};
    for (int i = 0; i < 5; ++i) {
        OwnedVariant v(raw[i]);
        uint8_t type = 0, subtype = 0xEE;
        ASSERT_EQ(qelt_variant_get_type(v.get(), &type, &subtype), QELT_SUCCESS);
        EXPECT_EQ(type, expected[i][0]) << i;
        EXPECT_EQ(subtype, expected[i][1]) << i;
        type = 0;
        EXPECT_EQ(qelt_variant_get_type(v.get(), &type, nullptr), QELT_SUCCESS);
        EXPECT_EQ(type, expected[i][0]);
    }
}

TEST(VariantCore, TypeCheckReportsMismatchWithoutError) {
    OwnedVariant v = make_none();
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
    OwnedVariant v = make_none();
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

// The sanitizer build turns a leaked or double-freed payload into a failure.
TEST(VariantCore, LastDecrefFreesPayloadOnce) {
    qelt_variant* s = nullptr;
    ASSERT_EQ(qelt_variant_new_string_c(&s, "held twice", 11), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_incref(s), QELT_SUCCESS);
    EXPECT_EQ(qelt_variant_decref(s), QELT_SUCCESS);
    uint16_t count = 0;
    ASSERT_EQ(qelt_variant_get_refcount(s, &count), QELT_SUCCESS);
    EXPECT_EQ(count, 1);
    const char* text = nullptr;
    EXPECT_EQ(qelt_variant_as_string_c(s, &text, nullptr), QELT_SUCCESS);
    EXPECT_STREQ(text, "held twice");
    EXPECT_EQ(qelt_variant_decref(s), QELT_SUCCESS);
}

TEST(VariantCore, NullArgumentsAreRefused) {
    OwnedVariant v = make_none();
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
