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
// with_bits, ...), only out-of-line functions and compiler builtins (widths are
// dispatched by expanding the KELVOR_CODE_WIDTHS list here); the nm
// test in tests/cpp checks the level objects for weak symbols.
//
// ---- The contract of V -------------------------------------------------------
// All members static; "lane-wise" unless said otherwise.
//   reg, lanes     a register of `lanes` floats (a power of two, 4 to 16)
//   ireg           `lanes` 32-bit integers (the quantiser's counters)
//   quad           a register of 4 floats
//   acc_regs       accumulator registers a tile of dot products or value sums
//                  may hold (the rest keep the decoder's tables and temporaries)
//   zero(), set1(f), load(p), store(p, v)        unaligned loads and stores
//   add, sub, mul; fmadd(a, b, c) = a*b + c and fnmadd(a, b, c) = c - a*b,
//                  each rounded once
//   min(a, b) = a < b ? a : b, max(a, b) = a > b ? a : b   (NaN in either: b)
//   load_partial(p, n), store_partial(p, v, n), keep_first(v, n): only lanes
//                  below n are read / written / kept (others read as 0 / are
//                  left alone / become 0); used for tails only
//   reduce_add(v), reduce_max(v): one fixed tree per level
//   reduce_add4(a, b, c, d) -> quad of the four reduce_adds, bit for bit
//   quad_load(p), quad_store(p, q), quad_add(a, b), quad_mul(a, b), quad_set1(f)
//   quad_transpose(q[4]): q[k] lane r becomes what q[r] lane k was
//   round_nearest(v): to the nearest integer, ties to even, as floats
//   scale_pow2(p, n): p * 2^n for integral n in [-150, 128] with p in [0.7, 1.5],
//                  rounded once, also when the result is subnormal
//   load_signs(s): `lanes` int8 signs (+1/-1) as floats
//   butterfly_in_register(v): Hadamard stages h = 1, 2, ..., lanes/2 inside
//                  the register; lane i becomes partner + x, or partner + (-x)
//                  when i & h (IEEE: partner - x), as the scalar rotation
//   izero(), count_at_or_above(q, y, t) = q + (y >= t ? 1 : 0) (NaN: no),
//   store_codes(codes, q, n): the low bytes of the first n lanes
//   Decoder<Bits>: below; a width of KELVOR_CODE_WIDTHS a level has no
//                  decoder for must fail to build there (dependent_false).
//   widen_half_cells<Bits>(stream, half, out): for Bits 2 and 3, the
//                  kHalfCellBlock codes of `stream` and their half bits as
//                  interleave_half_bits writes them (32 bytes); reads only the
//                  block's 8 * Bits stream bytes and 8 half bytes
//
// Decoder<Bits>(levels) is built once per call from the head's 2^Bits levels,
// so every head may code with its own table. It reads a token's code stream as
// chunks of chunk_codes codes (a multiple of lanes; P smaller than a chunk
// goes to the scalar level):
//   chunk_bytes          stream bytes per chunk; chunk c of a token starts
//                        c * chunk_bytes into its stream
//   rewrites             false; or true when the decoder reads a copy of each
//                        token's stream that rewrite(stream, P, scratch) makes
//                        once per token (scratch: kRewriteBytes), and
//                        chunk_bytes counts the copy's bytes
//   levels(chunk, r)     -> reg: the levels of the chunk's codes in lane slots
//                        [r*lanes, (r+1)*lanes), r < chunk_codes / lanes
//   permuted, order(s)   a chunk's lane slot s holds its coordinate order(s);
//                        queries move into that order and accumulators out of
//                        it once per call, not once per token
// A decoder may read up to 16 bytes from a chunk start; code buffers keep a
// zeroed line past their end for that. A level may have more than one decoder
// of a width: make_table takes the family of decoders as a parameter.
//
// ---- What the kernels promise --------------------------------------------------
// Against the scalar level: rotations and codes are bit-identical (the work is
// elementwise, in the same order); dot products, value sums (fused
// multiply-adds), the softmax sum and the exponential differ only by float32
// rounding. Within a level every query's arithmetic is the same whatever block
// it is computed in, so batch rows equal single answers bit for bit. Long sums
// run in blocks of kSumBlock terms (see core/support/limits.h), like the scalar level's.
#pragma once

#include <cstdint>

#include "core/formats/codebook.h"
#include "core/formats/half_cells.h"
#include "core/formats/rotation.h"
#include "core/kernels/kernels.h"
#include "core/kernels/lane_queries.h"
#include "core/kernels/wide_softmax.h"
#include "core/support/limits.h"

// Loops over a tile's registers unroll completely, so that their register
// arrays become registers (GCC otherwise keeps some in memory).
#define KELVOR_UNROLL _Pragma("GCC unroll 64")

namespace kelvor {
namespace {

constexpr int32_t min_i32(int32_t a, int32_t b) { return a < b ? a : b; }
// A token's rewritten stream: at most 16 codes per 8 bytes.
constexpr int32_t kRewriteBytes = kMaxPaddedDim / 2;
// False for every width: the last branch of a level's decoder asserts it, so a
// width added to the list fails to build until each level decodes it.
template <int Bits>
constexpr bool dependent_false = false;
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
#define KELVOR_WIDTH_CASE(B) \
    case B:                  \
        return quantize_clamped_bits<V, B>(x, P, sp, clip, inv, codebook.thresholds, codes);
        KELVOR_CODE_WIDTHS(KELVOR_WIDTH_CASE)
#undef KELVOR_WIDTH_CASE
    }
    unknown_code_width(codebook.bits);
}

// ---- norms of eight vectors ----------------------------------------------------

// Lane r of a quad accumulates row g + r: each row's sum keeps the scalar
// order, and a 4x4 transpose brings four rows' coordinates into the lanes.
template <class V>
void square_sums8(const float* const* rows, int32_t n, float scale, float* sums) {
    using quad = typename V::quad;
    const quad s = V::quad_set1(scale);
    for (int g = 0; g < 8; g += 4) {
        quad acc = V::quad_set1(0.0f);
        int32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            quad c[4] = {V::quad_load(rows[g] + i), V::quad_load(rows[g + 1] + i), V::quad_load(rows[g + 2] + i),
                         V::quad_load(rows[g + 3] + i)};
            V::quad_transpose(c);
            for (int k = 0; k < 4; ++k) {
                const quad y = V::quad_mul(s, c[k]);
                acc = V::quad_add(acc, V::quad_mul(y, y));
            }
        }
        float lane[4];
        V::quad_store(lane, acc);
        for (int r = 0; r < 4; ++r) {
            for (int32_t j = i; j < n; ++j) {
                const float y = scale * rows[g + r][j];
                lane[r] += y * y;
            }
            sums[g + r] = lane[r];
        }
    }
}

// ---- token streams --------------------------------------------------------------

// Token t (of n <= TT) of a run of streams bytes_per_vec apart, chunk by chunk.
template <class Dec, int TT, bool = Dec::rewrites>
struct TokenRun {
    const uint8_t* first;
    size_t bytes_per_vec;
    TokenRun(const Dec&, const uint8_t* f, size_t b, int32_t, int32_t) : first(f), bytes_per_vec(b) {}
    const uint8_t* chunk(int32_t t, int32_t c) const { return first + t * bytes_per_vec + c * Dec::chunk_bytes; }
};

// The same for a rewriting decoder: each token rewritten once into scratch.
// The copies sit a little more than their size apart, never a multiple of
// 4 KiB, so that loads of one do not wait on stores to another (4K aliasing).
template <class Dec, int TT>
struct TokenRun<Dec, TT, true> {
    alignas(64) uint8_t scratch[TT * (kRewriteBytes + 64)];
    const uint8_t* start[TT];
    TokenRun(const Dec& dec, const uint8_t* first, size_t bytes_per_vec, int32_t P, int32_t n) {
        const int32_t stride = (P / 2 + 63) / 64 * 64 + 64;
        for (int32_t t = 0; t < n; ++t) {
            start[t] = scratch + t * stride;
            dec.rewrite(first + t * bytes_per_vec, P, scratch + t * stride);
        }
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

// ---- tiling ---------------------------------------------------------------------

// Register tiles are sized from V::acc_regs: enough independent accumulators
// to keep the fused multiply-adds busy, few enough to leave room for the
// decoder's tables. Block sizes are powers of two.
constexpr int32_t pow2_at_most(int32_t n) {
    int32_t p = 1;
    while (2 * p <= n) p *= 2;
    return p;
}

template <class V, class Dec>
struct Tiles {
    static constexpr int32_t R = Dec::chunk_codes / V::lanes;  // registers per chunk
    // Queries served by one pass over the keys, and over the values.
    static constexpr int32_t key_queries = pow2_at_most(min_i32(kQueryBlock, V::acc_regs));
    static constexpr int32_t value_queries = pow2_at_most(min_i32(kQueryBlock, V::acc_regs / R));
    // Tokens scored at a time for NQ queries, one accumulator per pair.
    static constexpr int32_t key_tokens(int32_t nq) { return pow2_at_most(V::acc_regs / nq > 0 ? V::acc_regs / nq : 1); }
    // Chunks of the value accumulators updated together for QB queries.
    static constexpr int32_t value_chunks(int32_t qb) {
        return pow2_at_most(V::acc_regs / (qb * R) > 0 ? V::acc_regs / (qb * R) : 1);
    }
};

// ---- scoring keys --------------------------------------------------------------

// TT tokens decoded once each for NQ queries. A token's dot product is one
// chain of fused multiply-adds over its registers in coordinate-chunk order,
// then the level's fixed reduce tree (four at a time through reduce_add4,
// which gives the same bits). That is the same whatever NQ and TT are, so
// batch rows equal single answers bit for bit. Not inlined, like the other
// tile kernels: each tile shape gets the whole register file to itself.
template <class V, class Dec, int NQ, int TT>
[[gnu::noinline]] void score_keys_tile(const Dec& dec, const PackedTokens& keys, float kf, float* const* rq,
                                       float* const* rows, int32_t k) {
    using reg = typename V::reg;
    constexpr int32_t R = Tiles<V, Dec>::R;
    constexpr int32_t N = NQ * TT;
    const int32_t chunks = keys.P / Dec::chunk_codes;
    const size_t B = static_cast<size_t>(keys.bytes_per_vec);
    for (; k + TT <= keys.tokens; k += TT) {
        // acc[q * TT + t]: the dot product of query q with token t.
        reg acc[N];
        KELVOR_UNROLL
        for (int32_t i = 0; i < N; ++i) acc[i] = V::zero();
        const TokenRun<Dec, TT> tokens(dec, keys.codes + static_cast<size_t>(k) * B, B, keys.P, TT);
        for (int32_t c = 0; c < chunks; ++c) {
            KELVOR_UNROLL
            for (int32_t r = 0; r < R; ++r) {
                // Each query register is loaded once for the TT tokens.
                reg x[NQ];
                KELVOR_UNROLL
                for (int q = 0; q < NQ; ++q) x[q] = V::load(rq[q] + (c * R + r) * V::lanes);
                KELVOR_UNROLL
                for (int t = 0; t < TT; ++t) {
                    const reg lv = dec.levels(tokens.chunk(t, c), r);
                    KELVOR_UNROLL
                    for (int q = 0; q < NQ; ++q) acc[q * TT + t] = V::fmadd(lv, x[q], acc[q * TT + t]);
                }
            }
        }
        float sums[N];
        if constexpr (N % 4 == 0) {
            KELVOR_UNROLL
            for (int i = 0; i < N; i += 4) V::quad_store(sums + i, V::reduce_add4(acc[i], acc[i + 1], acc[i + 2], acc[i + 3]));
        } else {
            KELVOR_UNROLL
            for (int i = 0; i < N; ++i) sums[i] = V::reduce_add(acc[i]);
        }
        if constexpr (TT % 4 == 0) {
            const typename V::quad vkf = V::quad_set1(kf);
            KELVOR_UNROLL
            for (int t = 0; t < TT; t += 4) {
                const typename V::quad scales = V::quad_load(keys.scales + k + t);
                KELVOR_UNROLL
                for (int q = 0; q < NQ; ++q) {
                    V::quad_store(rows[q] + k + t, V::quad_mul(V::quad_mul(V::quad_load(sums + q * TT + t), vkf), scales));
                }
            }
        } else {
            KELVOR_UNROLL
            for (int q = 0; q < NQ; ++q)
                KELVOR_UNROLL
                for (int t = 0; t < TT; ++t) rows[q][k + t] = (sums[q * TT + t] * kf) * keys.scales[k + t];
        }
    }
    if constexpr (TT > 1) {
        if (k < keys.tokens) score_keys_tile<V, Dec, NQ, 1>(dec, keys, kf, rq, rows, k);
    }
}

template <class V, class Dec, int NQ>
void score_keys_queries(const Dec& dec, const PackedTokens& keys, float kf, float* const* rq, float* const* rows) {
    score_keys_tile<V, Dec, NQ, Tiles<V, Dec>::key_tokens(NQ)>(dec, keys, kf, rq, rows, 0);
}

template <class V, class Dec>
void score_keys_with(const PackedTokens& keys, float kf, const QueryBlock& block) {
    if (keys.P < Dec::chunk_codes) return scalar_kernels().score_keys(keys, kf, block);
    constexpr int32_t most = Tiles<V, Dec>::key_queries;
    const Dec dec(keys.levels);
    float* queries[kQueryBlock];
    for (int32_t q = 0; q < block.count; ++q) {
        queries[q] = block.vectors[q];
        if constexpr (Dec::permuted) {
            queries[q] = lane_queries().rows[q];
            for (int32_t j = 0; j < keys.P; ++j) queries[q][j] = block.vectors[q][j];
            reorder<Dec>(queries[q], keys.P, true);
        }
    }
    // Largest sub-blocks first; each pass decodes every token once for its queries.
    for (int32_t q = 0; q < block.count;) {
        const int32_t left = block.count - q;
        float* const* rows = block.rows + q;
        if (most >= 8 && left >= 8) {
            score_keys_queries<V, Dec, (most >= 8 ? 8 : 1)>(dec, keys, kf, queries + q, rows);
            q += 8;
        } else if (most >= 4 && left >= 4) {
            score_keys_queries<V, Dec, (most >= 4 ? 4 : 1)>(dec, keys, kf, queries + q, rows);
            q += 4;
        } else if (most >= 2 && left >= 2) {
            score_keys_queries<V, Dec, (most >= 2 ? 2 : 1)>(dec, keys, kf, queries + q, rows);
            q += 2;
        } else {
            score_keys_queries<V, Dec, 1>(dec, keys, kf, queries + q, rows);
            q += 1;
        }
    }
}

// Decoder<Bits>: the level's decoders, or another family of them.
template <class V, template <int> class Decoder>
void score_keys(const PackedTokens& keys, float kf, const QueryBlock& block) {
    switch (keys.bits) {
#define KELVOR_WIDTH_CASE(B) \
    case B:                  \
        return score_keys_with<V, Decoder<B>>(keys, kf, block);
        KELVOR_CODE_WIDTHS(KELVOR_WIDTH_CASE)
#undef KELVOR_WIDTH_CASE
    }
    unknown_code_width(keys.bits);
}

// ---- accumulating values ------------------------------------------------------

// Per coordinate the tokens are added in order, each as one fused multiply-add
// of its level and its weight (scale * softmax weight * vf), however queries,
// chunks and tokens are blocked, so batch rows equal single answers bit for bit.
//
// Tiles of kValueTile tokens: their codes stay in L1 while, CB chunks at a
// time, the accumulators of QB queries are loaded once per tile, updated by
// every token of the tile (one decode serving all QB queries) and stored.
constexpr int32_t kValueTile = 32;

template <class V, class Dec, int QB, int CB>
[[gnu::noinline]] void accumulate_tiles(const Dec& dec, const PackedTokens& values, float vf, float* const* vectors,
                                        const float* const* weights) {
    using reg = typename V::reg;
    constexpr int32_t R = Tiles<V, Dec>::R;
    const int32_t chunks = values.P / Dec::chunk_codes;
    if constexpr (CB > 1) {
        if (chunks < CB) return accumulate_tiles<V, Dec, QB, CB / 2>(dec, values, vf, vectors, weights);
    }
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    for (int32_t k = 0; k < values.tokens; k += kValueTile) {
        const int32_t tt = min_i32(kValueTile, values.tokens - k);
        float w[QB][kValueTile];
        KELVOR_UNROLL
        for (int32_t q = 0; q < QB; ++q)
            for (int32_t t = 0; t < tt; ++t) w[q][t] = (values.scales[k + t] * weights[q][k + t]) * vf;
        const TokenRun<Dec, kValueTile> tokens(dec, values.codes + static_cast<size_t>(k) * B, B, values.P, tt);
        for (int32_t c0 = 0; c0 < chunks; c0 += CB) {
            // acc[q * N + i]: register i of the chunks c0.. of query q.
            constexpr int32_t N = CB * R;
            reg acc[QB * N];
            KELVOR_UNROLL
            for (int32_t q = 0; q < QB; ++q)
                KELVOR_UNROLL
                for (int32_t i = 0; i < N; ++i) acc[q * N + i] = V::load(vectors[q] + (c0 * R + i) * V::lanes);
            for (int32_t t = 0; t < tt; ++t) {
                reg wq[QB];
                KELVOR_UNROLL
                for (int32_t q = 0; q < QB; ++q) wq[q] = V::set1(w[q][t]);
                const uint8_t* chunk = tokens.chunk(t, c0);
                KELVOR_UNROLL
                for (int32_t i = 0; i < N; ++i) {
                    const reg lv = dec.levels(chunk + (i / R) * Dec::chunk_bytes, i % R);
                    KELVOR_UNROLL
                    for (int32_t q = 0; q < QB; ++q) acc[q * N + i] = V::fmadd(lv, wq[q], acc[q * N + i]);
                }
            }
            KELVOR_UNROLL
            for (int32_t q = 0; q < QB; ++q)
                KELVOR_UNROLL
                for (int32_t i = 0; i < N; ++i) V::store(vectors[q] + (c0 * R + i) * V::lanes, acc[q * N + i]);
        }
    }
}

// One query whose whole accumulator (Regs registers) stays in registers while
// every token, in order, updates it.
template <class V, class Dec, int Regs>
[[gnu::noinline]] void accumulate_in_registers(const Dec& dec, const PackedTokens& values, float vf, float* acc_out,
                                               const float* weights) {
    using reg = typename V::reg;
    constexpr int32_t R = Tiles<V, Dec>::R;
    const size_t B = static_cast<size_t>(values.bytes_per_vec);
    reg acc[Regs];
    KELVOR_UNROLL
    for (int32_t i = 0; i < Regs; ++i) acc[i] = V::load(acc_out + i * V::lanes);
    for (int32_t k = 0; k < values.tokens; ++k) {
        const TokenRun<Dec, 1> token(dec, values.codes + static_cast<size_t>(k) * B, B, values.P, 1);
        const reg w = V::set1((values.scales[k] * weights[k]) * vf);
        KELVOR_UNROLL
        for (int32_t c = 0; c < Regs / R; ++c)
            KELVOR_UNROLL
            for (int32_t r = 0; r < R; ++r) acc[c * R + r] = V::fmadd(dec.levels(token.chunk(0, c), r), w, acc[c * R + r]);
    }
    KELVOR_UNROLL
    for (int32_t i = 0; i < Regs; ++i) V::store(acc_out + i * V::lanes, acc[i]);
}

template <class V, class Dec, int QB>
void accumulate_queries(const Dec& dec, const PackedTokens& values, float vf, float* const* vectors,
                        const float* const* weights) {
    if constexpr (QB == 1) {
        // An accumulator that fits in registers needs no tiles.
        constexpr int32_t R = Tiles<V, Dec>::R;
        const int32_t regs = values.P / V::lanes;
        if (regs == R) return accumulate_in_registers<V, Dec, R>(dec, values, vf, vectors[0], weights[0]);
        if constexpr (2 * R <= V::acc_regs) {
            if (regs == 2 * R) return accumulate_in_registers<V, Dec, 2 * R>(dec, values, vf, vectors[0], weights[0]);
        }
        if constexpr (4 * R <= V::acc_regs) {
            if (regs == 4 * R) return accumulate_in_registers<V, Dec, 4 * R>(dec, values, vf, vectors[0], weights[0]);
        }
        if constexpr (8 * R <= V::acc_regs) {
            if (regs == 8 * R) return accumulate_in_registers<V, Dec, 8 * R>(dec, values, vf, vectors[0], weights[0]);
        }
        if constexpr (16 * R <= V::acc_regs) {
            if (regs == 16 * R) return accumulate_in_registers<V, Dec, 16 * R>(dec, values, vf, vectors[0], weights[0]);
        }
    }
    accumulate_tiles<V, Dec, QB, Tiles<V, Dec>::value_chunks(QB)>(dec, values, vf, vectors, weights);
}

template <class V, class Dec>
void accumulate_values_with(const PackedTokens& values, float vf, const QueryBlock& block) {
    if (values.P < Dec::chunk_codes) return scalar_kernels().accumulate_values(values, vf, block);
    constexpr int32_t most = Tiles<V, Dec>::value_queries;
    const Dec dec(values.levels);
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<Dec>(block.vectors[q], values.P, true);
    }
    for (int32_t q = 0; q < block.count;) {
        const int32_t left = block.count - q;
        float* const* v = block.vectors + q;
        const float* const* w = block.rows + q;
        if (most >= 8 && left >= 8) {
            accumulate_queries<V, Dec, (most >= 8 ? 8 : 1)>(dec, values, vf, v, w);
            q += 8;
        } else if (most >= 4 && left >= 4) {
            accumulate_queries<V, Dec, (most >= 4 ? 4 : 1)>(dec, values, vf, v, w);
            q += 4;
        } else if (most >= 2 && left >= 2) {
            accumulate_queries<V, Dec, (most >= 2 ? 2 : 1)>(dec, values, vf, v, w);
            q += 2;
        } else {
            accumulate_queries<V, Dec, 1>(dec, values, vf, v, w);
            q += 1;
        }
    }
    if constexpr (Dec::permuted) {
        for (int32_t q = 0; q < block.count; ++q) reorder<Dec>(block.vectors[q], values.P, false);
    }
}

template <class V, template <int> class Decoder>
void accumulate_values(const PackedTokens& values, float vf, const QueryBlock& block) {
    switch (values.bits) {
#define KELVOR_WIDTH_CASE(B) \
    case B:                  \
        return accumulate_values_with<V, Decoder<B>>(values, vf, block);
        KELVOR_CODE_WIDTHS(KELVOR_WIDTH_CASE)
#undef KELVOR_WIDTH_CASE
    }
    unknown_code_width(values.bits);
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
        // The maximum starts from the first score: a fixed start such as
        // -1e30 can lie above every score, and then every weight is 0.
        if (t == 0 || score > m) m = score;
    }
    // Only a finite query whose scores overflow (or a NaN) leaves the sum
    // undefined; that one query is answered in double instead.
    const double total = exp_and_sum<V>(scores, T, m);
    if (!__builtin_isfinite(total)) return exact_attend_wide(exact, T, hd, query, scores, out);
    const float r = 1.0f / static_cast<float>(total);
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

// Whole blocks of a stream's half cells at the level; returns the codes done.
template <class V, int Bits>
int32_t widen_half_cell_blocks(const uint8_t* stream, const uint8_t* half, int32_t P, uint8_t* out) {
    int32_t done = 0;
    for (; done + kHalfCellBlock <= P; done += kHalfCellBlock)
        V::template widen_half_cells<Bits>(stream + done / 8 * Bits, half + done / 8, out + done / 2);
    return done;
}

// Half cells a block at a time at the level, a shorter tail by the reference.
// Refined tokens are widened on every pass that reads them, so this runs once
// per token and call, beside the token's decoding.
template <class V>
void interleave_half_bits_by_block(const uint8_t* stream, const uint8_t* half, int32_t P, int32_t bits,
                                   uint8_t* out) {
    const int32_t done = bits == 2   ? widen_half_cell_blocks<V, 2>(stream, half, P, out)
                         : bits == 3 ? widen_half_cell_blocks<V, 3>(stream, half, P, out)
                                     : 0;
    if (done < P) interleave_half_bits(stream + done / 8 * bits, half + done / 8, P - done, bits, out + done / 2);
}

// A level's table; a variant decodes with its own family of decoders.
template <class V, template <int> class Decoder = V::template Decoder>
KernelTable make_table(SimdLevel level, const char* name, const char* variant = "") {
    return KernelTable{level,
                       name,
                       variant,
                       rht_forward<V>,
                       rht_inverse<V>,
                       softmax<V>,
                       quantize_clamped<V>,
                       square_sums8<V>,
                       score_keys<V, Decoder>,
                       accumulate_values<V, Decoder>,
                       exact_attend<V>,
                       interleave_half_bits_by_block<V>};
}

}  // namespace
}  // namespace kelvor
