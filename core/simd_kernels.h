// The SIMD kernels, written once over a vector type V. Included only by the
// level files (kernels_avx2.cpp, kernels_avx512.cpp, kernels_neon.cpp), each of
// which defines V with its own instruction set's types and compiles these
// templates with its own flags. Nothing here names an instruction set.
//
// Linkage: everything below sits in an unnamed namespace, so each level file
// gets a private copy. A level file compiled with wider instructions must not
// emit a weak (inline or template) symbol that another object also defines:
// the linker could keep that copy for code that runs on every CPU. So this
// header calls no inline function of another header (no std::min, std::sqrt,
// with_bits, ...), only out-of-line functions and compiler builtins; the nm
// test in tests/cpp checks the level objects for weak symbols.
//
// ---- The contract of V -------------------------------------------------------
// All members static; "lane-wise" unless said otherwise.
//   reg, lanes     a register of `lanes` floats (a power of two, 4 to 16)
//   ireg           `lanes` 32-bit integers (the quantiser's counters)
//   quad           a register of 4 floats
//   acc_regs       registers one query's value accumulator may occupy; larger
//                  accumulators are summed in tiles through memory
//   key_tile       tokens one query scores at a time, each with an accumulator
//                  register (a multiple of 4)
//   zero(), set1(f), load(p), store(p, v)        unaligned loads and stores
//   add, sub, mul; fmadd(a, b, c) = a*b + c and fnmadd(a, b, c) = c - a*b,
//                  each rounded once
//   min(a, b) = a < b ? a : b, max(a, b) = a > b ? a : b   (NaN in either: b)
//   load_partial(p, n), store_partial(p, v, n), keep_first(v, n): only lanes
//                  below n are read / written / kept (others read as 0 / are
//                  left alone / become 0); used for tails only
//   reduce_add(v), reduce_max(v): one fixed tree per level
//   reduce_add4(a, b, c, d) -> quad of the four reduce_adds, bit for bit
//   quad_load(p), quad_store(p, q), quad_mul(a, b), quad_set1(f)
//   round_nearest(v): to the nearest integer, ties to even, as floats
//   scale_pow2(p, n): p * 2^n for integral n in [-150, 128] with p in [0.7, 1.5],
//                  rounded once, also when the result is subnormal
//   load_signs(s): `lanes` int8 signs (+1/-1) as floats
//   butterfly_in_register(v): Hadamard stages h = 1, 2, ..., lanes/2 inside
//                  the register; lane i becomes partner + x, or partner + (-x)
//                  when i & h (IEEE: partner - x), as the scalar rotation
//   izero(), count_at_or_above(q, y, t) = q + (y >= t ? 1 : 0) (NaN: no),
//   store_codes(codes, q, n): the low bytes of the first n lanes
//   Decoder<Bits>: below.
//
// Decoder<Bits>(levels) is built once per call from the head's 2^Bits levels,
// so every head may code with its own table. It reads a token's code stream as
// chunks of chunk_codes codes (a multiple of lanes; P smaller than a chunk
// goes to the scalar level):
//   chunk_bytes          bytes per chunk in the layout source() returns
//   source(stream, P, scratch) -> the stream itself, or scratch (at least
//                        kMaxSourceBytes) rewritten once into a layout the
//                        decoder reads faster
//   levels(chunk, r)     -> reg: the levels of the chunk's codes in lane slots
//                        [r*lanes, (r+1)*lanes), r < chunk_codes / lanes
//   permuted, order(s)   a chunk's lane slot s holds its coordinate order(s);
//                        queries move into that order and accumulators out of
//                        it once per call, not once per token
// A decoder may read up to 16 bytes from a chunk start; code buffers keep a
// zeroed line past their end for that.
//
// ---- What the kernels promise --------------------------------------------------
// Against the scalar level: rotations and codes are bit-identical (the work is
// elementwise, in the same order); dot products, value sums (fused
// multiply-adds), the softmax sum and the exponential differ only by float32
// rounding. Within a level every query's arithmetic is the same whatever block
// it is computed in, so batch rows equal single answers bit for bit. Long sums
// run in blocks of kSumBlock terms (see limits.h), like the scalar level's.
#pragma once

#include <cstdint>

#include "core/codebook.h"
#include "core/kernels.h"
#include "core/limits.h"
#include "core/rotation.h"
#include "core/workspace.h"

namespace kelvor {
namespace {

constexpr int32_t kMaxSourceBytes = kMaxPaddedDim / 2;  // 16 codes of any width per 8 bytes

inline int32_t min_i32(int32_t a, int32_t b) { return a < b ? a : b; }
inline float inv_sqrt_of(int32_t n) { return 1.0f / __builtin_sqrtf(static_cast<float>(n)); }

// Where code j of a 4-byte word sits, for layouts the levels share: at 2 bits
// byte j/4 holds codes most significant first; at 3 bits a group's 24-bit
// big-endian word holds code j at 21 - 3j.
constexpr int32_t two_bit_shift(int32_t j) { return 8 * (j / 4) + 6 - 2 * (j % 4); }
constexpr int32_t three_bit_shift(int32_t j) { return 21 - 3 * j; }

// n entries of a table in which the 2^Bits levels repeat, so bits above a code
// never need masking before a lookup.
inline void repeated_levels(const float* levels, int32_t bits, float* table, int32_t n) {
    for (int32_t i = 0; i < n; ++i) table[i] = levels[i % (1 << bits)];
}

// ---- exponential ---------------------------------------------------------------

// exp(x) to about 1 ulp: x = n ln2 + r with |r| <= ln2/2 (ln2 in two parts), a
// degree-6 polynomial for e^r, then 2^n. Clamped so that 2^n stays within what
// scale_pow2 takes; a NaN survives both clamps (min and max return it).
template <class V>
typename V::reg exp_approx(typename V::reg x) {
    using reg = typename V::reg;
    x = V::min(V::set1(88.7228391f), x);
    x = V::max(V::set1(-103.972084f), x);
    const reg n = V::round_nearest(V::mul(x, V::set1(1.44269504088896341f)));
    reg r = V::fnmadd(n, V::set1(0.693359375f), x);
    r = V::fnmadd(n, V::set1(-2.12194440e-4f), r);
    reg p = V::set1(1.9875691500e-4f);
    p = V::fmadd(p, r, V::set1(1.3981999507e-3f));
    p = V::fmadd(p, r, V::set1(8.3334519073e-3f));
    p = V::fmadd(p, r, V::set1(4.1665795894e-2f));
    p = V::fmadd(p, r, V::set1(1.6666665459e-1f));
    p = V::fmadd(p, r, V::set1(5.0000001201e-1f));
    p = V::fmadd(V::mul(p, r), r, V::add(r, V::set1(1.0f)));
    return V::scale_pow2(p, n);
}

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
    const typename V::reg s = V::set1(inv_sqrt_of(n));
    for (int32_t i = 0; i < n; i += V::lanes) V::store(x + i, V::mul(s, V::load(x + i)));
}

template <class V>
void rht_inverse(float* x, const int8_t* signs, int32_t n) {
    if (n < V::lanes) return kelvor::rht_inverse(x, signs, n);
    butterflies<V>(x, n, nullptr);
    const typename V::reg s = V::set1(inv_sqrt_of(n));
    for (int32_t i = 0; i < n; i += V::lanes) {
        V::store(x + i, V::mul(V::load_signs(signs + i), V::mul(s, V::load(x + i))));
    }
}

// ---- softmax ---------------------------------------------------------------

// x[0..n) <- exp(x - m) for a known maximum m, the sum in blocks of kSumBlock
// elements: lanes summed across the block, reduced, and the block sums added in
// double. Up to one block this is one lane-wise running sum.
template <class V>
double exp_and_sum(float* x, int32_t n, float m) {
    using reg = typename V::reg;
    const reg vm = V::set1(m);
    double total = 0.0;
    for (int32_t b = 0; b < n; b += kSumBlock) {
        const int32_t end = min_i32(n, b + kSumBlock);
        reg vsum = V::zero();
        int32_t i = b;
        for (; i + V::lanes <= end; i += V::lanes) {
            const reg e = exp_approx<V>(V::sub(V::load(x + i), vm));
            V::store(x + i, e);
            vsum = V::add(vsum, e);
        }
        if (i < end) {
            const reg e = exp_approx<V>(V::sub(V::load_partial(x + i, end - i), vm));
            V::store_partial(x + i, e, end - i);
            vsum = V::add(vsum, V::keep_first(e, end - i));
        }
        total += static_cast<double>(V::reduce_add(vsum));
    }
    return total;
}

template <class V>
void scale_all(float* x, int32_t n, float r) {
    const typename V::reg vr = V::set1(r);
    int32_t i = 0;
    for (; i + V::lanes <= n; i += V::lanes) V::store(x + i, V::mul(V::load(x + i), vr));
    if (i < n) V::store_partial(x + i, V::mul(V::load_partial(x + i, n - i), vr), n - i);
}

// The maximum is exact in any order (a NaN in x[0] poisons everything, as in
// the scalar path).
template <class V>
void softmax(float* x, int32_t n) {
    typename V::reg vmax = V::set1(x[0]);
    int32_t i = 0;
    for (; i + V::lanes <= n; i += V::lanes) vmax = V::max(V::load(x + i), vmax);
    float m = V::reduce_max(vmax);
    for (; i < n; ++i) m = x[i] > m ? x[i] : m;
    const float sum = static_cast<float>(exp_and_sum<V>(x, n, m));
    scale_all<V>(x, n, 1.0f / sum);
}

// ---- quantiser ---------------------------------------------------------------

// The code is the number of thresholds at or below y (NaN passes none): what
// the scalar bisection computes, lane by lane.
template <class V, int Bits>
void quantize_clamped_bits(const float* x, int32_t P, float sp, float clip, float inv, const float* t,
                           uint8_t* codes) {
    const typename V::reg vsp = V::set1(sp), vclip = V::set1(clip), vneg = V::set1(-clip), vinv = V::set1(inv);
    for (int32_t i = 0; i < P; i += V::lanes) {
        const typename V::reg in = P - i >= V::lanes ? V::load(x + i) : V::load_partial(x + i, P - i);
        const typename V::reg v = V::mul(vsp, in);
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
    switch (codebook.bits) {
        case 2: return quantize_clamped_bits<V, 2>(x, P, sp, clip, inv, codebook.thresholds, codes);
        case 3: return quantize_clamped_bits<V, 3>(x, P, sp, clip, inv, codebook.thresholds, codes);
        default: return quantize_clamped_bits<V, 4>(x, P, sp, clip, inv, codebook.thresholds, codes);
    }
}

// ---- token streams --------------------------------------------------------------

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

// Moves a vector of P floats into (or out of) a decoder's lane order.
template <class Dec>
void reorder(float* v, int32_t P, bool into_lanes) {
    float chunk[Dec::chunk_codes];
    for (int32_t c = 0; c < P; c += Dec::chunk_codes) {
        for (int32_t s = 0; s < Dec::chunk_codes; ++s) chunk[s] = v[c + s];
        for (int32_t s = 0; s < Dec::chunk_codes; ++s) {
            if (into_lanes) v[c + s] = chunk[Dec::order(s)];
            else v[c + Dec::order(s)] = chunk[s];
        }
    }
}

// ---- scoring keys --------------------------------------------------------------

// TT tokens decoded once each for NQ queries. Every token's dot product is one
// FMA chain over its registers in coordinate-chunk order followed by the fixed
// reduce_add tree, whatever NQ and TT are, so batch rows equal single answers
// bit for bit.
template <class V, class Dec, int NQ, int TT>
void score_keys_tile(const Dec& dec, const PackedTokens& keys, float kf, float* const* rq, float* const* rows,
                     int32_t k) {
    using reg = typename V::reg;
    constexpr int32_t R = Dec::chunk_codes / V::lanes;
    const int32_t chunks = keys.P / Dec::chunk_codes;
    const size_t B = static_cast<size_t>(keys.bytes_per_vec);
    for (; k + TT <= keys.tokens; k += TT) {
        reg acc[NQ][TT];
        for (int q = 0; q < NQ; ++q)
            for (int t = 0; t < TT; ++t) acc[q][t] = V::zero();
        const uint8_t* base = keys.codes + static_cast<size_t>(k) * B;
        const TokenSources<Dec, TT> tokens(dec, base, B, keys.P, TT);
        for (int32_t c = 0; c < chunks; ++c) {
            for (int32_t r = 0; r < R; ++r) {
                const int32_t at = (c * R + r) * V::lanes;
                for (int t = 0; t < TT; ++t) {
                    const reg lv = dec.levels(tokens.chunk(t, c), r);
                    for (int q = 0; q < NQ; ++q) acc[q][t] = V::fmadd(lv, V::load(rq[q] + at), acc[q][t]);
                }
            }
        }
        if constexpr (TT % 4 == 0) {
            const typename V::quad vkf = V::quad_set1(kf);
            for (int t = 0; t < TT; t += 4) {
                const typename V::quad scales = V::quad_load(keys.scales + k + t);
                for (int q = 0; q < NQ; ++q) {
                    const typename V::quad dots = V::reduce_add4(acc[q][t], acc[q][t + 1], acc[q][t + 2], acc[q][t + 3]);
                    V::quad_store(rows[q] + k + t, V::quad_mul(V::quad_mul(dots, vkf), scales));
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

template <class V, int Bits>
void score_keys_bits(const PackedTokens& keys, float kf, const QueryBlock& block) {
    using Dec = typename V::template Decoder<Bits>;
    if (keys.P < Dec::chunk_codes) return scalar_kernels().score_keys(keys, kf, block);
    const Dec dec(keys.levels);
    float* queries[kQueryBlock];
    for (int32_t q = 0; q < block.count; ++q) {
        queries[q] = block.vectors[q];
        if constexpr (Dec::permuted) {
            queries[q] = thread_workspace().lane_queries[q];
            for (int32_t j = 0; j < keys.P; ++j) queries[q][j] = block.vectors[q][j];
            reorder<Dec>(queries[q], keys.P, true);
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
            score_keys_tile<V, Dec, 1, V::key_tile>(dec, keys, kf, queries + q, block.rows + q, 0);
            q += 1;
        }
    }
}

template <class V>
void score_keys(const PackedTokens& keys, float kf, const QueryBlock& block) {
    switch (keys.bits) {
        case 2: return score_keys_bits<V, 2>(keys, kf, block);
        case 3: return score_keys_bits<V, 3>(keys, kf, block);
        default: return score_keys_bits<V, 4>(keys, kf, block);
    }
}

// ---- accumulating values ------------------------------------------------------

// Per coordinate every path below adds the tokens in order, each as one fused
// multiply-add of its level and its weight (scale * softmax weight * vf), so
// they all give the same bits.

// One query whose whole accumulator (Regs registers) stays in registers while
// every token updates it: the codes are read once and the updates of
// different registers overlap.
template <class V, class Dec, int Regs>
void accumulate_in_registers(const Dec& dec, const PackedTokens& values, float vf, float* acc_out,
                             const float* weights) {
    using reg = typename V::reg;
    constexpr int32_t R = Dec::chunk_codes / V::lanes;
    static_assert(Regs % R == 0, "whole chunks");
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    reg acc[Regs];
    for (int i = 0; i < Regs; ++i) acc[i] = V::load(acc_out + i * V::lanes);
    for (int32_t k = 0; k < values.tokens; ++k) {
        const TokenSources<Dec, 1> token(dec, values.codes + static_cast<size_t>(k) * B, B, values.P, 1);
        const reg w = V::set1((values.scales[k] * weights[k]) * vf);
        for (int c = 0; c < Regs / R; ++c)
            for (int r = 0; r < R; ++r) acc[c * R + r] = V::fmadd(dec.levels(token.chunk(0, c), r), w, acc[c * R + r]);
    }
    for (int i = 0; i < Regs; ++i) V::store(acc_out + i * V::lanes, acc[i]);
}

// Any number of queries and any P: tiles of TT tokens from token k on, each
// token's codes decoded once per tile for all queries; the accumulators stay
// in memory (L1) and are loaded and stored once per chunk and tile. Returns
// the first token left over (fewer than TT).
template <class V, class Dec, int TT>
int32_t accumulate_tiles(const Dec& dec, const PackedTokens& values, float vf, const QueryBlock& block, int32_t k) {
    using reg = typename V::reg;
    constexpr int32_t R = Dec::chunk_codes / V::lanes;
    const int32_t chunks = values.P / Dec::chunk_codes;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    const int32_t nq = block.count;
    for (; k + TT <= values.tokens; k += TT) {
        float w[kQueryBlock][TT];
        for (int32_t q = 0; q < nq; ++q)
            for (int32_t t = 0; t < TT; ++t) w[q][t] = (values.scales[k + t] * block.rows[q][k + t]) * vf;
        const TokenSources<Dec, TT> tokens(dec, values.codes + static_cast<size_t>(k) * B, B, values.P, TT);
        if (nq == 1) {
            float* a = block.vectors[0];
            for (int32_t c = 0; c < chunks; ++c) {
                reg acc[R];
                for (int32_t r = 0; r < R; ++r) acc[r] = V::load(a + (c * R + r) * V::lanes);
                for (int32_t t = 0; t < TT; ++t) {
                    const reg wt = V::set1(w[0][t]);
                    for (int32_t r = 0; r < R; ++r) acc[r] = V::fmadd(dec.levels(tokens.chunk(t, c), r), wt, acc[r]);
                }
                for (int32_t r = 0; r < R; ++r) V::store(a + (c * R + r) * V::lanes, acc[r]);
            }
            continue;
        }
        for (int32_t c = 0; c < chunks; ++c) {
            for (int32_t r = 0; r < R; ++r) {
                reg lv[TT];
                for (int32_t t = 0; t < TT; ++t) lv[t] = dec.levels(tokens.chunk(t, c), r);
                for (int32_t q = 0; q < nq; ++q) {
                    float* a = block.vectors[q] + (c * R + r) * V::lanes;
                    reg acc = V::load(a);
                    for (int32_t t = 0; t < TT; ++t) acc = V::fmadd(lv[t], V::set1(w[q][t]), acc);
                    V::store(a, acc);
                }
            }
        }
    }
    return k;
}

template <class V, class Dec, int Regs>
bool accumulate_one_query_in_registers(const Dec& dec, const PackedTokens& values, float vf, float* acc,
                                       const float* w) {
    if constexpr (Regs > V::acc_regs || Regs < Dec::chunk_codes / V::lanes) {
        return false;
    } else {
        if (values.P != Regs * V::lanes) return false;
        accumulate_in_registers<V, Dec, Regs>(dec, values, vf, acc, w);
        return true;
    }
}

template <class V, int Bits>
void accumulate_values_bits(const PackedTokens& values, float vf, const QueryBlock& block) {
    using Dec = typename V::template Decoder<Bits>;
    if (values.P < Dec::chunk_codes) return scalar_kernels().accumulate_values(values, vf, block);
    const Dec dec(values.levels);
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<Dec>(block.vectors[q], values.P, true);
    }
    bool done = false;
    if (block.count == 1) {
        float* acc = block.vectors[0];
        const float* w = block.rows[0];
        // P and the lane count are powers of two.
        done = accumulate_one_query_in_registers<V, Dec, 1>(dec, values, vf, acc, w) ||
               accumulate_one_query_in_registers<V, Dec, 2>(dec, values, vf, acc, w) ||
               accumulate_one_query_in_registers<V, Dec, 4>(dec, values, vf, acc, w) ||
               accumulate_one_query_in_registers<V, Dec, 8>(dec, values, vf, acc, w) ||
               accumulate_one_query_in_registers<V, Dec, 16>(dec, values, vf, acc, w);
    }
    if (!done) {
        const int32_t rest = accumulate_tiles<V, Dec, 8>(dec, values, vf, block, 0);
        accumulate_tiles<V, Dec, 1>(dec, values, vf, block, rest);
    }
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<Dec>(block.vectors[q], values.P, false);
    }
}

template <class V>
void accumulate_values(const PackedTokens& values, float vf, const QueryBlock& block) {
    switch (values.bits) {
        case 2: return accumulate_values_bits<V, 2>(values, vf, block);
        case 3: return accumulate_values_bits<V, 3>(values, vf, block);
        default: return accumulate_values_bits<V, 4>(values, vf, block);
    }
}

// ---- exact path ----------------------------------------------------------------

// T is at most the exact window (512 <= kSumBlock), so every sum is one block.
template <class V>
void exact_attend(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out) {
    using reg = typename V::reg;
    const float f = inv_sqrt_of(hd);
    const size_t stride = 2 * static_cast<size_t>(hd);
    float m = 0.0f;
    for (int32_t t = 0; t < T; ++t) {
        const float* key = exact + static_cast<size_t>(t) * stride;
        reg acc = V::zero();
        int32_t i = 0;
        for (; i + V::lanes <= hd; i += V::lanes) acc = V::fmadd(V::load(query + i), V::load(key + i), acc);
        if (i < hd) acc = V::fmadd(V::load_partial(query + i, hd - i), V::load_partial(key + i, hd - i), acc);
        const float score = V::reduce_add(acc) * f;
        scores[t] = score;
        // The maximum starts from the first score: any fixed start below it
        // can be above every score, and then every weight underflows to 0.
        if (t == 0 || score > m) m = score;
    }
    const float r = 1.0f / static_cast<float>(exp_and_sum<V>(scores, T, m));
    // The query may alias out: it has been read in full above.
    int32_t j = 0;
    for (; j + V::lanes <= hd; j += V::lanes) {
        reg acc = V::zero();
        for (int32_t t = 0; t < T; ++t) {
            const float* val = exact + static_cast<size_t>(t) * stride + hd;
            acc = V::fmadd(V::set1(r * scores[t]), V::load(val + j), acc);
        }
        V::store(out + j, acc);
    }
    if (j < hd) {
        reg acc = V::zero();
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

}  // namespace
}  // namespace kelvor
