#include "core/vector_check.h"

#include <cmath>
#include <cstring>

namespace kelvor {
namespace {

uint32_t abs_bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b & 0x7fffffffu;
}

}  // namespace

VectorFault vector_fault(const float* x, int64_t n) {
    // On the bit patterns, so the compiler vectorises it: magnitudes order like
    // their patterns, and an all-ones exponent is NaN or infinity.
    uint32_t largest = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint32_t b = abs_bits(x[i]);
        largest = b > largest ? b : largest;
    }
    if (largest >= 0x7f800000u) return VectorFault::not_finite;
    // At most 1024 squares below 2^116 each cannot reach FLT_MAX (2^128).
    if (largest < 0x5c800000u) return VectorFault::none;  // 2^58
    float ss = 0.0f;  // as the encoder sums it: in index order
    for (int64_t i = 0; i < n; ++i) ss += x[i] * x[i];
    return std::isfinite(ss) ? VectorFault::none : VectorFault::norm_overflows;
}

float pow2_scale_for(const float* x, int32_t n) {
    float largest = 0.0f;
    for (int32_t i = 0; i < n; ++i) largest = std::fmax(largest, std::fabs(x[i]));
    if (largest == 0.0f) return 1.0f;
    int e;
    std::frexp(largest, &e);  // largest = m * 2^e, m in [0.5, 1)
    return std::ldexp(1.0f, -e);
}

}  // namespace kelvor
