#include "core/formats/dither.h"

#include <cstddef>

#include "core/support/limits.h"

namespace kelvor {
namespace {

// SplitMix64's finaliser: every input bit reaches every output bit.
constexpr uint64_t mix64(uint64_t x) {
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Filled when the library loads, so that no append or attend has anything to
// allocate, or to fail on, for it.
struct Patterns {
    float values[static_cast<size_t>(kDitherPatterns) * kMaxPaddedDim];
    Patterns() {
        for (size_t n = 0; n < sizeof values / sizeof values[0]; ++n) {
            // The top 8 bits, k in 0..255, as (2k - 255) / 512: the middles of
            // 256 equal steps over (-1/2, 1/2), symmetric about 0.
            const auto k = static_cast<int32_t>(mix64(0x9e3779b97f4a7c15ULL * (n + 1)) >> 56);
            values[n] = static_cast<float>(2 * k - 255) / 512.0f;
        }
    }
};
const Patterns patterns;

}  // namespace

const float* dither_pattern(int32_t p) { return patterns.values + static_cast<size_t>(p) * kMaxPaddedDim; }

}  // namespace kelvor
