// One-byte log scales against their definition: byte b > 0 of base B reads
// 2^(B + (b-1)/steps), and a scale is kept as the byte of the nearest step,
// saturating at both ends of the range.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/formats/log_scale.h"

namespace kelvor {
namespace {

TEST(LogScales, EveryByteReadsAsItsStepAndIsTheNearestToIt) {
    for (const LogScaleFormat f : {kKeyLogScales, kValueLogScales}) {
        const int32_t n = f.steps;
        for (int32_t base : {kLogScaleBaseLeast, -7, 0, log_scale_base_most(f)}) {
            SCOPED_TRACE(std::to_string(n) + " steps, base " + std::to_string(base));
            EXPECT_EQ(float_from_log_scale(0, base, n), 0.0f);
            EXPECT_EQ(log_scale_from_float(0.0f, base, n), 0);
            for (int32_t b = 1; b < 256; ++b) {
                const float v = float_from_log_scale(static_cast<uint8_t>(b), base, n);
                ASSERT_NEAR(std::log2(double(v)), base + (b - 1.0) / n, 1e-7) << b;
                ASSERT_EQ(log_scale_from_float(v, base, n), b) << b;
                const double half_step_below = std::exp2(base + (b - 1.5) / n);
                if (b > 1) {
                    ASSERT_EQ(log_scale_from_float(float(half_step_below * 1.000001), base, n), b) << b;
                    ASSERT_EQ(log_scale_from_float(float(half_step_below * 0.999999), base, n), b - 1) << b;
                }
            }
            EXPECT_EQ(log_scale_from_float(std::numeric_limits<float>::denorm_min(), base, n), 1);
            EXPECT_EQ(log_scale_from_float(std::numeric_limits<float>::max(), base, n), 255);
        }
        // A negative mean step floors; the base stays where every byte is a finite normal float.
        EXPECT_EQ(log_scale_base(-1, 2, f), -1 - f.below);
        EXPECT_EQ(log_scale_base(-n * 200, 1, f), kLogScaleBaseLeast);
        EXPECT_EQ(log_scale_base(n * 200, 1, f), log_scale_base_most(f));
    }
}

}  // namespace
}  // namespace kelvor
