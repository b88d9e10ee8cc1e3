#include "core/kernels/wide_softmax.h"

#include <cmath>

namespace kelvor {

namespace {

double dot_wide(const float* a, const float* b, int32_t n) {
    double s = 0.0;
    for (int32_t i = 0; i < n; ++i) s += static_cast<double>(a[i]) * static_cast<double>(b[i]);
    return s;
}

}  // namespace

void exact_attend_wide(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    const size_t stride = 2 * static_cast<size_t>(hd);
    const double f = 1.0 / std::sqrt(static_cast<double>(hd));
    // A float query times a storable key stays far inside double's range, so
    // only a NaN in the query leaves a score undefined.
    double m = -HUGE_VAL;
    for (int32_t t = 0; t < T; ++t) {
        const double s = dot_wide(query, exact + t * stride, hd) * f;
        if (s > m || std::isnan(s)) m = s;
    }
    double total = 0.0;
    for (int32_t t = 0; t < T; ++t) {
        const double w = std::exp(dot_wide(query, exact + t * stride, hd) * f - m);
        scores[t] = static_cast<float>(w);
        total += static_cast<double>(scores[t]);
    }
    // The query has been read in full: out may alias it.
    for (int32_t j = 0; j < hd; ++j) {
        double acc = 0.0;
        for (int32_t t = 0; t < T; ++t) acc += static_cast<double>(scores[t]) * exact[t * stride + hd + j];
        out[j] = static_cast<float>(acc / total);
    }
}

void softmax_scaled_wide(float* weights, const float* scores, int32_t n, int e) {
    double m = scores[0];
    for (int32_t t = 1; t < n; ++t) m = scores[t] > m ? scores[t] : m;
    const double up = std::ldexp(1.0, e);
    double total = 0.0;
    for (int32_t t = 0; t < n; ++t) {
        const double w = std::exp((static_cast<double>(scores[t]) - m) * up);
        weights[t] = static_cast<float>(w);
        total += w;
    }
    for (int32_t t = 0; t < n; ++t) weights[t] = static_cast<float>(weights[t] / total);
}

}  // namespace kelvor
