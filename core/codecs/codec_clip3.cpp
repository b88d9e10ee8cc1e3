// The original encoding: every vector on its own, clamped at three root mean
// squares and coded against the fixed codebooks; no statistics.
#include <algorithm>

#include "core/codecs/encoder.h"
#include "core/codecs/codec.h"

namespace kelvor {
namespace {

class Clip3Codec final : public Codec {
public:
    const char* name() const override { return "clip3"; }
    Codebook codebook(int32_t bits) const override { return default_codebook(bits); }
    int32_t state_arrays() const override { return 0; }
    std::string state_error(const HeadCache&) const override { return {}; }
    bool codes_ready(const HeadCache&) const override { return true; }
    void encode_tokens(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t, const float* keys,
                       const float* vals, size_t stride, CodedTokens& out) const override {
        encode_and_pack_tokens(kt, head, n, keys, vals, stride, out);
    }
    void encode_keys(const KernelTable& kt, const HeadCache& head, int32_t n, const float* keys, size_t stride,
                     CodedTokens& out) const override {
        for (int32_t t = 0; t < n; ++t) {
            out.key_scale[t] = encode_and_pack(kt, head, keys + static_cast<size_t>(t) * stride, head.store.bits, out.key[t]);
        }
    }
    void encode_values(const KernelTable& kt, const HeadCache& head, int32_t n, int64_t, const float* vals,
                       size_t stride, CodedTokens& out) const override {
        for (int32_t t = 0; t < n; ++t) {
            out.val_scale[t] =
                encode_and_pack(kt, head, vals + static_cast<size_t>(t) * stride, head.store.val_bits, out.val[t]);
        }
    }
    void fix_stats(HeadCache&, const AppendedTokens&) const override {}
    const float* prepare_query(const HeadCache&, const float* query, float*) const override { return query; }
    const float* key_offset(const HeadCache&) const override { return nullptr; }
    void finish(const HeadCache& head, const float* acc, float, float* out) const override {
        std::copy(acc, acc + head.head_dim, out);
    }
};

}  // namespace

const Codec& clip3_codec() {
    static const Clip3Codec codec;
    return codec;
}

}  // namespace kelvor
