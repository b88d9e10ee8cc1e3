#include "core/formats/rotation.h"

#include <cmath>

namespace kelvor {

namespace {

void butterfly_stages(float* x, int32_t n, int32_t first_half_width) {
    for (int32_t h = first_half_width; h < n; h *= 2) {
        for (int32_t j = 0; j < n; j += 2 * h) {
            for (int32_t k = 0; k < h; ++k) {
                const float u = x[j + k];
                const float v = x[j + k + h];
                x[j + k] = u + v;
                x[j + k + h] = u - v;
            }
        }
    }
}

}  // namespace

void fwht_inplace(float* x, int32_t n) { butterfly_stages(x, n, 1); }

void rht_forward(float* x, const int8_t* signs, int32_t n) {
    if (n == 1) {
        x[0] = static_cast<float>(signs[0]) * x[0];
    } else {
        // The signs ride on the first stage instead of costing a separate pass.
        for (int32_t i = 0; i < n / 2; ++i) {
            const float a = static_cast<float>(signs[2 * i]) * x[2 * i];
            const float b = static_cast<float>(signs[2 * i + 1]) * x[2 * i + 1];
            x[2 * i] = a + b;
            x[2 * i + 1] = a - b;
        }
        butterfly_stages(x, n, 2);
    }
    const float s = 1.0f / std::sqrt(static_cast<float>(n));
    for (int32_t i = 0; i < n; ++i) x[i] = s * x[i];
}

void rht_inverse(float* x, const int8_t* signs, int32_t n) {
    butterfly_stages(x, n, 1);
    const float s = 1.0f / std::sqrt(static_cast<float>(n));
    for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(signs[i]) * (s * x[i]);
}

}  // namespace kelvor
