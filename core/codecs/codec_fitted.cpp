// The fitted encoding. Per head, a key mean, a value mean and a divisor per key
// channel are fixed once, when the head starts answering from codes. A key is
// coded as (key - key_mean) / divisor and a value as value - val_mean.
//
// Why this answers the same attention: a score is q . k / sqrt(d). With
// k = key_mean + divisor * k', q . k = q . key_mean + (q * divisor) . k', and
// the first term is the same for every token, so the softmax does not see it:
// the query is multiplied by the divisors and scored against the coded k'.
// The softmax weights sum to one, so the value mean comes back as one term
// added to the answer (scaled by the coded tokens' weight when full-precision
// tokens share the softmax).
#include <array>

#include "core/codecs/codec_fitted.h"
#include "core/heads/head_floats.h"

namespace kelvor {
namespace {

// The Lloyd-Max levels of a unit normal at 16 levels: symmetric, no zero level.
// The fitted encoding codes with it at 4 bits; its 2- and 3-bit codebooks are
// the fixed tables, which are already close to Lloyd-Max.
constexpr std::array<float, 16> levels_4bit_lloyd_max = {
    -2.73259f, -2.06902f, -1.61805f, -1.25623f, -0.94234f, -0.65676f, -0.38805f, -0.1284f,
    0.1284f,   0.38805f,  0.65676f,  0.94234f,  1.25623f,  1.61805f,  2.06902f,  2.73259f};
constexpr std::array<float, 15> thresholds_4bit_lloyd_max = midpoints(levels_4bit_lloyd_max);

class FittedCodec final : public Codec {
public:
    const char* name() const override { return "fitted"; }
    Codebook codebook(int32_t bits) const override {
        if (bits == 4) return Codebook{4, levels_4bit_lloyd_max.data(), thresholds_4bit_lloyd_max.data()};
        return default_codebook(bits);
    }
    int32_t state_arrays() const override { return kFittedArrays; }
    std::string state_error(const HeadCache& head) const override {
        const int64_t hd = head.head_dim;
        const std::string codec = name();
        const FloatArray arrays[] = {
            {codec + " key mean", "channel", fitted_array(head, kKeyMean), hd, 1, 1, {FloatRule::magnitude, 0.0f,
             kStatsMeanMost, "beyond the 2^64 every coordinate an append accepts stays below"}},
            {codec + " value mean", "channel", fitted_array(head, kValMean), hd, 1, 1, {FloatRule::magnitude, 0.0f,
             kStatsMeanMost, "beyond the 2^64 every coordinate an append accepts stays below"}},
            {codec + " key divisor", "channel", fitted_array(head, kKeyDivisor), hd, 1, 1, {FloatRule::positive_between,
             kDivisorLeast, kDivisorMost, "outside the 2^-40 to 2^33 that fitting keeps divisors in"}},
        };
        for (const FloatArray& a : arrays) {
            if (std::string e = float_array_error(a); !e.empty()) return e;
        }
        return {};
    }
    bool codes_ready(const HeadCache& head) const override { return head.codec_state.ready; }
    void encode_tokens(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t first, const float* keys,
                       const float* vals, size_t stride, CodedTokens& out) const override {
        for (int32_t t = 0; t < n; ++t) {
            const size_t at = static_cast<size_t>(t) * stride;
            encode_fitted_pair(kt, head, keys + at, vals + at, first + t, out.key[t], out.val[t], &out.key_scale[t],
                               &out.val_scale[t], head.value_refine > 0 ? out.val_half[t] : nullptr);
        }
    }
    void encode_keys(const KernelTable& kt, const HeadCache& head, int32_t n, const float* keys, size_t stride,
                     CodedTokens& out) const override {
        for (int32_t t = 0; t < n; ++t) {
            encode_fitted_key(kt, head, keys + static_cast<size_t>(t) * stride, out.key[t], &out.key_scale[t]);
        }
    }
    void encode_values(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t first, const float* vals,
                       size_t stride, CodedTokens& out) const override {
        for (int32_t t = 0; t < n; ++t) {
            encode_fitted_value(kt, head, vals + static_cast<size_t>(t) * stride, first + t, out.val[t],
                                &out.val_scale[t],
                                head.value_refine > 0 ? out.val_half[t] : nullptr);
        }
    }
    void fix_stats(HeadCache& head, const AppendedTokens& tokens) const override { fix_fitted_stats(head, tokens); }
    const float* prepare_query(const HeadCache& head, const float* query, float* scratch) const override {
        const float* divisor = fitted_array(head, kKeyDivisor);
        for (int32_t i = 0; i < head.head_dim; ++i) scratch[i] = query[i] * divisor[i];
        return scratch;
    }
    const float* key_offset(const HeadCache& head) const override { return fitted_array(head, kKeyMean); }
    void finish(const HeadCache& head, const float* acc, float coded_weight, float* out) const override {
        // Multiplying by a weight of exactly 1 is exact, so an all-coded answer
        // is acc + val_mean to the last bit.
        const float* val_mean = fitted_array(head, kValMean);
        for (int32_t j = 0; j < head.head_dim; ++j) out[j] = acc[j] + val_mean[j] * coded_weight;
    }
};

}  // namespace

const Codec& fitted_codec() {
    static const FittedCodec codec;
    return codec;
}

}  // namespace kelvor
