// The fitted encoding's steps, shared by its codec and its tests.
#pragma once
#include <cstdint>

#include "core/heads/codec.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"

namespace kelvor {

// Both vectors of a token with the head's statistics (which must be ready):
// codes at unit root mean square, the key's scale from the least-squares gain,
// the value's from the gain that keeps its norm.
void encode_fitted_pair(const KernelTable& kt, const HeadCache& head, const float* key, const float* val,
                        uint8_t* key_stream, uint8_t* val_stream, float* key_scale, float* val_scale);

// Fixes the head's statistics from the tokens appended since init/reset.
void fix_fitted_stats(HeadCache& head, const AppendedTokens& tokens);

}  // namespace kelvor
