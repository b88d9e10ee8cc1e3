#pragma once
#include <cstdint>

#include "core/heads/coded_tokens.h"
#include "core/support/limits.h"

namespace kelvor {

// A thread's room for the vectors of one encode group, a key and a value per
// token: their rotated coordinates and their codes, one per byte.
struct EncodeScratch {
    alignas(64) float rotated[2 * kEncodeGroup][kMaxPaddedDim] = {};
    uint8_t codes[2 * kEncodeGroup][kMaxPaddedDim] = {};
};

// The calling thread's, created zeroed on first use.
EncodeScratch& encode_scratch();

}  // namespace kelvor
