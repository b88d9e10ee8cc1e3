#include "core/kernels/softmax.h"

#include <cmath>

#include "core/support/limits.h"

namespace kelvor {

void softmax_inplace(float* x, int32_t n) {
    float m = x[0];
    for (int32_t i = 1; i < n; ++i) {
        if (x[i] > m) m = x[i];
    }
    // A running sum per block of kSumBlock, the blocks added in double.
    double total = 0.0;
    for (int32_t b = 0; b < n; b += kSumBlock) {
        const int32_t end = n - b < kSumBlock ? n : b + kSumBlock;
        float sum = 0.0f;
        for (int32_t i = b; i < end; ++i) {
            x[i] = std::exp(x[i] - m);
            sum = sum + x[i];
        }
        total += static_cast<double>(sum);
    }
    const float r = 1.0f / static_cast<float>(total);
    for (int32_t i = 0; i < n; ++i) x[i] = x[i] * r;
}

}  // namespace kelvor
