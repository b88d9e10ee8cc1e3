// Scalar reference level: the arithmetic every SIMD level is measured against.
#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/formats/codebook.h"
#include "core/formats/half_cells.h"
#include "core/formats/packing.h"
#include "core/formats/rotation.h"
#include "core/kernels/kernels.h"
#include "core/kernels/softmax.h"
#include "core/kernels/wide_softmax.h"
#include "core/support/limits.h"

namespace kelvor {
namespace {

void quantize_clamped_ref(const float* x, int32_t P, float sp, float clip, float inv, const Codebook& codebook,
                          uint8_t* codes) {
    with_bits(codebook.bits, [&](auto b) {
        constexpr int Bits = decltype(b)::value;
        for (int32_t i = 0; i < P; ++i) {
            const float v = sp * x[i];
            const float y = std::max(-clip, std::min(clip, v)) * inv;
            codes[i] = quantize_code_bits<Bits>(y, codebook.thresholds);
        }
    });
}

void square_sums8_ref(const float* const* rows, int32_t n, float scale, float* sums) {
    for (int r = 0; r < 8; ++r) {
        float s = 0.0f;
        for (int32_t i = 0; i < n; ++i) {
            const float y = scale * rows[r][i];
            s += y * y;
        }
        sums[r] = s;
    }
}

void score_keys_ref(const PackedTokens& keys, float kf, const QueryBlock& block) {
    with_bits(keys.bits, [&](auto b) {
        constexpr int Bits = decltype(b)::value;
        const float* levels = keys.levels;
        for (int32_t k = 0; k < keys.tokens; ++k) {
            const uint8_t* stream = keys.codes + static_cast<size_t>(k) * keys.bytes_per_vec;
            if (k + 4 < keys.tokens) __builtin_prefetch(stream + 4 * static_cast<size_t>(keys.bytes_per_vec), 0, 2);
            for (int32_t q = 0; q < block.count; ++q) {
                const float dp = dot_packed_bits<Bits>(block.vectors[q], stream, levels, keys.P);
                block.rows[q][k] = (dp * kf) * keys.scales[k];
            }
        }
    });
}

void accumulate_values_ref(const PackedTokens& values, float vf, const QueryBlock& block) {
    with_bits(values.bits, [&](auto b) {
        constexpr int Bits = decltype(b)::value;
        constexpr int L = 1 << Bits;
        const float* levels = values.levels;
        float scaled[L];
        for (int32_t k = 0; k < values.tokens; ++k) {
            const uint8_t* stream = values.codes + static_cast<size_t>(k) * values.bytes_per_vec;
            if (k + 4 < values.tokens) __builtin_prefetch(stream + 4 * static_cast<size_t>(values.bytes_per_vec), 0, 2);
            for (int32_t q = 0; q < block.count; ++q) {
                // The token's weight is folded into a scaled copy of the codebook,
                // so each coordinate costs one lookup and one add.
                const float w = (values.scales[k] * block.rows[q][k]) * vf;
                for (int i = 0; i < L; ++i) scaled[i] = levels[i] * w;
                accumulate_packed_bits<Bits>(block.vectors[q], stream, scaled, values.P);
            }
        }
    });
}

// T is at most the exact window, so the sum of the weights is one block.
static_assert(kExactWindow <= kSumBlock, "the exact path sums in one block");

void exact_attend_ref(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    const float f = 1.0f / std::sqrt(static_cast<float>(hd));
    float m = 0.0f;
    for (int32_t t = 0; t < T; ++t) {
        const float* key = exact + 2 * static_cast<size_t>(t) * hd;
        float s = 0.0f;
        for (int32_t i = 0; i < hd; ++i) s += query[i] * key[i];
        const float score = s * f;
        scores[t] = score;
        // From the first score: a fixed start can lie above every score.
        if (t == 0 || score > m) m = score;
    }
    float sum = 0.0f;
    for (int32_t t = 0; t < T; ++t) {
        scores[t] = std::exp(scores[t] - m);
        sum = sum + scores[t];
    }
    if (!std::isfinite(sum)) return exact_attend_wide(exact, T, hd, query, scores, out);
    const float r = 1.0f / sum;
    std::fill(out, out + hd, 0.0f);
    for (int32_t t = 0; t < T; ++t) {
        const float* val = exact + (2 * static_cast<size_t>(t) + 1) * hd;
        const float w = r * scores[t];
        for (int32_t j = 0; j < hd; ++j) out[j] = w * val[j] + out[j];
    }
}

}  // namespace

const KernelTable& scalar_kernels() {
    static const KernelTable table = {
        SimdLevel::scalar,    "scalar",         "",             rht_forward,           rht_inverse,
        softmax_inplace,      quantize_clamped_ref, square_sums8_ref, score_keys_ref, accumulate_values_ref,
        exact_attend_ref,     interleave_half_bits,
    };
    return table;
}

}  // namespace kelvor
