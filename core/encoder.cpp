#include "core/encoder.h"

#include <cmath>

#include "core/packing.h"
#include "core/workspace.h"

namespace kelvor {
namespace {

// Encodes N vectors in lockstep. Each vector's sums run strictly in index
// order (its codes depend on every rounding), so the only way to hide their
// latency is to interleave independent vectors: the key and value of a token.
template <int N>
void encode_lockstep(const KernelTable& kt, const float* const* xs, int32_t head_dim, int32_t P, const int8_t* signs,
                     const Codebook* const* codebooks, uint8_t* const* codes, float* scales) {
    ThreadWorkspace& ws = thread_workspace();
    float* buf[N];
    float ss[N];
    for (int v = 0; v < N; ++v) {
        buf[v] = ws.encoder_rotated[v];
        ss[v] = 0.0f;
    }
    for (int32_t i = 0; i < head_dim; ++i) {
        for (int v = 0; v < N; ++v) {
            const float x = xs[v][i];
            buf[v][i] = x;
            ss[v] += x * x;
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
    for (int v = 0; v < N; ++v) ss2[v] = 0.0f;
    for (int32_t i = 0; i < P; ++i) {
        for (int v = 0; v < N; ++v) {
            const float y = sp * buf[v][i];
            ss2[v] += y * y;
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
    uint8_t* codes = thread_workspace().encoder_codes[0];
    const float scale = encode_vector(kt, x, head.head_dim, head.rotation.P, head.rotation.signs.data(), bits, codes);
    pack_codes(codes, head.rotation.P, bits, stream);
    return scale;
}

float encode_and_pack(const HeadCache& head, const float* x, int32_t bits, uint8_t* stream) {
    return encode_and_pack(kernels(), head, x, bits, stream);
}

void encode_and_pack_pair(const KernelTable& kt, const HeadCache& head, const float* key, const float* val,
                          uint8_t* key_stream, uint8_t* val_stream, float* key_scale, float* val_scale) {
    ThreadWorkspace& ws = thread_workspace();
    const float* xs[2] = {key, val};
    uint8_t* codes[2] = {ws.encoder_codes[0], ws.encoder_codes[1]};
    float scales[2];
    const int32_t P = head.rotation.P;
    const Codebook* codebooks[2] = {&head.store.codebook, &head.store.val_codebook};
    encode_lockstep<2>(kt, xs, head.head_dim, P, head.rotation.signs.data(), codebooks, codes, scales);
    pack_codes(codes[0], P, head.store.bits, key_stream);
    pack_codes(codes[1], P, head.store.val_bits, val_stream);
    *key_scale = scales[0];
    *val_scale = scales[1];
}

}  // namespace kelvor
