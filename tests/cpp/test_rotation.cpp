#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/formats/rotation.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

using RotateFn = void (*)(float*, const int8_t*, int32_t);

struct Rotation {
    std::string name;
    RotateFn forward;
    RotateFn inverse;
};

// The free functions, then every SIMD level this build and machine can run.
std::vector<Rotation> rotations() {
    std::vector<Rotation> r = {{"free functions", rht_forward, rht_inverse}};
    for (const KernelTable* kt : available_tables()) {
        r.push_back({std::string("kernel table ") + kt->name, kt->rht_forward, kt->rht_inverse});
    }
    return r;
}

std::vector<int32_t> powers_of_two() {
    std::vector<int32_t> n;
    for (int32_t p = 1; p <= 1024; p *= 2) n.push_back(p);
    return n;
}

int log2_of(int32_t n) {
    int l = 0;
    while ((1 << l) < n) ++l;
    return l;
}

double norm_of(const std::vector<float>& x) {
    double s = 0.0;
    for (float v : x) s += static_cast<double>(v) * v;
    return std::sqrt(s);
}

TEST(Rotation, NaturalOrderExampleWithPositiveSigns) {
    const int8_t plus[4] = {1, 1, 1, 1};
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        std::vector<float> x = {1, 2, 3, 4};
        rot.forward(x.data(), plus, 4);
        EXPECT_EQ(x, (std::vector<float>{5, -1, -2, 0}));
        rot.inverse(x.data(), plus, 4);
        EXPECT_EQ(x, (std::vector<float>{1, 2, 3, 4}));
    }
}

TEST(Rotation, ExampleWithSignsOfSeedZero) {
    const std::vector<int8_t> signs = signs_for(0, 4);
    ASSERT_EQ(signs, (std::vector<int8_t>{-1, -1, 1, 1}));
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        std::vector<float> x = {1, 2, 3, 4};
        rot.forward(x.data(), signs.data(), 4);
        EXPECT_EQ(x, (std::vector<float>{2, 0, -5, 1}));
        rot.inverse(x.data(), signs.data(), 4);
        EXPECT_EQ(x, (std::vector<float>{1, 2, 3, 4}));
    }
}

TEST(Rotation, LengthOneOnlyAppliesTheSign) {
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        for (int8_t sign : {int8_t{1}, int8_t{-1}}) {
            // A one-entry allocation, so a sanitizer build sees any read of signs[1].
            std::unique_ptr<int8_t[]> signs(new int8_t[1]);
            signs[0] = sign;
            for (RotateFn f : {rot.forward, rot.inverse}) {
                float x[4] = {2.5f, kGuard, kGuard, kGuard};
                f(x, signs.get(), 1);
                EXPECT_EQ(x[0], sign * 2.5f);
                EXPECT_EQ(x[1], kGuard);
                EXPECT_EQ(x[2], kGuard);
                EXPECT_EQ(x[3], kGuard);
            }
        }
    }
}

TEST(Rotation, FirstUnitVectorSpreadsEvenly) {
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        for (int32_t n : powers_of_two()) {
            for (uint64_t seed : {0ULL, 1ULL}) {  // signs[0] is -1 for seed 0, +1 for seed 1
                const std::vector<int8_t> signs = signs_for(seed, n);
                std::vector<float> x(static_cast<size_t>(n), 0.0f);
                x[0] = 1.0f;
                rot.forward(x.data(), signs.data(), n);
                const double expected = signs[0] / std::sqrt(static_cast<double>(n));
                for (int32_t i = 0; i < n; ++i) {
                    ASSERT_EQ(x[i], x[0]) << "n " << n << " i " << i;
                }
                EXPECT_NEAR(x[0], expected, 3 * kUnitRoundoff * std::fabs(expected)) << "n " << n;
            }
        }
    }
}

// Every butterfly stage is an orthogonal step (up to a factor sqrt 2) whose
// rounding adds at most one unit roundoff u of the current norm, and the scaling
// (reciprocal of a rounded square root, then a multiply) adds about 3u. So one
// direction is within (log2 n + 3) u of exact in norm and a round trip within
// twice that; one extra u each covers second-order terms.
TEST(Rotation, InverseUndoesForwardAndNormIsKept) {
    std::mt19937 rng(1234);
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        for (int32_t n : powers_of_two()) {
            const std::vector<int8_t> signs = signs_for(0x9e3779b97f4a7c15ULL + n, n);
            for (int trial = 0; trial < 4; ++trial) {
                const std::vector<float> x = gaussian(rng, n);
                std::vector<float> y = x;
                rot.forward(y.data(), signs.data(), n);
                const double nx = norm_of(x);
                EXPECT_NEAR(norm_of(y), nx, (log2_of(n) + 4) * kUnitRoundoff * nx) << "n " << n;

                rot.inverse(y.data(), signs.data(), n);
                double err = 0.0;
                for (int32_t i = 0; i < n; ++i) err += (static_cast<double>(y[i]) - x[i]) * (static_cast<double>(y[i]) - x[i]);
                EXPECT_LE(std::sqrt(err), 2 * (log2_of(n) + 4) * kUnitRoundoff * nx) << "n " << n;
            }
        }
    }
}

// Intermediate magnitudes never exceed sum|x|, so each stage's rounding is
// within u * sum|x| per entry; the final scaling adds about 3u of the result.
TEST(Rotation, MatchesDoublePrecisionMatrix) {
    std::mt19937 rng(77);
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        for (int32_t n : {1, 2, 4, 8, 16, 64, 256, 1024}) {
            const std::vector<int8_t> signs = signs_for(5, n);
            const std::vector<float> x = gaussian(rng, n);
            const double scale = 1.0 / std::sqrt(static_cast<double>(n));
            double abs_sum = 0.0;
            for (float v : x) abs_sum += std::fabs(v);
            const double tol = (log2_of(n) + 4) * kUnitRoundoff * abs_sum * scale;

            // forward: H * diag(signs) * x / sqrt(n)
            std::vector<double> signed_x(x.begin(), x.end());
            for (int32_t i = 0; i < n; ++i) signed_x[i] *= signs[i];
            const std::vector<double> fwd = hadamard_sum(signed_x);
            std::vector<float> y = x;
            rot.forward(y.data(), signs.data(), n);
            for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], fwd[i] * scale, tol) << "forward n " << n << " i " << i;

            // inverse: diag(signs) * H * x / sqrt(n)
            const std::vector<double> inv = hadamard_sum(std::vector<double>(x.begin(), x.end()));
            y = x;
            rot.inverse(y.data(), signs.data(), n);
            for (int32_t i = 0; i < n; ++i) {
                ASSERT_NEAR(y[i], signs[i] * inv[i] * scale, tol) << "inverse n " << n << " i " << i;
            }
        }
    }
}

TEST(Rotation, EveryLevelIsBitIdenticalToFreeFunctions) {
    std::mt19937 rng(99);
    for (const Rotation& rot : rotations()) {
        SCOPED_TRACE(rot.name);
        for (int32_t n : powers_of_two()) {
            const std::vector<int8_t> signs = signs_for(n * 31 + 7, n);
            for (int trial = 0; trial < 3; ++trial) {
                const std::vector<float> x = gaussian(rng, n);
                std::vector<float> want = x, got = x;
                rht_forward(want.data(), signs.data(), n);
                rot.forward(got.data(), signs.data(), n);
                ASSERT_EQ(bit_patterns(got), bit_patterns(want)) << "forward n " << n;
                want = x;
                got = x;
                rht_inverse(want.data(), signs.data(), n);
                rot.inverse(got.data(), signs.data(), n);
                ASSERT_EQ(bit_patterns(got), bit_patterns(want)) << "inverse n " << n;
            }
        }
    }
}

TEST(Fwht, MatchesDirectHadamardSum) {
    std::mt19937 rng(4321);
    for (int32_t n : {1, 2, 4, 8, 32, 128, 1024}) {
        // Small integers: every partial sum is exact in float32.
        std::uniform_int_distribution<int> ints(-100, 100);
        std::vector<float> x(static_cast<size_t>(n));
        for (float& v : x) v = static_cast<float>(ints(rng));
        std::vector<double> want = hadamard_sum(std::vector<double>(x.begin(), x.end()));
        fwht_inplace(x.data(), n);
        for (int32_t i = 0; i < n; ++i) ASSERT_EQ(x[i], want[i]) << "integers n " << n << " i " << i;

        // General values: log2 n roundings, each within u * sum|x|.
        x = gaussian(rng, n);
        double abs_sum = 0.0;
        for (float v : x) abs_sum += std::fabs(v);
        want = hadamard_sum(std::vector<double>(x.begin(), x.end()));
        fwht_inplace(x.data(), n);
        const double tol = (log2_of(n) + 1) * kUnitRoundoff * abs_sum;
        for (int32_t i = 0; i < n; ++i) ASSERT_NEAR(x[i], want[i], tol) << "floats n " << n << " i " << i;
    }
}

TEST(Fwht, TouchesOnlyItsLength) {
    for (int32_t n : {1, 2, 8}) {
        std::vector<float> x(static_cast<size_t>(n) + 4, kGuard);
        for (int32_t i = 0; i < n; ++i) x[i] = static_cast<float>(i + 1);
        fwht_inplace(x.data(), n);
        if (n == 1) {
            EXPECT_EQ(x[0], 1.0f);
        }
        EXPECT_TRUE(guards_from(x, sz(n))) << "n " << n;
    }
}

}  // namespace
}  // namespace kelvor::test
