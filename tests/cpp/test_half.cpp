// float16 copies: the software conversion against pinned bit patterns and
// the round trip of every half.
#include <gtest/gtest.h>

#include <cmath>

#include "core/formats/half.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

TEST(Half, EveryFiniteHalfRoundTripsAndReadsAsItsValue) {
    for (uint32_t h = 0; h < 0x10000; ++h) {
        if ((h & 0x7c00u) == 0x7c00u) continue;  // infinities and NaNs are never stored
        const float f = float_from_half(static_cast<uint16_t>(h));
        const uint32_t e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
        const double want = (e == 0 ? std::ldexp(double(m), -24) : std::ldexp(1024.0 + m, int(e) - 25)) *
                            ((h & 0x8000u) ? -1.0 : 1.0);
        ASSERT_EQ(double(f), want) << h;
        ASSERT_EQ(std::signbit(f), (h & 0x8000u) != 0) << h;
        ASSERT_EQ(half_from_float(f), h) << h;
    }
}

TEST(Half, RoundsToNearestEvenAndSaturates) {
    const struct {
        float in;
        uint16_t out;
    } cases[] = {
        {1.0f + std::ldexp(1.0f, -11), 0x3c00},      // a tie: down to the even 1.0
        {1.0f + 3 * std::ldexp(1.0f, -11), 0x3c02},  // a tie: up to the even neighbour
        {1.0f + std::ldexp(1.0f, -11) + std::ldexp(1.0f, -20), 0x3c01},
        {2047.25f, 0x67ff},                          // just below a carry into the exponent
        {2047.5f, 0x6800},                           // a tie to the even 2048: the carry
        {std::ldexp(1.0f, -25), 0x0000},             // half the smallest subnormal: a tie, to zero
        {3 * std::ldexp(1.0f, -26), 0x0001},
        {-std::ldexp(1023.5f, -24), 0x8400},         // the largest subnormal rounds up to the smallest normal
        {std::ldexp(1.0f, -30), 0x0000},
        {-0.0f, 0x8000},
        {65504.0f, 0x7bff},
        {65519.99f, 0x7bff},
        {65520.0f, 0x7bff},                          // would round to infinity: saturates
        {-3.0e38f, 0xfbff},
        {from_bits(0x7f800000u), 0x7bff},
    };
    for (const auto& c : cases) EXPECT_EQ(half_from_float(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kelvor::test
