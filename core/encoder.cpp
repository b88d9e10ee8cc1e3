#include "core/encoder.h"

#include <cmath>

#include "core/packing.h"
#include "core/workspace.h"

namespace kelvor {

float encode_vector(const KernelTable& kt, const float* x, int32_t head_dim, int32_t P, const int8_t* signs,
                    int32_t bits, uint8_t* codes) {
    float* buf = thread_workspace().encoder_rotated;
    float ss = 0.0f;
    for (int32_t i = 0; i < head_dim; ++i) {
        buf[i] = x[i];
        ss += x[i] * x[i];
    }
    for (int32_t i = head_dim; i < P; ++i) buf[i] = 0.0f;

    const float norm = std::sqrt(ss + kNormGuard);
    const float inv_norm = 1.0f / norm;
    for (int32_t i = 0; i < P; ++i) buf[i] *= inv_norm;

    kt.rht_forward(buf, signs, P);

    // Rescaled so the mean square of the coordinates is about 1.
    const float sp = std::sqrt(static_cast<float>(P));
    float ss2 = 0.0f;
    for (int32_t i = 0; i < P; ++i) {
        const float v = sp * buf[i];
        ss2 += v * v;
    }
    const float rms = std::sqrt(ss2 / static_cast<float>(P) + kNormGuard);
    const float clip = rms * 3.0f;
    const float inv = 1.0f / (clip + kNormGuard);
    kt.quantize_clamped(buf, P, sp, clip, inv, bits, codes);
    return clip * norm;
}

float encode_vector(const float* x, int32_t head_dim, int32_t P, const int8_t* signs, int32_t bits,
                    uint8_t* codes) {
    return encode_vector(kernels(), x, head_dim, P, signs, bits, codes);
}

float encode_and_pack(const KernelTable& kt, const HeadCache& head, const float* x, int32_t bits, uint8_t* stream) {
    uint8_t* codes = thread_workspace().encoder_codes;
    const float scale = encode_vector(kt, x, head.head_dim, head.rotation.P, head.rotation.signs.data(), bits, codes);
    pack_codes(codes, head.rotation.P, bits, stream);
    return scale;
}

float encode_and_pack(const HeadCache& head, const float* x, int32_t bits, uint8_t* stream) {
    return encode_and_pack(kernels(), head, x, bits, stream);
}

}  // namespace kelvor
