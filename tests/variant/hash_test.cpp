#include "owned_variant.h"
#include "qelt_internal.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

template <typename F>
OwnedVariant make(F&& ctor) {
    qelt_variant* raw = nullptr;
    EXPECT_EQ(ctor(&raw), QELT_SUCCESS);
    return OwnedVariant(raw);
}

uint32_t hash_of(qelt_variant* v) {
    uint32_t h = 0;
    EXPECT_EQ(qelt_variant_get_hash(v, &h), QELT_SUCCESS);
    return h;
}

TEST(Hash, WorkedValues) {
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_none(o); }).get()), 0xED549F27u);
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_int32(o, 1); }).get()), 0x857901CFu);
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_string_c(o, "abc", 4); }).get()),
              0x30AF891Au);
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_string_utf8(o, "abc", 4); }).get()),
              0xB5379B3Bu);
}

TEST(Hash, HashBytesSkipsAbsentOrEmptyData) {
    const uint32_t base = 7u * 0x5294A529u + 3u;
    EXPECT_EQ(qelt_hash_bytes(7, 3, nullptr, 5), base);
    EXPECT_EQ(qelt_hash_bytes(7, 3, "x", 0), base);
    EXPECT_EQ(qelt_hash_bytes(7, 3, "x", -1), base);
    EXPECT_EQ(qelt_hash_bytes(7, 3, "\xff", 1), base * 0x5294A529u + 0xFFu);
}

// The value bytes are the 8 bytes of `value` at the value's own width, with
// no sign extension, and the 12 stored bytes of a timestamp.
TEST(Hash, CoversTheDocumentedValueBytes) {
    const unsigned char minus_one_i8[8] = {0xFF};
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_int8(o, -1); }).get()),
              qelt_hash_bytes(QELT_VARIANT_TYPE_INT8, 0, minus_one_i8, 8));
    const unsigned char one_f32[8] = {0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(hash_of(make([](auto o) { return qelt_variant_new_float32(o, 1.0f); }).get()),
              qelt_hash_bytes(QELT_VARIANT_TYPE_FLOAT32, 0, one_f32, 8));
    const qelt_timestamp ts = {2018, 5, 17, 9, 30, 15, 123456};
    const unsigned char ts_bytes[12] = {0xE2, 0x07, 5, 17, 9, 30, 15, 0, 0x40, 0xE2, 0x01, 0x00};
    EXPECT_EQ(hash_of(make([&](auto o) { return qelt_variant_new_timestamp(o, &ts); }).get()),
              qelt_hash_bytes(QELT_VARIANT_TYPE_TIMESTAMP, 0, ts_bytes, 12));
    const unsigned char blob[3] = {1, 2, 3};
    EXPECT_EQ(hash_of(make([&](auto o) { return qelt_variant_new_binary(o, blob, 3, 9); }).get()),
              qelt_hash_bytes(QELT_VARIANT_TYPE_BINARY, 9, blob, 3));
}

TEST(Hash, ComputedOnceAndNeverTheSentinel) {
    OwnedVariant v = make([](auto o) { return qelt_variant_new_int64(o, 77); });
    const uint32_t first = hash_of(v.get());
    EXPECT_EQ(v->hash, first);
    v->hash = 1234;  // a cached value is returned as it stands
    EXPECT_EQ(hash_of(v.get()), 1234u);

    // These eight value bytes hash to 0xFFFFFFFF as a uint64.
    const uint64_t preimage = 0x51E44F15F765CBBEull;
    EXPECT_EQ(qelt_hash_bytes(QELT_VARIANT_TYPE_UINT64, 0, &preimage, 8), 0xFFFFFFFFu);
    OwnedVariant u = make([&](auto o) { return qelt_variant_new_uint64(o, preimage); });
    EXPECT_EQ(hash_of(u.get()), 0u);
    EXPECT_EQ(u->hash, 0u);

    uint32_t h = 0;
    EXPECT_EQ(qelt_variant_get_hash(nullptr, &h), QELT_ERR_NULL_PTR);
    EXPECT_EQ(qelt_variant_get_hash(v.get(), nullptr), QELT_ERR_NULL_PTR);
}

TEST(Equality, Rules) {
    std::vector<OwnedVariant> held;
    auto keep = [&](OwnedVariant v) { return held.emplace_back(std::move(v)).get(); };
    auto i32 = [&](int32_t x) { return keep(make([=](auto o) { return qelt_variant_new_int32(o, x); })); };
    auto f64 = [&](double x) { return keep(make([=](auto o) { return qelt_variant_new_float64(o, x); })); };
    auto str = [&](const char* s, uint8_t subtype) {
        return keep(make([=](auto o) {
            return subtype == QELT_STRING_TYPE_C ? qelt_variant_new_string_c(o, s, 64)
                                                 : qelt_variant_new_string_utf8(o, s, 64);
        }));
    };
    auto bin = [&](const char* s, uint32_t n, uint8_t t) {
        return keep(make([=](auto o) { return qelt_variant_new_binary(o, s, n, t); }));
    };
    qelt_variant* five32 = i32(5);
    qelt_variant* five64 = keep(make([](auto o) { return qelt_variant_new_int64(o, 5); }));
    qelt_variant* one_u8 = keep(make([](auto o) { return qelt_variant_new_uint8(o, 1); }));
    qelt_variant* true_b = keep(make([](auto o) { return qelt_variant_new_bool(o, 1); }));
    qelt_variant* none_a = keep(make([](auto o) { return qelt_variant_new_none(o); }));
    qelt_variant* none_b = keep(make([](auto o) { return qelt_variant_new_none(o); }));
    const double nan = std::nan("7");

    const struct {
        qelt_variant* a;
        qelt_variant* b;
        bool equal;
    } pairs[] = {
        {nullptr, nullptr, true},
        {five32, nullptr, false},
        {five32, five32, true},
        {five32, i32(5), true},
        {five32, i32(6), false},
        {five32, five64, false},
        {one_u8, true_b, false},
        {f64(0.0), f64(-0.0), false},
        {f64(nan), f64(nan), true},
        {none_a, none_b, true},
        {str("abc", 0), str("abc", 0), true},
        {str("abc", 0), str("abd", 0), false},
        {str("abc", 0), str("ab", 0), false},
        {str("abc", 0), str("abc", 1), false},
        {bin("xy", 2, 1), bin("xy", 2, 1), true},
        {bin("xy", 2, 1), bin("xz", 2, 1), false},
        {bin("xy", 2, 1), bin("xy", 2, 2), false},
        {bin("xy", 2, 1), bin("xy\0", 3, 1), false},
    };
    for (size_t i = 0; i < std::size(pairs); ++i) {
        EXPECT_EQ(qelt_variant_equal(pairs[i].a, pairs[i].b), pairs[i].equal) << i;
        EXPECT_EQ(qelt_variant_equal(pairs[i].b, pairs[i].a), pairs[i].equal) << i;
        if (pairs[i].equal && pairs[i].a != nullptr) {
            EXPECT_EQ(hash_of(pairs[i].a), hash_of(pairs[i].b)) << i;
        }
    }
    EXPECT_NE(hash_of(str("abc", 0)), hash_of(str("abc", 1)));
}

// Containers are compared and hashed by their body pointer; these records
// carry stand-in bodies and are released without the container teardown.
TEST(Equality, ContainersEqualOnlyThemselves) {
    int body_a = 0, body_b = 0;
    qelt_variant* a = nullptr;
    qelt_variant* b = nullptr;
    ASSERT_EQ(qelt_variant_alloc(&a, QELT_VARIANT_TYPE_LIST), QELT_SUCCESS);
    ASSERT_EQ(qelt_variant_alloc(&b, QELT_VARIANT_TYPE_LIST), QELT_SUCCESS);
    a->value.ptr = &body_a;
    b->value.ptr = &body_b;
    EXPECT_FALSE(qelt_variant_equal(a, b));
    EXPECT_TRUE(qelt_variant_equal(a, a));
    uint32_t h = 0;
    ASSERT_EQ(qelt_variant_get_hash(a, &h), QELT_SUCCESS);
    void* ptr = &body_a;
    EXPECT_EQ(h, qelt_hash_bytes(QELT_VARIANT_TYPE_LIST, 0, &ptr, 8));
    a->value.ptr = b->value.ptr = nullptr;
    qelt_variant_free_record(a);
    qelt_variant_free_record(b);
}

}  // namespace
