#pragma once
#include <cstdint>

namespace kelvor {

// The fallbacks for a finite query so large that its float32 scores overflow
// (inf - inf in the softmax). Only reached when the ordinary arithmetic has
// produced a non-finite score or sum, so ordinary answers never change.

// Plain attention over T full-precision tokens, as exact_attend lays them out,
// in double: no finite query and storable key can overflow it. query is read
// in full before out is written (they may alias); scores is scratch of T floats.
void exact_attend_wide(const float* exact, int32_t T, int32_t hd, const float* query, float* scores, float* out);

// weights[t] <- softmax(scores[t] * 2^e), formed in double from scores already
// scaled down by 2^-e: tends to equal weight on the largest scores as e grows.
void softmax_scaled_wide(float* weights, const float* scores, int32_t n, int e);

}  // namespace kelvor
