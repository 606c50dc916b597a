#include "owned_variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

uint32_t hash_of(qelt_variant* v) {
    uint32_t h = 0;
    EXPECT_EQ(qelt_variant_get_hash(v, &h), QELT_SUCCESS);
    return h;
}
uint32_t hash_of(const OwnedVariant& v) { return hash_of(v.get()); }

TEST(Hash, WorkedValues) {
    EXPECT_EQ(hash_of(make(qelt_variant_new_none)), 0xED549F27u);
    EXPECT_EQ(hash_of(i32(1)), 0x857901CFu);
    EXPECT_EQ(hash_of(make(qelt_variant_new_string_c, "abc", 4u)), 0x30AF891Au);
    EXPECT_EQ(hash_of(make(qelt_variant_new_string_utf8, "abc", 4u)), 0xB5379B3Bu);
}

// The value bytes are the 8 bytes of `value` at the value's own width, with
// no sign extension, and the 12 stored bytes of a timestamp.
TEST(Hash, CoversTheDocumentedValueBytes) {
    const unsigned char minus_one_i8[8] = {0xFF};
    EXPECT_EQ(hash_of(make(qelt_variant_new_int8, int8_t{-1})),
              qelt_hash_bytes(QELT_VARIANT_TYPE_INT8, 0, minus_one_i8, 8));
    const qelt_timestamp ts = {2018, 5, 17, 9, 30, 15, 123456};
    const unsigned char ts_bytes[12] = {0xE2, 0x07, 5, 17, 9, 30, 15, 0, 0x40, 0xE2, 0x01, 0x00};
    EXPECT_EQ(hash_of(make(qelt_variant_new_timestamp, &ts)),
              qelt_hash_bytes(QELT_VARIANT_TYPE_TIMESTAMP, 0, ts_bytes, 12));
    const unsigned char blob[3] = {1, 2, 3};
    EXPECT_EQ(hash_of(make(qelt_variant_new_binary, blob, 3u, uint8_t{9})),
              qelt_hash_bytes(QELT_VARIANT_TYPE_BINARY, 9, blob, 3));
    OwnedVariant list = make(qelt_variant_new_list);  // by identity: its record's address
    const qelt_variant* address = list.get();
    EXPECT_EQ(hash_of(list), qelt_hash_bytes(QELT_VARIANT_TYPE_LIST, 0, &address, 8));
}

// The cache's sentinel is no hash of its own: a value whose bytes hash to it
// gets 0 instead.
TEST(Hash, NeverTheSentinel) {
    // These eight value bytes hash to 0xFFFFFFFF as a uint64.
    const uint64_t preimage = 0x51E44F15F765CBBEull;
    EXPECT_EQ(qelt_hash_bytes(QELT_VARIANT_TYPE_UINT64, 0, &preimage, 8), 0xFFFFFFFFu);
    EXPECT_EQ(hash_of(make(qelt_variant_new_uint64, preimage)), 0u);
}

TEST(Equality, Rules) {
    std::vector<OwnedVariant> held;
    auto mk = [&](auto ctor, auto... args) { return held.emplace_back(make(ctor, args...)).get(); };
    auto str = [&](const char* s) { return mk(qelt_variant_new_string_c, s, 64u); };
    auto bin = [&](const char* s, uint32_t n, uint8_t type) {
        return mk(qelt_variant_new_binary, static_cast<const void*>(s), n, type);
    };
    qelt_variant* list = mk(qelt_variant_new_list);
    const double nan = std::nan("7");
    const struct {
        qelt_variant* a;
        qelt_variant* b;
        bool equal;
    } pairs[] = {
        {mk(qelt_variant_new_int32, 5), mk(qelt_variant_new_int32, 5), true},
        {mk(qelt_variant_new_int32, 5), mk(qelt_variant_new_int64, int64_t{5}), false},
        {mk(qelt_variant_new_uint8, uint8_t{1}), mk(qelt_variant_new_bool, uint8_t{1}), false},
        {mk(qelt_variant_new_float64, 0.0), mk(qelt_variant_new_float64, -0.0), false},
        {mk(qelt_variant_new_float64, nan), mk(qelt_variant_new_float64, nan), true},
        {list, list, true},
        {list, mk(qelt_variant_new_list), false},
        {str("abc"), str("abc"), true},
        {str("abc"), str("abd"), false},
        {str("abc"), str("ab"), false},
        {str("abc"), mk(qelt_variant_new_string_utf8, "abc", 4u), false},
        {bin("xy", 2, 1), bin("xy", 2, 1), true},
        {bin("xy", 2, 1), bin("xy", 2, 2), false},
    };
    for (size_t i = 0; i < std::size(pairs); ++i) {
        EXPECT_EQ(qelt_variant_equal(pairs[i].a, pairs[i].b), pairs[i].equal) << i;
        EXPECT_EQ(qelt_variant_equal(pairs[i].b, pairs[i].a), pairs[i].equal) << i;
        if (pairs[i].equal) EXPECT_EQ(hash_of(pairs[i].a), hash_of(pairs[i].b)) << i;
    }
}

}  // namespace
