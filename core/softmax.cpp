#include "core/softmax.h"

#include <cmath>

namespace kelvor {

void softmax_inplace(float* x, int32_t n) {
    float m = x[0];
    for (int32_t i = 1; i < n; ++i) {
        if (x[i] > m) m = x[i];
    }
    float sum = 0.0f;
    for (int32_t i = 0; i < n; ++i) {
        x[i] = std::exp(x[i] - m);
        sum = sum + x[i];
    }
    const float r = 1.0f / sum;
    for (int32_t i = 0; i < n; ++i) x[i] = x[i] * r;
}

}  // namespace kelvor
