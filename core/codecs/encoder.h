#pragma once
#include <cstddef>
#include <cstdint>

#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/heads/coded_tokens.h"

namespace kelvor {

// Normalises x, rotates it with signs, clamps at three root mean squares and
// quantises every one of the P rotated coordinates into codes (one per byte).
// Returns the scale (about 3 * |x|). Sums run in index order in float32, so the
// codes are the same at every SIMD level.
float encode_vector(const KernelTable& kt, const float* x, int32_t head_dim, int32_t P, const int8_t* signs,
                    int32_t bits, uint8_t* codes);
float encode_vector(const float* x, int32_t head_dim, int32_t P, const int8_t* signs, int32_t bits,
                    uint8_t* codes);

// encode_vector with the head's rotation, then packs the codes into stream
// (at least bytes_per_vec bytes).
float encode_and_pack(const KernelTable& kt, const HeadCache& head, const float* x, int32_t bits, uint8_t* stream);
float encode_and_pack(const HeadCache& head, const float* x, int32_t bits, uint8_t* stream);

// n (at most kEncodeGroup) tokens' keys and values at the head's widths, token
// t at keys + t * stride, clamped at three root mean squares and encoded in
// lockstep into out's entry t: the same codes and scales as encode_and_pack of
// each vector, in less time.
void encode_and_pack_tokens(const KernelTable& kt, const HeadCache& head, int32_t n, const float* keys,
                            const float* vals, size_t stride, CodedTokens& out);

}  // namespace kelvor
