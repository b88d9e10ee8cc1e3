#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kelvor {

// IEEE binary16 for full-precision copies kept at half the bytes, converted
// in plain integer arithmetic so that every SIMD level stores and reads the
// same bits. Rounds to nearest even. A finite float beyond the largest half
// (65504) saturates to it instead of becoming an infinity: a stored copy is
// always finite, as the float32 copy was.
inline uint16_t half_from_float(float f) {
    uint32_t x;
    std::memcpy(&x, &f, sizeof x);
    const auto sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t mag = x & 0x7fffffffu;
    if (mag > 0x7f800000u) return static_cast<uint16_t>(sign | 0x7e00u);  // NaN: never stored
    if (mag >= 0x477ff000u) return static_cast<uint16_t>(sign | 0x7bffu);  // rounds to 65520 or more
    if (mag < 0x38800000u) {
        // Below the smallest normal half: a multiple of 2^-24, which scaling
        // by 2^24 makes an integer to round (exact: a power of two).
        float scaled;
        const uint32_t bits = mag;
        std::memcpy(&scaled, &bits, sizeof scaled);
        return static_cast<uint16_t>(sign | static_cast<uint16_t>(std::nearbyint(std::ldexp(scaled, 24))));
    }
    // Round the 23-bit mantissa to 10 bits at bit 13, ties to even; a carry
    // moves into the exponent as it should. Then rebias 127 -> 15.
    const uint32_t rounded = mag + 0x0fffu + ((mag >> 13) & 1u);
    return static_cast<uint16_t>(sign | ((rounded >> 13) - (112u << 10)));
}

inline float float_from_half(uint16_t h) {
    const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1fu;
    const uint32_t mantissa = h & 0x3ffu;
    uint32_t bits;
    if (exponent == 0) {
        const float v = std::ldexp(static_cast<float>(mantissa), -24);
        std::memcpy(&bits, &v, sizeof bits);
        bits |= sign;
    } else if (exponent == 31) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else {
        bits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

}  // namespace kelvor
