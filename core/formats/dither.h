// Subtractive dither for coded values: a value's rotated coordinates are coded
// with a known offset added, and a reader takes the same offset off what the
// codes read. The scalar code's error is a function of the value, so values
// that point alike err alike and an answer's average keeps their common error;
// with the offset the errors of different tokens no longer line up, and
// averaging cancels them (for a little more error per token).
//
// A token takes one of a few fixed patterns by its append index, so that a
// reader takes the offsets off once per pattern (the weighted sum of the
// pattern's scales times the pattern) rather than once per token, and the
// value kernels run unchanged.
#pragma once
#include <cstdint>

namespace kelvor {

constexpr int32_t kDitherPatterns = 64;

// The pattern of the token appended as number `index` since init/reset.
constexpr int32_t dither_pattern_of(int64_t index) { return static_cast<int32_t>(index % kDitherPatterns); }

// Pattern p (below kDitherPatterns): kMaxPaddedDim offsets, coordinate i's at
// i, uniform over (-1/2, 1/2) in steps of 1/256 (at the unit root mean square
// the codes are chosen at). The same on every machine: they come from an
// integer hash, and each is exact in float32. Shared by every head: each
// head's own rotation already makes its coordinates independent of them.
const float* dither_pattern(int32_t p);

}  // namespace kelvor
