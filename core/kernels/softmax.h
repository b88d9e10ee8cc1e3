#pragma once
#include <cstdint>

namespace kelvor {

// x[0..n-1] <- softmax(x), n >= 1; max-subtracted, the sum in blocks of
// kSumBlock, one reciprocal of the sum.
void softmax_inplace(float* x, int32_t n);

}  // namespace kelvor
