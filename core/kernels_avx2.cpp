// AVX2 + FMA level. Only this file is compiled with those flags. Same contract
// as the AVX-512 level: bit-identical rotations, codes and value sums; dot
// products, the softmax sum and the exponential within float32 rounding.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/codebook.h"
#include "core/kernels.h"
#include "core/packing.h"
#include "core/rotation.h"

namespace kelvor {
namespace {

constexpr int kLanes = 8;

inline __m256i lane_mask(int32_t remaining) {
    const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(std::min(remaining, kLanes)), idx);
}

// ---- rotation ------------------------------------------------------------

template <int H>
inline __m256 butterfly_in_register(__m256 x) {
    __m256 partner;
    __m256 negate_upper;
    if constexpr (H == 1) {
        partner = _mm256_permute_ps(x, 0xB1);
        negate_upper = _mm256_setr_ps(0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f);
    } else if constexpr (H == 2) {
        partner = _mm256_permute_ps(x, 0x4E);
        negate_upper = _mm256_setr_ps(0.0f, 0.0f, -0.0f, -0.0f, 0.0f, 0.0f, -0.0f, -0.0f);
    } else {
        partner = _mm256_permute2f128_ps(x, x, 0x01);
        negate_upper = _mm256_setr_ps(0.0f, 0.0f, 0.0f, 0.0f, -0.0f, -0.0f, -0.0f, -0.0f);
    }
    // Upper lanes: partner + (-x), which IEEE defines as partner - x.
    return _mm256_add_ps(partner, _mm256_xor_ps(x, negate_upper));
}

inline __m256 load_signs(const int8_t* signs) {
    int64_t packed;
    std::memcpy(&packed, signs, 8);
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_cvtsi64_si128(packed)));
}

void butterflies(float* x, int32_t n, const int8_t* first_signs) {
    for (int32_t i = 0; i < n; i += kLanes) {
        __m256 v = _mm256_loadu_ps(x + i);
        if (first_signs != nullptr) v = _mm256_mul_ps(load_signs(first_signs + i), v);
        v = butterfly_in_register<1>(v);
        v = butterfly_in_register<2>(v);
        v = butterfly_in_register<4>(v);
        _mm256_storeu_ps(x + i, v);
    }
    for (int32_t h = kLanes; h < n; h *= 2) {
        for (int32_t j = 0; j < n; j += 2 * h) {
            for (int32_t k = 0; k < h; k += kLanes) {
                const __m256 u = _mm256_loadu_ps(x + j + k);
                const __m256 v = _mm256_loadu_ps(x + j + k + h);
                _mm256_storeu_ps(x + j + k, _mm256_add_ps(u, v));
                _mm256_storeu_ps(x + j + k + h, _mm256_sub_ps(u, v));
            }
        }
    }
}

void rht_forward_avx2(float* x, const int8_t* signs, int32_t n) {
    if (n < kLanes) return rht_forward(x, signs, n);
    butterflies(x, n, signs);
    const __m256 s = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += kLanes) _mm256_storeu_ps(x + i, _mm256_mul_ps(s, _mm256_loadu_ps(x + i)));
}

void rht_inverse_avx2(float* x, const int8_t* signs, int32_t n) {
    if (n < kLanes) return rht_inverse(x, signs, n);
    butterflies(x, n, nullptr);
    const __m256 s = _mm256_set1_ps(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += kLanes) {
        _mm256_storeu_ps(x + i, _mm256_mul_ps(load_signs(signs + i), _mm256_mul_ps(s, _mm256_loadu_ps(x + i))));
    }
}

// ---- exponential and softmax --------------------------------------------

// exp(x) to about 1 ulp; the clamp keeps 2^n a normal float, so inputs below
// -87.3 give about 1e-38 rather than 0, which no softmax weight can tell apart.
inline __m256 exp_ps(__m256 x) {
    x = _mm256_min_ps(_mm256_set1_ps(88.3762626647949f), x);
    x = _mm256_max_ps(_mm256_set1_ps(-87.3365447504019f), x);
    const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(_mm256_mul_ps(p, r), r, _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    const __m256i pow2n = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(pow2n));
}

inline float reduce_add(__m256 v) {
    // A fixed tree, the same for every token and every block size.
    __m256 s = _mm256_add_ps(v, _mm256_permute2f128_ps(v, v, 0x01));
    s = _mm256_add_ps(s, _mm256_permute_ps(s, 0x4E));
    s = _mm256_add_ps(s, _mm256_permute_ps(s, 0xB1));
    return _mm256_cvtss_f32(s);
}

inline float reduce_max(__m256 v) {
    __m256 s = _mm256_max_ps(v, _mm256_permute2f128_ps(v, v, 0x01));
    s = _mm256_max_ps(s, _mm256_permute_ps(s, 0x4E));
    s = _mm256_max_ps(s, _mm256_permute_ps(s, 0xB1));
    return _mm256_cvtss_f32(s);
}

void softmax_avx2(float* x, int32_t n) {
    __m256 vmax = _mm256_set1_ps(x[0]);
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) vmax = _mm256_max_ps(_mm256_loadu_ps(x + i), vmax);
    float m = reduce_max(vmax);
    for (; i < n; ++i) m = x[i] > m ? x[i] : m;
    const __m256 vm = _mm256_set1_ps(m);
    __m256 vsum = _mm256_setzero_ps();
    for (i = 0; i < n; i += kLanes) {
        const __m256i k = lane_mask(n - i);
        const __m256 e = exp_ps(_mm256_sub_ps(_mm256_maskload_ps(x + i, k), vm));
        _mm256_maskstore_ps(x + i, k, e);
        vsum = _mm256_add_ps(vsum, _mm256_and_ps(e, _mm256_castsi256_ps(k)));
    }
    const __m256 r = _mm256_set1_ps(1.0f / reduce_add(vsum));
    for (i = 0; i < n; i += kLanes) {
        const __m256i k = lane_mask(n - i);
        _mm256_maskstore_ps(x + i, k, _mm256_mul_ps(_mm256_maskload_ps(x + i, k), r));
    }
}

// ---- quantiser -------------------------------------------------------------

// The code is the number of thresholds at or below y (NaN passes none), which
// is what the scalar bisection computes.
template <int Bits>
void quantize_clamped_bits(const float* x, int32_t P, float sp, float clip, float inv, uint8_t* codes) {
    const float* t = thresholds_of<Bits>();
    const __m256 vsp = _mm256_set1_ps(sp), vclip = _mm256_set1_ps(clip), vneg = _mm256_set1_ps(-clip);
    const __m256 vinv = _mm256_set1_ps(inv);
    for (int32_t i = 0; i < P; i += kLanes) {
        const __m256i k = lane_mask(P - i);
        const __m256 v = _mm256_mul_ps(vsp, _mm256_maskload_ps(x + i, k));
        // Operand order reproduces std::max(-clip, std::min(clip, v)) for NaN too.
        const __m256 y = _mm256_mul_ps(_mm256_max_ps(_mm256_min_ps(v, vclip), vneg), vinv);
        __m256i q = _mm256_setzero_si256();
        for (int j = 0; j + 1 < (1 << Bits); ++j) {
            q = _mm256_sub_epi32(q, _mm256_castps_si256(_mm256_cmp_ps(y, _mm256_set1_ps(t[j]), _CMP_GE_OQ)));
        }
        alignas(32) int32_t lanes[kLanes];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), q);
        for (int32_t j = 0; j < kLanes && i + j < P; ++j) codes[i + j] = static_cast<uint8_t>(lanes[j]);
    }
}

void quantize_clamped_avx2(const float* x, int32_t P, float sp, float clip, float inv, int32_t bits, uint8_t* codes) {
    with_bits(bits, [&](auto b) { quantize_clamped_bits<decltype(b)::value>(x, P, sp, clip, inv, codes); });
}

// ---- packed-code decoding ---------------------------------------------------

// 8 codes per chunk (Bits bytes) decoded into 32-bit lanes in coordinate order.
// Tables of 8 repeat the codebook so bits above the code need no masking; the
// 4-bit codebook takes two lookups and a select on bit 3. Loads read 4 bytes
// from the chunk start; code buffers keep a zeroed line past their end for that.
template <int Bits>
struct Decoder {
    __m256 low_table;
    __m256 high_table;
    __m256i shifts;

    Decoder() {
        alignas(32) float lo[8], hi[8];
        alignas(32) int32_t sh[8];
        constexpr int L = 1 << Bits;
        for (int i = 0; i < 8; ++i) {
            lo[i] = levels_of<Bits>()[i % L];
            hi[i] = levels_of<Bits>()[(i + 8) % L];
        }
        for (int j = 0; j < 8; ++j) {
            if constexpr (Bits == 2) sh[j] = 8 * (j / 4) + 6 - 2 * (j % 4);
            if constexpr (Bits == 3) sh[j] = 21 - 3 * j;
            if constexpr (Bits == 4) sh[j] = 8 * (j / 2) + (j % 2 == 0 ? 4 : 0);
        }
        low_table = _mm256_load_ps(lo);
        high_table = _mm256_load_ps(hi);
        shifts = _mm256_load_si256(reinterpret_cast<const __m256i*>(sh));
    }

    __m256 levels(const uint8_t* chunk) const {
        uint32_t w;
        std::memcpy(&w, chunk, 4);
        if constexpr (Bits == 3) w = __builtin_bswap32(w) >> 8;  // the group's big-endian 24-bit word
        const __m256i idx = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int32_t>(w)), shifts);
        const __m256 lo = _mm256_permutevar8x32_ps(low_table, idx);
        if constexpr (Bits < 4) {
            return lo;
        } else {
            const __m256 hi = _mm256_permutevar8x32_ps(high_table, idx);
            return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
        }
    }
};

template <int Bits, int NQ, int TT>
void score_keys_tile(const Decoder<Bits>& dec, const PackedTokens& keys, float kf, float* const* rq,
                     float* const* rows, int32_t k) {
    const int32_t chunks = keys.P / kLanes;
    const size_t B = static_cast<size_t>(keys.bytes_per_vec);
    for (; k + TT <= keys.tokens; k += TT) {
        __m256 acc[NQ][TT];
        for (int q = 0; q < NQ; ++q)
            for (int t = 0; t < TT; ++t) acc[q][t] = _mm256_setzero_ps();
        const uint8_t* base = keys.codes + static_cast<size_t>(k) * B;
        if (k + 4 + TT <= keys.tokens) __builtin_prefetch(base + 4 * B, 0, 2);
        for (int32_t c = 0; c < chunks; ++c) {
            __m256 lv[TT];
            for (int t = 0; t < TT; ++t) lv[t] = dec.levels(base + t * B + c * Bits);
            for (int q = 0; q < NQ; ++q) {
                const __m256 r = _mm256_loadu_ps(rq[q] + c * kLanes);
                for (int t = 0; t < TT; ++t) acc[q][t] = _mm256_fmadd_ps(lv[t], r, acc[q][t]);
            }
        }
        for (int q = 0; q < NQ; ++q)
            for (int t = 0; t < TT; ++t) rows[q][k + t] = (reduce_add(acc[q][t]) * kf) * keys.scales[k + t];
    }
    if constexpr (TT > 1) {
        if (k < keys.tokens) score_keys_tile<Bits, NQ, 1>(dec, keys, kf, rq, rows, k);
    }
}

template <int Bits>
void score_keys_bits(const PackedTokens& keys, float kf, const QueryBlock& block) {
    static const Decoder<Bits> dec;
    for (int32_t q = 0; q < block.count;) {
        const int32_t left = block.count - q;
        float* const* rq = block.vectors + q;
        float* const* rows = block.rows + q;
        if (left >= 4) {
            score_keys_tile<Bits, 4, 1>(dec, keys, kf, rq, rows, 0);
            q += 4;
        } else if (left >= 2) {
            score_keys_tile<Bits, 2, 2>(dec, keys, kf, rq, rows, 0);
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
        // Weight times level rounded once, then added in token order: the
        // scalar path's sums exactly.
        float w[8][TT];
        for (int32_t q = 0; q < nq; ++q)
            for (int32_t t = 0; t < tt; ++t) w[q][t] = (values.scales[k + t] * block.rows[q][k + t]) * vf;
        const uint8_t* base = values.codes + static_cast<size_t>(k) * B;
        if (k + 2 * TT <= values.tokens) {
            for (int32_t t = 0; t < TT; ++t) __builtin_prefetch(base + (TT + t) * B, 0, 2);
        }
        for (int32_t c = 0; c < chunks; ++c) {
            __m256 lv[TT];
            for (int32_t t = 0; t < tt; ++t) lv[t] = dec.levels(base + t * B + c * Bits);
            for (int32_t q = 0; q < nq; ++q) {
                float* a = block.vectors[q] + c * kLanes;
                __m256 acc = _mm256_loadu_ps(a);
                for (int32_t t = 0; t < tt; ++t) acc = _mm256_add_ps(acc, _mm256_mul_ps(lv[t], _mm256_set1_ps(w[q][t])));
                _mm256_storeu_ps(a, acc);
            }
        }
    }
}

void score_keys_avx2(const PackedTokens& keys, float kf, const QueryBlock& block) {
    if (keys.P < kLanes) return scalar_kernels().score_keys(keys, kf, block);
    with_bits(keys.bits, [&](auto b) { score_keys_bits<decltype(b)::value>(keys, kf, block); });
}

// One query: a group of up to 8 chunks (64 coordinates) of the accumulator
// stays in registers while every token updates it, so adds of different
// chunks overlap. Same products, same token order as the reference.
template <int Bits>
void accumulate_one_query(const PackedTokens& values, float vf, float* acc_out, const float* weights) {
    static const Decoder<Bits> dec;
    constexpr int kGroup = 8;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    const int32_t chunks = values.P / kLanes;
    for (int32_t c0 = 0; c0 < chunks; c0 += kGroup) {
        const int32_t n = std::min(kGroup, chunks - c0);
        __m256 acc[kGroup];
        for (int32_t c = 0; c < n; ++c) acc[c] = _mm256_loadu_ps(acc_out + (c0 + c) * kLanes);
        for (int32_t k = 0; k < values.tokens; ++k) {
            const uint8_t* stream = values.codes + static_cast<size_t>(k) * B + c0 * Bits;
            if (k + 8 < values.tokens) __builtin_prefetch(stream + 8 * B, 0, 2);
            const __m256 w = _mm256_set1_ps((values.scales[k] * weights[k]) * vf);
            for (int32_t c = 0; c < n; ++c) acc[c] = _mm256_add_ps(acc[c], _mm256_mul_ps(dec.levels(stream + c * Bits), w));
        }
        for (int32_t c = 0; c < n; ++c) _mm256_storeu_ps(acc_out + (c0 + c) * kLanes, acc[c]);
    }
}

void accumulate_values_avx2(const PackedTokens& values, float vf, const QueryBlock& block) {
    if (values.P < kLanes) return scalar_kernels().accumulate_values(values, vf, block);
    with_bits(values.bits, [&](auto b) {
        constexpr int Bits = decltype(b)::value;
        if (block.count == 1) return accumulate_one_query<Bits>(values, vf, block.vectors[0], block.rows[0]);
        accumulate_values_bits<Bits>(values, vf, block);
    });
}

// ---- exact path -------------------------------------------------------------

void exact_attend_avx2(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    const float f = 1.0f / std::sqrt(static_cast<float>(hd));
    const size_t stride = 2 * static_cast<size_t>(hd);
    float m = -1.0e30f;
    for (int32_t t = 0; t < T; ++t) {
        const float* key = exact + static_cast<size_t>(t) * stride;
        __m256 acc = _mm256_setzero_ps();
        for (int32_t i = 0; i < hd; i += kLanes) {
            const __m256i k = lane_mask(hd - i);
            acc = _mm256_fmadd_ps(_mm256_maskload_ps(query + i, k), _mm256_maskload_ps(key + i, k), acc);
        }
        const float score = reduce_add(acc) * f;
        scores[t] = score;
        if (score > m) m = score;
    }
    const __m256 vm = _mm256_set1_ps(m);
    __m256 vsum = _mm256_setzero_ps();
    for (int32_t t = 0; t < T; t += kLanes) {
        const __m256i k = lane_mask(T - t);
        const __m256 e = exp_ps(_mm256_sub_ps(_mm256_maskload_ps(scores + t, k), vm));
        _mm256_maskstore_ps(scores + t, k, e);
        vsum = _mm256_add_ps(vsum, _mm256_and_ps(e, _mm256_castsi256_ps(k)));
    }
    const float r = 1.0f / reduce_add(vsum);
    // The query may alias out: it has been read in full above.
    for (int32_t j = 0; j < hd; j += kLanes) {
        const __m256i k = lane_mask(hd - j);
        __m256 acc = _mm256_setzero_ps();
        for (int32_t t = 0; t < T; ++t) {
            const float* val = exact + static_cast<size_t>(t) * stride + hd;
            acc = _mm256_fmadd_ps(_mm256_set1_ps(r * scores[t]), _mm256_maskload_ps(val + j, k), acc);
        }
        _mm256_maskstore_ps(out + j, k, acc);
    }
}

}  // namespace

const KernelTable* avx2_kernels() {
    static const KernelTable table = {
        SimdLevel::avx2,       "avx2",          rht_forward_avx2,       rht_inverse_avx2,  softmax_avx2,
        quantize_clamped_avx2, score_keys_avx2, accumulate_values_avx2, exact_attend_avx2,
    };
    return &table;
}

}  // namespace kelvor
