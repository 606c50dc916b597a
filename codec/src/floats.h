/*
 * Bit-exact conversions between the stream's binary16 and binary32 values
 * and the binary64 values that Python floats hold.
 *
 * Widening is exact for every pattern, NaN payloads included (the hardware
 * conversion would quiet a signalling NaN), so that a value read and written
 * again keeps its bits. Narrowing rounds to nearest, ties to even; a NaN keeps
 * its sign and the top bits of its payload.
 */
#ifndef QELTYPES_CODEC_FLOATS_H
#define QELTYPES_CODEC_FLOATS_H

#include <bit>
#include <cstdint>

namespace qelcodec {

constexpr uint64_t kF64Sign = uint64_t{1} << 63;
constexpr uint64_t kF64Exponent = uint64_t{0x7FF} << 52;
constexpr uint64_t kF64Mantissa = (uint64_t{1} << 52) - 1;

inline bool is_nan_bits(uint64_t bits)
{
    return (bits & kF64Exponent) == kF64Exponent && (bits & kF64Mantissa) != 0;
}

inline double f32_bits_to_double(uint32_t f)
{
    if ((f & 0x7F800000u) == 0x7F800000u && (f & 0x007FFFFFu) != 0) {
        const uint64_t bits = (uint64_t{f >> 31} << 63) | kF64Exponent | (uint64_t{f & 0x007FFFFFu} << 29);
        return std::bit_cast<double>(bits);
    }
    return static_cast<double>(std::bit_cast<float>(f));
}

/* `overflow` is set when a finite value rounds beyond the largest binary32. */
inline uint32_t double_to_f32_bits(double d, bool* overflow)
{
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    *overflow = false;
    if (is_nan_bits(bits)) {
        uint32_t payload = static_cast<uint32_t>((bits & kF64Mantissa) >> 29);
        if (payload == 0)
            payload = 0x00400000u; // the low payload bits alone would read as infinity
        return (static_cast<uint32_t>(bits >> 63) << 31) | 0x7F800000u | payload;
    }
    const float f = static_cast<float>(d);
    const uint32_t out = std::bit_cast<uint32_t>(f);
    *overflow = (out & 0x7FFFFFFFu) == 0x7F800000u && (bits & kF64Exponent) != kF64Exponent;
    return out;
}

inline double half_bits_to_double(uint16_t h)
{
    const uint64_t sign = uint64_t{static_cast<uint64_t>(h) >> 15} << 63;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    const uint64_t mantissa = h & 0x3FFu;
    if (exponent == 0) {
        // Zero or subnormal: mantissa units of 2^-24, exact in binary64.
        const double magnitude = static_cast<double>(mantissa) / 16777216.0;
        return sign ? -magnitude : magnitude;
    }
    const uint64_t wide_exponent = exponent == 0x1F ? 0x7FF : exponent - 15 + 1023;
    return std::bit_cast<double>(sign | (wide_exponent << 52) | (mantissa << 42));
}

/* `overflow` is set when a finite value rounds beyond the largest binary16
 * (65504); the pattern returned is then the infinity of its sign. */
inline uint16_t double_to_half_bits(double d, bool* overflow)
{
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    const auto sign = static_cast<uint16_t>((bits >> 48) & 0x8000u);
    const auto exponent = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t mantissa = bits & kF64Mantissa;
    *overflow = false;
    if (exponent == 0x7FF) {
        if (mantissa == 0)
            return sign | 0x7C00u;
        auto payload = static_cast<uint16_t>(mantissa >> 42);
        if (payload == 0)
            payload = 0x0200u;
        return sign | 0x7C00u | payload;
    }
    const int e = exponent - 1023;
    if (e > 15) {
        *overflow = true;
        return sign | 0x7C00u;
    }
    // Keep `shift` low bits of the significand off, rounding to nearest even;
    // a carry out of the mantissa lands in the exponent field, as it should.
    auto round_shift = [](uint64_t significand, int shift) {
        const uint64_t kept = significand >> shift;
        const uint64_t rest = significand & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        return kept + ((rest > half || (rest == half && (kept & 1))) ? 1 : 0);
    };
    if (e >= -14) {
        const uint64_t rounded = round_shift(mantissa, 42) + (static_cast<uint64_t>(e + 15) << 10);
        if (rounded >= 0x7C00u)
            *overflow = true;
        return static_cast<uint16_t>(sign | rounded);
    }
    if (e < -25)
        return sign; // below half the smallest subnormal: a signed zero
    // Subnormal: the significand in units of 2^-24.
    const uint64_t significand = mantissa | (uint64_t{1} << 52);
    return static_cast<uint16_t>(sign | round_shift(significand, 28 - e));
}

} // namespace qelcodec

#endif /* QELTYPES_CODEC_FLOATS_H */
