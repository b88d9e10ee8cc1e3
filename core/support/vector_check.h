#pragma once
#include <cstdint>

namespace kelvor {

// What keeps a key or value from being stored.
enum class VectorFault {
    none,
    not_finite,      // a NaN or infinite coordinate
    norm_overflows,  // finite, but the sum of squares the encoder forms overflows float32 (norm above ~1.8e19)
};

// Checks one vector before anything is stored. Ordinary vectors cost one
// vectorised pass; the encoder's own sum of squares is formed only when a
// coordinate is large enough (above 2^58) for it to overflow.
VectorFault vector_fault(const float* x, int64_t n);

// True when none of the n values is NaN or infinite.
inline bool all_finite(const float* x, int64_t n) { return vector_fault(x, n) != VectorFault::not_finite; }

// A power of two s with max|x[i]| * s in [0.5, 1), or 1 when x is all zeros.
// Multiplying by it is exact, and the squares of the scaled values sum without
// overflow: the fallback where a plain sum of squares overflows.
float pow2_scale_for(const float* x, int32_t n);

}  // namespace kelvor
