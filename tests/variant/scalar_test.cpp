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

// Extremes of each type; floats add signed zero, a NaN with a payload, an
// infinity and a subnormal, which must all survive bit for bit. The 16-bit
// half pattern includes a NaN (0x7C01) through the unsigned extremes.
template <typename T>
std::vector<T> samples() {
    using L = std::numeric_limits<T>;
    std::vector<T> s = {L::lowest(), L::max(), T(0), T(1), T(2)};
    if constexpr (std::is_floating_point_v<T>) {
        using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
        s.insert(s.end(), {-T(0), L::infinity(), L::denorm_min(),
                           std::bit_cast<T>(std::bit_cast<Bits>(L::quiet_NaN()) | Bits(0x5))});
    } else if constexpr (sizeof(T) == 2 && std::is_unsigned_v<T>) {
        s.push_back(T(0x7C01));
    }
    return s;
}

#define S(name, ctype, code) \
    Scalar<ctype, QELT_VARIANT_TYPE_##code, qelt_variant_new_##name, qelt_variant_as_##name>
using Families =
    ::testing::Types<S(bool, uint8_t, BOOL), S(float16, uint16_t, FLOAT16), S(float32, float, FLOAT32),
                     S(float64, double, FLOAT64), S(int8, int8_t, INT8), S(int16, int16_t, INT16),
                     S(int32, int32_t, INT32), S(int64, int64_t, INT64), S(uint8, uint8_t, UINT8),
                     S(uint16, uint16_t, UINT16), S(uint32, uint32_t, UINT32), S(uint64, uint64_t, UINT64)>;
#undef S

template <typename S>
class ScalarFamily : public ::testing::Test {};
TYPED_TEST_SUITE(ScalarFamily, Families);

TYPED_TEST(ScalarFamily, StoresBitForBitAndKeepsUpperBytesZero) {
    using T = typename TypeParam::Value;
    for (T value : samples<T>()) {
        OwnedVariant v = ::make(TypeParam::make, value);
        EXPECT_EQ(v->type, TypeParam::code);
        EXPECT_TRUE(v->subtype == 0 && v->size == 0 && v->refcount == 1);
        EXPECT_EQ(std::memcmp(v->value.bytes, &value, sizeof(T)), 0);
        for (size_t i = sizeof(T); i < 8; ++i) EXPECT_EQ(v->value.bytes[i], 0) << i;
        T back{};
        ASSERT_EQ(TypeParam::read(v.get(), &back), QELT_SUCCESS);
        EXPECT_EQ(std::memcmp(&back, &value, sizeof(T)), 0);
    }
}

// No widening, no sign change, no bool/uint8 or float16/uint16 aliasing even
// where the C types coincide; a failed read leaves the out-parameter alone.
// Null arguments are refused before the type is looked at.
TYPED_TEST(ScalarFamily, AccessorDemandsItsOwnType) {
    using T = typename TypeParam::Value;
    const T sentinel = T(42);
    T out = sentinel;
    EXPECT_EQ(TypeParam::make(nullptr, T(1)), QELT_ERR_NULL_PTR);
    EXPECT_EQ(TypeParam::read(nullptr, &out), QELT_ERR_NULL_PTR);
    const OwnedVariant others[] = {make(qelt_variant_new_none),
                                   make(qelt_variant_new_uint8, uint8_t{1}),
                                   make(qelt_variant_new_bool, uint8_t{1}),
                                   make(qelt_variant_new_uint16, uint16_t{1}),
                                   make(qelt_variant_new_float16, uint16_t{1}),
                                   make(qelt_variant_new_int64, int64_t{1})};
    for (const OwnedVariant& v : others) {
        EXPECT_EQ(TypeParam::read(v.get(), nullptr), QELT_ERR_NULL_PTR);
        const bool own = v->type == TypeParam::code;
        EXPECT_EQ(TypeParam::read(v.get(), &out), own ? QELT_SUCCESS : QELT_ERR_INVALID_TYPE);
        if (!own) EXPECT_EQ(std::memcmp(&out, &sentinel, sizeof(T)), 0);
        out = sentinel;
    }
}

}  // namespace
