// AVX-512 level (F, BW, DQ, VL). Only this file is compiled with those flags.
// Reads and writes the same bytes as the scalar reference: rotations and the
// quantiser are elementwise and bit-identical; value accumulation adds the same
// rounded products in the same token order; only dot products, the softmax sum
// and the exponential may differ from the reference by float32 rounding.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/codebook.h"
#include "core/kernels.h"
#include "core/packing.h"
#include "core/rotation.h"
#include "core/softmax.h"

namespace kelvor {
namespace {

constexpr int kLanes = 16;

// ---- rotation ------------------------------------------------------------

// In-register butterfly: lanes with bit h clear get x + partner, lanes with it
// set get partner - x (written as partner + (-x), which IEEE defines identically).
template <int H>
inline __m512 butterfly_in_register(__m512 x) {
    __m512 partner;
    if constexpr (H == 1) partner = _mm512_permute_ps(x, 0xB1);
    if constexpr (H == 2) partner = _mm512_permute_ps(x, 0x4E);
    if constexpr (H == 4) partner = _mm512_shuffle_f32x4(x, x, 0xB1);
    if constexpr (H == 8) partner = _mm512_shuffle_f32x4(x, x, 0x4E);
    constexpr __mmask16 upper = H == 1 ? 0xAAAA : H == 2 ? 0xCCCC : H == 4 ? 0xF0F0 : 0xFF00;
    const __m512 signed_x = _mm512_mask_xor_ps(x, upper, x, _mm512_set1_ps(-0.0f));
    return _mm512_add_ps(partner, signed_x);
}

inline __m512 load_signs(const int8_t* signs) {
    return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(signs))));
}

void butterflies(float* x, int32_t n, bool signs_first, const int8_t* signs) {
    for (int32_t i = 0; i < n; i += kLanes) {
        __m512 v = _mm512_loadu_ps(x + i);
        if (signs_first) v = _mm512_mul_ps(load_signs(signs + i), v);
        v = butterfly_in_register<1>(v);
        v = butterfly_in_register<2>(v);
        v = butterfly_in_register<4>(v);
        v = butterfly_in_register<8>(v);
        _mm512_storeu_ps(x + i, v);
    }
    for (int32_t h = kLanes; h < n; h *= 2) {
        for (int32_t j = 0; j < n; j += 2 * h) {
            for (int32_t k = 0; k < h; k += kLanes) {
                const __m512 u = _mm512_loadu_ps(x + j + k);
                const __m512 v = _mm512_loadu_ps(x + j + k + h);
                _mm512_storeu_ps(x + j + k, _mm512_add_ps(u, v));
                _mm512_storeu_ps(x + j + k + h, _mm512_sub_ps(u, v));
            }
        }
    }
}

void rht_forward_avx512(float* x, const int8_t* signs, int32_t n) {
    if (n < kLanes) return rht_forward(x, signs, n);
    butterflies(x, n, true, signs);
    const __m512 s = _mm512_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += kLanes) _mm512_storeu_ps(x + i, _mm512_mul_ps(s, _mm512_loadu_ps(x + i)));
}

void rht_inverse_avx512(float* x, const int8_t* signs, int32_t n) {
    if (n < kLanes) return rht_inverse(x, signs, n);
    butterflies(x, n, false, signs);
    const __m512 s = _mm512_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += kLanes) {
        _mm512_storeu_ps(x + i, _mm512_mul_ps(load_signs(signs + i), _mm512_mul_ps(s, _mm512_loadu_ps(x + i))));
    }
}

// ---- exponential and softmax --------------------------------------------

// exp(x) to about 1 ulp: x = n ln2 + r with |r| <= ln2/2, a degree-6 polynomial
// for e^r, and scalef for 2^n (which also flushes to 0 and saturates to inf).
inline __m512 exp_ps(__m512 x) {
    // max/min return their second operand when one is NaN, so NaN survives.
    x = _mm512_min_ps(_mm512_set1_ps(88.7228391f), x);
    x = _mm512_max_ps(_mm512_set1_ps(-103.972084f), x);
    const __m512 n = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(1.44269504088896341f)),
                                          _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(0.693359375f), x);
    r = _mm512_fnmadd_ps(n, _mm512_set1_ps(-2.12194440e-4f), r);
    __m512 p = _mm512_set1_ps(1.9875691500e-4f);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894e-2f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459e-1f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201e-1f));
    p = _mm512_fmadd_ps(_mm512_mul_ps(p, r), r, _mm512_add_ps(r, _mm512_set1_ps(1.0f)));
    return _mm512_scalef_ps(p, n);
}

inline __mmask16 tail_mask(int32_t remaining) {
    return remaining >= kLanes ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << remaining) - 1u);
}

void softmax_avx512(float* x, int32_t n) {
    __m512 vmax = _mm512_set1_ps(x[0]);
    for (int32_t i = 0; i < n; i += kLanes) {
        const __m512 v = _mm512_mask_loadu_ps(vmax, tail_mask(n - i), x + i);
        vmax = _mm512_max_ps(v, vmax);
    }
    const __m512 m = _mm512_set1_ps(_mm512_reduce_max_ps(vmax));
    __m512 vsum = _mm512_setzero_ps();
    for (int32_t i = 0; i < n; i += kLanes) {
        const __mmask16 k = tail_mask(n - i);
        const __m512 e = exp_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(k, x + i), m));
        _mm512_mask_storeu_ps(x + i, k, e);
        vsum = _mm512_add_ps(vsum, _mm512_maskz_mov_ps(k, e));
    }
    const __m512 r = _mm512_set1_ps(1.0f / _mm512_reduce_add_ps(vsum));
    for (int32_t i = 0; i < n; i += kLanes) {
        const __mmask16 k = tail_mask(n - i);
        _mm512_mask_storeu_ps(x + i, k, _mm512_mul_ps(_mm512_maskz_loadu_ps(k, x + i), r));
    }
}

// ---- quantiser -------------------------------------------------------------

template <int Bits>
void quantize_clamped_bits(const float* x, int32_t P, float sp, float clip, float inv, uint8_t* codes) {
    constexpr int half = 1 << (Bits - 1);
    const float* t = thresholds_of<Bits>();
    alignas(64) float padded[16] = {};
    for (int i = 0; i + 1 < (1 << Bits); ++i) padded[i] = t[i];
    const __m512 thresholds = _mm512_load_ps(padded);
    const __m512 vsp = _mm512_set1_ps(sp), vclip = _mm512_set1_ps(clip), vneg = _mm512_set1_ps(-clip);
    const __m512 vinv = _mm512_set1_ps(inv);
    for (int32_t i = 0; i < P; i += kLanes) {
        const __mmask16 k = tail_mask(P - i);
        const __m512 v = _mm512_mul_ps(vsp, _mm512_maskz_loadu_ps(k, x + i));
        // Operand order reproduces std::max(-clip, std::min(clip, v)) for NaN too.
        const __m512 y = _mm512_mul_ps(_mm512_max_ps(_mm512_min_ps(v, vclip), vneg), vinv);
        // Same bisection as the scalar quantiser, one lane per coordinate.
        __m512i q = _mm512_maskz_mov_epi32(_mm512_cmp_ps_mask(y, _mm512_set1_ps(t[half - 1]), _CMP_GE_OQ),
                                           _mm512_set1_epi32(half));
        for (int step = half / 2; step >= 1; step /= 2) {
            const __m512 thr = _mm512_permutexvar_ps(_mm512_add_epi32(q, _mm512_set1_epi32(step - 1)), thresholds);
            const __mmask16 ge = _mm512_cmp_ps_mask(y, thr, _CMP_GE_OQ);
            q = _mm512_mask_add_epi32(q, ge, q, _mm512_set1_epi32(step));
        }
        _mm_mask_storeu_epi8(codes + i, k, _mm512_cvtepi32_epi8(q));
    }
}

void quantize_clamped_avx512(const float* x, int32_t P, float sp, float clip, float inv, int32_t bits,
                             uint8_t* codes) {
    with_bits(bits, [&](auto b) { quantize_clamped_bits<decltype(b)::value>(x, P, sp, clip, inv, codes); });
}

// ---- packed-code decoding ---------------------------------------------------

// 16 codes per chunk (2*Bits bytes), decoded into 32-bit lanes in coordinate
// order, then looked up in a 16-entry table in which the codebook repeats, so
// bits above the code never need masking. Loads read at most 8 bytes from the
// chunk start; code buffers keep a zeroed line past their end for that.
template <int Bits>
struct Decoder {
    __m512 table;
    __m512i shuffle;
    __m512i shifts;

    Decoder() {
        alignas(64) float t[16];
        alignas(64) uint8_t shuf[64];
        alignas(64) int32_t sh[16];
        constexpr int L = 1 << Bits;
        for (int i = 0; i < 16; ++i) t[i] = levels_of<Bits>()[i % L];
        for (int j = 0; j < 16; ++j) {
            uint8_t* d = shuf + 4 * j;
            if constexpr (Bits == 2) {
                d[0] = 0, d[1] = 1, d[2] = 2, d[3] = 3;  // unused: the dword is broadcast as is
                sh[j] = 8 * (j / 4) + 6 - 2 * (j % 4);
            } else if constexpr (Bits == 3) {
                const int g = j / 8;  // big-endian 24-bit word of the group, least significant byte first
                d[0] = static_cast<uint8_t>(3 * g + 2), d[1] = static_cast<uint8_t>(3 * g + 1);
                d[2] = static_cast<uint8_t>(3 * g), d[3] = 0x80;
                sh[j] = 21 - 3 * (j % 8);
            } else {
                d[0] = static_cast<uint8_t>(j / 2), d[1] = 0x80, d[2] = 0x80, d[3] = 0x80;
                sh[j] = j % 2 == 0 ? 4 : 0;
            }
        }
        table = _mm512_load_ps(t);
        shuffle = _mm512_load_si512(shuf);
        shifts = _mm512_load_si512(sh);
    }

    __m512i indices(const uint8_t* chunk) const {
        if constexpr (Bits == 2) {
            uint32_t w;
            std::memcpy(&w, chunk, 4);
            return _mm512_srlv_epi32(_mm512_set1_epi32(static_cast<int32_t>(w)), shifts);
        } else {
            uint64_t w;
            std::memcpy(&w, chunk, 8);
            const __m512i bytes = _mm512_shuffle_epi8(_mm512_set1_epi64(static_cast<long long>(w)), shuffle);
            return _mm512_srlv_epi32(bytes, shifts);
        }
    }

    __m512 levels(const uint8_t* chunk) const { return _mm512_permutexvar_ps(indices(chunk), table); }
};

inline float reduce_add(__m512 v) {
    // A fixed tree, the same for every token and every block size.
    __m512 s = _mm512_add_ps(v, _mm512_shuffle_f32x4(v, v, 0x4E));
    s = _mm512_add_ps(s, _mm512_shuffle_f32x4(s, s, 0xB1));
    s = _mm512_add_ps(s, _mm512_permute_ps(s, 0x4E));
    s = _mm512_add_ps(s, _mm512_permute_ps(s, 0xB1));
    return _mm512_cvtss_f32(s);
}

// Four reductions at once, with exactly the additions reduce_add makes for
// each vector (halves, then quarters, then pairs within 128 bits), in fewer
// shuffles. Returns the four sums in lanes 0..3.
inline __m128 reduce_add4(__m512 a, __m512 b, __m512 c, __m512 d) {
    const __m512 ab = _mm512_add_ps(_mm512_shuffle_f32x4(a, b, 0x44), _mm512_shuffle_f32x4(a, b, 0xEE));
    const __m512 cd = _mm512_add_ps(_mm512_shuffle_f32x4(c, d, 0x44), _mm512_shuffle_f32x4(c, d, 0xEE));
    // 128-bit lane L now holds the quarter sums of vector L (a, b, c, d).
    __m512 t = _mm512_add_ps(_mm512_shuffle_f32x4(ab, cd, 0x88), _mm512_shuffle_f32x4(ab, cd, 0xDD));
    t = _mm512_add_ps(t, _mm512_permute_ps(t, 0x4E));
    t = _mm512_add_ps(t, _mm512_permute_ps(t, 0xB1));
    return _mm512_castps512_ps128(_mm512_permutexvar_ps(_mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), t));
}

// Tokens scored together, each decoded once for NQ queries. Per-token
// arithmetic does not depend on the tile, so every block size gives the same
// scores.
template <int Bits, int NQ, int TT>
void score_keys_tile(const Decoder<Bits>& dec, const PackedTokens& keys, float kf, float* const* rq,
                     float* const* rows, int32_t k) {
    const int32_t chunks = keys.P / kLanes;
    const size_t B = static_cast<size_t>(keys.bytes_per_vec);
    for (; k + TT <= keys.tokens; k += TT) {
        __m512 acc[NQ][TT];
        for (int q = 0; q < NQ; ++q)
            for (int t = 0; t < TT; ++t) acc[q][t] = _mm512_setzero_ps();
        const uint8_t* base = keys.codes + static_cast<size_t>(k) * B;
        if (k + 4 + TT <= keys.tokens) __builtin_prefetch(base + 4 * B, 0, 2);
        for (int32_t c = 0; c < chunks; ++c) {
            __m512 lv[TT];
            for (int t = 0; t < TT; ++t) lv[t] = dec.levels(base + t * B + c * 2 * Bits);
            for (int q = 0; q < NQ; ++q) {
                const __m512 r = _mm512_loadu_ps(rq[q] + c * kLanes);
                for (int t = 0; t < TT; ++t) acc[q][t] = _mm512_fmadd_ps(lv[t], r, acc[q][t]);
            }
        }
        if constexpr (TT % 4 == 0) {
            for (int t = 0; t < TT; t += 4) {
                const __m128 scales = _mm_loadu_ps(keys.scales + k + t);
                for (int q = 0; q < NQ; ++q) {
                    const __m128 dots = reduce_add4(acc[q][t], acc[q][t + 1], acc[q][t + 2], acc[q][t + 3]);
                    _mm_storeu_ps(rows[q] + k + t, _mm_mul_ps(_mm_mul_ps(dots, _mm_set1_ps(kf)), scales));
                }
            }
        } else {
            for (int q = 0; q < NQ; ++q)
                for (int t = 0; t < TT; ++t) rows[q][k + t] = (reduce_add(acc[q][t]) * kf) * keys.scales[k + t];
        }
    }
    if constexpr (TT > 1) {
        if (k < keys.tokens) score_keys_tile<Bits, NQ, 1>(dec, keys, kf, rq, rows, k);
    }
}

template <int Bits>
void score_keys_bits(const PackedTokens& keys, float kf, const QueryBlock& block) {
    static const Decoder<Bits> dec;
    // Largest sub-blocks first; each pass decodes every token once for its queries.
    for (int32_t q = 0; q < block.count;) {
        const int32_t left = block.count - q;
        float* const* rq = block.vectors + q;
        float* const* rows = block.rows + q;
        if (left >= 4) {
            score_keys_tile<Bits, 4, 4>(dec, keys, kf, rq, rows, 0);
            q += 4;
        } else if (left >= 2) {
            score_keys_tile<Bits, 2, 4>(dec, keys, kf, rq, rows, 0);
            q += 2;
        } else {
            score_keys_tile<Bits, 1, 8>(dec, keys, kf, rq, rows, 0);
            q += 1;
        }
    }
}

template <int Bits>
void accumulate_values_bits(const PackedTokens& values, float vf, const QueryBlock& block) {
    static const Decoder<Bits> dec;
    constexpr int32_t TT = 8;
    const int32_t chunks = values.P / kLanes;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    const int32_t nq = block.count;
    for (int32_t k = 0; k < values.tokens; k += TT) {
        const int32_t tt = std::min(TT, values.tokens - k);
        // Level times weight rounded once, then added in token order: the
        // scalar path's scaled-codebook sums exactly. Decoding once and
        // multiplying per query keeps the shuffle units, the bottleneck, free.
        float w[8][TT];
        for (int32_t q = 0; q < nq; ++q)
            for (int32_t t = 0; t < tt; ++t) w[q][t] = (values.scales[k + t] * block.rows[q][k + t]) * vf;
        const uint8_t* base = values.codes + static_cast<size_t>(k) * B;
        if (k + 2 * TT <= values.tokens) {
            for (int32_t t = 0; t < TT; ++t) __builtin_prefetch(base + (TT + t) * B, 0, 2);
        }
        for (int32_t c = 0; c < chunks; ++c) {
            __m512 lv[TT];
            for (int32_t t = 0; t < tt; ++t) lv[t] = dec.levels(base + t * B + c * 2 * Bits);
            for (int32_t q = 0; q < nq; ++q) {
                float* a = block.vectors[q] + c * kLanes;
                __m512 acc = _mm512_loadu_ps(a);
                for (int32_t t = 0; t < tt; ++t) acc = _mm512_add_ps(acc, _mm512_mul_ps(lv[t], _mm512_set1_ps(w[q][t])));
                _mm512_storeu_ps(a, acc);
            }
        }
    }
}

void score_keys_avx512(const PackedTokens& keys, float kf, const QueryBlock& block) {
    if (keys.P < kLanes) return scalar_kernels().score_keys(keys, kf, block);
    with_bits(keys.bits, [&](auto b) { score_keys_bits<decltype(b)::value>(keys, kf, block); });
}

// One query, P <= 256: the whole accumulator lives in registers and each token
// updates every chunk before the next token, so the adds of different chunks
// overlap instead of waiting on one another. Same products, same token order.
template <int Bits, int Chunks>
void accumulate_one_query(const PackedTokens& values, float vf, float* acc_out, const float* weights) {
    static const Decoder<Bits> dec;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    __m512 acc[Chunks];
    for (int c = 0; c < Chunks; ++c) acc[c] = _mm512_loadu_ps(acc_out + c * kLanes);
    for (int32_t k = 0; k < values.tokens; ++k) {
        const uint8_t* stream = values.codes + static_cast<size_t>(k) * B;
        if (k + 8 < values.tokens) __builtin_prefetch(stream + 8 * B, 0, 2);
        const __m512 scaled = _mm512_mul_ps(dec.table, _mm512_set1_ps((values.scales[k] * weights[k]) * vf));
        for (int c = 0; c < Chunks; ++c)
            acc[c] = _mm512_add_ps(acc[c], _mm512_permutexvar_ps(dec.indices(stream + c * 2 * Bits), scaled));
    }
    for (int c = 0; c < Chunks; ++c) _mm512_storeu_ps(acc_out + c * kLanes, acc[c]);
}

void accumulate_values_avx512(const PackedTokens& values, float vf, const QueryBlock& block) {
    if (values.P < kLanes) return scalar_kernels().accumulate_values(values, vf, block);
    with_bits(values.bits, [&](auto b) {
        constexpr int Bits = decltype(b)::value;
        if (block.count == 1 && values.P <= 16 * kLanes) {
            float* acc = block.vectors[0];
            const float* w = block.rows[0];
            switch (values.P / kLanes) {
                case 1: return accumulate_one_query<Bits, 1>(values, vf, acc, w);
                case 2: return accumulate_one_query<Bits, 2>(values, vf, acc, w);
                case 4: return accumulate_one_query<Bits, 4>(values, vf, acc, w);
                case 8: return accumulate_one_query<Bits, 8>(values, vf, acc, w);
                default: return accumulate_one_query<Bits, 16>(values, vf, acc, w);
            }
        }
        accumulate_values_bits<Bits>(values, vf, block);
    });
}

// ---- exact path -------------------------------------------------------------

void exact_attend_avx512(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    const float f = 1.0f / std::sqrt(static_cast<float>(hd));
    const size_t stride = 2 * static_cast<size_t>(hd);
    float m = -1.0e30f;
    for (int32_t t = 0; t < T; ++t) {
        const float* key = exact + static_cast<size_t>(t) * stride;
        __m512 acc = _mm512_setzero_ps();
        for (int32_t i = 0; i < hd; i += kLanes) {
            const __mmask16 k = tail_mask(hd - i);
            acc = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(k, query + i), _mm512_maskz_loadu_ps(k, key + i), acc);
        }
        const float score = reduce_add(acc) * f;
        scores[t] = score;
        if (score > m) m = score;
    }
    const __m512 vm = _mm512_set1_ps(m);
    __m512 vsum = _mm512_setzero_ps();
    for (int32_t t = 0; t < T; t += kLanes) {
        const __mmask16 k = tail_mask(T - t);
        const __m512 e = exp_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(k, scores + t), vm));
        _mm512_mask_storeu_ps(scores + t, k, e);
        vsum = _mm512_add_ps(vsum, _mm512_maskz_mov_ps(k, e));
    }
    const float r = 1.0f / reduce_add(vsum);
    // The query may alias out: it has been read in full above.
    for (int32_t j = 0; j < hd; j += kLanes) {
        const __mmask16 k = tail_mask(hd - j);
        __m512 acc = _mm512_setzero_ps();
        for (int32_t t = 0; t < T; ++t) {
            const float* val = exact + static_cast<size_t>(t) * stride + hd;
            acc = _mm512_fmadd_ps(_mm512_set1_ps(r * scores[t]), _mm512_maskz_loadu_ps(k, val + j), acc);
        }
        _mm512_mask_storeu_ps(out + j, k, acc);
    }
}

}  // namespace

const KernelTable* avx512_kernels() {
    static const KernelTable table = {
        SimdLevel::avx512,       "avx512",          rht_forward_avx512,       rht_inverse_avx512, softmax_avx512,
        quantize_clamped_avx512, score_keys_avx512, accumulate_values_avx512, exact_attend_avx512,
    };
    return &table;
}

}  // namespace kelvor
