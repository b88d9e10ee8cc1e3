// AVX2 + FMA level: the vector type the shared kernels run on. Only this file
// is compiled with those flags. Same contract as the AVX-512 level.
#include <immintrin.h>

#include <cstring>

#include "core/simd_kernels.h"

namespace kelvor {
namespace {

struct Avx2 {
    using reg = __m256;
    using ireg = __m256i;
    static constexpr int lanes = 8;
    static constexpr int group = 8;  // 64 coordinates of one query's accumulator in registers

    static reg zero() { return _mm256_setzero_ps(); }
    static reg load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, reg v) { _mm256_storeu_ps(p, v); }
    static reg set1(float x) { return _mm256_set1_ps(x); }
    static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm256_fmadd_ps(a, b, c); }
    // Both return their second operand when either is NaN.
    static reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_ps(a, b); }

    static __m256i mask(int32_t remaining) {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining < lanes ? remaining : lanes), idx);
    }
    static reg load_partial(const float* p, int32_t remaining) { return _mm256_maskload_ps(p, mask(remaining)); }
    static void store_partial(float* p, reg v, int32_t remaining) { _mm256_maskstore_ps(p, mask(remaining), v); }
    static reg keep_first(reg v, int32_t remaining) { return _mm256_and_ps(v, _mm256_castsi256_ps(mask(remaining))); }

    // A fixed tree: halves, then pairs within 128 bits.
    template <class Op>
    static float reduce(reg v, Op op) {
        reg s = op(v, _mm256_permute2f128_ps(v, v, 0x01));
        s = op(s, _mm256_permute_ps(s, 0x4E));
        s = op(s, _mm256_permute_ps(s, 0xB1));
        return _mm256_cvtss_f32(s);
    }
    static float reduce_add(reg v) { return reduce(v, add); }
    static float reduce_max(reg v) { return reduce(v, max); }
    static __m128 reduce_add4(reg a, reg b, reg c, reg d) {
        return _mm_setr_ps(reduce_add(a), reduce_add(b), reduce_add(c), reduce_add(d));
    }

    // exp(x) to about 1 ulp: x = n ln2 + r with |r| <= ln2/2, a degree-6
    // polynomial for e^r, then 2^n applied as two normal powers of two so that
    // results down in the subnormal range round once, like scalef.
    static reg exp(reg x) {
        x = _mm256_min_ps(_mm256_set1_ps(88.7228391f), x);  // NaN survives: second operand
        x = _mm256_max_ps(_mm256_set1_ps(-103.972084f), x);
        const reg n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        reg r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
        r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
        reg p = _mm256_set1_ps(1.9875691500e-4f);
        p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
        p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
        p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
        p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
        p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
        p = _mm256_fmadd_ps(_mm256_mul_ps(p, r), r, _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
        // n in [-150, 128] splits into halves in [-75, 64]: each 2^half is normal.
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

    // Butterfly stages h = 1, 2, 4 inside one register; upper lanes compute
    // partner + (-x), which IEEE defines as partner - x.
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

    // 8 codes per chunk (Bits bytes) decoded into 32-bit lanes in coordinate
    // order. Tables of 8 repeat the codebook so bits above the code need no
    // masking; the 4-bit codebook takes two lookups and a select on bit 3.
    // Loads read 4 bytes from the chunk start; code buffers keep a zeroed line
    // past their end for that.
    template <int Bits>
    struct Decoder {
        static constexpr int chunk_bytes = Bits;
        static constexpr bool permuted = false;
        const uint8_t* source(const uint8_t* stream, int32_t, uint8_t*) const { return stream; }
        reg to_lanes(reg v) const { return v; }
        reg from_lanes(reg v) const { return v; }
        reg low_table;
        reg high_table;
        __m256i shifts;

        explicit Decoder(const float* levels) {
            alignas(32) float lo[8], hi[8];
            alignas(32) int32_t sh[8];
            constexpr int L = 1 << Bits;
            for (int i = 0; i < 8; ++i) {
                lo[i] = levels[i % L];
                hi[i] = levels[(i + 8) % L];
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

        reg levels(const uint8_t* chunk) const {
            uint32_t w;
            std::memcpy(&w, chunk, 4);
            if constexpr (Bits == 3) w = __builtin_bswap32(w) >> 8;  // the group's big-endian 24-bit word
            const __m256i idx = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int32_t>(w)), shifts);
            const reg lo = _mm256_permutevar8x32_ps(low_table, idx);
            if constexpr (Bits < 4) {
                return lo;
            } else {
                const reg hi = _mm256_permutevar8x32_ps(high_table, idx);
                return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
            }
        }
    };
};

}  // namespace

const KernelTable* avx2_kernels() {
    static const KernelTable table = simd::make_table<Avx2>(SimdLevel::avx2, "avx2");
    return &table;
}

}  // namespace kelvor
