#include "core/support/vector_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kelvor {
namespace {

// Below 2^31, so signed comparisons order them (SSE2 has no unsigned ones).
int32_t abs_bits(float f) {
    int32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b & 0x7fffffff;
}

}  // namespace

VectorFault vector_fault(const float* x, int64_t n) {
    // On the bit patterns, so the compiler vectorises it: magnitudes order like
    // their patterns, and an all-ones exponent is NaN or infinity. Sixteen
    // running maxima, so that a long prompt is checked at the speed memory
    // delivers it rather than at one compare's latency per vector.
    constexpr int kLanes = 16;
    int32_t lane_largest[kLanes] = {};
    int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (int l = 0; l < kLanes; ++l) {
            const int32_t b = abs_bits(x[i + l]);
            lane_largest[l] = b > lane_largest[l] ? b : lane_largest[l];
        }
    }
    int32_t largest = 0;
    for (; i < n; ++i) largest = std::max(largest, abs_bits(x[i]));
    for (int l = 0; l < kLanes; ++l) largest = std::max(largest, lane_largest[l]);
    if (largest >= 0x7f800000) return VectorFault::not_finite;
    // At most 1024 squares below 2^116 each cannot reach FLT_MAX (2^128).
    if (largest < 0x5c800000) return VectorFault::none;  // 2^58
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
