// The SIMD kernels, written once over a vector type V. Included only by the
// per-ISA files (kernels_avx2.cpp, kernels_avx512.cpp), which define V and
// compile these templates with their own flags.
//
// V provides: reg, lanes, group (chunks one query keeps in registers),
// zero/load/store/set1/add/sub/mul/fmadd/max, load_partial/store_partial
// (lanes past `remaining` read as 0 and are not written), keep_first,
// reduce_add, reduce_max, reduce_add4 (four reduce_adds in lanes 0..3, same
// additions), exp, load_signs, butterfly_in_register (stages h < lanes),
// count_at_or_above (threshold counting), store_codes, and Decoder<Bits>.
//
// Decoder<Bits>(levels) reads one chunk of `lanes` codes (chunk_bytes bytes)
// and returns their entries of the 2^Bits levels, levels(chunk); it is built
// once per call, so each head may code with its own codebook. A decoder may deliver a
// chunk's coordinates in a fixed lane order of its own (permuted): queries are
// then moved into that order (to_lanes) and accumulators out of it
// (from_lanes) once per call, not once per token. A decoder may also need a
// token's stream rewritten once into a layout it reads faster:
// source(stream, P, scratch) returns where its chunks start (the stream
// itself, or scratch of at least kMaxSourceBytes).
//
// Against the scalar reference: rotations and codes are bit-identical (the
// work is elementwise, in the same order); dot products, value sums (fused
// multiply-adds), the softmax sum and the exponential differ only by float32
// rounding. Within a level, every query's arithmetic is the same whatever
// block it is computed in, so batch rows equal single answers bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/codebook.h"
#include "core/kernels.h"
#include "core/packing.h"
#include "core/rotation.h"
#include "core/workspace.h"

namespace kelvor {
namespace simd {

constexpr int32_t kMaxSourceBytes = kMaxPaddedDim / 2;  // 16 codes of any width per 8 bytes

// ---- rotation ------------------------------------------------------------

template <class V>
void butterflies(float* x, int32_t n, const int8_t* first_signs) {
    for (int32_t i = 0; i < n; i += V::lanes) {
        typename V::reg v = V::load(x + i);
        if (first_signs != nullptr) v = V::mul(V::load_signs(first_signs + i), v);
        V::store(x + i, V::butterfly_in_register(v));
    }
    for (int32_t h = V::lanes; h < n; h *= 2) {
        for (int32_t j = 0; j < n; j += 2 * h) {
            for (int32_t k = 0; k < h; k += V::lanes) {
                const typename V::reg u = V::load(x + j + k);
                const typename V::reg v = V::load(x + j + k + h);
                V::store(x + j + k, V::add(u, v));
                V::store(x + j + k + h, V::sub(u, v));
            }
        }
    }
}

template <class V>
void rht_forward(float* x, const int8_t* signs, int32_t n) {
    if (n < V::lanes) return kelvor::rht_forward(x, signs, n);
    butterflies<V>(x, n, signs);
    const typename V::reg s = V::set1(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += V::lanes) V::store(x + i, V::mul(s, V::load(x + i)));
}

template <class V>
void rht_inverse(float* x, const int8_t* signs, int32_t n) {
    if (n < V::lanes) return kelvor::rht_inverse(x, signs, n);
    butterflies<V>(x, n, nullptr);
    const typename V::reg s = V::set1(1.0f / std::sqrt(static_cast<float>(n)));
    for (int32_t i = 0; i < n; i += V::lanes) {
        V::store(x + i, V::mul(V::load_signs(signs + i), V::mul(s, V::load(x + i))));
    }
}

// ---- softmax ---------------------------------------------------------------

// Exponentials of x - max summed across lanes; the maximum itself is exact in
// any order (a NaN in x[0] poisons everything, as in the scalar path).
template <class V>
void softmax(float* x, int32_t n) {
    typename V::reg vmax = V::set1(x[0]);
    int32_t i = 0;
    for (; i + V::lanes <= n; i += V::lanes) vmax = V::max(V::load(x + i), vmax);
    float m = V::reduce_max(vmax);
    for (; i < n; ++i) m = x[i] > m ? x[i] : m;
    const typename V::reg vm = V::set1(m);
    typename V::reg vsum = V::zero();
    for (i = 0; i < n; i += V::lanes) {
        const typename V::reg e = V::exp(V::sub(V::load_partial(x + i, n - i), vm));
        V::store_partial(x + i, e, n - i);
        vsum = V::add(vsum, V::keep_first(e, n - i));
    }
    const typename V::reg r = V::set1(1.0f / V::reduce_add(vsum));
    for (i = 0; i < n; i += V::lanes) V::store_partial(x + i, V::mul(V::load_partial(x + i, n - i), r), n - i);
}

// ---- quantiser ---------------------------------------------------------------

// The code is the number of thresholds at or below y (NaN passes none): what
// the scalar bisection computes, lane by lane.
template <class V, int Bits>
void quantize_clamped_bits(const float* x, int32_t P, float sp, float clip, float inv, const float* t,
                           uint8_t* codes) {
    const typename V::reg vsp = V::set1(sp), vclip = V::set1(clip), vneg = V::set1(-clip), vinv = V::set1(inv);
    for (int32_t i = 0; i < P; i += V::lanes) {
        const typename V::reg v = V::mul(vsp, V::load_partial(x + i, P - i));
        // Operand order reproduces std::max(-clip, std::min(clip, v)), NaN included.
        const typename V::reg y = V::mul(V::max(V::min(v, vclip), vneg), vinv);
        typename V::ireg q = V::izero();
        for (int j = 0; j + 1 < (1 << Bits); ++j) q = V::count_at_or_above(q, y, V::set1(t[j]));
        V::store_codes(codes + i, q, P - i);
    }
}

template <class V>
void quantize_clamped(const float* x, int32_t P, float sp, float clip, float inv, const Codebook& codebook,
                      uint8_t* codes) {
    with_bits(codebook.bits, [&](auto b) {
        quantize_clamped_bits<V, decltype(b)::value>(x, P, sp, clip, inv, codebook.thresholds, codes);
    });
}

// The decodable start of each of n consecutive token streams (a decoder's
// source layout, rewritten into scratch where it needs one).
template <class Dec, int TT>
struct TokenSources {
    alignas(64) uint8_t scratch[TT][kMaxSourceBytes];
    const uint8_t* start[TT];

    TokenSources(const Dec& dec, const uint8_t* first, size_t bytes_per_vec, int32_t P, int32_t n) {
        for (int32_t t = 0; t < n; ++t) start[t] = dec.source(first + t * bytes_per_vec, P, scratch[t]);
    }
    const uint8_t* chunk(int32_t t, int32_t c) const { return start[t] + c * Dec::chunk_bytes; }
};

// ---- scoring keys --------------------------------------------------------------

// TT tokens decoded once each for NQ queries. Every token's dot product is one
// FMA chain over its chunks followed by the fixed reduce_add tree, whatever
// NQ and TT are, so batch rows equal single answers bit for bit.
template <class V, class Dec, int NQ, int TT>
void score_keys_tile(const Dec& dec, const PackedTokens& keys, float kf, float* const* rq, float* const* rows,
                     int32_t k) {
    const int32_t chunks = keys.P / V::lanes;
    const size_t B = static_cast<size_t>(keys.bytes_per_vec);
    for (; k + TT <= keys.tokens; k += TT) {
        typename V::reg acc[NQ][TT];
        for (int q = 0; q < NQ; ++q)
            for (int t = 0; t < TT; ++t) acc[q][t] = V::zero();
        const uint8_t* base = keys.codes + static_cast<size_t>(k) * B;
        if (k + 4 + TT <= keys.tokens) __builtin_prefetch(base + 4 * B, 0, 2);
        const TokenSources<Dec, TT> tokens(dec, base, B, keys.P, TT);
        for (int32_t c = 0; c < chunks; ++c) {
            typename V::reg lv[TT];
            for (int t = 0; t < TT; ++t) lv[t] = dec.levels(tokens.chunk(t, c));
            for (int q = 0; q < NQ; ++q) {
                const typename V::reg r = V::load(rq[q] + c * V::lanes);
                for (int t = 0; t < TT; ++t) acc[q][t] = V::fmadd(lv[t], r, acc[q][t]);
            }
        }
        if constexpr (TT % 4 == 0) {
            for (int t = 0; t < TT; t += 4) {
                const __m128 scales = _mm_loadu_ps(keys.scales + k + t);
                for (int q = 0; q < NQ; ++q) {
                    const __m128 dots = V::reduce_add4(acc[q][t], acc[q][t + 1], acc[q][t + 2], acc[q][t + 3]);
                    _mm_storeu_ps(rows[q] + k + t, _mm_mul_ps(_mm_mul_ps(dots, _mm_set1_ps(kf)), scales));
                }
            }
        } else {
            for (int q = 0; q < NQ; ++q)
                for (int t = 0; t < TT; ++t) rows[q][k + t] = (V::reduce_add(acc[q][t]) * kf) * keys.scales[k + t];
        }
    }
    if constexpr (TT > 1) {
        if (k < keys.tokens) score_keys_tile<V, Dec, NQ, 1>(dec, keys, kf, rq, rows, k);
    }
}

// Moves a vector of P floats into (or out of) a decoder's lane order.
template <class V, class Dec>
void reorder(const Dec& dec, const float* src, float* dst, int32_t P, bool into_lanes) {
    for (int32_t c = 0; c < P; c += V::lanes) {
        const typename V::reg v = V::load(src + c);
        V::store(dst + c, into_lanes ? dec.to_lanes(v) : dec.from_lanes(v));
    }
}

template <class V, int Bits>
void score_keys_bits(const PackedTokens& keys, float kf, const QueryBlock& block) {
    using Dec = typename V::template Decoder<Bits>;
    const Dec dec(keys.levels);
    float* queries[kQueryBlock];
    for (int32_t q = 0; q < block.count; ++q) {
        queries[q] = block.vectors[q];
        if constexpr (Dec::permuted) {
            queries[q] = thread_workspace().lane_queries[q];
            reorder<V>(dec, block.vectors[q], queries[q], keys.P, true);
        }
    }
    // Largest sub-blocks first; each pass decodes every token once for its queries.
    for (int32_t q = 0; q < block.count;) {
        const int32_t left = block.count - q;
        if (left >= 4) {
            score_keys_tile<V, Dec, 4, 4>(dec, keys, kf, queries + q, block.rows + q, 0);
            q += 4;
        } else if (left >= 2) {
            score_keys_tile<V, Dec, 2, 4>(dec, keys, kf, queries + q, block.rows + q, 0);
            q += 2;
        } else {
            score_keys_tile<V, Dec, 1, 8>(dec, keys, kf, queries + q, block.rows + q, 0);
            q += 1;
        }
    }
}

template <class V>
void score_keys(const PackedTokens& keys, float kf, const QueryBlock& block) {
    if (keys.P < V::lanes) return scalar_kernels().score_keys(keys, kf, block);
    with_bits(keys.bits, [&](auto b) { score_keys_bits<V, decltype(b)::value>(keys, kf, block); });
}

// ---- accumulating values ------------------------------------------------------

// One query: Chunks chunks of the accumulator stay in registers while every
// token updates them, so the updates of different chunks overlap. Per
// coordinate the tokens are added in order, each as one fused multiply-add.
template <class V, class Dec, int Chunks>
void accumulate_one_query(const Dec& dec, const PackedTokens& values, float vf, float* acc_out,
                          const float* weights) {
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    for (int32_t c0 = 0; c0 < values.P / V::lanes; c0 += Chunks) {
        typename V::reg acc[Chunks];
        for (int c = 0; c < Chunks; ++c) acc[c] = V::load(acc_out + (c0 + c) * V::lanes);
        for (int32_t k = 0; k < values.tokens; ++k) {
            const uint8_t* stream = values.codes + static_cast<size_t>(k) * B;
            if (k + 8 < values.tokens) __builtin_prefetch(stream + 8 * B, 0, 2);
            const TokenSources<Dec, 1> token(dec, stream, B, values.P, 1);
            const typename V::reg w = V::set1((values.scales[k] * weights[k]) * vf);
            for (int c = 0; c < Chunks; ++c) acc[c] = V::fmadd(dec.levels(token.chunk(0, c0 + c)), w, acc[c]);
        }
        for (int c = 0; c < Chunks; ++c) V::store(acc_out + (c0 + c) * V::lanes, acc[c]);
    }
}

// Several queries: each token's codes are decoded once for all of them;
// accumulators stay in memory, and per coordinate the tokens are added in
// order with the same fused multiply-add as the one-query path.
template <class V, class Dec>
void accumulate_block(const Dec& dec, const PackedTokens& values, float vf, const QueryBlock& block) {
    constexpr int32_t TT = 8;
    const int32_t chunks = values.P / V::lanes;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    const int32_t nq = block.count;
    for (int32_t k = 0; k < values.tokens; k += TT) {
        const int32_t tt = std::min(TT, values.tokens - k);
        float w[kQueryBlock][TT];
        for (int32_t q = 0; q < nq; ++q)
            for (int32_t t = 0; t < tt; ++t) w[q][t] = (values.scales[k + t] * block.rows[q][k + t]) * vf;
        const uint8_t* base = values.codes + static_cast<size_t>(k) * B;
        if (k + 2 * TT <= values.tokens) {
            for (int32_t t = 0; t < TT; ++t) __builtin_prefetch(base + (TT + t) * B, 0, 2);
        }
        const TokenSources<Dec, TT> tokens(dec, base, B, values.P, tt);
        for (int32_t c = 0; c < chunks; ++c) {
            typename V::reg lv[TT];
            for (int32_t t = 0; t < tt; ++t) lv[t] = dec.levels(tokens.chunk(t, c));
            for (int32_t q = 0; q < nq; ++q) {
                float* a = block.vectors[q] + c * V::lanes;
                typename V::reg acc = V::load(a);
                for (int32_t t = 0; t < tt; ++t) acc = V::fmadd(lv[t], V::set1(w[q][t]), acc);
                V::store(a, acc);
            }
        }
    }
}

template <class V, int Bits>
void accumulate_values_bits(const PackedTokens& values, float vf, const QueryBlock& block) {
    using Dec = typename V::template Decoder<Bits>;
    const Dec dec(values.levels);
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<V>(dec, block.vectors[q], block.vectors[q], values.P, true);
    }
    if (block.count > 1) {
        accumulate_block<V>(dec, values, vf, block);
    } else {
        float* acc = block.vectors[0];
        const float* w = block.rows[0];
        // P and the lane count are powers of two, so the chunks split evenly.
        switch (std::min(values.P / V::lanes, V::group)) {
            case 1: accumulate_one_query<V, Dec, 1>(dec, values, vf, acc, w); break;
            case 2: accumulate_one_query<V, Dec, 2>(dec, values, vf, acc, w); break;
            case 4: accumulate_one_query<V, Dec, 4>(dec, values, vf, acc, w); break;
            case 8: accumulate_one_query<V, Dec, 8>(dec, values, vf, acc, w); break;
            default: accumulate_one_query<V, Dec, V::group>(dec, values, vf, acc, w); break;
        }
    }
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<V>(dec, block.vectors[q], block.vectors[q], values.P, false);
    }
}

template <class V>
void accumulate_values(const PackedTokens& values, float vf, const QueryBlock& block) {
    if (values.P < V::lanes) return scalar_kernels().accumulate_values(values, vf, block);
    with_bits(values.bits, [&](auto b) { accumulate_values_bits<V, decltype(b)::value>(values, vf, block); });
}

// ---- exact path ----------------------------------------------------------------

template <class V>
void exact_attend(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    const float f = 1.0f / std::sqrt(static_cast<float>(hd));
    const size_t stride = 2 * static_cast<size_t>(hd);
    float m = -1.0e30f;
    for (int32_t t = 0; t < T; ++t) {
        const float* key = exact + static_cast<size_t>(t) * stride;
        typename V::reg acc = V::zero();
        for (int32_t i = 0; i < hd; i += V::lanes) {
            acc = V::fmadd(V::load_partial(query + i, hd - i), V::load_partial(key + i, hd - i), acc);
        }
        const float score = V::reduce_add(acc) * f;
        scores[t] = score;
        if (score > m) m = score;
    }
    const typename V::reg vm = V::set1(m);
    typename V::reg vsum = V::zero();
    for (int32_t t = 0; t < T; t += V::lanes) {
        const typename V::reg e = V::exp(V::sub(V::load_partial(scores + t, T - t), vm));
        V::store_partial(scores + t, e, T - t);
        vsum = V::add(vsum, V::keep_first(e, T - t));
    }
    const float r = 1.0f / V::reduce_add(vsum);
    // The query may alias out: it has been read in full above.
    for (int32_t j = 0; j < hd; j += V::lanes) {
        typename V::reg acc = V::zero();
        for (int32_t t = 0; t < T; ++t) {
            const float* val = exact + static_cast<size_t>(t) * stride + hd;
            acc = V::fmadd(V::set1(r * scores[t]), V::load_partial(val + j, hd - j), acc);
        }
        V::store_partial(out + j, acc, hd - j);
    }
}

template <class V>
KernelTable make_table(SimdLevel level, const char* name) {
    return KernelTable{level,
                       name,
                       rht_forward<V>,
                       rht_inverse<V>,
                       softmax<V>,
                       quantize_clamped<V>,
                       score_keys<V>,
                       accumulate_values<V>,
                       exact_attend<V>};
}

}  // namespace simd
}  // namespace kelvor
