#pragma once
#include <cstdint>

#include "core/support/limits.h"

namespace kelvor {

// Tokens one append codes together: their key and value sums run in lockstep,
// eight independent chains, enough to keep the adders busy.
constexpr int32_t kEncodeGroup = 4;

// The codes and scales of up to kEncodeGroup tokens, made before they are
// placed in a head's ring.
struct CodedTokens {
    alignas(64) uint8_t key[kEncodeGroup][kMaxStreamBytes] = {};
    alignas(64) uint8_t val[kEncodeGroup][kMaxStreamBytes] = {};
    float key_scale[kEncodeGroup] = {};
    float val_scale[kEncodeGroup] = {};
    // The values' half-cell bits, written only for heads that keep them.
    uint8_t val_half[kEncodeGroup][kMaxPaddedDim / 8] = {};
};

}  // namespace kelvor
