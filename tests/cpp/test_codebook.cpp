#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/formats/codebook.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

TEST(Codebook, LevelTablesHoldTheFixedValues) {
    EXPECT_EQ(bit_patterns(levels_2bit), bit_patterns(kLevels2));
    EXPECT_EQ(bit_patterns(levels_3bit), bit_patterns(kLevels3));
    EXPECT_EQ(bit_patterns(levels_4bit), bit_patterns(kLevels4));
    EXPECT_EQ(levels_for_bits(2), levels_2bit.data());
    EXPECT_EQ(levels_for_bits(3), levels_3bit.data());
    EXPECT_EQ(levels_for_bits(4), levels_4bit.data());
}

TEST(Codebook, ThresholdsAreFloatMidpointsOfLevels) {
    EXPECT_EQ(bit_patterns(thresholds_2bit), bit_patterns(kThresholds2));
    EXPECT_EQ(bit_patterns(thresholds_3bit), bit_patterns(kThresholds3));
    EXPECT_EQ(bit_patterns(thresholds_4bit), bit_patterns(kThresholds4));

    // The midpoint rule in single precision lands exactly on these decimals.
    for (const auto& [levels, thresholds] :
         {std::pair{kLevels2, kThresholds2}, std::pair{kLevels3, kThresholds3}, std::pair{kLevels4, kThresholds4}}) {
        ASSERT_EQ(thresholds.size() + 1, levels.size());
        for (size_t i = 0; i < thresholds.size(); ++i) {
            const float mid = (levels[i] + levels[i + 1]) / 2.0f;
            EXPECT_EQ(bits_of(mid), bits_of(thresholds[i])) << "threshold " << i << " of " << levels.size();
        }
    }

    EXPECT_EQ(bits_of(thresholds_2bit[0]), 0xbf7b4a24u);
    EXPECT_EQ(bits_of(thresholds_2bit[2]), 0x3f7b4a24u);
    EXPECT_EQ(bits_of(thresholds_4bit[3]), 0xbf825fd8u);
    EXPECT_EQ(bits_of(thresholds_4bit[10]), 0x3f825fd8u);
    // The short decimals are one unit off, which is why the midpoints are derived.
    EXPECT_EQ(bits_of(0.9816f) + 1, bits_of(thresholds_2bit[2]));
    EXPECT_EQ(bits_of(1.01855f) - 1, bits_of(thresholds_4bit[10]));
}

struct Quantizer {
    const char* name;
    int (*fn)(float, int);
};

int by_runtime_width(float v, int bits) { return quantize_code(v, bits); }
int by_template_width(float v, int bits) {
    return with_bits(bits, [v](auto b) { return static_cast<int>(quantize_code_bits<decltype(b)::value>(v)); });
}
const Quantizer kQuantizers[] = {{"quantize_code", by_runtime_width}, {"quantize_code_bits", by_template_width}};

TEST(QuantizeCode, KnownPoints) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Quantizer& q : kQuantizers) {
        SCOPED_TRACE(q.name);
        struct Case {
            float v;
            int code2, code3, code4;
        };
        const Case cases[] = {
            {0.0f, 2, 4, 7},  {-0.0f, 2, 4, 7},   {1.0f, 3, 5, 10},  {-1.0f, 0, 2, 4},
            {inf, 3, 7, 15},  {-inf, 0, 0, 0},    {nan, 0, 0, 0},    {-nan, 0, 0, 0},
            {std::numeric_limits<float>::max(), 3, 7, 15},           {std::numeric_limits<float>::lowest(), 0, 0, 0},
            {0.98160005f, 3, 5, 10},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(q.fn(c.v, 2), c.code2) << c.v;
            EXPECT_EQ(q.fn(c.v, 3), c.code3) << c.v;
            EXPECT_EQ(q.fn(c.v, 4), c.code4) << c.v;
        }
    }
}

TEST(QuantizeCode, ThresholdsBelongToTheUpperCell) {
    const float inf = std::numeric_limits<float>::infinity();
    for (const Quantizer& q : kQuantizers) {
        SCOPED_TRACE(q.name);
        for (int bits : kCodeWidths) {
            const std::vector<float>& t = thresholds_listed(bits);
            for (size_t i = 0; i < t.size(); ++i) {
                EXPECT_EQ(q.fn(t[i], bits), static_cast<int>(i) + 1) << "bits " << bits << " at threshold " << t[i];
                EXPECT_EQ(q.fn(std::nextafter(t[i], inf), bits), static_cast<int>(i) + 1) << "bits " << bits << " above " << t[i];
                EXPECT_EQ(q.fn(std::nextafter(t[i], -inf), bits), static_cast<int>(i)) << "bits " << bits << " below " << t[i];
            }
        }
    }
}

TEST(QuantizeCode, CountsThresholdsAtOrBelowOverASweep) {
    std::vector<float> values;
    for (int k = -5 * 8192; k <= 5 * 8192; ++k) values.push_back(static_cast<float>(k) / 8192.0f);
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> wide(-4.0f, 4.0f);
    for (int k = 0; k < 20000; ++k) values.push_back(wide(rng));
    for (int bits : kCodeWidths) {
        for (float t : thresholds_listed(bits)) {
            float v = t;
            for (int k = 0; k < 4; ++k) v = std::nextafter(v, -10.0f);
            for (int k = 0; k < 9; ++k, v = std::nextafter(v, 10.0f)) values.push_back(v);
        }
    }
    for (const Quantizer& q : kQuantizers) {
        SCOPED_TRACE(q.name);
        for (int bits : kCodeWidths) {
            int mismatches = 0;
            for (float v : values) {
                const int want = cells_at_or_below(v, bits);
                const int got = q.fn(v, bits);
                if (got != want && ++mismatches <= 5) ADD_FAILURE() << "bits " << bits << " v " << v << " got " << got << " want " << want;
            }
            EXPECT_EQ(mismatches, 0) << "bits " << bits;
        }
    }
}

}  // namespace
}  // namespace kelvor::test
