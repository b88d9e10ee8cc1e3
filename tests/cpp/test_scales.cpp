// Narrow scales: the bfloat16 conversion against the fields of every pattern
// and pinned roundings, and heads keeping bfloat16 or one-byte scales against
// heads keeping float32 scales of the same values, at every level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/codec.h"
#include "core/formats/bfloat16.h"
#include "core/formats/code_widths.h"
#include "core/formats/log_scale.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

TEST(Bfloat16, EveryFinitePatternRoundTripsAndReadsAsItsValue) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        if ((h & 0x7f80u) == 0x7f80u) continue;  // infinities and NaNs are never stored
        const float f = float_from_bfloat16(static_cast<uint16_t>(h));
        const uint32_t e = (h >> 7) & 0xffu, m = h & 0x7fu;
        const double want = (e == 0 ? std::ldexp(double(m), -133) : std::ldexp(128.0 + m, int(e) - 134)) *
                            ((h & 0x8000u) ? -1.0 : 1.0);
        ASSERT_EQ(double(f), want) << h;
        ASSERT_EQ(bfloat16_from_float(f), h) << h;
    }
}

TEST(Bfloat16, RoundsToNearestEvenAndSaturates) {
    const struct {
        float in;
        uint16_t out;
    } cases[] = {
        {1.0f + std::ldexp(1.0f, -8), 0x3f80},      // a tie: down to the even 1.0
        {1.0f + 3 * std::ldexp(1.0f, -8), 0x3f82},  // a tie: up to the even neighbour
        {1.0f + std::ldexp(1.0f, -8) + std::ldexp(1.0f, -20), 0x3f81},
        {from_bits(0x3fffffffu), 0x4000},           // a carry into the exponent
        {from_bits(0x00008000u), 0x0000},           // a subnormal tie, to the even zero
        {from_bits(0x00018000u), 0x0002},
        {0.0f, 0x0000},
        {from_bits(0x7f7f7fffu), 0x7f7f},
        {from_bits(0x7f7fffffu), 0x7f7f},           // would round to infinity: saturates
        {from_bits(0x7f800000u), 0x7f7f},
    };
    for (const auto& c : cases) EXPECT_EQ(bfloat16_from_float(c.in), c.out) << c.in;
}

// Two heads of the same tokens, one keeping narrow scales; the other's
// float32 scales are then rounded as the first's were. Codes, scales and
// every answer (single, batch, split by tokens) must agree bit for bit: the
// widening in chunks may change nothing. 5,000 tokens into 4,500 slots: the
// coded tokens wrap (two runs), span many chunks and two blocks of the split.
TEST(NarrowScales, AnswerAsFloat32ScalesOfTheSameValuesAtEveryLevel) {
    constexpr int32_t kHd = 48, kCap = 4500, kTokens = 5000, kQueries = 9;
    const Tokens tok = random_tokens(kHd, kTokens, 3, 0.4f);
    const std::vector<float> queries = random_vector(sz(kQueries) * kHd, 4, 2.0f);
    const ParallelFor in_order = [](int32_t count, const std::function<void(int32_t)>& task) {
        for (int32_t i = 0; i < count; ++i) task(i);
        return true;
    };
    // The value a narrow array holds at slot s, and what it keeps of a float.
    const auto held = [](const ScaleArray& a, size_t s) {
        float f;
        a.widen(s, 1, &f);
        return f;
    };
    const auto kept = [](const ScaleArray& a, float f) {
        return a.kind() == ScaleKind::bfloat16 ? float_from_bfloat16(bfloat16_from_float(f))
                                               : float_from_log_scale(log_scale_from_float(f, a.base(), a.format().steps),
                                                                      a.base(), a.format().steps);
    };
    for (const KernelTable* kt : available_variants()) {
        for (int32_t bits : kCodeWidths) {
            for (const auto& [kind, encoding] : {std::pair{ScaleKind::bfloat16, Encoding::clip3},
                                                 std::pair{ScaleKind::bfloat16, Encoding::fitted},
                                                 std::pair{ScaleKind::log8, Encoding::fitted}}) {
                SCOPED_TRACE(kernels_description(*kt) + ", " + std::to_string(bits) + " bits, " +
                             encoding_name(encoding) + ", scale kind " + std::to_string(int(kind)));
                HeadOptions narrow_options;
                narrow_options.scale_kind = kind;
                HeadCache wide, narrow;
                head_cache_init(wide, kHd, bits, kCap, 9, 0.95f, encoding);
                head_cache_init(narrow, kHd, bits, kCap, 9, 0.95f, encoding, narrow_options);
                append_range(*kt, wide, tok, 0, kTokens);
                append_range(*kt, narrow, tok, 0, kTokens);
                CodeStore& w = wide.store;
                const CodeStore& n = narrow.store;
                ASSERT_EQ(std::memcmp(w.key_codes.data(), n.key_codes.data(), sz(kCap) * sz(w.bytes_per_vec)), 0);
                ASSERT_EQ(std::memcmp(w.val_codes.data(), n.val_codes.data(), sz(kCap) * sz(w.val_bytes_per_vec)), 0);
                for (size_t s = 0; s < sz(kCap); ++s) {
                    ASSERT_EQ(held(n.key_scales, s), kept(n.key_scales, w.key_scales[s])) << s;
                    ASSERT_EQ(held(n.val_scales, s), kept(n.val_scales, w.val_scales[s])) << s;
                    w.key_scales[s] = held(n.key_scales, s);
                    w.val_scales[s] = held(n.val_scales, s);
                }
                const size_t saved = kind == ScaleKind::log8 ? 3 : 2;  // bytes per scale
                EXPECT_GE(head_cache_held_bytes(wide) - head_cache_held_bytes(narrow), 2 * saved * sz(kCap));
                std::vector<float> want(sz(kQueries) * kHd), got(want.size()), split(want.size());
                head_attend_batch(*kt, wide, queries.data(), kQueries, want.data());
                head_attend_batch(*kt, narrow, queries.data(), kQueries, got.data());
                ASSERT_TRUE(head_attend_batch_split(*kt, narrow, queries.data(), kQueries, split.data(), in_order));
                EXPECT_EQ(bit_patterns(got), bit_patterns(want));
                EXPECT_EQ(bit_patterns(split), bit_patterns(want));
                head_attend(*kt, narrow, queries.data(), got.data());
                head_attend(*kt, wide, queries.data(), want.data());
                EXPECT_EQ(std::memcmp(got.data(), want.data(), sizeof(float) * kHd), 0);
                head_cache_destroy(wide);
                head_cache_destroy(narrow);
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test
