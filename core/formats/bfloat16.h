#pragma once
#include <cstdint>
#include <cstring>

namespace kelvor {

// bfloat16 (a float32's upper half) for per-token scales kept at half the
// bytes. It keeps float32's whole range, so no scale an append makes can
// overflow it, and its 8 significant bits put a relative error of at most
// 2^-9 on a scale, far below the error of the codes it multiplies. Rounds to
// nearest even in integer arithmetic, so every SIMD level stores the same bits;
// a finite float that would round past the largest bfloat16 saturates to it.
inline uint16_t bfloat16_from_float(float f) {
    uint32_t x;
    std::memcpy(&x, &f, sizeof x);
    const uint32_t mag = x & 0x7fffffffu;
    if (mag > 0x7f800000u) return static_cast<uint16_t>((x >> 16) | 0x0040u);  // NaN stays NaN: never stored
    if (mag >= 0x7f7f8000u) return static_cast<uint16_t>(((x >> 16) & 0x8000u) | 0x7f7fu);
    return static_cast<uint16_t>((x + 0x7fffu + ((x >> 16) & 1u)) >> 16);
}

inline float float_from_bfloat16(uint16_t h) {
    const uint32_t x = static_cast<uint32_t>(h) << 16;
    float f;
    std::memcpy(&f, &x, sizeof f);
    return f;
}

// Exact: every bfloat16 is a float32.
inline void widen_bfloat16(const uint16_t* h, int32_t n, float* out) {
    for (int32_t i = 0; i < n; ++i) out[i] = float_from_bfloat16(h[i]);
}

}  // namespace kelvor
