// AArch64 Advanced SIMD (NEON) level: the vector type the shared kernels run
// on (contract in simd_kernels.h), 128-bit registers of 4 floats. NEON is part
// of the AArch64 base instruction set, so this file needs no extra flags.
#include <arm_neon.h>

#include <cstring>

#include "core/kernels/simd_kernels.h"

namespace kelvor {
namespace {

struct Neon {
    using reg = float32x4_t;
    using ireg = int32x4_t;
    using quad = float32x4_t;
    static constexpr int lanes = 4;
    static constexpr int acc_regs = 24;  // of 32 registers

    static reg zero() { return vdupq_n_f32(0.0f); }
    static reg load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, reg v) { vst1q_f32(p, v); }
    static reg set1(float x) { return vdupq_n_f32(x); }
    static reg add(reg a, reg b) { return vaddq_f32(a, b); }
    static reg sub(reg a, reg b) { return vsubq_f32(a, b); }
    static reg mul(reg a, reg b) { return vmulq_f32(a, b); }
    static reg fmadd(reg a, reg b, reg c) { return vfmaq_f32(c, a, b); }
    static reg fnmadd(reg a, reg b, reg c) { return vfmsq_f32(c, a, b); }
    // FMIN/FMAX would return NaN for a NaN in either operand; the contract
    // (and the scalar reference's comparisons) want the second operand.
    static reg max(reg a, reg b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
    static reg min(reg a, reg b) { return vbslq_f32(vcltq_f32(a, b), a, b); }

    static uint32x4_t mask(int32_t remaining) {
        const uint32_t idx[4] = {0, 1, 2, 3};
        return vcltq_u32(vld1q_u32(idx), vdupq_n_u32(static_cast<uint32_t>(remaining < lanes ? remaining : lanes)));
    }
    static reg load_partial(const float* p, int32_t remaining) {
        float v[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int32_t i = 0; i < lanes && i < remaining; ++i) v[i] = p[i];
        return vld1q_f32(v);
    }
    static void store_partial(float* p, reg x, int32_t remaining) {
        float v[4];
        vst1q_f32(v, x);
        for (int32_t i = 0; i < lanes && i < remaining; ++i) p[i] = v[i];
    }
    static reg keep_first(reg v, int32_t remaining) {
        return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(v), mask(remaining)));
    }

    // Pairwise: (v0 + v1) + (v2 + v3).
    static float reduce_add(reg v) {
        const reg p = vpaddq_f32(v, v);
        return vgetq_lane_f32(vpaddq_f32(p, p), 0);
    }
    static float reduce_max(reg v) {
        const reg s = max(v, vextq_f32(v, v, 2));
        return vgetq_lane_f32(max(s, vrev64q_f32(s)), 0);
    }
    static quad reduce_add4(reg a, reg b, reg c, reg d) { return vpaddq_f32(vpaddq_f32(a, b), vpaddq_f32(c, d)); }
    static quad quad_load(const float* p) { return vld1q_f32(p); }
    static void quad_store(float* p, quad q) { vst1q_f32(p, q); }
    static quad quad_add(quad a, quad b) { return vaddq_f32(a, b); }
    static quad quad_mul(quad a, quad b) { return vmulq_f32(a, b); }
    static void quad_transpose(quad* q) {
        const float32x4x2_t a = vtrnq_f32(q[0], q[1]);  // {q0[0], q1[0], q0[2], q1[2]}, {q0[1], q1[1], q0[3], q1[3]}
        const float32x4x2_t b = vtrnq_f32(q[2], q[3]);
        q[0] = vcombine_f32(vget_low_f32(a.val[0]), vget_low_f32(b.val[0]));
        q[1] = vcombine_f32(vget_low_f32(a.val[1]), vget_low_f32(b.val[1]));
        q[2] = vcombine_f32(vget_high_f32(a.val[0]), vget_high_f32(b.val[0]));
        q[3] = vcombine_f32(vget_high_f32(a.val[1]), vget_high_f32(b.val[1]));
    }
    static quad quad_set1(float x) { return vdupq_n_f32(x); }

    static reg round_nearest(reg v) { return vrndnq_f32(v); }
    // 2^n as two normal powers of two (n in [-150, 128] splits into halves in
    // [-75, 64]), so that a subnormal result rounds once.
    static reg scale_pow2(reg p, reg n) {
        const int32x4_t ni = vcvtq_s32_f32(n);
        const int32x4_t n1 = vshrq_n_s32(ni, 1);
        const int32x4_t n2 = vsubq_s32(ni, n1);
        const int32x4_t bias = vdupq_n_s32(127);
        const reg pow1 = vreinterpretq_f32_s32(vshlq_n_s32(vaddq_s32(n1, bias), 23));
        const reg pow2 = vreinterpretq_f32_s32(vshlq_n_s32(vaddq_s32(n2, bias), 23));
        return vmulq_f32(vmulq_f32(p, pow1), pow2);
    }

    static reg load_signs(const int8_t* signs) {
        int8_t s[8] = {signs[0], signs[1], signs[2], signs[3], 0, 0, 0, 0};
        return vcvtq_f32_s32(vmovl_s16(vget_low_s16(vmovl_s8(vld1_s8(s)))));
    }

    static reg negate_where(reg x, uint32_t l0, uint32_t l1, uint32_t l2, uint32_t l3) {
        const uint32_t bits[4] = {l0, l1, l2, l3};
        return vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(x), vld1q_u32(bits)));
    }
    static reg butterfly_in_register(reg x) {
        constexpr uint32_t s = 0x80000000u;
        x = vaddq_f32(vrev64q_f32(x), negate_where(x, 0, s, 0, s));
        return vaddq_f32(vextq_f32(x, x, 2), negate_where(x, 0, 0, s, s));
    }

    static ireg izero() { return vdupq_n_s32(0); }
    static ireg count_at_or_above(ireg q, reg y, reg threshold) {
        return vsubq_s32(q, vreinterpretq_s32_u32(vcgeq_f32(y, threshold)));
    }
    static void store_codes(uint8_t* codes, ireg q, int32_t remaining) {
        int32_t v[4];
        vst1q_s32(v, q);
        for (int32_t j = 0; j < lanes && j < remaining; ++j) codes[j] = static_cast<uint8_t>(v[j]);
    }

    // Half cells as on x86 (core/kernels/half_cells_x86.h), 16 bytes at a time.
    template <int Bits>
    static void widen_half_cells(const uint8_t* stream, const uint8_t* half, uint8_t* out) {
        uint8x16_t codes[2];
        if constexpr (Bits == 2) {
            static constexpr uint8_t spread[16] = {0, 2, 4, 6, 32, 34, 36, 38, 64, 66, 68, 70, 96, 98, 100, 102};
            const uint8x16_t in = vld1q_u8(stream);
            const uint8x16_t a = vqtbl1q_u8(vld1q_u8(spread), vshrq_n_u8(in, 4));
            const uint8x16_t b = vqtbl1q_u8(vld1q_u8(spread), vandq_u8(in, vdupq_n_u8(0x0F)));
            codes[0] = vzip1q_u8(a, b);
            codes[1] = vzip2q_u8(a, b);
        } else {
            static_assert(Bits == 3, "half cells widen 2- and 3-bit codes");
            // The table's 32 bytes are the block's bytes 0-15 and 8-23; index
            // 255 reads as zero.
            static constexpr uint8_t groups[2][16] = {
                {2, 1, 0, 255, 5, 4, 3, 255, 8, 7, 6, 255, 11, 10, 9, 255},
                {22, 21, 20, 255, 25, 24, 23, 255, 28, 27, 26, 255, 31, 30, 29, 255}};
            const uint8x16x2_t bytes = {{vld1q_u8(stream), vld1q_u8(stream + 8)}};
            for (int r = 0; r < 2; ++r) {
                const uint32x4_t w = vreinterpretq_u32_u8(vqtbl2q_u8(bytes, vld1q_u8(groups[r])));
                const uint32x4_t fields =
                    vorrq_u32(vorrq_u32(vandq_u32(vshrq_n_u32(w, 18), vdupq_n_u32(0x3F)),
                                        vandq_u32(vshrq_n_u32(w, 4), vdupq_n_u32(0x3F00))),
                              vorrq_u32(vandq_u32(vshlq_n_u32(w, 10), vdupq_n_u32(0x3F0000)),
                                        vandq_u32(vshlq_n_u32(w, 24), vdupq_n_u32(0x3F000000))));
                const uint8x16_t f = vreinterpretq_u8_u32(fields);
                codes[r] = vorrq_u8(vshlq_n_u8(vandq_u8(f, vdupq_n_u8(0x38)), 2),
                                    vshlq_n_u8(vandq_u8(f, vdupq_n_u8(0x07)), 1));
            }
        }
        static constexpr uint8_t owner[2][16] = {{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3},
                                                 {4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7}};
        static constexpr uint8_t pair_mask[16] = {0xC0, 0x30, 0x0C, 0x03, 0xC0, 0x30, 0x0C, 0x03,
                                                  0xC0, 0x30, 0x0C, 0x03, 0xC0, 0x30, 0x0C, 0x03};
        static constexpr uint8_t place[16] = {0, 1, 16, 17, 1, 1, 17, 17, 16, 17, 16, 17, 17, 17, 17, 17};
        const uint8x8_t h = vld1_u8(half);
        const uint8x16_t halves = vcombine_u8(h, h);
        for (int r = 0; r < 2; ++r) {
            const uint8x16_t pairs = vandq_u8(vqtbl1q_u8(halves, vld1q_u8(owner[r])), vld1q_u8(pair_mask));
            const uint8x16_t bits = vorrq_u8(vqtbl1q_u8(vld1q_u8(place), vshrq_n_u8(pairs, 4)),
                                             vqtbl1q_u8(vld1q_u8(place), vandq_u8(pairs, vdupq_n_u8(0x0F))));
            vst1q_u8(out + 16 * r, vorrq_u8(codes[r], bits));
        }
    }

    // A chunk is one group (8 codes in Bits bytes), two registers. Its first
    // four bytes, read as one big-endian word, hold code j at bit 32 - Bits*(j+1);
    // each lane shifts its code down and masks it, and a byte table lookup
    // (TBL over the levels' bytes) turns code c into the bytes of levels[c].
    template <int Bits>
    struct Decoder {
        static constexpr int chunk_codes = 8;
        static constexpr int chunk_bytes = Bits;
        static constexpr bool permuted = false;
        static constexpr bool rewrites = false;
        static constexpr int32_t order(int32_t s) { return s; }

        uint8x16x4_t table;  // the 2^Bits levels' bytes, 16 per register
        int32x4_t shifts[2];  // negative: right shifts

        explicit Decoder(const float* levels) {
            uint8_t bytes[64] = {};
            std::memcpy(bytes, levels, sizeof(float) << Bits);
            table.val[0] = vld1q_u8(bytes);
            table.val[1] = vld1q_u8(bytes + 16);
            table.val[2] = vld1q_u8(bytes + 32);
            table.val[3] = vld1q_u8(bytes + 48);
            for (int32_t r = 0; r < 2; ++r) {
                int32_t sh[4];
                for (int32_t l = 0; l < 4; ++l) sh[l] = -(32 - Bits * (4 * r + l + 1));
                shifts[r] = vld1q_s32(sh);
            }
        }

        reg levels(const uint8_t* chunk, int32_t r) const {
            uint32_t w;
            std::memcpy(&w, chunk, 4);
            const uint32x4_t word = vdupq_n_u32(__builtin_bswap32(w));
            const uint32x4_t code =
                vandq_u32(vshlq_u32(word, shifts[r]), vdupq_n_u32((1u << Bits) - 1u));
            // Byte k of lane l reads table byte 4 * code + k.
            const uint8x16_t idx = vreinterpretq_u8_u32(vmlaq_n_u32(vdupq_n_u32(0x03020100u), code, 0x04040404u));
            uint8x16_t out;
            if constexpr (Bits == 2) {
                out = vqtbl1q_u8(table.val[0], idx);
            } else if constexpr (Bits == 3) {
                out = vqtbl2q_u8(uint8x16x2_t{{table.val[0], table.val[1]}}, idx);
            } else if constexpr (Bits == 4) {
                out = vqtbl4q_u8(table, idx);
            } else {
                static_assert(dependent_false<Bits>, "the NEON level has no decoder for this code width");
            }
            return vreinterpretq_f32_u8(out);
        }
    };
};

}  // namespace

const KernelTable* neon_kernels() {
    static const KernelTable table = make_table<Neon>(SimdLevel::neon, "neon");
    return &table;
}

}  // namespace kelvor
