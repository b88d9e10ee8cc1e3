// The fitted encoder: a vector is centred (and a key equalised) with its
// head's statistics, rotated, and coded at unit root mean square, where the
// codebooks were fitted, with a per-vector gain fitted to the codes.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/codecs/codec_fitted.h"
#include "core/codecs/encode_scratch.h"
#include "core/codecs/encoder.h"
#include "core/formats/dither.h"
#include "core/formats/half_cells.h"
#include "core/formats/packing.h"
#include "core/support/vector_check.h"

namespace kelvor {
namespace {

// Gain re-fits after the first coding. Each one re-codes the coordinates
// divided by the last gain and fits the gain again by least squares: the
// alternation of nearest-level coding and a least-squares gain never raises the
// squared error, so it settles on a gain whose codes are their own nearest
// levels (a fixed point of Lloyd's iteration for one vector). Past two passes
// it changes almost nothing.
constexpr int kGainRefits = 2;

// Sums of the terms add(i, p, q) contributes for i < n: eight float32 partial
// sums of each over strided indices, combined in a fixed tree. The order is
// fixed (the codes depend on every rounding) but short, so the sums pipeline.
struct StridedSums {
    float p[8] = {};
    float q[8] = {};
    static float total(const float* s) { return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7])); }
};

template <class Add>
StridedSums strided_sums(int32_t n, Add&& add) {
    StridedSums s;
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int l = 0; l < 8; ++l) add(i + l, s.p[l], s.q[l]);
    }
    for (int l = 0; i + l < n; ++l) add(i + l, s.p[l], s.q[l]);
    return s;
}

// Codes x (head_dim floats) into P codes; returns the scale. divisor is
// nullptr for values. Keys take the least-squares gain: a score is linear in
// the key, so the key closest to the truth gives the smallest score error.
// Values take the gain that keeps their norm: the least-squares gain shrinks a
// coded vector towards zero (its codes are correlated with, not equal to, the
// vector), and an answer averages many values, whose shrinkage would add up to
// an answer too short while their independent errors largely cancel.
// half (nullptr: not wanted) gets the coordinates' half-cell bits: whether
// each coded coordinate lay at or above its code's level.
// dither (nullptr: none; values only) is added to the coordinates at the gain
// fitted without it before the codes are chosen, and the scale keeps the norm
// of the levels minus the dither, which is what a reader takes them as.
float encode_fitted(const KernelTable& kt, const float* x, const float* mean, const float* divisor, int32_t head_dim,
                    int32_t P, const int8_t* signs, const Codebook& codebook, float* buf, uint8_t* codes,
                    uint8_t* half = nullptr, const float* dither = nullptr) {
    if (half != nullptr) std::fill(half, half + half_bits_bytes(P), uint8_t{0});
    if (divisor != nullptr) {
        for (int32_t i = 0; i < head_dim; ++i) buf[i] = (x[i] - mean[i]) / divisor[i];
    } else {
        for (int32_t i = 0; i < head_dim; ++i) buf[i] = x[i] - mean[i];
    }
    for (int32_t i = head_dim; i < P; ++i) buf[i] = 0.0f;
    auto square_sum = [&] {
        return StridedSums::total(strided_sums(head_dim, [&](int32_t i, float& p, float&) { p += buf[i] * buf[i]; }).p);
    };
    float ss = square_sum();
    // A vector far from the means (relative to the divisors) can overflow the
    // sum: sum again scaled by a power of two, which keeps its direction exact.
    float unscale = 1.0f;
    if (!std::isfinite(ss)) {
        const float s = pow2_scale_for(buf, head_dim);
        for (int32_t i = 0; i < head_dim; ++i) buf[i] *= s;
        ss = square_sum();
        unscale = 1.0f / s;
    }
    const float norm = std::sqrt(ss + kNormGuard);
    const float inv_norm = 1.0f / norm;
    for (int32_t i = 0; i < P; ++i) buf[i] *= inv_norm;
    kt.rht_forward(buf, signs, P);

    // v_i = sp * buf[i] has a mean square of about 1; gain g codes v / g.
    const float sp = std::sqrt(static_cast<float>(P));
    const float* levels = codebook.levels;
    float gain = 1.0f;
    float den = 0.0f;
    float coded_inv = 1.0f;
    for (int pass = 0; pass <= kGainRefits; ++pass) {
        coded_inv = 1.0f / gain;
        kt.quantize_clamped(buf, P, sp, FLT_MAX, coded_inv, codebook, codes);
        const StridedSums fit = strided_sums(P, [&](int32_t i, float& num, float& den_) {
            const float l = levels[codes[i]];
            num += (sp * buf[i]) * l;
            den_ += l * l;
        });
        const float num = StridedSums::total(fit.p);
        den = StridedSums::total(fit.q);
        // The codebooks have no zero level and the codes keep the signs, so num
        // is positive unless the vector is zero, which codes as scale 0.
        gain = num / den;
        if (!(gain > 0.0f)) return 0.0f;
    }
    // The very products quantize_clamped compared with the thresholds.
    const auto coded_at = [&](int32_t i) { return std::max(-FLT_MAX, std::min(FLT_MAX, sp * buf[i])) * coded_inv; };
    if (dither != nullptr) {
        // buf becomes the dithered products, which the level's quantiser codes
        // as they stand (its factors of 1 are exact), so every level agrees.
        for (int32_t i = 0; i < P; ++i) buf[i] = coded_at(i) + dither[i];
        kt.quantize_clamped(buf, P, 1.0f, FLT_MAX, 1.0f, codebook, codes);
        den = StridedSums::total(strided_sums(P, [&](int32_t i, float& d, float&) {
                                     const float l = levels[codes[i]] - dither[i];
                                     d += l * l;
                                 }).p);
    }
    if (half != nullptr) {
        // A bit is as likely set as not, so it is or-ed in without a branch.
        for (int32_t i = 0; i < P; ++i) {
            const float y = dither != nullptr ? buf[i] : coded_at(i);
            half[i / 8] |= static_cast<uint8_t>(static_cast<uint32_t>(y >= levels[codes[i]]) << (7 - i % 8));
        }
    }
    // The rotated coordinates v have a squared norm of P (buf has unit norm up
    // to rounding), so this gain gives the codes the norm of the value.
    if (divisor == nullptr) gain = std::sqrt(static_cast<float>(P) / den);
    return gain * (norm * unscale);
}

}  // namespace

void encode_fitted_key(const KernelTable& kt, const HeadCache& head, const float* key, uint8_t* stream, float* scale) {
    EncodeScratch& ws = encode_scratch();
    *scale = encode_fitted(kt, key, fitted_array(head, kKeyMean), fitted_array(head, kKeyDivisor), head.head_dim,
                           head.rotation.P, head.rotation.signs.data(), head.store.codebook, ws.rotated[0], ws.codes[0]);
    pack_codes(ws.codes[0], head.rotation.P, head.store.bits, stream);
}

void encode_fitted_value(const KernelTable& kt, const HeadCache& head, const float* val, int64_t index,
                         uint8_t* stream, float* scale, uint8_t* half) {
    EncodeScratch& ws = encode_scratch();
    const float* dither = head.value_dither ? dither_pattern(dither_pattern_of(index)) : nullptr;
    *scale = encode_fitted(kt, val, fitted_array(head, kValMean), nullptr, head.head_dim, head.rotation.P,
                           head.rotation.signs.data(), head.store.val_codebook, ws.rotated[1], ws.codes[1], half,
                           dither);
    pack_codes(ws.codes[1], head.rotation.P, head.store.val_bits, stream);
}

void encode_fitted_pair(const KernelTable& kt, const HeadCache& head, const float* key, const float* val,
                        int64_t index, uint8_t* key_stream, uint8_t* val_stream, float* key_scale, float* val_scale,
                        uint8_t* val_half) {
    encode_fitted_key(kt, head, key, key_stream, key_scale);
    encode_fitted_value(kt, head, val, index, val_stream, val_scale, val_half);
}

}  // namespace kelvor
