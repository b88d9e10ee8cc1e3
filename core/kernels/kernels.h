#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/formats/codebook.h"
#include "core/support/limits.h"

namespace kelvor {

// Kernel levels. The registry in dispatch.cpp lists them with their names and
// CPU families; a level's own file (kernels_<name>.cpp) defines its table.
enum class SimdLevel : int { scalar, avx2, avx512, neon };

// How the AVX-512 level reads 3-bit streams (the bytes stored are the same):
// a byte shuffle of each chunk in the register, or each token's stream
// rewritten once into dwords that need none. Both give the same bits.
enum class ThreeBitDecoder : int { shuffle, rewrite };

// Consecutive ring slots of one head: codes of slot 0 at `codes`, its scale at
// `scales[0]`, `tokens` slots in all, each stream `bytes_per_vec` bytes of P
// codes that select from the 2^bits entries of `levels`.
struct PackedTokens {
    const uint8_t* codes;
    const float* scales;
    int32_t tokens;
    int32_t bytes_per_vec;
    int32_t P;
    int32_t bits;
    const float* levels;
};

// Queries answered together by one pass over a head's codes.
constexpr int32_t kQueryBlock = 8;

// Per-query vectors sit one cache line more than a power of two apart: at
// exactly 4 KiB apart, the loads of one query's accumulator would wait on the
// stores to the previous query's (4K aliasing).
constexpr int32_t kQueryStride = kMaxPaddedDim + 16;

// Up to kQueryBlock queries served by one pass over the tokens. For query q,
// vectors[q] is its rotated query (scoring) or accumulator (values) of P floats
// and rows[q] its per-token scores or softmax weights.
struct QueryBlock {
    int32_t count;
    float* const* vectors;
    float* const* rows;
};

// The hot operations, one table per SIMD level. Every entry computes, for each
// query of a block, exactly what it computes for that query alone, so a batch
// row always equals the single-query answer at the same level.
struct KernelTable {
    SimdLevel level;
    const char* name;
    // "" or, for a level with more than one way of decoding, this table's:
    // the AVX-512 level's 3-bit decoder, "shuffle" or "rewrite".
    const char* variant;
    void (*rht_forward)(float* x, const int8_t* signs, int32_t n);
    void (*rht_inverse)(float* x, const int8_t* signs, int32_t n);
    void (*softmax)(float* x, int32_t n);
    // codes[i] = quantize(clamp(sp * x[i], -clip, clip) * inv) against the
    // codebook's thresholds, for i < P. Elementwise, so every level writes the same codes.
    void (*quantize_clamped)(const float* x, int32_t P, float sp, float clip, float inv, const Codebook& codebook,
                             uint8_t* codes);
    // sums[r] = the sum over i < n of (scale * rows[r][i])^2 for r < 8, each a
    // float32 running sum from zero in index order: the encoder's norms of
    // eight vectors at once, so every level writes the same codes.
    void (*square_sums8)(const float* const* rows, int32_t n, float scale, float* sums);
    // scores[q][k] = (dot(rq_q, codes_k) * kf) * scales[k]
    void (*score_keys)(const PackedTokens& keys, float kf, const QueryBlock& block);
    // acc_q += levels * ((scales[k] * weights[q][k]) * vf), through the codes of token k
    void (*accumulate_values)(const PackedTokens& values, float vf, const QueryBlock& block);
    // Plain attention over T full-precision tokens (key then value, hd floats each).
    // scores has room for T floats; query is read in full before out is written.
    void (*exact_attend)(const float* exact, int32_t T, int32_t hd, const float* query, float* scores,
                         float* out);
    // interleave_half_bits (core/formats/half_cells.h): the same bytes at every level.
    void (*interleave_half_bits)(const uint8_t* stream, const uint8_t* half, int32_t P, int32_t bits, uint8_t* out);
};

// Each level's table; a level this build leaves out returns nullptr.
const KernelTable& scalar_kernels();
const KernelTable* avx2_kernels();
const KernelTable* avx512_kernels(ThreeBitDecoder three_bit);
const KernelTable* neon_kernels();

// The levels of the CPU family this build is for, scalar first, then in
// increasing order of preference (the reverse of the fallback order). A level
// listed here may still be missing from the build or from this machine:
// kernels_for tells.
const std::vector<SimdLevel>& simd_levels();

// The table every operation uses, chosen once per process: the first level of
// the fallback order that the build includes and the CPU and operating system
// run, or the level named by KELVOR_SIMD. Throws std::runtime_error when
// KELVOR_SIMD names no level, or one the build or the machine lacks.
const KernelTable& kernels();

// The table of a level if it is compiled in and the machine runs it, else nullptr.
const KernelTable* kernels_for(SimdLevel level);
const char* simd_level_name(SimdLevel level);

// Every table of a level the build includes and the machine runs: the one
// kernels_for chooses first, then the level's other variants (the AVX-512
// level's other 3-bit decoder); empty otherwise.
std::vector<const KernelTable*> level_variants(SimdLevel level);

// The level's name, with its variant where it has more than one, e.g.
// "avx512 (3-bit decoder: shuffle)".
std::string kernels_description(const KernelTable& table);

}  // namespace kelvor
