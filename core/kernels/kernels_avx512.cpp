// AVX-512 level (F, BW, DQ, VL): the vector type the shared kernels run on.
// Only this file is compiled with those flags.
// GCC 12 warns about the registers its own AVX-512 header leaves undefined on
// purpose; the warnings are muted for that header only, not for this file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstring>
#include <type_traits>

#include "core/kernels/half_cells_x86.h"
#include "core/kernels/simd_kernels.h"

namespace kelvor {
namespace {

struct Avx512 {
    using reg = __m512;
    using ireg = __m512i;
    using quad = __m128;
    static constexpr int lanes = 16;
    static constexpr int acc_regs = 24;  // of 32 registers

    static reg zero() { return _mm512_setzero_ps(); }
    static reg load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, reg v) { _mm512_storeu_ps(p, v); }
    static reg set1(float x) { return _mm512_set1_ps(x); }
    static reg add(reg a, reg b) { return _mm512_add_ps(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return _mm512_fmadd_ps(a, b, c); }
    static reg fnmadd(reg a, reg b, reg c) { return _mm512_fnmadd_ps(a, b, c); }
    static reg max(reg a, reg b) { return _mm512_max_ps(a, b); }
    static reg min(reg a, reg b) { return _mm512_min_ps(a, b); }

    static __mmask16 mask(int32_t remaining) {
        return remaining >= lanes ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << remaining) - 1u);
    }
    static reg load_partial(const float* p, int32_t remaining) { return _mm512_maskz_loadu_ps(mask(remaining), p); }
    static void store_partial(float* p, reg v, int32_t remaining) { _mm512_mask_storeu_ps(p, mask(remaining), v); }
    static reg keep_first(reg v, int32_t remaining) { return _mm512_maskz_mov_ps(mask(remaining), v); }

    // A fixed tree: halves, then quarters, then pairs within 128 bits.
    template <class Op>
    static float reduce(reg v, Op op) {
        reg s = op(v, _mm512_shuffle_f32x4(v, v, 0x4E));
        s = op(s, _mm512_shuffle_f32x4(s, s, 0xB1));
        s = op(s, _mm512_permute_ps(s, 0x4E));
        s = op(s, _mm512_permute_ps(s, 0xB1));
        return _mm512_cvtss_f32(s);
    }
    static float reduce_add(reg v) { return reduce(v, add); }
    static float reduce_max(reg v) { return reduce(v, max); }
    // The same additions as four reduce_adds, in fewer shuffles.
    static quad reduce_add4(reg a, reg b, reg c, reg d) {
        const reg ab = _mm512_add_ps(_mm512_shuffle_f32x4(a, b, 0x44), _mm512_shuffle_f32x4(a, b, 0xEE));
        const reg cd = _mm512_add_ps(_mm512_shuffle_f32x4(c, d, 0x44), _mm512_shuffle_f32x4(c, d, 0xEE));
        // 128-bit lane L now holds the quarter sums of the L-th vector.
        reg t = _mm512_add_ps(_mm512_shuffle_f32x4(ab, cd, 0x88), _mm512_shuffle_f32x4(ab, cd, 0xDD));
        t = _mm512_add_ps(t, _mm512_permute_ps(t, 0x4E));
        t = _mm512_add_ps(t, _mm512_permute_ps(t, 0xB1));
        const __m512i first_of_each = _mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        return _mm512_castps512_ps128(_mm512_permutexvar_ps(first_of_each, t));
    }
    static quad quad_load(const float* p) { return _mm_loadu_ps(p); }
    static void quad_store(float* p, quad q) { _mm_storeu_ps(p, q); }
    static quad quad_add(quad a, quad b) { return _mm_add_ps(a, b); }
    static quad quad_mul(quad a, quad b) { return _mm_mul_ps(a, b); }
    static void quad_transpose(quad* q) { _MM_TRANSPOSE4_PS(q[0], q[1], q[2], q[3]); }
    static quad quad_set1(float x) { return _mm_set1_ps(x); }

    static reg round_nearest(reg v) { return _mm512_roundscale_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    // scalef rounds once, into the subnormal range too.
    static reg scale_pow2(reg p, reg n) { return _mm512_scalef_ps(p, n); }

    static reg load_signs(const int8_t* signs) {
        return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(signs))));
    }

    template <int H>
    static reg stage(reg x) {
        reg partner;
        if constexpr (H == 1) partner = _mm512_permute_ps(x, 0xB1);
        if constexpr (H == 2) partner = _mm512_permute_ps(x, 0x4E);
        if constexpr (H == 4) partner = _mm512_shuffle_f32x4(x, x, 0xB1);
        if constexpr (H == 8) partner = _mm512_shuffle_f32x4(x, x, 0x4E);
        constexpr __mmask16 upper = H == 1 ? 0xAAAA : H == 2 ? 0xCCCC : H == 4 ? 0xF0F0 : 0xFF00;
        return _mm512_add_ps(partner, _mm512_mask_xor_ps(x, upper, x, _mm512_set1_ps(-0.0f)));
    }
    static reg butterfly_in_register(reg x) { return stage<8>(stage<4>(stage<2>(stage<1>(x)))); }

    static ireg izero() { return _mm512_setzero_si512(); }
    static ireg count_at_or_above(ireg q, reg y, reg threshold) {
        return _mm512_mask_add_epi32(q, _mm512_cmp_ps_mask(y, threshold, _CMP_GE_OQ), q, _mm512_set1_epi32(1));
    }
    static void store_codes(uint8_t* codes, ireg q, int32_t remaining) {
        _mm_mask_storeu_epi8(codes, mask(remaining), _mm512_cvtepi32_epi8(q));
    }

    template <int Bits>
    static void widen_half_cells(const uint8_t* stream, const uint8_t* half, uint8_t* out) {
        x86_widen_half_cells<Bits>(stream, half, out);
    }

    // 16 codes per chunk (one register), decoded into 32-bit lanes and looked
    // up in a 16-entry table in which the codebook repeats, so bits above the
    // code never need masking. Loads read at most 8 bytes from the chunk start.
    //  - 2 bits: the chunk is one dword; a variable shift per lane, natural order.
    //  - 3 bits: the chunk is two groups (6 bytes, 8 read), broadcast; a byte
    //    shuffle gives even lanes the first group's big-endian 24-bit word and
    //    odd lanes the second's, so lane 2i holds code i of the first group and
    //    lane 2i+1 code i of the second (permuted order). RewritingDecoder3
    //    below is the other way to the same lanes.
    //  - 4 bits: one variable 64-bit shift of the broadcast chunk leaves nibble
    //    i in lane 2i and nibble i+8 in lane 2i+1 (nibble n is code n^1).
    template <int Bits>
    struct Decoder {
        static constexpr int chunk_codes = 16;
        static constexpr int chunk_bytes = 2 * Bits;
        static constexpr bool permuted = Bits != 2;
        static constexpr bool rewrites = false;
        static constexpr int32_t order(int32_t s) {
            return Bits == 2 ? s : Bits == 3 ? (s % 2 == 0 ? s / 2 : 8 + s / 2) : (s % 2 == 0 ? s / 2 : 8 + s / 2) ^ 1;
        }
        reg table;
        __m512i group_words;  // 3 bits: each group's big-endian word into the lanes that read it
        __m512i shifts;

        explicit Decoder(const float* levels) {
            alignas(64) float t[16];
            alignas(64) uint8_t words[64];
            alignas(64) int32_t sh[16];
            alignas(64) int64_t qsh[8];
            repeated_levels(levels, Bits, t, 16);
            for (int j = 0; j < 16; ++j) {
                const int g = j % 2;  // the group lane j reads
                words[4 * j] = static_cast<uint8_t>(3 * g + 2);
                words[4 * j + 1] = static_cast<uint8_t>(3 * g + 1);
                words[4 * j + 2] = static_cast<uint8_t>(3 * g);
                words[4 * j + 3] = 0x80;
            }
            for (int j = 0; j < 16; ++j) sh[j] = Bits == 2 ? two_bit_shift(j) : three_bit_shift(j / 2);
            for (int i = 0; i < 8; ++i) qsh[i] = 4 * i;
            table = _mm512_load_ps(t);
            group_words = _mm512_load_si512(words);
            shifts = Bits == 4 ? _mm512_load_si512(qsh) : _mm512_load_si512(sh);
        }

        __m512i indices(const uint8_t* chunk) const {
            if constexpr (Bits == 2) {
                uint32_t w;
                std::memcpy(&w, chunk, 4);
                return _mm512_srlv_epi32(_mm512_set1_epi32(static_cast<int32_t>(w)), shifts);
            } else if constexpr (Bits == 3 || Bits == 4) {
                uint64_t w;
                std::memcpy(&w, chunk, 8);
                const __m512i broadcast = _mm512_set1_epi64(static_cast<long long>(w));
                if constexpr (Bits == 3) return _mm512_srlv_epi32(_mm512_shuffle_epi8(broadcast, group_words), shifts);
                else return _mm512_srlv_epi64(broadcast, shifts);
            } else {
                static_assert(dependent_false<Bits>, "the AVX-512 level has no decoder for this code width");
            }
        }
        reg levels(const uint8_t* chunk, int32_t) const { return _mm512_permutexvar_ps(indices(chunk), table); }
    };

    // 3 bits read another way, faster where AVX-512 runs on 256-bit units
    // (Zen 4): once per token a 16-byte shuffle per 4 groups rewrites each
    // big-endian 24-bit word as a little-endian dword; a chunk is then two
    // dwords, broadcast and shifted with no shuffle. The same table, shifts and
    // lane order as Decoder<3>, so the same bits.
    struct RewritingDecoder3 : Decoder<3> {
        static constexpr int chunk_bytes = 8;
        static constexpr bool rewrites = true;
        __m128i dwords;

        explicit RewritingDecoder3(const float* levels) : Decoder<3>(levels) {
            alignas(16) uint8_t words[16];
            for (int g = 0; g < 4; ++g) {
                words[4 * g] = static_cast<uint8_t>(3 * g + 2);
                words[4 * g + 1] = static_cast<uint8_t>(3 * g + 1);
                words[4 * g + 2] = static_cast<uint8_t>(3 * g);
                words[4 * g + 3] = 0x80;
            }
            dwords = _mm_load_si128(reinterpret_cast<const __m128i*>(words));
        }

        // 12 stream bytes (4 groups) per 16 scratch bytes; each load starts at a
        // chunk and reads 16 bytes, within the buffers' slack.
        void rewrite(const uint8_t* stream, int32_t P, uint8_t* scratch) const {
            for (int32_t g = 0; g < P / 8; g += 4) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stream + 3 * g));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(scratch + 4 * g), _mm_shuffle_epi8(bytes, dwords));
            }
        }

        reg levels(const uint8_t* chunk, int32_t) const {
            uint64_t w;
            std::memcpy(&w, chunk, 8);
            const __m512i broadcast = _mm512_set1_epi64(static_cast<long long>(w));
            return _mm512_permutexvar_ps(_mm512_srlv_epi32(broadcast, shifts), table);
        }
    };
    template <int Bits>
    using RewritingDecoder = std::conditional_t<Bits == 3, RewritingDecoder3, Decoder<Bits>>;
};

}  // namespace

const KernelTable* avx512_kernels(ThreeBitDecoder three_bit) {
    static const KernelTable shuffle = make_table<Avx512>(SimdLevel::avx512, "avx512", "shuffle");
    static const KernelTable rewrite =
        make_table<Avx512, Avx512::RewritingDecoder>(SimdLevel::avx512, "avx512", "rewrite");
    return three_bit == ThreeBitDecoder::rewrite ? &rewrite : &shuffle;
}

}  // namespace kelvor
