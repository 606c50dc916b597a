#include "owned_variant.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <vector>

namespace {

template <typename T, uint8_t Code, auto New, auto As>
struct Scalar {
    using Value = T;
    static constexpr uint8_t code = Code;
    static qelt_err make(qelt_variant** out, T value) { return New(out, value); }
    static qelt_err read(const qelt_variant* v, T* out) { return As(v, out); }
};

#define QELT_TEST_SCALAR(name, ctype, code) \
    Scalar<ctype, code, qelt_variant_new_##name, qelt_variant_as_##name>
using BoolS = QELT_TEST_SCALAR(bool, uint8_t, QELT_VARIANT_TYPE_BOOL);
using Float16S = QELT_TEST_SCALAR(float16, uint16_t, QELT_VARIANT_TYPE_FLOAT16);
using Float32S = QELT_TEST_SCALAR(float32, float, QELT_VARIANT_TYPE_FLOAT32);
using Float64S = QELT_TEST_SCALAR(float64, double, QELT_VARIANT_TYPE_FLOAT64);
using Int16S = QELT_TEST_SCALAR(int16, int16_t, QELT_VARIANT_TYPE_INT16);
using Int32S = QELT_TEST_SCALAR(int32, int32_t, QELT_VARIANT_TYPE_INT32);
using Int64S = QELT_TEST_SCALAR(int64, int64_t, QELT_VARIANT_TYPE_INT64);
using Int8S = QELT_TEST_SCALAR(int8, int8_t, QELT_VARIANT_TYPE_INT8);
using UInt16S = QELT_TEST_SCALAR(uint16, uint16_t, QELT_VARIANT_TYPE_UINT16);
using UInt32S = QELT_TEST_SCALAR(uint32, uint32_t, QELT_VARIANT_TYPE_UINT32);
using UInt64S = QELT_TEST_SCALAR(uint64, uint64_t, QELT_VARIANT_TYPE_UINT64);
using UInt8S = QELT_TEST_SCALAR(uint8, uint8_t, QELT_VARIANT_TYPE_UINT8);
#undef QELT_TEST_SCALAR

// Extremes of each type; floats add signed zero, a NaN with a payload, an
// infinity and a subnormal, which must all survive bit for bit. The 16-bit
// half pattern includes a NaN (0x7C01) through the unsigned extremes.
template <typename T>
std::vector<T> samples() {
    using L = std::numeric_limits<T>;
    std::vector<T> s = {L::lowest(), L::max(), T(0), T(1), T(2)};
    if constexpr (std::is_floating_point_v<T>) {
        using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
        s.push_back(-T(0));
        s.push_back(L::infinity());
        s.push_back(L::denorm_min());
        s.push_back(std::bit_cast<T>(std::bit_cast<Bits>(L::quiet_NaN()) | Bits(0x5)));
    } else if constexpr (sizeof(T) == 2 && std::is_unsigned_v<T>) {
        s.push_back(T(0x7C01));
    }
    return s;
}

template <typename S>
class ScalarFamily : public ::testing::Test {};
using Families = ::testing::Types<BoolS, Float16S, Float32S, Float64S, Int16S, Int32S, Int64S,
                                  Int8S, UInt16S, UInt32S, UInt64S, UInt8S>;
TYPED_TEST_SUITE(ScalarFamily, Families);

TYPED_TEST(ScalarFamily, StoresBitForBitAndKeepsUpperBytesZero) {
    using T = typename TypeParam::Value;
    for (T value : samples<T>()) {
        qelt_variant* raw = nullptr;
        ASSERT_EQ(TypeParam::make(&raw, value), QELT_SUCCESS);
        OwnedVariant v(raw);
        EXPECT_EQ(v->type, TypeParam::code);
        EXPECT_EQ(v->subtype, 0);
        EXPECT_EQ(v->size, 0u);
        EXPECT_EQ(v->refcount, 1);
        EXPECT_EQ(std::memcmp(v->value.bytes, &value, sizeof(T)), 0);
        for (size_t i = sizeof(T); i < 8; ++i) EXPECT_EQ(v->value.bytes[i], 0) << i;
        T back{};
        ASSERT_EQ(TypeParam::read(v.get(), &back), QELT_SUCCESS);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof(T)), 0);
    }
}

// No widening, no sign change, no bool/uint8 or float16/uint16 aliasing even
// where the C types coincide; a failed read leaves the out-parameter alone.
TYPED_TEST(ScalarFamily, AccessorDemandsItsOwnTypeAfterNullChecks) {
    using T = typename TypeParam::Value;
    const T sentinel = T(42);
    T out = sentinel;
    EXPECT_EQ(TypeParam::make(nullptr, T(1)), QELT_ERR_NULL_PTR);
    EXPECT_EQ(TypeParam::read(nullptr, nullptr), QELT_ERR_NULL_PTR);
    EXPECT_EQ(TypeParam::read(nullptr, &out), QELT_ERR_NULL_PTR);
    const OwnedVariant others[] = {make(qelt_variant_new_none),
                                   make(qelt_variant_new_uint8, uint8_t{1}),
                                   make(qelt_variant_new_bool, uint8_t{1}),
                                   make(qelt_variant_new_uint16, uint16_t{1}),
                                   make(qelt_variant_new_float16, uint16_t{1}),
                                   make(qelt_variant_new_int64, int64_t{1})};
    for (const OwnedVariant& v : others) {
        out = sentinel;
        EXPECT_EQ(TypeParam::read(v.get(), nullptr), QELT_ERR_NULL_PTR);
        const bool own = v->type == TypeParam::code;
        EXPECT_EQ(TypeParam::read(v.get(), &out), own ? QELT_SUCCESS : QELT_ERR_INVALID_TYPE);
        if (!own) EXPECT_EQ(std::memcmp(&out, &sentinel, sizeof(T)), 0);
    }
}

}  // namespace
