// Fixing the fitted encoding's per-head statistics, and coding the tokens the
// ring already holds with them.
#include <algorithm>
#include <cmath>

#include "core/codecs/codec_fitted.h"

namespace kelvor {
namespace {

// A key channel's divisor is the square root of its root mean square r_j about
// the mean. Coding k_j / c_j costs an error of about c_j * (r_j / c_j) * e in
// key channel j, seen by a query multiplied by c_j: the score error of channel
// j scales with (q_j c_j) * (r_j / c_j) * e, and what the codes can spend is
// set by the spread of the coded vector, sum_j (r_j / c_j)^2, while the query's
// part is sum_j (q_j c_j)^2. For isotropic queries, the product of those two
// sums is smallest, by Cauchy-Schwarz, when (r_j / c_j) and c_j are
// proportional, that is c_j = sqrt(r_j): the rotation then spreads an error
// that weighs every channel alike. A channel that hardly varied among the
// first tokens is floored at this fraction of the mean rms, so that it cannot
// swamp the other channels if it varies later.
constexpr double kDivisorFloor = 1e-2;

}  // namespace

void fix_fitted_stats(HeadCache& head, const AppendedTokens& tokens) {
    const int32_t hd = head.head_dim;
    const int32_t appended = tokens.count;

    // Sums in double, tokens in order: the statistics are computed once.
    double key_sum[kMaxHeadDim] = {};
    double val_sum[kMaxHeadDim] = {};
    for (int32_t i = 0; i < appended; ++i) {
        const float* k = tokens.key_of(i);
        const float* v = tokens.val_of(i);
        for (int32_t j = 0; j < hd; ++j) {
            key_sum[j] += static_cast<double>(k[j]);
            val_sum[j] += static_cast<double>(v[j]);
        }
    }
    float* key_mean = fitted_array(head, kKeyMean);
    float* val_mean = fitted_array(head, kValMean);
    float* key_divisor = fitted_array(head, kKeyDivisor);
    const double n = static_cast<double>(appended);
    for (int32_t j = 0; j < hd; ++j) {
        key_mean[j] = static_cast<float>(key_sum[j] / n);
        val_mean[j] = static_cast<float>(val_sum[j] / n);
    }
    // The spread about what each key is coded against: the key mean, or with
    // key groups its group's mean (a partial group's, for the newest).
    const int32_t group = head.key_group > 0 ? head.key_group : appended;
    double square_sum[kMaxHeadDim] = {};
    float centre[kMaxHeadDim];
    for (int32_t lo = 0; lo < appended; lo += group) {
        const int32_t hi = std::min(appended, lo + group);
        if (head.key_group == 0) {
            std::copy(key_mean, key_mean + hd, centre);
        } else {
            double sum[kMaxHeadDim] = {};
            for (int32_t i = lo; i < hi; ++i) {
                const float* k = tokens.key_of(i);
                for (int32_t j = 0; j < hd; ++j) sum[j] += static_cast<double>(k[j]);
            }
            for (int32_t j = 0; j < hd; ++j) centre[j] = static_cast<float>(sum[j] / static_cast<double>(hi - lo));
        }
        for (int32_t i = lo; i < hi; ++i) {
            const float* k = tokens.key_of(i);
            for (int32_t j = 0; j < hd; ++j) {
                const double d = static_cast<double>(k[j] - centre[j]);  // centred as the encoder centres
                square_sum[j] += d * d;
            }
        }
    }
    double rms[kMaxHeadDim];
    double mean_rms = 0.0;
    for (int32_t j = 0; j < hd; ++j) {
        rms[j] = std::sqrt(square_sum[j] / n);
        mean_rms += rms[j];
    }
    mean_rms /= static_cast<double>(hd);
    // Keys that never varied (a constant key) code as zero vectors: any divisor serves.
    const bool spread = mean_rms > 0.0 && std::isfinite(mean_rms);
    for (int32_t j = 0; j < hd; ++j) {
        const float divisor = spread ? static_cast<float>(std::sqrt(std::max(rms[j], kDivisorFloor * mean_rms))) : 1.0f;
        // Keys that hardly varied (a spread below 2^-80) would divide a later key to infinity.
        key_divisor[j] = std::max(divisor, kDivisorLeast);
    }
    head.codec_state.ready = true;
}

}  // namespace kelvor
