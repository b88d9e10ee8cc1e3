// AVX2 + FMA level: the vector type the shared kernels run on (contract in
// simd_kernels.h). Only this file is compiled with those flags.
#include <immintrin.h>

#include <cstring>

#include "core/kernels/half_cells_x86.h"
#include "core/kernels/simd_kernels.h"

namespace kelvor {
namespace {

struct Avx2 {
    using reg = __m256;
    using ireg = __m256i;
    using quad = __m128;
    static constexpr int lanes = 8;
    static constexpr int acc_regs = 8;  // of 16 registers; the rest hold tables, shifts and codes

    static reg zero() { return _mm256_setzero_ps(); }
    static reg load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
    static reg set1(float x) { return _mm256_set1_ps(x); }
    static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm256_fmadd_ps(a, b, c); }
    static reg fnmadd(reg a, reg b, reg c) { return _mm256_fnmadd_ps(a, b, c); }
    static reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_ps(a, b); }

    static __m256i mask(int32_t remaining) {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining < lanes ? remaining : lanes), idx);
    }
    static reg load_partial(const float* p, int32_t remaining) { return _mm256_maskload_ps(p, mask(remaining)); }
    static void store_partial(float* p, reg v, int32_t remaining) { _mm256_maskstore_ps(p, mask(remaining), v); }
    static reg keep_first(reg v, int32_t remaining) { return _mm256_and_ps(v, _mm256_castsi256_ps(mask(remaining))); }

    // A fixed tree: halves, then pairs within 128 bits (lane 0 of the result
    // is ((v0 + v4) + (v2 + v6)) + ((v1 + v5) + (v3 + v7))).
    template <class Op>
    static float reduce(reg v, Op op) {
        reg s = op(v, _mm256_permute2f128_ps(v, v, 0x01));
        s = op(s, _mm256_permute_ps(s, 0x4E));
        s = op(s, _mm256_permute_ps(s, 0xB1));
        return _mm256_cvtss_f32(s);
    }
    static float reduce_add(reg v) { return reduce(v, add); }
    static float reduce_max(reg v) { return reduce(v, max); }
    // The same tree for four registers at once.
    static quad reduce_add4(reg a, reg b, reg c, reg d) {
        // Halves: lanes 0-3 of ab hold a's, lanes 4-7 b's.
        const reg ab = _mm256_add_ps(_mm256_permute2f128_ps(a, b, 0x20), _mm256_permute2f128_ps(a, b, 0x31));
        const reg cd = _mm256_add_ps(_mm256_permute2f128_ps(c, d, 0x20), _mm256_permute2f128_ps(c, d, 0x31));
        // Lane pairs two apart: [a0+a2, a1+a3, c0+c2, c1+c3 | b.., b.., d.., d..].
        const reg pairs = _mm256_add_ps(_mm256_shuffle_ps(ab, cd, 0x44), _mm256_shuffle_ps(ab, cd, 0xEE));
        // Then neighbours: [a, c, a, c | b, d, b, d].
        const reg sums = _mm256_add_ps(_mm256_shuffle_ps(pairs, pairs, 0x88), _mm256_shuffle_ps(pairs, pairs, 0xDD));
        return _mm_unpacklo_ps(_mm256_castps256_ps128(sums), _mm256_extractf128_ps(sums, 1));
    }
    static quad quad_load(const float* p) { return _mm_loadu_ps(p); }
    static void quad_store(float* p, quad q) { _mm_storeu_ps(p, q); }
    static quad quad_add(quad a, quad b) { return _mm_add_ps(a, b); }
    static quad quad_mul(quad a, quad b) { return _mm_mul_ps(a, b); }
    static void quad_transpose(quad* q) { _MM_TRANSPOSE4_PS(q[0], q[1], q[2], q[3]); }
    static quad quad_set1(float x) { return _mm_set1_ps(x); }

    static reg round_nearest(reg v) { return _mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    // 2^n as two normal powers of two (n in [-150, 128] splits into halves in
    // [-75, 64]), so that a subnormal result rounds once.
    static reg scale_pow2(reg p, reg n) {
        const __m256i ni = _mm256_cvtps_epi32(n);
        const __m256i n1 = _mm256_srai_epi32(ni, 1);
        const __m256i n2 = _mm256_sub_epi32(ni, n1);
        const __m256i bias = _mm256_set1_epi32(127);
        const reg pow1 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(n1, bias), 23));
        const reg pow2 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(n2, bias), 23));
        return _mm256_mul_ps(_mm256_mul_ps(p, pow1), pow2);
    }

    static reg load_signs(const int8_t* signs) {
        int64_t packed;
        std::memcpy(&packed, signs, 8);
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_cvtsi64_si128(packed)));
    }

    static reg butterfly_in_register(reg x) {
        x = _mm256_add_ps(_mm256_permute_ps(x, 0xB1),
                          _mm256_xor_ps(x, _mm256_setr_ps(0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f)));
        x = _mm256_add_ps(_mm256_permute_ps(x, 0x4E),
                          _mm256_xor_ps(x, _mm256_setr_ps(0.0f, 0.0f, -0.0f, -0.0f, 0.0f, 0.0f, -0.0f, -0.0f)));
        return _mm256_add_ps(_mm256_permute2f128_ps(x, x, 0x01),
                             _mm256_xor_ps(x, _mm256_setr_ps(0.0f, 0.0f, 0.0f, 0.0f, -0.0f, -0.0f, -0.0f, -0.0f)));
    }

    static ireg izero() { return _mm256_setzero_si256(); }
    static ireg count_at_or_above(ireg q, reg y, reg threshold) {
        return _mm256_sub_epi32(q, _mm256_castps_si256(_mm256_cmp_ps(y, threshold, _CMP_GE_OQ)));
    }
    static void store_codes(uint8_t* codes, ireg q, int32_t remaining) {
        alignas(32) int32_t lanes_out[lanes];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes_out), q);
        for (int32_t j = 0; j < lanes && j < remaining; ++j) codes[j] = static_cast<uint8_t>(lanes_out[j]);
    }

    template <int Bits>
    static void widen_half_cells(const uint8_t* stream, const uint8_t* half, uint8_t* out) {
        x86_widen_half_cells<Bits>(stream, half, out);
    }

    // 16 codes per chunk, two registers. Codes are broadcast straight from
    // memory into every lane, which then shifts its own code to the bottom
    // (vpsrlvd) for a table lookup that reads only the code's bits:
    //  - 2 bits (4 bytes): one dword; register r takes codes 8r..8r+7; the 4
    //    levels sit in both 128-bit halves, so vpermilps (in-lane, 2 index
    //    bits) looks them up.
    //  - 3 bits (6 bytes, 8 read): one byte shuffle turns the qword into the
    //    two groups' 24-bit words, group 0 in the low 128 bits and group 1 in
    //    the high; register r takes codes 4r..4r+3 of each group (permuted);
    //    vpermps looks up 8 levels (3 index bits).
    //  - 4 bits (8 bytes): register r is dword r; two vpermps (levels 0-7 and
    //    8-15) and a select on bit 3 of the code.
    template <int Bits>
    struct Decoder {
        static constexpr int chunk_codes = 16;
        static constexpr int chunk_bytes = 2 * Bits;
        static constexpr bool permuted = Bits == 3;
        static constexpr bool rewrites = false;
        // Slot s of a chunk: register s / 8, lane s % 8; at 3 bits lane l holds
        // code 4r + l % 4 of group l / 4.
        static constexpr int32_t order(int32_t s) {
            return Bits == 3 ? 8 * ((s % 8) / 4) + 4 * (s / 8) + s % 4 : s;
        }

        reg low_table;
        reg high_table;
        __m256i shifts[2];
        __m256i group_words;

        explicit Decoder(const float* levels) {
            alignas(32) float lo[16];
            alignas(32) int32_t sh[2][8];
            alignas(32) uint8_t words[32];
            repeated_levels(levels, Bits, lo, 16);
            for (int32_t r = 0; r < 2; ++r) {
                for (int32_t l = 0; l < 8; ++l) {
                    if constexpr (Bits == 2) sh[r][l] = two_bit_shift(8 * r + l);
                    if constexpr (Bits == 3) sh[r][l] = three_bit_shift(4 * r + l % 4);
                    if constexpr (Bits == 4) sh[r][l] = 8 * (l / 2) + (l % 2 == 0 ? 4 : 0);
                }
            }
            // Each dword of the low half: bytes 2, 1, 0 of the qword (group 0's
            // big-endian word); of the high half: bytes 5, 4, 3 (group 1's).
            for (int32_t half = 0; half < 2; ++half) {
                for (int32_t l = 0; l < 4; ++l) {
                    uint8_t* w = words + 16 * half + 4 * l;
                    w[0] = static_cast<uint8_t>(3 * half + 2);
                    w[1] = static_cast<uint8_t>(3 * half + 1);
                    w[2] = static_cast<uint8_t>(3 * half);
                    w[3] = 0x80;
                }
            }
            low_table = _mm256_load_ps(lo);
            high_table = _mm256_load_ps(lo + 8);
            shifts[0] = _mm256_load_si256(reinterpret_cast<const __m256i*>(sh[0]));
            shifts[1] = _mm256_load_si256(reinterpret_cast<const __m256i*>(sh[1]));
            group_words = _mm256_load_si256(reinterpret_cast<const __m256i*>(words));
        }

        static __m256i broadcast_dword(const uint8_t* p) {
            int32_t w;
            std::memcpy(&w, p, 4);
            return _mm256_set1_epi32(w);
        }
        static __m256i broadcast_qword(const uint8_t* p) {
            long long w;
            std::memcpy(&w, p, 8);
            return _mm256_set1_epi64x(w);
        }

        reg levels(const uint8_t* chunk, int32_t r) const {
            if constexpr (Bits == 2) {
                // Four levels fit each 128-bit half: the in-lane permute is enough.
                return _mm256_permutevar_ps(low_table, _mm256_srlv_epi32(broadcast_dword(chunk), shifts[r]));
            } else if constexpr (Bits == 3) {
                const __m256i words = _mm256_shuffle_epi8(broadcast_qword(chunk), group_words);
                return _mm256_permutevar8x32_ps(low_table, _mm256_srlv_epi32(words, shifts[r]));
            } else if constexpr (Bits == 4) {
                const __m256i idx = _mm256_srlv_epi32(broadcast_dword(chunk + 4 * r), shifts[0]);
                const reg lo = _mm256_permutevar8x32_ps(low_table, idx);
                const reg hi = _mm256_permutevar8x32_ps(high_table, idx);
                return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
            } else {
                static_assert(dependent_false<Bits>, "the AVX2 level has no decoder for this code width");
            }
        }
    };
};

}  // namespace

const KernelTable* avx2_kernels() {
    static const KernelTable table = make_table<Avx2>(SimdLevel::avx2, "avx2");
    return &table;
}

}  // namespace kelvor
