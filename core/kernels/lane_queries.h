#pragma once
#include <cstdint>

#include "core/kernels/kernels.h"

namespace kelvor {

// A thread's rotated queries in the lane order of a permuting SIMD decoder,
// moved there once per call rather than once per token.
struct LaneQueries {
    alignas(64) float rows[kQueryBlock][kQueryStride] = {};
};

// The calling thread's, created zeroed on first use. Out of line, so that the
// level files call it rather than emit a copy (see simd_kernels.h).
LaneQueries& lane_queries();

}  // namespace kelvor
