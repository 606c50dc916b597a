#include "qelt/qelt.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>

namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
float from_bits(uint32_t b) { return std::bit_cast<float>(b); }

// Truncation, never rounding: each result is the largest half not above the
// input in magnitude, up to the overflow to infinity at 65536.
TEST(Half, FloatToHalfTruncates) {
    const struct {
        float in;
        uint16_t out;
    } cases[] = {
        {1.0f, 0x3C00},
        {-2.0f, 0xC000},
        {0.1f, 0x2E66},
        {1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -12), 0x3C00},
        {65504.0f, 0x7BFF},
        {65535.0f, 0x7BFF},
        {65536.0f, 0x7C00},
        {-INFINITY, 0xFC00},
        {std::ldexp(1.0f, -25), 0x0000},
        {std::ldexp(1.5f, -24), 0x0001},
        {std::ldexp(1.0f, -14), 0x0400},
        {-0.0f, 0x8000},
        {-from_bits(1), 0x8000},  // binary32 subnormal keeps only its sign
        {from_bits(0x7FC00000), 0x7E00},
        {from_bits(0xFFC00000), 0xFE00},
        {from_bits(0x7F800001), 0x7C00},  // NaN bits below the kept ten are lost
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qelt_float_to_half(c.in), c.out) << std::hex << bits(c.in);
    }
}

// Every pattern against an independent decoding (0x0001 is 2^-24, 0x7C01 a
// NaN with its mantissa on top, ...), then back to the same pattern.
TEST(Half, AllPatternsDecodeExactlyAndRoundTrip) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const uint32_t sign = (h & 0x8000u) << 16;
        const int e = (h >> 10) & 0x1F;
        const uint32_t m = h & 0x3FF;
        uint32_t expected;
        if (e == 31) {
            expected = sign | 0x7F800000u | (m << 13);
        } else {
            const float mag = e == 0 ? std::ldexp(float(m), -24) : std::ldexp(float(1024 + m), e - 25);
            expected = sign | bits(mag);
        }
        const float f = qelt_half_to_float(static_cast<uint16_t>(h));
        ASSERT_EQ(bits(f), expected) << std::hex << h;
        ASSERT_EQ(qelt_float_to_half(f), h) << std::hex << h;
    }
}

}  // namespace
