#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/support/vector_check.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

class VectorFaultLengths : public testing::TestWithParam<int64_t> {};

// A bad coordinate is found wherever it sits: in any running maximum or in
// the tail the maxima do not cover.
TEST_P(VectorFaultLengths, FindsABadCoordinateAtEveryIndex) {
    const int64_t n = GetParam();
    const std::vector<float> x = random_vector(sz(n), 17);
    ASSERT_EQ(vector_fault(x.data(), n), VectorFault::none);
    const float inf = std::numeric_limits<float>::infinity();
    for (int64_t j = 0; j < n; ++j) {
        std::vector<float> y = x;
        for (const auto& [bad, fault] : {std::pair<float, VectorFault>{std::nanf(""), VectorFault::not_finite},
                                         {-inf, VectorFault::not_finite},
                                         {-3e38f, VectorFault::norm_overflows}}) {
            y[sz(j)] = bad;
            EXPECT_EQ(vector_fault(y.data(), n), fault) << "n " << n << ", index " << j << ", value " << bad;
        }
    }
    // Each square fits; their sum in index order does not, once there are four.
    std::vector<float> big(sz(n), 1e19f);
    EXPECT_EQ(vector_fault(big.data(), n), n >= 4 ? VectorFault::norm_overflows : VectorFault::none) << n;
}

INSTANTIATE_TEST_SUITE_P(Lengths, VectorFaultLengths, testing::Values(1, 3, 15, 16, 17, 40, 128, 1024));

}  // namespace
}  // namespace kelvor::test
