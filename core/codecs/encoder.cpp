#include "core/codecs/encoder.h"

#include <algorithm>
#include <cmath>

#include "core/formats/packing.h"
#include "core/codecs/encode_scratch.h"

namespace kelvor {
namespace {

// Encodes N vectors in lockstep. Each vector's sums run strictly in index
// order (its codes depend on every rounding), so the only way to hide their
// latency is to interleave independent vectors: the key and value of a token.
template <int N>
void encode_lockstep(const KernelTable& kt, const float* const* xs, int32_t head_dim, int32_t P, const int8_t* signs,
                     const Codebook* const* codebooks, uint8_t* const* codes, float* scales) {
    EncodeScratch& ws = encode_scratch();
    float* buf[N];
    float ss[N];
    const float* rows[N];
    for (int v = 0; v < N; ++v) {
        buf[v] = ws.rotated[v];
        rows[v] = buf[v];
        ss[v] = 0.0f;
    }
    // Eight vectors' sums go to the kernels, which keep each one's order.
    constexpr bool eight = N == 8;
    if constexpr (eight) {
        for (int v = 0; v < N; ++v) std::copy(xs[v], xs[v] + head_dim, buf[v]);
        kt.square_sums8(rows, head_dim, 1.0f, ss);
    } else {
        for (int32_t i = 0; i < head_dim; ++i) {
            for (int v = 0; v < N; ++v) {
                const float x = xs[v][i];
                buf[v][i] = x;
                ss[v] += x * x;
            }
        }
    }
    float norm[N];
    for (int v = 0; v < N; ++v) {
        for (int32_t i = head_dim; i < P; ++i) buf[v][i] = 0.0f;
        norm[v] = std::sqrt(ss[v] + kNormGuard);
        const float inv_norm = 1.0f / norm[v];
        for (int32_t i = 0; i < P; ++i) buf[v][i] *= inv_norm;
        kt.rht_forward(buf[v], signs, P);
    }

    // Rescaled so the mean square of the coordinates is about 1.
    const float sp = std::sqrt(static_cast<float>(P));
    float ss2[N];
    if constexpr (eight) {
        kt.square_sums8(rows, P, sp, ss2);
    } else {
        for (int v = 0; v < N; ++v) ss2[v] = 0.0f;
        for (int32_t i = 0; i < P; ++i) {
            for (int v = 0; v < N; ++v) {
                const float y = sp * buf[v][i];
                ss2[v] += y * y;
            }
        }
    }
    for (int v = 0; v < N; ++v) {
        const float rms = std::sqrt(ss2[v] / static_cast<float>(P) + kNormGuard);
        const float clip = rms * 3.0f;
        const float inv = 1.0f / (clip + kNormGuard);
        kt.quantize_clamped(buf[v], P, sp, clip, inv, *codebooks[v], codes[v]);
        scales[v] = clip * norm[v];
    }
}

}  // namespace

float encode_vector(const KernelTable& kt, const float* x, int32_t head_dim, int32_t P, const int8_t* signs,
                    int32_t bits, uint8_t* codes) {
    float scale;
    const Codebook codebook = default_codebook(bits);
    const Codebook* codebooks[1] = {&codebook};
    encode_lockstep<1>(kt, &x, head_dim, P, signs, codebooks, &codes, &scale);
    return scale;
}

float encode_vector(const float* x, int32_t head_dim, int32_t P, const int8_t* signs, int32_t bits,
                    uint8_t* codes) {
    return encode_vector(kernels(), x, head_dim, P, signs, bits, codes);
}

float encode_and_pack(const KernelTable& kt, const HeadCache& head, const float* x, int32_t bits, uint8_t* stream) {
    uint8_t* codes = encode_scratch().codes[0];
    const float scale = encode_vector(kt, x, head.head_dim, head.rotation.P, head.rotation.signs.data(), bits, codes);
    pack_codes(codes, head.rotation.P, bits, stream);
    return scale;
}

float encode_and_pack(const HeadCache& head, const float* x, int32_t bits, uint8_t* stream) {
    return encode_and_pack(kernels(), head, x, bits, stream);
}

namespace {

// N / 2 tokens, keys at even and values at odd lanes.
template <int N>
void encode_tokens_lockstep(const KernelTable& kt, const HeadCache& head, const float* keys, const float* vals,
                            size_t stride, int32_t first, CodedTokens& out) {
    EncodeScratch& ws = encode_scratch();
    const float* xs[N];
    uint8_t* codes[N];
    const Codebook* codebooks[N];
    float scales[N];
    for (int v = 0; v < N; ++v) {
        const size_t t = static_cast<size_t>(first + v / 2);
        xs[v] = (v % 2 == 0 ? keys : vals) + t * stride;
        codes[v] = ws.codes[v];
        codebooks[v] = v % 2 == 0 ? &head.store.codebook : &head.store.val_codebook;
    }
    const int32_t P = head.rotation.P;
    encode_lockstep<N>(kt, xs, head.head_dim, P, head.rotation.signs.data(), codebooks, codes, scales);
    for (int v = 0; v < N; v += 2) {
        const int32_t t = first + v / 2;
        pack_codes(codes[v], P, head.store.bits, out.key[t]);
        pack_codes(codes[v + 1], P, head.store.val_bits, out.val[t]);
        out.key_scale[t] = scales[v];
        out.val_scale[t] = scales[v + 1];
    }
}

}  // namespace

void encode_and_pack_tokens(const KernelTable& kt, const HeadCache& head, int32_t n, const float* keys,
                            const float* vals, size_t stride, CodedTokens& out) {
    static_assert(kEncodeGroup == 4, "a full group is coded as eight lanes");
    if (n == kEncodeGroup) return encode_tokens_lockstep<2 * kEncodeGroup>(kt, head, keys, vals, stride, 0, out);
    for (int32_t t = 0; t < n; ++t) encode_tokens_lockstep<2>(kt, head, keys, vals, stride, t, out);
}

}  // namespace kelvor
