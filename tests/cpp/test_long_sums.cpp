// The long sums of the quantized path (the softmax denominator and every value
// coordinate's sum over tokens) at 2^20 tokens, the longest ring a head may
// hold, against a float64 evaluation of the very codes and scales the ring
// holds. Error: the largest coordinate difference relative to the largest
// magnitude of the reference answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/attention/attention.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/support/limits.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

constexpr int32_t kHd = 128;
constexpr int32_t kTokens = kMaxCapacity;
constexpr int32_t kDistinct = 4096;  // tokens encoded; the ring repeats them

// Float32 running sums over 2^20 terms drift by about 1e-3 of the answer; in
// blocks of 4096 added in double they stay near 1e-6.
constexpr double kBound = 2e-5;

struct LongRing {
    HeadCache head;
    std::vector<float> query;
    std::vector<double> want;  // float64 attention over the held codes
};

double largest_difference(const float* got, const double* want, const std::vector<double>& scale_of) {
    double err = 0.0, mag = 0.0;
    for (int32_t j = 0; j < kHd; ++j) {
        err = std::max(err, std::fabs(double(got[j]) - want[j]));
        mag = std::max(mag, std::fabs(scale_of[sz(j)]));
    }
    return err / mag;
}

// kDistinct tokens (values N(0.3, 1)) encoded at the scalar level, then copied
// slot by slot until the ring holds 2^20 of them.
const LongRing& long_ring() {
    static const LongRing ring = [] {
        LongRing r;
        r.head = make_head(kHd, 3, kTokens, 11);
        const Tokens tok = random_tokens(kHd, kDistinct, 5, 0.3f, 6);
        append_range(scalar_kernels(), r.head, tok, 0, kDistinct);
        CodeStore& st = r.head.store;
        const size_t B = sz(st.bytes_per_vec);
        for (int32_t s = kDistinct; s < kTokens; ++s) {
            std::memcpy(st.key_codes.data() + sz(s) * B, st.key_codes.data() + sz(s % kDistinct) * B, B);
            std::memcpy(st.val_codes.data() + sz(s) * B, st.val_codes.data() + sz(s % kDistinct) * B, B);
            st.key_scales[sz(s)] = st.key_scales[sz(s % kDistinct)];
            st.val_scales[sz(s)] = st.val_scales[sz(s % kDistinct)];
        }
        st.count = kTokens;
        st.write_slot = 0;
        r.query = random_vector(kHd, 8, 1.5f);

        // In the rotated space: the head scores H D q against levels * scale
        // over sqrt(head_dim) * P, and answers D H (sum of w * levels * scale /
        // sqrt(P)) / sqrt(P).
        const int32_t P = r.head.rotation.P;
        const std::vector<int8_t>& signs = r.head.rotation.signs;
        std::vector<double> dq(sz(P), 0.0);
        for (int32_t i = 0; i < kHd; ++i) dq[sz(i)] = signs[sz(i)] * double(r.query[sz(i)]);
        const std::vector<double> rq = hadamard_sum(dq);
        std::vector<std::vector<double>> key_levels(kDistinct), val_levels(kDistinct);
        for (int32_t s = 0; s < kDistinct; ++s) {
            for (int32_t j = 0; j < P; ++j) {
                key_levels[sz(s)].push_back(level_ref(3, code_at(st.key_codes.data() + sz(s) * B, 3, j)));
                val_levels[sz(s)].push_back(level_ref(3, code_at(st.val_codes.data() + sz(s) * B, 3, j)));
            }
        }
        std::vector<double> score(sz(kTokens));
        double m = -HUGE_VAL;
        for (int32_t t = 0; t < kTokens; ++t) {
            double d = 0.0;
            for (int32_t j = 0; j < P; ++j) d += rq[sz(j)] * key_levels[sz(t % kDistinct)][sz(j)];
            score[sz(t)] = d * st.key_scales[sz(t)] / (std::sqrt(double(kHd)) * P);
            m = std::max(m, score[sz(t)]);
        }
        double total = 0.0;
        for (double& x : score) total += (x = std::exp(x - m));
        std::vector<double> acc(sz(P), 0.0);
        for (int32_t t = 0; t < kTokens; ++t) {
            const double w = score[sz(t)] / total * st.val_scales[sz(t)] / std::sqrt(double(P));
            for (int32_t j = 0; j < P; ++j) acc[sz(j)] += w * val_levels[sz(t % kDistinct)][sz(j)];
        }
        const std::vector<double> h = hadamard_sum(acc);
        for (int32_t i = 0; i < kHd; ++i) r.want.push_back(signs[sz(i)] * h[sz(i)] / std::sqrt(double(P)));
        return r;
    }();
    return ring;
}

class LongSums : public testing::TestWithParam<const KernelTable*> {};

TEST_P(LongSums, TwoToTheTwentyTokensStayWithinRoundingOfFloat64AndOfScalar) {
    const LongRing& ring = long_ring();
    ASSERT_FALSE(answers_exactly(ring.head));
    std::vector<float> got(kHd), scalar(kHd);
    ASSERT_EQ(head_attend(*GetParam(), ring.head, ring.query.data(), got.data()), kTokens);
    ASSERT_EQ(head_attend(scalar_kernels(), ring.head, ring.query.data(), scalar.data()), kTokens);
    EXPECT_LE(largest_difference(got.data(), ring.want.data(), ring.want), kBound) << "against float64";
    const std::vector<double> scalar_d(scalar.begin(), scalar.end());
    EXPECT_LE(largest_difference(got.data(), scalar_d.data(), scalar_d), kBound) << "against the scalar level";
}

INSTANTIATE_TEST_SUITE_P(Levels, LongSums, testing::ValuesIn(available_tables(true)),
                         [](const testing::TestParamInfo<const KernelTable*>& info) {
                             return std::string(info.param->name);
                         });

}  // namespace
}  // namespace kelvor::test
